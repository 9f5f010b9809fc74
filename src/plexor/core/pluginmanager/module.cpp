// Module definition and load steps, and the building of PluginManager.
#include "members.hpp"
#include "runtime.hpp"

#include <atomic>
#include <cctype>
#include <cstring>
#include <utility>

namespace plexor {
namespace {

constexpr const char* kModuleName = "plexor.core.pluginmanager";
constexpr const char* kClassName = "PluginManager";

constexpr const char* kModuleDoc =
    "\n"
    "Module:\n"
    "    plexor.core.pluginmanager\n"
    "\n"
    "Description:\n"
    "    This module provides\n"
    "    1. Methods for identifying and loading plugin implementations\n"
    "    2. Methods for validating and accessing platform implementation\n";

constexpr const char* kClassDoc =
    "\n"
    "        Loads all plugin implementation,\n"
    "        provides API's for accessing plugins\n"
    "    ";

// What the load rules keep for the process: the interpreter the module belongs
// to and the module object once created, until a load fails. The import lock
// lets one thread at a time load the module under its name; `busy` refuses a
// second load that runs at once on another thread under another name, as a
// load runs Python code and so cannot hold a lock.
struct LoadState {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    int64_t interpreter = -1;
    PyObject* module = nullptr;
    bool executed = false;
    bool entered_table = false;  // the running load put the module in the module table
};
LoadState load;

// Holds `load.busy` for one step of a load.
class LoadStep {
public:
    LoadStep() noexcept : entered_(!load.busy.test_and_set(std::memory_order_acquire)) {
        if (!entered_)
            PyErr_SetString(PyExc_ImportError,
                            "plexor.core.pluginmanager is being loaded by another thread");
    }
    LoadStep(const LoadStep&) = delete;
    LoadStep& operator=(const LoadStep&) = delete;
    ~LoadStep() {
        if (entered_) load.busy.clear(std::memory_order_release);
    }
    bool entered() const noexcept { return entered_; }

private:
    bool entered_;
};

// Copies spec.<from> to module.<to>; a spec without the attribute leaves it unset.
int copy_spec_attribute(PyObject* spec, const char* from, PyObject* module, const char* to,
                        bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyObject_SetAttrString(module, to, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    LoadStep step;
    if (!step.entered()) return nullptr;
    const int64_t interpreter = compat::current_interpreter_id();
    if (interpreter == -1 && PyErr_Occurred()) return nullptr;
    if (load.interpreter == -1) load.interpreter = interpreter;
    if (load.interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (load.module != nullptr) {
        Py_INCREF(load.module);
        return load.module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (copy_spec_attribute(spec, "loader", module.get(), "__loader__", false) < 0 ||
        copy_spec_attribute(spec, "origin", module.get(), "__file__", false) < 0 ||
        copy_spec_attribute(spec, "parent", module.get(), "__package__", false) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", module.get(), "__path__", true) < 0)
        return nullptr;
    load.module = Ref(module).release();
    return module.release();
}

int check_version() noexcept {
    char built[16];
    PyOS_snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    const size_t length = std::strlen(built);
    if (std::strncmp(running, built, length) == 0 &&
        !std::isdigit(static_cast<unsigned char>(running[length])))
        return 0;
    char shown[5] = {};
    for (int i = 0, dots = 0; i < 4; ++i) {
        const char c = running[i];
        if ((c == '.' && dots++ == 0) || std::isdigit(static_cast<unsigned char>(c))) {
            shown[i] = c;
        } else {
            break;
        }
    }
    return PyErr_WarnFormat(nullptr, 1,
                            "compile time version %s of module '%.100s' does not match runtime "
                            "version %s",
                            built, kModuleName, shown);
}

int enter_module_table(PyObject* module) noexcept {
    PyObject* table = PyImport_GetModuleDict();
    Ref name = text(kModuleName);
    if (!name) return -1;
    if (PyMapping_HasKey(table, name.get())) return 0;
    if (PyObject_SetItem(table, name.get(), module) < 0) return -1;
    load.entered_table = true;
    return 0;
}

// Takes back the module table entry a failed load made, keeping its error.
void leave_module_table(PyObject* module) noexcept {
    if (!load.entered_table) return;
    load.entered_table = false;
    PyObject* error = PyErr_GetRaisedException();
    PyObject* table = PyImport_GetModuleDict();
    Ref name = text(kModuleName);
    if (name) {
        Ref entry = Ref::steal(PyObject_GetItem(table, name.get()));
        if (entry.get() == module) PyObject_DelItem(table, name.get());
    }
    PyErr_SetRaisedException(error);
}

int keep_builtin(const char* name, PyObject*& slot) noexcept {
    Ref key = text(name);
    if (!key) return -1;
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(runtime.builtins_dict, key.get(), &value);
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    if (found <= 0) return -1;
    Py_XSETREF(slot, value);
    return 0;
}

// type.__mro__'s descriptor, which reads a class's method resolution order
// whatever its metaclass defines.
int keep_mro_getter() noexcept {
    if (runtime.mro_getter != nullptr) return 0;
    Ref type_dict = Ref::steal(PyType_GetDict(&PyType_Type));
    if (!type_dict) return -1;
    Ref name = text("__mro__");
    if (!name) return -1;
    PyObject* getter = nullptr;
    const int found = PyDict_GetItemRef(type_dict.get(), name.get(), &getter);
    if (found == 0) PyErr_SetString(PyExc_ImportError, "type has no __mro__");
    if (found <= 0) return -1;
    runtime.mro_getter = getter;
    return 0;
}

int keep_builtins() noexcept {
    KeptBuiltins& b = runtime.builtins;
    const std::pair<const char*, PyObject**> kept[] = {
        {"object", &b.object},
        {"property", &b.property},
        {"staticmethod", &b.staticmethod},
        {"ImportError", &b.import_error},
        {"hex", &b.hex},
        {"id", &b.id},
    };
    for (const auto& [name, slot] : kept)
        if (keep_builtin(name, *slot) < 0) return -1;
    return 0;
}

int import_plain(PyObject* globals, PyObject* name) noexcept {
    Ref module = import_module(name, globals, Py_None, 0);
    if (!module) return -1;
    return PyDict_SetItem(globals, name, module.get());
}

int import_names(PyObject* globals, const char* module, int level,
                 std::initializer_list<PyObject*> names) noexcept {
    Ref imported = import_for_from(module, level, names);
    if (!imported) return -1;
    for (PyObject* name : names) {
        Ref value = import_from(imported.get(), name);
        if (!value || PyDict_SetItem(globals, name, value.get()) < 0) return -1;
    }
    return 0;
}

// True when the error being raised is the ModuleNotFoundError of `name`.
bool module_not_found(PyObject* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return false;
    PyObject* error = PyErr_GetRaisedException();
    Ref missing = Ref::steal(PyObject_GetAttrString(error, "name"));
    bool same = false;
    if (missing) same = PyObject_RichCompareBool(missing.get(), name, Py_EQ) > 0;
    PyErr_SetRaisedException(error);
    return same;
}

// from pkg_resources import iter_entry_points; where pkg_resources does not
// exist, the module's own enumerator built on importlib.metadata instead.
int import_entry_point_enumerator(PyObject* globals) noexcept {
    const Names& n = runtime.names;
    if (import_names(globals, "pkg_resources", 0, {n.iter_entry_points}) == 0) return 0;
    if (!module_not_found(n.pkg_resources)) return -1;
    PyErr_Clear();
    Ref module_name = text(kModuleName);
    if (!module_name) return -1;
    Ref own = make_function(members::iter_entry_points, nullptr, module_name.get());
    if (!own) return -1;
    return PyDict_SetItem(globals, n.iter_entry_points, own.get());
}

int run_imports(PyObject* globals) noexcept {
    const Names& n = runtime.names;
    for (PyObject* module : {n.os, n.pkgutil, n.importlib})
        if (import_plain(globals, module) < 0) return -1;
    if (import_names(globals, "plexor", 0, {n.log}) < 0) return -1;
    if (import_names(globals, "plexor.plugins", 0, {n.supported_chassis, n.supported_os}) < 0)
        return -1;
    if (import_names(globals, "inspect", 0, {n.getfile}) < 0) return -1;
    if (import_names(globals, "errors", 1, {n.ConnectionInfraError}) < 0) return -1;
    return import_entry_point_enumerator(globals);
}

// Class body helpers: `namespace` is the mapping the metaclass prepared.
class ClassBody {
public:
    ClassBody(PyObject* module_name, Ref ns) noexcept
        : module_name_(module_name), ns_(std::move(ns)) {}

    // A null value is a step that failed with an error set.
    int set(const char* name, PyObject* value) const noexcept {
        if (value == nullptr) return -1;
        return PyMapping_SetItemString(ns_.get(), name, value);
    }
    int method(const Member& member) const noexcept {
        return set(member.name, function(member).get());
    }
    int static_method(const Member& member) const noexcept {
        Ref fn = function(member);
        if (!fn) return -1;
        return set(member.name, call(runtime.builtins.staticmethod, {fn.get()}).get());
    }
    // The property made from the getter, then given the setter through its
    // `setter`, looked up as a class body looks the name up.
    int property(const Member& getter, const Member& setter) const noexcept {
        Ref fget = function(getter);
        if (!fget || set(getter.name, call(runtime.builtins.property, {fget.get()}).get()) < 0)
            return -1;
        Ref current = lookup(getter.name);
        if (!current) return -1;
        Ref fset = function(setter);
        if (!fset) return -1;
        return set(getter.name, call_attr(current.get(), runtime.names.setter, {fset.get()}).get());
    }
    PyObject* ns() const noexcept { return ns_.get(); }

private:
    Ref function(const Member& member) const noexcept {
        return make_function(member, kClassName, module_name_);
    }
    Ref lookup(const char* name) const noexcept {
        Ref key = text(name);
        if (!key) return key;
        Ref value = Ref::steal(PyObject_GetItem(ns_.get(), key.get()));
        if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
        PyErr_Clear();
        return global(key.get());
    }

    PyObject* module_name_;
    Ref ns_;
};

// The members of PluginManager, in the order the class defines them.
struct ClassMember {
    enum class Kind { method, property, static_method };
    Kind kind;
    const Member* member;
    const Member* setter;  // a property's
};

constexpr ClassMember kClassMembers[] = {
    {ClassMember::Kind::method, &members::init, nullptr},
    {ClassMember::Kind::property, &members::plugins_getter, &members::plugins_setter},
    {ClassMember::Kind::method, &members::validate_model, nullptr},
    {ClassMember::Kind::method, &members::validate_platform, nullptr},
    {ClassMember::Kind::method, &members::validate_os, nullptr},
    {ClassMember::Kind::method, &members::validate_chassis_type, nullptr},
    {ClassMember::Kind::method, &members::validate_arguments, nullptr},
    {ClassMember::Kind::method, &members::get_plugin, nullptr},
    {ClassMember::Kind::method, &members::unregister_plugin, nullptr},
    {ClassMember::Kind::method, &members::register_plugin, nullptr},
    {ClassMember::Kind::static_method, &members::discover_builtin_plugins, nullptr},
    {ClassMember::Kind::static_method, &members::discover_external_plugins, nullptr},
    {ClassMember::Kind::method, &members::print_tree, nullptr},
    {ClassMember::Kind::method, &members::repr, nullptr},
};

int add_member(const ClassBody& body, const ClassMember& entry) noexcept {
    switch (entry.kind) {
        case ClassMember::Kind::method:
            return body.method(*entry.member);
        case ClassMember::Kind::property:
            return body.property(*entry.member, *entry.setter);
        case ClassMember::Kind::static_method:
            return body.static_method(*entry.member);
    }
    return -1;
}

int fill_class_body(const ClassBody& body, PyObject* module_name) noexcept {
    Ref qualname = text(kClassName);
    Ref doc = text(kClassDoc);
    if (body.set("__module__", module_name) < 0 || body.set("__qualname__", qualname.get()) < 0 ||
        body.set("__doc__", doc.get()) < 0)
        return -1;
    for (const ClassMember& entry : kClassMembers)
        if (add_member(body, entry) < 0) return -1;
    return 0;
}

// Builds the class as a class statement would: metaclass from the bases (the
// bases are the kept `object` alone, which needs no __mro_entries__), the
// namespace from its __prepare__, then a call of the metaclass.
Ref build_class() noexcept {
    Ref name = text(kClassName);
    Ref module_name = text(kModuleName);
    Ref bases = Ref::steal(PyTuple_Pack(1, runtime.builtins.object));
    if (!name || !module_name || !bases) return Ref();
    auto* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(runtime.builtins.object));
    Ref prepare = Ref::steal(PyObject_GetAttrString(metaclass, "__prepare__"));
    if (!prepare) return Ref();
    Ref ns = call(prepare.get(), {name.get(), bases.get()});
    if (!ns) return Ref();
    ClassBody body(module_name.get(), ns);
    if (fill_class_body(body, module_name.get()) < 0) return Ref();
    return call(metaclass, {name.get(), bases.get(), body.ns()});
}

#ifdef PLEXOR_DISPATCH_STATS
// dispatch_stats() -> (generic attribute lookups, generic method lookups,
// levels rendered apart): how often the methods left their direct path.
PyObject* dispatch_stats(PyObject*, PyObject*) noexcept {
    const DispatchStats& stats = runtime.stats;
    return Py_BuildValue("(nnn)", stats.attribute_lookups.load(), stats.method_lookups.load(),
                         stats.levels_rendered_apart.load());
}

// views_taken() -> how often a method took a view of an instance dictionary.
PyObject* views_taken(PyObject*, PyObject*) noexcept {
    return PyLong_FromSsize_t(runtime.stats.views_taken.load());
}

PyMethodDef stats_defs[] = {
    {"dispatch_stats", dispatch_stats, METH_NOARGS, nullptr},
    {"views_taken", views_taken, METH_NOARGS, nullptr},
};

// Offered by a module of its own, plexor.core._pluginmanager_stats, so that
// the namespace of this one stays as it is.
int add_dispatch_stats() noexcept {
    Ref stats = Ref::steal(PyModule_New("plexor.core._pluginmanager_stats"));
    if (!stats) return -1;
    for (PyMethodDef& def : stats_defs) {
        Ref function = Ref::steal(PyCFunction_New(&def, nullptr));
        if (!function || PyModule_AddObjectRef(stats.get(), def.ml_name, function.get()) < 0)
            return -1;
    }
    return PyDict_SetItemString(PyImport_GetModuleDict(), "plexor.core._pluginmanager_stats",
                                stats.get());
}
#else
int add_dispatch_stats() noexcept { return 0; }
#endif

int run_module_body(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (globals == nullptr || !builtins ||
        PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0)
        return -1;
    runtime.module_dict = globals;
    runtime.builtins_dict = PyModule_GetDict(builtins.get());
    if (check_version() < 0 || enter_module_table(module) < 0 || keep_builtins() < 0 ||
        run_imports(globals) < 0)
        return -1;
    Ref group = text("plexor.plugins");
    if (!group || PyDict_SetItemString(globals, "ENTRYPOINT_GROUP", group.get()) < 0) return -1;
    Ref cls = build_class();
    if (!cls || PyDict_SetItemString(globals, kClassName, cls.get()) < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(globals, "__test__", test.get()) < 0) return -1;
    return add_dispatch_stats();
}

int exec_module(PyObject* module) noexcept {
    LoadStep step;
    if (!step.entered()) return -1;
    if (load.executed) {
        if (module == load.module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'pluginmanager' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    if (init_names() < 0) return -1;
    if (runtime.function_type == nullptr) runtime.function_type = make_function_type();
    if (runtime.function_type == nullptr) return -1;
    if (keep_mro_getter() < 0) return -1;
    if (run_module_body(module) < 0) {
        // Forget this attempt, so that the next import starts afresh.
        leave_module_table(module);
        Py_CLEAR(load.module);
        runtime.module_dict = nullptr;
        return -1;
    }
    if (load.module != module) {
        Py_INCREF(module);
        Py_XSETREF(load.module, module);
    }
    load.executed = true;
    load.entered_table = false;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // Shared state is immutable once published, atomic, or guarded by the
    // objects' own critical sections: the free-threaded build keeps its GIL off.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pluginmanager",  // m_name
    kModuleDoc,       // m_doc
    0,                // m_size
    nullptr,          // m_methods
    module_slots,     // m_slots
    nullptr,          // m_traverse
    nullptr,          // m_clear
    nullptr,          // m_free
};

}  // namespace
}  // namespace plexor

PLEXOR_MODINIT_FUNC PyInit_pluginmanager() { return PyModuleDef_Init(&plexor::module_def); }
