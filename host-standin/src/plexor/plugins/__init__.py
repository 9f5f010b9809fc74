"""Built-in plugins and the values they may be registered under.

This module must not import ``plexor.core.pluginmanager``: the extension
imports it while it loads.
"""

supported_chassis = ["single_rp", "dual_rp", "stack"]

supported_os = ["generic", "linux", "nimbus", "tern", "quill"]
