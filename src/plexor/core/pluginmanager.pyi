"""Types of the native module plexor.core.pluginmanager."""
import importlib as importlib
import os as os
import pkgutil as pkgutil
from inspect import getfile as getfile
from typing import Any, Dict, Iterator, List, Optional, Protocol, Type

from plexor import log as log
from plexor.plugins import supported_chassis as supported_chassis
from plexor.plugins import supported_os as supported_os

from .errors import ConnectionInfraError as ConnectionInfraError

# A node of the plugin tree: selector values map to child nodes, and the key
# "data" maps chassis types to records {"cls": <class>, "path": <file>}.
_PluginTree = Dict[Any, Any]

ENTRYPOINT_GROUP: str
__test__: Dict[str, Any]

class _EntryPoint(Protocol):
    """An entry point as iter_entry_points yields it: pkg_resources' own, or
    the module's record where pkg_resources cannot be imported."""

    @property
    def name(self) -> str: ...
    @property
    def module_name(self) -> str: ...
    # pkg_resources' Distribution, or importlib.metadata's.
    @property
    def dist(self) -> Any: ...
    # Imports the module and returns the object the entry point names.
    def load(self) -> Any: ...

# pkg_resources.iter_entry_points, or the module's own where pkg_resources
# cannot be imported; typed here for setuptools releases without types.
def iter_entry_points(group: str, name: Optional[str] = None) -> Iterator[_EntryPoint]: ...

class PluginManager:
    _plugins: _PluginTree
    chassis_type_list: List[str]
    supported_os: List[str]
    def __init__(self) -> None: ...
    # Read-only: assigning raises Exception(" Protected Member, cannot modify Plugins").
    @property
    def plugins(self) -> _PluginTree: ...
    # The validators check arbitrary values; each returns None or raises
    # ConnectionInfraError.
    def validate_model(self, os: object, platform: object, model: object) -> None: ...
    def validate_platform(self, os: object, platform: object) -> None: ...
    def validate_os(self, os: object) -> None: ...
    def validate_chassis_type(self, chassis_type: object) -> None: ...
    def validate_arguments(
        self, os: object, platform: object, model: object, chassis_type: object
    ) -> None: ...
    def get_plugin(
        self,
        os: Optional[str] = None,
        platform: Optional[str] = None,
        model: Optional[str] = None,
        os_flavor: Optional[str] = None,
        chassis_type: str = "single_rp",
    ) -> Type[Any]: ...
    def unregister_plugin(
        self,
        os: Optional[str] = None,
        platform: Optional[str] = None,
        model: Optional[str] = None,
        os_flavor: Optional[str] = None,
        chassis_type: Optional[str] = None,
    ) -> None: ...
    def register_plugin(
        self,
        cls: type,
        os: Optional[str] = None,
        platform: Optional[str] = None,
        model: Optional[str] = None,
        os_flavor: Optional[str] = None,
        chassis_type: str = "single_rp",
    ) -> None: ...
    @staticmethod
    def discover_builtin_plugins() -> None: ...
    @staticmethod
    def discover_external_plugins() -> None: ...
    def print_tree(self, data: object, output: str = "plugin") -> str: ...
    def __repr__(self) -> str: ...
