"""Mendrix desktop application."""

__version__ = "1.3.0.0"
