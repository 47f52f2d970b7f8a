"""Graph method: mutual kNN graph, informative edges, components, linking, label propagation."""
