"""Exceptions raised by the plexor core."""


class ConnectionInfraError(Exception):
    """Raised when the connection infrastructure is misused or misconfigured."""
