"""Compiled kernels of the three clustering methods, one package per family."""
