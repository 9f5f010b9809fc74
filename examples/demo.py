"""Tour of plexor.core.pluginmanager (run with ./dev demo)."""
import logging
import sys
import warnings

logging.basicConfig(level=logging.DEBUG, format="%(levelname)s %(name)s: %(message)s")
warnings.filterwarnings("ignore", message="pkg_resources is deprecated")

from plexor.core.errors import ConnectionInfraError  # noqa: E402
from plexor.core.pluginmanager import PluginManager  # noqa: E402
from plexor.core.registry import plugin_manager  # noqa: E402


def heading(text):
    print("\n== %s" % text, flush=True)


heading("Discover built-in plugins (walks plexor.plugins)")
PluginManager.discover_builtin_plugins()
print("imported:", ", ".join(sorted(m for m in sys.modules if m.startswith("plexor.plugins."))))
plugin_modules = sorted(m for m in sys.modules if m.startswith("plexor.plugins."))
print("tests packages walked (their __init__ ran):",
      ", ".join(m for m in plugin_modules if m.endswith(".tests")))
print("test modules imported:", [m for m in plugin_modules if ".tests." in m] or "none")

heading("Discover external plugins (entry-point group plexor.plugins)")
PluginManager.discover_external_plugins()

heading("Look-ups")
print("hit:      os=generic ->", plugin_manager.get_plugin(os="generic").__name__)
cls = plugin_manager.get_plugin(os="linux", platform="zz", model="m1")
print("skipped:  os=linux platform=zz model=m1 (no node for zz, m1) ->", cls.__name__)
try:
    plugin_manager.get_plugin(os="generic", chassis_type="stack")
except ConnectionInfraError as exc:
    print("miss:     os=generic chassis_type=stack -> ConnectionInfraError:", exc)

heading("Unregister os=generic chassis_type=dual_rp")
plugin_manager.unregister_plugin(os="generic", chassis_type="dual_rp")

heading("The plugin tree: repr(plugin_manager)")
print(repr(plugin_manager))
