"""Built extension modules of this family (installed here by the build)."""
