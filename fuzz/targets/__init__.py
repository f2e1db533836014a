"""Fuzz targets: one module per function family, each with test_one_input(data)."""
