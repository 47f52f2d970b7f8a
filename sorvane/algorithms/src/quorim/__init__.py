"""Density method: semi-supervised DBSCAN and its post-processing."""
