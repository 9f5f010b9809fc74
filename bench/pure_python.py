"""A pure-Python PluginManager with the behaviour of plexor.core.pluginmanager.

Reference for the benchmark only: not shipped, not imported by the package.
It is written the way a plain Python implementation would read (repeated
concatenation and split in print_tree, keyword calls between the validators),
including the three mends of registration and messages: a failed registration
leaves the tree as it was, caller values are %-formatted as a single operand,
and the not-found message of get_plugin converts each selector with str().
The two discovery methods are here for the class's surface and are not timed;
external discovery enumerates entry points with the module's own enumerator.
"""
import importlib
import os
import pkgutil
from inspect import getfile

from plexor import log
from plexor.core.errors import ConnectionInfraError
from plexor.plugins import supported_chassis, supported_os

ENTRYPOINT_GROUP = "plexor.plugins"


class PluginManager(object):
    """
        Loads all plugin implementation,
        provides API's for accessing plugins
    """

    def __init__(self):
        """
            Initialize
        """
        self._plugins = {}
        self.chassis_type_list = supported_chassis
        self.supported_os = supported_os

    @property
    def plugins(self):
        """ Plugin list getter
        """
        return self._plugins

    @plugins.setter
    def plugins(self, value):
        """ Plugin list getter
        """
        raise Exception(" Protected Member, cannot modify Plugins")

    def validate_model(self, os, platform, model):
        """
         Validates Model
        """
        if model:
            if not platform or not os:
                raise ConnectionInfraError(
                    "OS and platform are required for Model: " + str(model))
            if not isinstance(model, str):
                raise ConnectionInfraError("Model should be of type str")
            if not (model.islower() or model.isdigit()):
                raise ConnectionInfraError(
                    " Model (%s) has to be in lowecase" % model)

    def validate_platform(self, os, platform):
        """
         Validates platform
        """
        if platform:
            if os is None:
                raise ConnectionInfraError(
                    "OS information not provided for platform: " + str(platform))
            if not isinstance(platform, str):
                raise ConnectionInfraError("platform should be of type str")
            if not (platform.islower() or platform.isdigit()):
                raise ConnectionInfraError(
                    "platform (%s) has to be in lowercase" % platform)

    def validate_os(self, os):
        """
         Validates OS
        """
        if os and os not in self.supported_os:
            log.debug(
                "%s is not part of the built-in list of supported OSes." % (os,))
        elif not os:
            raise ConnectionInfraError(
                "OS should be one of these " + str(self.supported_os)
                + " , but got " + str(os))

    def validate_chassis_type(self, chassis_type):
        """
         Validate chassis
        """
        if not chassis_type or chassis_type not in self.chassis_type_list:
            raise ConnectionInfraError(
                "chassis Type should be one of these " + str(self.chassis_type_list)
                + ", but got " + str(chassis_type))

    def validate_arguments(self, os, platform, model, chassis_type):
        """ Validates the input arguments provided
        """
        self.validate_model(os=os, platform=platform, model=model)
        self.validate_platform(platform=platform, os=os)
        self.validate_os(os=os)
        if os == "linux":
            return
        self.validate_chassis_type(chassis_type=chassis_type)

    def get_plugin(self, os=None, platform=None, model=None, os_flavor=None,
                   chassis_type='single_rp'):
        """
            This method returns the connection class based on the
            input details provided
        """
        self.validate_arguments(os, platform, model, chassis_type)
        if model is not None:
            from_path = [os, platform, model]
        elif platform is not None:
            from_path = [os, platform]
        else:
            from_path = [os]
        if os_flavor is not None:
            from_path.append(os_flavor)

        root = self._plugins
        for path in from_path:
            if path in root.keys():
                root = root[path]

        if "data" not in root or chassis_type not in root["data"]:
            raise ConnectionInfraError(
                "Plugin data not found for ("
                + "/".join(str(path) for path in from_path)
                + "), type: " + str(chassis_type) + " ")
        return root["data"][chassis_type]["cls"]

    def unregister_plugin(self, os=None, platform=None, model=None,
                          os_flavor=None, chassis_type=None):
        """
            This method unregister a particular implementations from
            the internal database
        """
        self.validate_arguments(os, platform, model, "single_rp")
        if model is not None:
            tree_hierarchy = [os, platform, model]
        elif platform is not None:
            tree_hierarchy = [os, platform]
        else:
            tree_hierarchy = [os]
        if os_flavor is not None:
            tree_hierarchy.append(os_flavor)

        cur_node = self._plugins
        for node in tree_hierarchy:
            if node in cur_node.keys():
                cur_node = cur_node[node]
            else:
                raise ConnectionInfraError("Plugin data not found")

        if chassis_type is None:
            if "data" in cur_node:
                del cur_node["data"]
            else:
                raise ConnectionInfraError("Plugin data not found")
        else:
            if "data" not in cur_node:
                raise ConnectionInfraError("Plugin data not found")
            data = cur_node["data"]
            if chassis_type not in data:
                raise ConnectionInfraError(
                    "Plugin data not found for %s" % (chassis_type,))
            del data[chassis_type]

    def register_plugin(self, cls, os=None, platform=None, model=None,
                        os_flavor=None, chassis_type='single_rp'):
        """
            This method registers all the implementation plugin(i.e connection class)
            to the plexor plugin manager

            It takes OS, platform, MODEL information and based on that
            registers it

            cls refer to the connection class
            chassis_type indicates if the connection class is for single_rp or
            dual_rp or stack(default single_rp)

        """
        self.validate_arguments(os, platform, model, chassis_type)
        if model is not None:
            tree_hierarchy = [os, platform, model]
        elif platform is not None:
            tree_hierarchy = [os, platform]
        else:
            tree_hierarchy = [os]
        if os_flavor is not None:
            tree_hierarchy.append(os_flavor)

        # The class's file first: a class it refuses leaves the tree untouched.
        class_path = getfile(cls)

        cur_node = self._plugins
        for depth, node in enumerate(tree_hierarchy):
            if node not in cur_node.keys():
                # Build the missing part of the path apart from the tree and
                # attach it with one insertion.
                branch = {"data": {chassis_type: {"cls": cls, "path": class_path}}}
                for key in reversed(tree_hierarchy[depth + 1:]):
                    branch = {key: branch}
                cur_node[node] = branch
                return
            cur_node = cur_node[node]

        if "data" in cur_node:
            data = cur_node["data"]
            if chassis_type in data:
                existing_cls = data[chassis_type]["cls"]
                log.debug(
                    " {} already registered for {}, {} from {} is overriding this class"
                    .format(existing_cls.__name__, tree_hierarchy,
                            cls.__name__, cls.__module__))
            data[chassis_type] = {"cls": cls, "path": class_path}
            cur_node["data"] = data
        else:
            cur_node["data"] = {chassis_type: {"cls": cls, "path": class_path}}

    @staticmethod
    def discover_builtin_plugins():
        """loads all plugins"""
        try:
            from plexor.plugins import __path__ as plugins_path, __name__ as plexor_name
        except ImportError:
            from plexor.plugins import __file__ as plexor_init, __name__ as plexor_name
            plugins_path = [os.path.dirname(plexor_init)]
        for _finder, name, _ispkg in pkgutil.walk_packages(plugins_path, plexor_name + "."):
            if ".plugins." in name and ".tests." not in name and not name.endswith("tests"):
                importlib.import_module(name)

    @staticmethod
    def discover_external_plugins():
        """
        discover external plugins defined that users pip installed.
        """
        # pkg_resources's enumerator, or where that is missing the module's own
        from plexor.core.pluginmanager import iter_entry_points

        for plugin in iter_entry_points(group=ENTRYPOINT_GROUP):
            log.debug("Loading external plugin " + str(plugin.name) + " from "
                      + str(plugin.module_name))
            plugin.load()

    def print_tree(self, data, output='plugin'):
        """ This Method print the plugin list in tree structure

        Sample Tree Structure::

            plugins
              |__ generic
                |__ data
                  |__ dual_rp
                  |  |__ cls = <class 'plexor.plugins.generic.GenericDualRPConnection'>
                  |  |__ path = /path/to/plexor/plugins/generic/__init__.py
                  |__ single_rp
                    |__ cls = <class 'plexor.plugins.generic.GenericSingleRpConnection'>
                    |__ path = /path/to/plexor/plugins/generic/__init__.py

        """
        if not data:
            return ""
        if data == {}:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)

        sorted_keys = sorted(list(data.keys()))
        last_key = sorted_keys[-1]
        for key in sorted_keys:
            temp_output = self.print_tree(data=data[key], output="__ " + key)
            separator = "  " if key == last_key else "  |"
            current_line = 1
            for line in temp_output.split("\n"):
                if current_line == 1 and key == last_key:
                    output += "\n  |" + str(line)
                else:
                    output += "\n" + separator + str(line)
                current_line += 1
        return output

    def __repr__(self):
        output = ("plugins (" + str(self.__class__) + " at "
                  + str(hex(id(self))) + ") ")
        return self.print_tree(data=self._plugins, output=output)
