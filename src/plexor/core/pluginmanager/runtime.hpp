// Objects the module keeps from its load until the process ends: interned
// names, the builtins fetched once at load, and the module namespace that
// module-level names are looked up in at each use.
#pragma once

#include "plan.hpp"
#include "ref.hpp"

#include <atomic>
#include <cstring>
#include <initializer_list>

namespace plexor {

// Identifier and text of every name the methods use more than once.
#define PLEXOR_INTERNED_NAMES(X)                      \
    X(validate_arguments, "validate_arguments")       \
    X(validate_model, "validate_model")               \
    X(validate_platform, "validate_platform")         \
    X(validate_os, "validate_os")                     \
    X(validate_chassis_type, "validate_chassis_type") \
    X(print_tree, "print_tree")                       \
    X(plugins, "_plugins")                            \
    X(chassis_type_list, "chassis_type_list")         \
    X(supported_os, "supported_os")                   \
    X(supported_chassis, "supported_chassis")         \
    X(keys, "keys")                                   \
    X(data, "data")                                   \
    X(cls, "cls")                                     \
    X(path, "path")                                   \
    X(islower, "islower")                             \
    X(isdigit, "isdigit")                             \
    X(endswith, "endswith")                           \
    X(split, "split")                                 \
    X(setter, "setter")                               \
    X(debug, "debug")                                 \
    X(add_note, "add_note")                           \
    X(log, "log")                                     \
    X(ConnectionInfraError, "ConnectionInfraError")   \
    X(getfile, "getfile")                             \
    X(os, "os")                                       \
    X(pkgutil, "pkgutil")                             \
    X(importlib, "importlib")                         \
    X(iter_entry_points, "iter_entry_points")         \
    X(ENTRYPOINT_GROUP, "ENTRYPOINT_GROUP")           \
    X(walk_packages, "walk_packages")                 \
    X(import_module, "import_module")                 \
    X(dirname, "dirname")                             \
    X(load, "load")                                   \
    X(name, "name")                                   \
    X(module_name, "module_name")                     \
    X(dunder_name, "__name__")                        \
    X(dunder_module, "__module__")                    \
    X(dunder_class, "__class__")                      \
    X(dunder_path, "__path__")                        \
    X(dunder_file, "__file__")                        \
    X(dunder_import, "__import__")                    \
    X(pkg_resources, "pkg_resources")                 \
    X(entry_points, "entry_points")                   \
    X(get, "get")                                     \
    X(match, "match")                                 \
    X(module_group, "module")                         \
    X(platform, "platform")                           \
    X(model, "model")                                 \
    X(chassis_type, "chassis_type")                   \
    X(output, "output")                               \
    X(group, "group")                                 \
    X(single_rp, "single_rp")                         \
    X(linux_os, "linux")                              \
    X(newline, "\n")                                  \
    X(empty, "")                                      \
    X(leaf_separator, " = ")                          \
    X(child_prefix, "__ ")                            \
    X(dot, ".")                                       \
    X(plugins_infix, ".plugins.")                     \
    X(tests_infix, ".tests.")                         \
    X(tests_suffix, "tests")

struct Names {
#define PLEXOR_DECLARE_NAME(id, text) PyObject* id = nullptr;
    PLEXOR_INTERNED_NAMES(PLEXOR_DECLARE_NAME)
#undef PLEXOR_DECLARE_NAME
};

// Keyword-name tuples for calls made by keyword.
struct KeywordSets {
    PyObject* os_platform_model = nullptr;
    PyObject* platform_os = nullptr;
    PyObject* os = nullptr;
    PyObject* chassis_type = nullptr;
    PyObject* data_output = nullptr;
    PyObject* group = nullptr;
    PyObject* name_module_name_load = nullptr;
};

// The builtins the methods use as they were when the module loaded.
struct KeptBuiltins {
    PyObject* object = nullptr;
    PyObject* property = nullptr;
    PyObject* staticmethod = nullptr;
    PyObject* import_error = nullptr;
    PyObject* hex = nullptr;
    PyObject* id = nullptr;
};

// How often the methods fell back to the interpreter's generic attribute
// access, or rendered a level apart, and how often they took a view of an
// instance dictionary. Counted in builds with PLEXOR_DISPATCH_STATS only,
// where plexor.core._pluginmanager_stats offers dispatch_stats() and
// views_taken().
// Atomic counters, as threads count at once; an increment is a relaxed load
// and store, not a locked add, so that counting costs the hot path nothing
// measurable, and two threads counting at the same moment may count once.
struct DispatchStats {
    std::atomic<Py_ssize_t> attribute_lookups{0};
    std::atomic<Py_ssize_t> method_lookups{0};
    std::atomic<Py_ssize_t> levels_rendered_apart{0};
    std::atomic<Py_ssize_t> views_taken{0};
};

#ifdef PLEXOR_DISPATCH_STATS
inline void count_generic_access(std::atomic<Py_ssize_t>& counter) noexcept {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
#else
inline void count_generic_access(std::atomic<Py_ssize_t>&) noexcept {}
#endif

struct Runtime {
    bool names_ready = false;  // names and keyword tuples made (once per process)
    Names names;
    KeywordSets keywords;
    KeptBuiltins builtins;
    std::array<PyObject*, kAttrCount> attr_names{};  // the Attr names, in their order
    PyObject* module_dict = nullptr;                 // namespace of the loaded module
    PyObject* builtins_dict = nullptr;               // namespace of the builtins module
    PyTypeObject* function_type = nullptr;
    PyObject* mro_getter = nullptr;  // type.__dict__["__mro__"]
    DispatchStats stats;
};

// Filled step by step while the module loads, which the import lock lets
// one thread do at a time; read-only afterwards, but for the counters.
extern Runtime runtime;

// Interns the names and builds the keyword tuples once per process.
int init_names() noexcept;

// Looks a module-level name up as the methods do at each use: the module
// namespace, then the builtins; NameError when neither has it.
Ref global(PyObject* name) noexcept;

// Calls `callable` with the given positional arguments.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args) noexcept;

// Calls `callable` with values bound to the names of `kwnames`.
Ref call_keywords(PyObject* callable, std::initializer_list<PyObject*> values,
                  PyObject* kwnames) noexcept;

// Fetches obj.name and calls it with the given positional arguments.
Ref call_attr(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) noexcept;

// Raises `exception` the way a raise statement raises a called class's result.
void raise_object(const Ref& exception) noexcept;

// Raises the host's ConnectionInfraError with `message`. The class is looked up
// first, as the methods resolve it before composing their messages.
class InfraError {
public:
    InfraError() noexcept;
    explicit operator bool() const noexcept { return static_cast<bool>(cls_); }
    // Always returns -1 so that failing paths can `return err.raise(...)`.
    int raise(const Ref& message) const noexcept;

private:
    Ref cls_;
};

// The host logger's `debug`, looked up as `log.debug` is at each use.
Ref log_debug() noexcept;

// pattern % (value,): the value is the one operand, whatever its type.
Ref format_one(const char* pattern, PyObject* value) noexcept;

// Raise ConnectionInfraError(message), ConnectionInfraError(pattern % (value,)),
// and ConnectionInfraError(pattern % value), where the value takes part in the
// operator (a str subclass's __rmod__). All return -1.
int refuse(const char* message) noexcept;
int refuse_formatted(const char* pattern, PyObject* value) noexcept;
int refuse_remainder(const char* pattern, PyObject* value) noexcept;

// builtins.__import__ as it is now; ImportError when the builtins lack it.
Ref builtin_import() noexcept;

// Imports `name` as an import statement in the module body does, with the
// module namespace as globals.
Ref import_module(PyObject* name, PyObject* locals, PyObject* fromlist, int level) noexcept;

// Imports `module` (relative when `level` > 0) with the module namespace as
// globals, an empty mapping as locals and `names` as the from-list.
Ref import_for_from(const char* module, int level, std::initializer_list<PyObject*> names) noexcept;

// Fetches `name` from a module imported by import_for_from: its attribute, or,
// failing that, the module table's entry for the submodule of that name.
Ref import_from(PyObject* module, PyObject* name) noexcept;

// The truth test, answered inline for None, the booleans, plain texts, plain
// dicts and classes made by `type` itself (which defines no truth of its own).
inline int truth(PyObject* obj) noexcept {
    if (obj == Py_None || obj == Py_False) return 0;
    if (obj == Py_True || Py_TYPE(obj) == &PyType_Type) return 1;
    if (PyDict_CheckExact(obj)) return PyDict_GET_SIZE(obj) != 0;
    if (PyUnicode_CheckExact(obj)) {
        if (compat::ready_text(obj) < 0) return -1;
        return PyUnicode_GET_LENGTH(obj) != 0;
    }
    return PyObject_IsTrue(obj);
}

// True for None and plain texts, whose truth, comparisons and case tests
// run no code.
inline bool is_plain(PyObject* obj) noexcept { return obj == Py_None || PyUnicode_CheckExact(obj); }

// container[key]; a plain dict asked for a plain str is read directly.
inline Ref subscript(PyObject* container, PyObject* key) noexcept {
    if (!PyDict_CheckExact(container) || !PyUnicode_CheckExact(key))
        return Ref::steal(PyObject_GetItem(container, key));
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(container, key, &value) == 0) PyErr_SetObject(PyExc_KeyError, key);
    return Ref::steal(value);
}

// Equality of two plain str, ready (compat::ready_text), without running any
// code: equal texts have the same kind and the same characters.
inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// str() of `obj`.
inline Ref str_of(PyObject* obj) noexcept { return Ref::steal(PyObject_Str(obj)); }

// Raises the exception being raised again, with the note that `describe()`
// makes added (3.11 and later). It stays the same object, so its type, message
// and traceback are as they were; a note that cannot be made or added is left
// out. Returns -1.
template <typename Describe>
int raise_with_note(Describe describe) noexcept {
    if (!compat::exceptions_take_notes) return -1;
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    if (!failure) return -1;
    Ref note = describe();
    if (note) call_attr(failure.get(), runtime.names.add_note, {note.get()});
    PyErr_Clear();
    PyErr_SetRaisedException(failure.release());
    return -1;
}

// A new list of `count` objects.
Ref list_of(PyObject* const* items, Py_ssize_t count) noexcept;

// A new tuple of the given objects.
Ref tuple_of(std::initializer_list<PyObject*> items) noexcept;

// Concatenation of texts; a null part is a step that failed with an error set.
Ref concat(std::initializer_list<PyObject*> parts) noexcept;

// A text made from a C string literal.
inline Ref text(const char* utf8) noexcept { return Ref::steal(PyUnicode_FromString(utf8)); }

}  // namespace plexor
