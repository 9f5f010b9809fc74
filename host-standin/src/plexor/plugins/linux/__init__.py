"""Linux connection plugins."""
from plexor.core.registry import plugin_manager


class LinuxConnection:
    """Connection to a Linux host."""

    def connect(self):
        return "linux connected"


class LinuxPiConnection(LinuxConnection):
    """Connection to a Linux host on the 'pi' platform."""

    def connect(self):
        return "linux pi connected"


plugin_manager.register_plugin(LinuxConnection, os="linux")
plugin_manager.register_plugin(LinuxPiConnection, os="linux", platform="pi")
