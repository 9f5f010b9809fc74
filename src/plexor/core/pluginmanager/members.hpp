// The members of PluginManager, grouped by the source file that defines each
// beside its body. The class's own order is the table in module.cpp.
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
// The module's own iter_entry_points (entry_points.cpp enumerates), bound
// where pkg_resources does not exist.
extern const Member iter_entry_points;
// render.cpp
extern const Member print_tree;
extern const Member repr;

// This module's own method named as `attr`, or null for a data attribute.
constexpr const Member* method_named(Attr attr) noexcept {
    switch (attr) {
        case Attr::validate_arguments:
            return &validate_arguments;
        case Attr::validate_model:
            return &validate_model;
        case Attr::validate_platform:
            return &validate_platform;
        case Attr::validate_os:
            return &validate_os;
        case Attr::validate_chassis_type:
            return &validate_chassis_type;
        case Attr::print_tree:
            return &print_tree;
        case Attr::plugins:
        case Attr::supported_os:
        case Attr::chassis_type_list:
        case Attr::count:
            break;
    }
    return nullptr;
}

// Body of validate_arguments, for the request methods' fast path.
int validate_arguments_body(SelfLookup& self, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* chassis_type) noexcept;

}  // namespace plexor::members
