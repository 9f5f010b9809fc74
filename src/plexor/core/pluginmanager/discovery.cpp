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

// Raises the exception being raised again, with the note that `describe()`
// makes added (3.11 and later). It stays the same object, so its type, message
// and traceback are as they were; a note that cannot be made or added is left out.
template <typename Describe>
int raise_with_note(Describe describe) noexcept {
    if (!compat::exceptions_take_notes) return -1;
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    Ref note = describe();
    if (note) Ref::steal(PyObject_CallMethod(failure.get(), "add_note", "O", note.get()));
    PyErr_Clear();
    PyErr_SetRaisedException(failure.release());
    return -1;
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
    return texts.module ? 0 : -1;
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
    if (!notice || !call(debug.get(), {notice.get()})) return -1;
    Ref load = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.load));
    if (!load) return -1;
    if (call(load.get(), {})) return 0;
    return raise_with_note([&] { return external_plugin_note(entry_point, texts); });
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

// The module's own iter_entry_points. Like pkg_resources, it takes only the
// first distribution of each name: the sys.path entries in their order, and
// the distributions of one entry sorted by name (the PEP 503 normal form), never
// in the order the file system lists them.
// importlib.metadata.entry_points() cannot serve: before 3.10 it lists a
// distribution once for each path entry that holds it, and no version sorts
// the distributions of one entry.
struct Enumeration {
    PyObject* group = nullptr;  // the call's arguments
    PyObject* name = nullptr;
    Ref distributions;    // importlib.metadata.distributions
    Ref separators;       // pattern of the runs of "-", "_" and "." in a name
    Ref path_keyword;     // ("path",)
    Ref record_type;      // the simple namespace type
    Ref record_keywords;  // ("name", "module_name", "load", "dist")
    Ref taken;            // normal names of the distributions taken so far
    Ref records;          // list of the records made
};

// The simple namespace type, that of sys.implementation.
Ref namespace_type() noexcept {
    PyObject* implementation = PySys_GetObject("implementation");
    if (implementation == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.implementation");
        return Ref();
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(implementation)));
}

int start_enumeration(Enumeration& run) noexcept {
    const Names& n = runtime.names;
    run.record_type = namespace_type();
    if (!run.record_type) return -1;
    Ref metadata = Ref::steal(PyImport_ImportModule("importlib.metadata"));
    if (!metadata) return -1;
    run.distributions = Ref::steal(PyObject_GetAttrString(metadata.get(), "distributions"));
    if (!run.distributions) return -1;
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    if (!re) return -1;
    run.separators = Ref::steal(PyObject_CallMethod(re.get(), "compile", "s", "[-_.]+"));
    if (!run.separators) return -1;
    Ref dist = text("dist");
    if (!dist) return -1;
    run.path_keyword = tuple_of({n.path});
    run.record_keywords = tuple_of({n.name, n.module_name, n.load, dist.get()});
    run.taken = Ref::steal(PySet_New(nullptr));
    run.records = Ref::steal(PyList_New(0));
    if (!run.path_keyword || !run.record_keywords || !run.taken || !run.records) return -1;
    return 0;
}

// The PEP 503 normal form of a distribution's name (lower case, each run of
// "-", "_" and "." one "-"), or None when its metadata names none. From 3.10
// on, importlib.metadata knows it, with "_" for "-", from the name of the
// metadata directory (`_normalized_name`, the key its own entry_points() takes
// distributions by); reading the metadata costs more than all the rest of an
// enumeration.
Ref normal_name(const Enumeration& run, PyObject* dist) noexcept {
    Ref known = Ref::steal(PyObject_GetAttrString(dist, "_normalized_name"));
    if (known) return Ref::steal(PyObject_CallMethod(known.get(), "replace", "ss", "_", "-"));
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    Ref metadata = Ref::steal(PyObject_GetAttrString(dist, "metadata"));
    if (!metadata) return Ref();
    Ref name = Ref::steal(PyObject_CallMethod(metadata.get(), "get", "s", "Name"));
    if (!name || name.get() == Py_None) return name;
    Ref joined =
        Ref::steal(PyObject_CallMethod(run.separators.get(), "sub", "sO", "-", name.get()));
    if (!joined) return Ref();
    return Ref::steal(PyObject_CallMethod(joined.get(), "lower", nullptr));
}

// Two distributions of one name in one path entry (an install gone wrong) go
// in the order of their version texts, then of their positions: every key's
// rank becomes (version text, position) and the keys are sorted again. Only
// then are the versions read.
int order_namesakes(PyObject* keys) noexcept {
    int namesakes = 0;
    for (Py_ssize_t i = 1; i < PyList_GET_SIZE(keys) && namesakes == 0; ++i)
        namesakes = PyObject_RichCompareBool(PyTuple_GET_ITEM(PyList_GET_ITEM(keys, i - 1), 0),
                                             PyTuple_GET_ITEM(PyList_GET_ITEM(keys, i), 0), Py_EQ);
    if (namesakes <= 0) return namesakes;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
        PyObject* key = PyList_GET_ITEM(keys, i);
        Ref metadata = Ref::steal(PyObject_GetAttrString(PyTuple_GET_ITEM(key, 2), "metadata"));
        if (!metadata) return -1;
        Ref version = Ref::steal(PyObject_CallMethod(metadata.get(), "get", "ss", "Version", ""));
        if (!version) return -1;
        Ref rank = tuple_of({version.get(), PyTuple_GET_ITEM(key, 1)});
        if (!rank) return -1;
        Ref ranked = tuple_of({PyTuple_GET_ITEM(key, 0), rank.get(), PyTuple_GET_ITEM(key, 2)});
        if (!ranked) return -1;
        PyList_SetItem(keys, i, ranked.release());
    }
    return PyList_Sort(keys);
}

