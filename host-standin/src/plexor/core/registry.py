"""The plugin manager provided by the host; built-in plugins register into it."""
from plexor.core.pluginmanager import PluginManager

plugin_manager = PluginManager()
