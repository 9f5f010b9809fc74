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

PyObject* discover_builtin_plugins_body(MemberState&, PyObject* const*) noexcept {
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

PyObject* discover_external_plugins_body(MemberState&, PyObject* const*) noexcept {
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

// importlib.metadata's entry points of `group`: selected by select() from
// 3.10 on; before, a dict maps each group to its entry points.
Ref entry_points_of(PyObject* group) noexcept {
    Ref metadata = Ref::steal(PyImport_ImportModule("importlib.metadata"));
    Ref all = metadata ? call_attr(metadata.get(), runtime.names.entry_points, {}) : Ref();
    if (!all) return Ref();
    Ref select = Ref::steal(PyObject_GetAttrString(all.get(), "select"));
    if (select) return call_keywords(select.get(), {group}, runtime.keywords.group);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    Ref none = Ref::steal(PyTuple_New(0));
    return none ? call_attr(all.get(), runtime.names.get, {group, none.get()}) : Ref();
}

// 1 when the entry point is called `name`, or `name` is None.
int is_named(PyObject* entry_point, PyObject* name) noexcept {
    if (name == Py_None) return 1;
    Ref own_name = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.name));
    return own_name ? PyObject_RichCompareBool(own_name.get(), name, Py_EQ) : -1;
}

// A record of an entry point with the members discovery uses: name,
// module_name and load(), made by `namespace_type`.
Ref entry_point_record(PyObject* namespace_type, PyObject* entry_point) noexcept {
    Ref name = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.name));
    Ref module = name ? entry_point_module(entry_point) : Ref();
    Ref load = module ? Ref::steal(PyObject_GetAttr(entry_point, runtime.names.load)) : Ref();
    if (!load) return Ref();
    return call_keywords(namespace_type, {name.get(), module.get(), load.get()},
                         runtime.keywords.name_module_name_load);
}

// The simple namespace type, that of sys.implementation.
Ref namespace_type() noexcept {
    PyObject* implementation = PySys_GetObject("implementation");
    if (implementation == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.implementation");
        return Ref();
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(implementation)));
}

PyObject* iter_entry_points_body(MemberState&, PyObject* const* params) noexcept {
    PyObject* const group = params[0];
    PyObject* const name = params[1];
    Ref record_type = namespace_type();
    Ref selected = record_type ? entry_points_of(group) : Ref();
    Ref iterator = selected ? Ref::steal(PyObject_GetIter(selected.get())) : Ref();
    Ref records = iterator ? Ref::steal(PyList_New(0)) : Ref();
    if (!records) return nullptr;
    while (Ref entry_point = Ref::steal(PyIter_Next(iterator.get()))) {
        const int wanted = is_named(entry_point.get(), name);
        if (wanted < 0) return nullptr;
        Ref record = wanted ? entry_point_record(record_type.get(), entry_point.get()) : Ref();
        if (wanted && (!record || PyList_Append(records.get(), record.get()) < 0)) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : PyObject_GetIter(records.get());
}

}  // namespace

const Member iter_entry_points = {
    "iter_entry_points",
    "The entry points of a group (and of that name, unless it is None), in the\n"
    "order importlib.metadata lists them; each has name, module_name and load().",
    2,
    {"group", "name"},
    1,
    {nullptr},
    iter_entry_points_body,
};

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
