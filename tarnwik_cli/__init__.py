"""The `tarnwik` command: forward, reverse and batch geocoding over a sheet
from the shell, on top of the `tarnwik` extension module."""
from tarnwik_cli.cli import main

__all__ = ["main"]
