"""Core of plexor."""
