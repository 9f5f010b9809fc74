"""Generic connection plugins."""
from plexor.core.registry import plugin_manager


class GenericSingleRpConnection:
    """Connection to a generic device with a single route processor."""

    def connect(self):
        return "generic single_rp connected"


class GenericDualRPConnection:
    """Connection to a generic device with two route processors."""

    def connect(self):
        return "generic dual_rp connected"


plugin_manager.register_plugin(GenericSingleRpConnection, os="generic")
plugin_manager.register_plugin(GenericDualRPConnection, os="generic",
                               chassis_type="dual_rp")
