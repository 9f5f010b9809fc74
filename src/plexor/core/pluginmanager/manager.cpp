// Construction of a manager and the `plugins` property.
#include "members.hpp"
#include "runtime.hpp"

namespace plexor::members {
namespace {

int set_from_global(PyObject* self, PyObject* attribute, PyObject* global_name) noexcept {
    Ref value = global(global_name);
    if (!value) return -1;
    return PyObject_SetAttr(self, attribute, value.get());
}

PyObject* init_body(MemberState&, PyObject* const* args) noexcept {
    PyObject* self = args[0];
    const Names& n = runtime.names;
    Ref tree = Ref::steal(PyDict_New());
    if (!tree || PyObject_SetAttr(self, n.plugins, tree.get()) < 0) return nullptr;
    if (set_from_global(self, n.chassis_type_list, n.supported_chassis) < 0) return nullptr;
    if (set_from_global(self, n.supported_os, n.supported_os) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* plugins_getter_body(MemberState&, PyObject* const* args) noexcept {
    return PyObject_GetAttr(args[0], runtime.names.plugins);
}

PyObject* plugins_setter_body(MemberState&, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_Exception, " Protected Member, cannot modify Plugins");
    return nullptr;
}

constexpr const char* kPluginsDoc = " Plugin list getter\n        ";

}  // namespace

const Member init = {
    "__init__", "\n            Initialize\n        ", 1, {"self"}, 0, {}, init_body,
};
const Member plugins_getter = {
    "plugins", kPluginsDoc, 1, {"self"}, 0, {}, plugins_getter_body,
};
const Member plugins_setter = {
    "plugins", kPluginsDoc, 2, {"self", "value"}, 0, {}, plugins_setter_body,
};

}  // namespace plexor::members
