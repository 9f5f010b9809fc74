// Discovery of built-in plugins (the host's plugins package) and of installed
// ones (entry points).
#include "dispatch.hpp"
#include "entry_points.hpp"
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
    if (!module) return -1;
    package.path = import_from(module.get(), n.dunder_path);
    if (!package.path) return -1;
    package.name = import_from(module.get(), n.dunder_name);
    if (!package.name) return -1;
    return 0;
}

// The package seen as a plain module: the directory of its file.
int locate_package_directory(PluginsPackage& package) noexcept {
    const Names& n = runtime.names;
    Ref module = import_for_from("plexor.plugins", 0, {n.dunder_file, n.dunder_name});
    if (!module) return -1;
    Ref file = import_from(module.get(), n.dunder_file);
    if (!file) return -1;
    package.name = import_from(module.get(), n.dunder_name);
    if (!package.name) return -1;
    Ref os = global(n.os);
    if (!os) return -1;
    Ref os_path = Ref::steal(PyObject_GetAttr(os.get(), n.path));
    if (!os_path) return -1;
    Ref dirname = Ref::steal(PyObject_GetAttr(os_path.get(), n.dirname));
    if (!dirname) return -1;
    Ref directory = call(dirname.get(), {file.get()});
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

// The ValueError of unpacking more than three values out of `item`.
void refuse_too_many_values(PyObject* item) noexcept {
    if (compat::unpacking_tells_length &&
        (PyList_CheckExact(item) || PyTuple_CheckExact(item) || PyDict_CheckExact(item))) {
        const Py_ssize_t length = PyDict_CheckExact(item) ? PyDict_GET_SIZE(item) : Py_SIZE(item);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 3, got %zd)", length);
        return;
    }
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
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
    if (extra) {
        refuse_too_many_values(item);
        return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return parts[1];
}

// 1 when the walked module is a plugin module rather than a test.
int is_plugin_module(PyObject* name) noexcept {
    const Names& n = runtime.names;
    int found = PySequence_Contains(name, n.plugins_infix);
    if (found <= 0) return found;
    found = PySequence_Contains(name, n.tests_infix);
    if (found < 0) return -1;
    if (found) return 0;
    Ref ends = call_attr(name, n.endswith, {n.tests_suffix});
    if (!ends) return -1;
    const int is_tests = PyObject_IsTrue(ends.get());
    if (is_tests < 0) return -1;
    return !is_tests;
}

int import_plugin_module(PyObject* name) noexcept {
    Ref importlib = global(runtime.names.importlib);
    if (!importlib) return -1;
    Ref import = Ref::steal(PyObject_GetAttr(importlib.get(), runtime.names.import_module));
    if (!import) return -1;
    if (call(import.get(), {name})) return 0;
    return raise_with_note([name] {
        return Ref::steal(PyUnicode_FromFormat("while loading built-in plugin module '%S'", name));
    });
}

int walk_plugins(const PluginsPackage& package) noexcept {
    Ref pkgutil = global(runtime.names.pkgutil);
    if (!pkgutil) return -1;
    Ref walk = Ref::steal(PyObject_GetAttr(pkgutil.get(), runtime.names.walk_packages));
    if (!walk) return -1;
    Ref prefix = Ref::steal(PyNumber_Add(package.name.get(), runtime.names.dot));
    if (!prefix) return -1;
    Ref walked = call(walk.get(), {package.path.get(), prefix.get()});
    if (!walked) return -1;
    Ref items = Ref::steal(PyObject_GetIter(walked.get()));
    if (!items) return -1;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(items.get()));
        if (!item) break;
        Ref name = module_name_of(item.get());
        if (!name) return -1;
        const int wanted = is_plugin_module(name.get());
        if (wanted < 0) return -1;
        if (wanted && import_plugin_module(name.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* discover_builtin_plugins_body(MemberState&, PyObject* const*) noexcept {
    PluginsPackage package;
    if (locate_package(package) < 0) {
        if (!PyErr_ExceptionMatches(runtime.builtins.import_error)) return nullptr;
        if (locate_package_after(package) < 0) return nullptr;
    }
    if (walk_plugins(package) < 0) return nullptr;
    Py_RETURN_NONE;
}

// str() of an entry point's name and module name, fetched in this order.
struct EntryPointTexts {
    Ref name;
    Ref module;
};

int read_entry_point(PyObject* entry_point, EntryPointTexts& texts) noexcept {
    Ref name = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.name));
    if (!name) return -1;
    texts.name = str_of(name.get());
    if (!texts.name) return -1;
    Ref module = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.module_name));
    if (!module) return -1;
    texts.module = str_of(module.get());
    if (!texts.module) return -1;
    return 0;
}

