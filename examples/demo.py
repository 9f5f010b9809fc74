"""Tour of plexor.core.pluginmanager (run with ./dev demo)."""
import logging
import warnings

logging.basicConfig(level=logging.DEBUG)
warnings.filterwarnings("ignore", message="pkg_resources is deprecated")

import plexor.core.pluginmanager as pm  # noqa: E402

print(pm.__doc__)
print("module names:", list(vars(pm)))
print("PluginManager members:",
      [k for k in vars(pm.PluginManager)
       if not k.startswith("__") or k in ("__init__", "__repr__")])

mgr = pm.PluginManager()
print("repr:", repr(mgr))
print("plugins:", mgr.plugins)
