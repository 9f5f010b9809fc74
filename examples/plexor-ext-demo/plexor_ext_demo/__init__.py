"""Example external plexor plugin, found through the "plexor.plugins" entry point."""
from plexor.core.registry import plugin_manager


class DemoConnection:
    """Connection to a 'tern' device on the 't1' platform."""

    def connect(self):
        return "demo connected"


plugin_manager.register_plugin(DemoConnection, os="tern", platform="t1")