// The name of the distribution that offers an entry point, when the entry
// point knows it: `dist.project_name` of pkg_resources, `dist.name` of
// importlib.metadata and of this module's own records. Null, and no error set,
// when it does not.
Ref distribution_name(PyObject* entry_point) noexcept {
    Ref dist = Ref::steal(PyObject_GetAttrString(entry_point, "dist"));
    Ref name;
    if (dist && dist.get() != Py_None) {
        name = Ref::steal(PyObject_GetAttrString(dist.get(), "project_name"));
        if (!name) {
            PyErr_Clear();
            name = Ref::steal(PyObject_GetAttrString(dist.get(), "name"));
        }
    }
    PyErr_Clear();
    return name.get() == Py_None ? Ref() : name;
}

Ref external_plugin_note(PyObject* entry_point, const EntryPointTexts& texts) noexcept {
    Ref distribution = distribution_name(entry_point);
    if (!distribution)
        return Ref::steal(
            PyUnicode_FromFormat("while loading external plugin '%U' from module '%U'",
                                 texts.name.get(), texts.module.get()));
    return Ref::steal(PyUnicode_FromFormat(
        "while loading external plugin '%U' from module '%U' of distribution '%S'",
        texts.name.get(), texts.module.get(), distribution.get()));
}

// Logs "Loading external plugin <name> from <module name>", then loads it.
int load_entry_point(PyObject* entry_point) noexcept {
    Ref debug = log_debug();
    if (!debug) return -1;
    EntryPointTexts texts;
    if (read_entry_point(entry_point, texts) < 0) return -1;
    Ref head = text("Loading external plugin ");
    Ref middle = text(" from ");
    Ref notice = concat({head.get(), texts.name.get(), middle.get(), texts.module.get()});
    if (!notice) return -1;
    if (!call(debug.get(), {notice.get()})) return -1;
    Ref load = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.load));
    if (!load) return -1;
    if (call(load.get(), {})) return 0;
    return raise_with_note([&] { return external_plugin_note(entry_point, texts); });
}

PyObject* discover_external_plugins_body(MemberState&, PyObject* const*) noexcept {
    Ref enumerate = global(runtime.names.iter_entry_points);
    if (!enumerate) return nullptr;
    Ref group = global(runtime.names.ENTRYPOINT_GROUP);
    if (!group) return nullptr;
    Ref entry_points = call_keywords(enumerate.get(), {group.get()}, runtime.keywords.group);
    if (!entry_points) return nullptr;
    Ref items = Ref::steal(PyObject_GetIter(entry_points.get()));
    if (!items) return nullptr;
    for (;;) {
        Ref entry_point = Ref::steal(PyIter_Next(items.get()));
        if (!entry_point) break;
        if (load_entry_point(entry_point.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* iter_entry_points_body(MemberState&, PyObject* const* params) noexcept {
    return iterate_entry_points(params[0], params[1]);
}

}  // namespace

const Member iter_entry_points = {
    "iter_entry_points",
    "The entry points of a group (and of that name, unless it is None) of the\n"
    "first distribution of each name along sys.path; each has name, module_name,\n"
    "load() and dist.",
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
