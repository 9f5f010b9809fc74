"""Small helpers for the generic plugins."""


def normalize_prompt(text):
    """Return ``text`` stripped of surrounding whitespace and trailing '#'/'>'."""
    return text.strip().rstrip("#>").strip()
