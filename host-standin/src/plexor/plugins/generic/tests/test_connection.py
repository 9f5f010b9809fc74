"""Test module; plugin discovery must never import it."""
raise RuntimeError("test module imported by discovery")
