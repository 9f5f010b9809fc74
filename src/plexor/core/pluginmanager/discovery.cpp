// Discovery of built-in plugins (the host's plugins package) and of installed
// ones (entry points).
#include "dispatch.hpp"
#include "members.hpp"

namespace plexor::members {
namespace {

struct PluginsPackage {
    Ref path;  // search path for the walker
    Ref name;  // dotted name of the package
};

int locate_package(PluginsPackage& package) noexcept {
    const Names& n = runtime.names;
    Ref module = import_for_from("plexor.plugins", 0, {n.dunder_path, n.dunder_name});
    if (module && (package.path = import_from(module.get(), n.dunder_path)))
        package.name = import_from(module.get(), n.dunder_name);
    return package.name ? 0 : -1;
}

// The package seen as a plain module: the directory of its file.
int locate_package_directory(PluginsPackage& package) noexcept {
    const Names& n = runtime.names;
    Ref module = import_for_from("plexor.plugins", 0, {n.dunder_file, n.dunder_name});
    Ref file = module ? import_from(module.get(), n.dunder_file) : Ref();
    if (!file || !(package.name = import_from(module.get(), n.dunder_name))) return -1;
    Ref os = global(n.os);
    Ref os_path = os ? Ref::steal(PyObject_GetAttr(os.get(), n.path)) : Ref();
    Ref dirname = os_path ? Ref::steal(PyObject_GetAttr(os_path.get(), n.dirname)) : Ref();
    Ref directory = dirname ? call(dirname.get(), {file.get()}) : Ref();
    if (!directory) return -1;
    package.path = Ref::steal(PyList_New(1));
    if (!package.path) return -1;
    PyList_SET_ITEM(package.path.get(), 0, directory.release());
    return 0;
}

// Runs the directory fall-back as the handler of the ImportError raised by the
// first attempt: that error is the one being handled meanwhile, and the
// interpreter's record of the handled exception is restored afterwards.
int locate_package_after(PluginsPackage& package) noexcept {
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    Ref saved = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(caught.get());
    const int status = locate_package_directory(package);
    PyErr_SetHandledException(saved.get());
    return status;
}

// Unpacks a walker item into its three parts and returns the middle one.
Ref module_name_of(PyObject* item) noexcept {
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item))
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        return Ref();
    }
    Ref parts[3];
    for (int i = 0; i < 3; ++i) {
        parts[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!parts[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)",
                             i);
            return Ref();
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra || PyErr_Occurred()) {
        if (extra) PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        return Ref();
    }
    return parts[1];
}

// 1 when the walked module is a plugin module rather than a test.
int is_plugin_module(PyObject* name) noexcept {
    const Names& n = runtime.names;
    int found = PySequence_Contains(name, n.plugins_infix);
    if (found <= 0) return found;
    found = PySequence_Contains(name, n.tests_infix);
    if (found != 0) return found < 0 ? -1 : 0;
    Ref ends = call_attr(name, n.endswith, {n.tests_suffix});
    const int is_tests = ends ? PyObject_IsTrue(ends.get()) : -1;
    return is_tests < 0 ? -1 : !is_tests;
}

int import_plugin_module(PyObject* name) noexcept {
    Ref importlib = global(runtime.names.importlib);
    return importlib ? discard(call_attr(importlib.get(), runtime.names.import_module, {name}))
                     : -1;
}

int walk_plugins(const PluginsPackage& package) noexcept {
    Ref pkgutil = global(runtime.names.pkgutil);
    Ref walk =
        pkgutil ? Ref::steal(PyObject_GetAttr(pkgutil.get(), runtime.names.walk_packages)) : Ref();
    Ref prefix = walk ? Ref::steal(PyNumber_Add(package.name.get(), runtime.names.dot)) : Ref();
    Ref walked = prefix ? call(walk.get(), {package.path.get(), prefix.get()}) : Ref();
    Ref items = walked ? Ref::steal(PyObject_GetIter(walked.get())) : Ref();
    if (!items) return -1;
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
        Ref name = module_name_of(item.get());
        const int wanted = name ? is_plugin_module(name.get()) : -1;
        if (wanted < 0 || (wanted && import_plugin_module(name.get()) < 0)) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* discover_builtin_plugins_body(AttributeCache&, PyObject* const*) noexcept {
    PluginsPackage package;
    if (locate_package(package) < 0 && (!PyErr_ExceptionMatches(runtime.builtins.import_error) ||
                                        locate_package_after(package) < 0))
        return nullptr;
    if (walk_plugins(package) < 0) return nullptr;
    Py_RETURN_NONE;
}

// "Loading external plugin <name> from <module name>"
Ref loading_notice(PyObject* entry_point) noexcept {
    Ref name = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.name));
    Ref name_text = name ? str_of(name.get()) : Ref();
    Ref module =
        name_text ? Ref::steal(PyObject_GetAttr(entry_point, runtime.names.module_name)) : Ref();
    Ref module_text = module ? str_of(module.get()) : Ref();
    if (!module_text) return Ref();
    Ref head = text("Loading external plugin ");
    Ref middle = text(" from ");
    return concat({head.get(), name_text.get(), middle.get(), module_text.get()});
}

int load_entry_point(PyObject* entry_point) noexcept {
    Ref debug = log_debug();
    Ref notice = debug ? loading_notice(entry_point) : Ref();
    if (!notice || discard(call(debug.get(), {notice.get()})) < 0) return -1;
    return discard(call_attr(entry_point, runtime.names.load, {}));
}

