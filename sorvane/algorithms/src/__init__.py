"""Families of kernels: velmar (graph), treleck (tree cut), quorim (density)."""
