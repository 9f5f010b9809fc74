"""plexor: device-connection package."""
import logging

log = logging.getLogger("plexor")