// The distributions of one sys.path entry as sort keys (normal name, rank,
// distribution), sorted; the rank is the position in the listing, which
// decides nothing unless two have one name. Those without a name are left out.
Ref distributions_in(const Enumeration& run, PyObject* entry) noexcept {
    Ref where = list_of(&entry, 1);
    if (!where) return Ref();
    Ref found = call_keywords(run.distributions.get(), {where.get()}, run.path_keyword.get());
    if (!found) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(found.get()));
    if (!iterator) return Ref();
    Ref keys = Ref::steal(PyList_New(0));
    if (!keys) return Ref();
    for (Py_ssize_t position = 0;; ++position) {
        Ref dist = Ref::steal(PyIter_Next(iterator.get()));
        if (!dist) break;
        Ref name = normal_name(run, dist.get());
        if (!name) return Ref();
        if (name.get() == Py_None) continue;
        Ref rank = Ref::steal(PyLong_FromSsize_t(position));
        if (!rank) return Ref();
        Ref key = tuple_of({name.get(), rank.get(), dist.get()});
        if (!key || PyList_Append(keys.get(), key.get()) < 0) return Ref();
    }
    if (PyErr_Occurred() || PyList_Sort(keys.get()) < 0) return Ref();
    if (order_namesakes(keys.get()) < 0) return Ref();
    return keys;
}

// 1 when the entry point is in the group and called `name` (any name when
// `name` is None).
int is_wanted(const Enumeration& run, PyObject* entry_point) noexcept {
    Ref group = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.group));
    if (!group) return -1;
    const int in_group = PyObject_RichCompareBool(group.get(), run.group, Py_EQ);
    if (in_group <= 0 || run.name == Py_None) return in_group;
    Ref own_name = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.name));
    if (!own_name) return -1;
    return PyObject_RichCompareBool(own_name.get(), run.name, Py_EQ);
}

// A record of an entry point with the members discovery uses (name,
// module_name, load()) and its distribution (dist).
Ref entry_point_record(const Enumeration& run, PyObject* entry_point, PyObject* dist) noexcept {
    Ref name = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.name));
    if (!name) return Ref();
    Ref module = entry_point_module(entry_point);
    if (!module) return Ref();
    Ref load = Ref::steal(PyObject_GetAttr(entry_point, runtime.names.load));
    if (!load) return Ref();
    return call_keywords(run.record_type.get(), {name.get(), module.get(), load.get(), dist},
                         run.record_keywords.get());
}

// Records the wanted entry points of a distribution, unless one of the same
// normal name has been taken before.
int take_distribution(Enumeration& run, PyObject* normal_name, PyObject* dist) noexcept {
    const int taken = PySet_Contains(run.taken.get(), normal_name);
    if (taken != 0) return taken < 0 ? -1 : 0;
    if (PySet_Add(run.taken.get(), normal_name) < 0) return -1;
    Ref entry_points = Ref::steal(PyObject_GetAttr(dist, runtime.names.entry_points));
    if (!entry_points) return -1;
    Ref iterator = Ref::steal(PyObject_GetIter(entry_points.get()));
    if (!iterator) return -1;
    while (Ref entry_point = Ref::steal(PyIter_Next(iterator.get()))) {
        const int wanted = is_wanted(run, entry_point.get());
        if (wanted < 0) return -1;
        if (!wanted) continue;
        Ref record = entry_point_record(run, entry_point.get(), dist);
        if (!record || PyList_Append(run.records.get(), record.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* iter_entry_points_body(MemberState&, PyObject* const* params) noexcept {
    Enumeration run;
    run.group = params[0];
    run.name = params[1];
    if (start_enumeration(run) < 0) return nullptr;
    Ref sys_path = Ref::borrow(PySys_GetObject("path"));
    if (!sys_path) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.path");
        return nullptr;
    }
    // A copy, which no code run meanwhile can change.
    Ref entries = Ref::steal(PySequence_List(sys_path.get()));
    if (!entries) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Ref keys = distributions_in(run, PyList_GET_ITEM(entries.get(), i));
        if (!keys) return nullptr;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.get()); ++k) {
            PyObject* key = PyList_GET_ITEM(keys.get(), k);
            if (take_distribution(run, PyTuple_GET_ITEM(key, 0), PyTuple_GET_ITEM(key, 2)) < 0)
                return nullptr;
        }
    }
    return PyObject_GetIter(run.records.get());
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
