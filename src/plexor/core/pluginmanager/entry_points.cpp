// The module's own enumeration of installed entry points (iter_entry_points).
#include "entry_points.hpp"

namespace plexor {
namespace {

// The module an entry point refers to: `module` from 3.9 on, before that
// the part of its value that the entry point's own pattern calls so.
Ref entry_point_module(PyObject* entry_point) noexcept {
    Ref module = Ref::steal(PyObject_GetAttrString(entry_point, "module"));
    if (module) return module;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    Ref pattern = Ref::steal(PyObject_GetAttrString(entry_point, "pattern"));
    if (!pattern) return Ref();
    Ref value = Ref::steal(PyObject_GetAttrString(entry_point, "value"));
    if (!value) return Ref();
    Ref match = call_attr(pattern.get(), runtime.names.match, {value.get()});
    if (!match) return Ref();
    return call_attr(match.get(), runtime.names.group, {runtime.names.module_group});
}

// The state of one enumeration.
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
    if (!run.path_keyword) return -1;
    run.record_keywords = tuple_of({n.name, n.module_name, n.load, dist.get()});
    if (!run.record_keywords) return -1;
    run.taken = Ref::steal(PySet_New(nullptr));
    if (!run.taken) return -1;
    run.records = Ref::steal(PyList_New(0));
    if (!run.records) return -1;
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
        if (!key) return Ref();
        if (PyList_Append(keys.get(), key.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    if (PyList_Sort(keys.get()) < 0) return Ref();
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
    if (taken < 0) return -1;
    if (taken) return 0;
    if (PySet_Add(run.taken.get(), normal_name) < 0) return -1;
    Ref entry_points = Ref::steal(PyObject_GetAttr(dist, runtime.names.entry_points));
    if (!entry_points) return -1;
    Ref iterator = Ref::steal(PyObject_GetIter(entry_points.get()));
    if (!iterator) return -1;
    for (;;) {
        Ref entry_point = Ref::steal(PyIter_Next(iterator.get()));
        if (!entry_point) break;
        const int wanted = is_wanted(run, entry_point.get());
        if (wanted < 0) return -1;
        if (!wanted) continue;
        Ref record = entry_point_record(run, entry_point.get(), dist);
        if (!record) return -1;
        if (PyList_Append(run.records.get(), record.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* iterate_entry_points(PyObject* group, PyObject* name) noexcept {
    Enumeration run;
    run.group = group;
    run.name = name;
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

}  // namespace plexor
