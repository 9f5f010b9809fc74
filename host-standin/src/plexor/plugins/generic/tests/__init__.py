"""Tests of the plugin; a package the walker may import, with test modules discovery must skip."""