PyObject* discover_external_plugins_body(AttributeCache&, PyObject* const*) noexcept {
    Ref enumerate = global(runtime.names.iter_entry_points);
    Ref group = enumerate ? global(runtime.names.ENTRYPOINT_GROUP) : Ref();
    Ref entry_points =
        group ? call_keywords(enumerate.get(), {group.get()}, runtime.keywords.group) : Ref();
    Ref items = entry_points ? Ref::steal(PyObject_GetIter(entry_points.get())) : Ref();
    if (!items) return nullptr;
    while (Ref entry_point = Ref::steal(PyIter_Next(items.get())))
        if (load_entry_point(entry_point.get()) < 0) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// The module an entry point refers to: `module` from 3.9 on, before that
// the part of its value that the entry point's own pattern calls so.
Ref entry_point_module(PyObject* entry_point) noexcept {
    Ref module = Ref::steal(PyObject_GetAttrString(entry_point, "module"));
    if (module || !PyErr_ExceptionMatches(PyExc_AttributeError)) return module;
    PyErr_Clear();
    Ref pattern = Ref::steal(PyObject_GetAttrString(entry_point, "pattern"));
    Ref value = pattern ? Ref::steal(PyObject_GetAttrString(entry_point, "value")) : Ref();
    Ref match = value ? call_attr(pattern.get(), runtime.names.match, {value.get()}) : Ref();
    if (!match) return Ref();
    return call_attr(match.get(), runtime.names.group, {runtime.names.module_group});
}

// The entry points of `group` (with `name`, unless that is None), in the
// order importlib.metadata.entry_points() gives them.
Ref select_entry_points(PyObject* group, PyObject* name) noexcept {
    Ref metadata = Ref::steal(PyImport_ImportModule("importlib.metadata"));
    Ref all = metadata ? call_attr(metadata.get(), runtime.names.entry_points, {}) : Ref();
    if (!all) return Ref();
    // 3.10 selects with select(); before, a dict maps each group to its entry points.
    Ref selected;
    if (PyObject_HasAttrString(all.get(), "select")) {
        Ref select = Ref::steal(PyObject_GetAttrString(all.get(), "select"));
        selected = select ? call_keywords(select.get(), {group}, runtime.keywords.group) : Ref();
    } else {
        Ref none = Ref::steal(PyTuple_New(0));
        selected = none ? call_attr(all.get(), runtime.names.get, {group, none.get()}) : Ref();
    }
    Ref iterator = selected ? Ref::steal(PyObject_GetIter(selected.get())) : Ref();
    Ref found = iterator ? Ref::steal(PyList_New(0)) : Ref();
    if (!found) return Ref();
    while (Ref entry_point = Ref::steal(PyIter_Next(iterator.get()))) {
        if (name != Py_None) {
            Ref own_name = Ref::steal(PyObject_GetAttr(entry_point.get(), runtime.names.name));
            const int same = own_name ? PyObject_RichCompareBool(own_name.get(), name, Py_EQ) : -1;
            if (same < 0) return Ref();
            if (!same) continue;
        }
        if (PyList_Append(found.get(), entry_point.get()) < 0) return Ref();
    }
    return PyErr_Occurred() ? Ref() : found;
}

// A record of an entry point with the members discovery uses: name,
// module_name and load().
Ref entry_point_record(PyObject* namespace_type, PyObject* entry_point) noexcept {
    Ref name = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.name));
    Ref module = name ? entry_point_module(entry_point) : Ref();
    Ref load = module ? Ref::steal(PyObject_GetAttr(entry_point, runtime.names.load)) : Ref();
    Ref keywords = load ? tuple_of({runtime.names.name, runtime.names.module_name,
                                    runtime.names.load})
                        : Ref();
    if (!keywords) return Ref();
    return call_keywords(namespace_type, {name.get(), module.get(), load.get()}, keywords.get());
}

// iter_entry_points(group, name=None), for interpreters without pkg_resources.
PyObject* iter_entry_points(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"group", "name", nullptr};
    PyObject* group = nullptr;
    PyObject* name = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:iter_entry_points",
                                     const_cast<char**>(keywords), &group, &name))
        return nullptr;
    Ref selected = select_entry_points(group, name);
    if (!selected) return nullptr;
    // A simple namespace is the type of sys.implementation.
    Ref implementation = Ref::borrow(PySys_GetObject("implementation"));
    if (!implementation) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.implementation");
        return nullptr;
    }
    auto* namespace_type = reinterpret_cast<PyObject*>(Py_TYPE(implementation.get()));
    const Py_ssize_t count = PyList_GET_SIZE(selected.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref record = entry_point_record(namespace_type, PyList_GET_ITEM(selected.get(), i));
        if (!record) return nullptr;
        PyList_SetItem(selected.get(), i, record.release());
    }
    return PyObject_GetIter(selected.get());
}

PyMethodDef iter_entry_points_def = {
    "iter_entry_points", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(iter_entry_points)),
    METH_VARARGS | METH_KEYWORDS,
    "iter_entry_points(group, name=None)\n--\n\n"
    "The entry points of a group, as importlib.metadata lists them; each has\n"
    "name, module_name and load()."};

}  // namespace

Ref make_entry_point_enumerator(PyObject* module_name) noexcept {
    return Ref::steal(PyCFunction_NewEx(&iter_entry_points_def, nullptr, module_name));
}

const Member discover_builtin_plugins = {
    "discover_builtin_plugins", "loads all plugins", 0, {}, 0, {}, discover_builtin_plugins_body,
};

const Member discover_external_plugins = {
    "discover_external_plugins",
    "\n        discover external plugins defined that users pip installed.\n        ",
    0,
    {},
    0,
    {},
    discover_external_plugins_body,
};

}  // namespace plexor::members
