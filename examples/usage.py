import logging
import warnings

# Recent setuptools releases warn when the module imports pkg_resources.
warnings.filterwarnings("ignore", message="pkg_resources is deprecated")

from plexor.core.errors import ConnectionInfraError
from plexor.core.pluginmanager import PluginManager
from plexor.core.registry import plugin_manager

logging.basicConfig(format="%(levelname)s %(name)s: %(message)s")
logging.getLogger("plexor").setLevel(logging.DEBUG)  # show the debug notices


class LinuxConnection:
    """A connection class: the manager stores it and hands it back."""


class EdgeConnection(LinuxConnection):
    pass


manager = PluginManager()
manager.register_plugin(LinuxConnection, os="linux")
manager.register_plugin(EdgeConnection, os="linux", platform="edge", model="e8")

# The walk skips selectors that have no node ("core", "c1") and takes the class
# of the node where it ends.
assert manager.get_plugin(os="linux", platform="edge", model="e8") is EdgeConnection
assert manager.get_plugin(os="linux", platform="core", model="c1") is LinuxConnection
print(manager.print_tree(manager.plugins, output="manager"))

# The node linux/edge/e8 stays without a class; a lookup that ends there fails:
# it never goes back up to linux.
manager.unregister_plugin(os="linux", platform="edge", model="e8")
try:
    manager.get_plugin(os="linux", platform="edge", model="e8")
except ConnectionInfraError as exc:
    print("ConnectionInfraError:", exc)

# Plugin modules register into the host's manager when they are imported.
PluginManager.discover_builtin_plugins()    # every non-test module of plexor.plugins
PluginManager.discover_external_plugins()   # entry points of the group "plexor.plugins"
print(plugin_manager.get_plugin(os="generic", chassis_type="dual_rp"))
