// The members of PluginManager, in the order the class defines them. Each is
// defined beside its body, in the source file of its concern.
#pragma once

#include "dispatch.hpp"

namespace plexor::members {

// manager.cpp
extern const Member init;
extern const Member plugins_getter;
extern const Member plugins_setter;
// validation.cpp
extern const Member validate_model;
extern const Member validate_platform;
extern const Member validate_os;
extern const Member validate_chassis_type;
extern const Member validate_arguments;
// tree.cpp
extern const Member get_plugin;
extern const Member unregister_plugin;
extern const Member register_plugin;
// discovery.cpp
extern const Member discover_builtin_plugins;
extern const Member discover_external_plugins;
// The module's own iter_entry_points, bound where pkg_resources does not exist.
extern const Member iter_entry_points;
// render.cpp
extern const Member print_tree;
extern const Member repr;

// Body of validate_arguments, for the request methods' fast path.
int validate_arguments_body(SelfLookup& self, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* chassis_type) noexcept;

}  // namespace plexor::members
