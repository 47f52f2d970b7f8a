"""Tree-cut method: minimum spanning tree and cuts between labels."""
