"""Utilities of the package; the blockwise conversion only imports this module."""
