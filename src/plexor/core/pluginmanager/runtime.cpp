#include "runtime.hpp"

namespace plexor {

Runtime runtime;

Ref list_of(PyObject* const* items, Py_ssize_t count) noexcept {
    Ref list = Ref::steal(PyList_New(count));
    if (!list) return list;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_INCREF(items[i]);
        PyList_SET_ITEM(list.get(), i, items[i]);
    }
    return list;
}

Ref tuple_of(std::initializer_list<PyObject*> items) noexcept {
    const auto count = static_cast<Py_ssize_t>(items.size());
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return tuple;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = items.begin()[i];
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple;
}

namespace {

// Keeps a new tuple of `names` in `slot`, for the process's lifetime.
int make_keywords(PyObject*& slot, std::initializer_list<PyObject*> names) noexcept {
    slot = tuple_of(names).release();
    if (slot == nullptr) return -1;
    return 0;
}

}  // namespace

int init_names() noexcept {
    if (runtime.names_ready) return 0;
    Names& n = runtime.names;
#define PLEXOR_INTERN_NAME(id, literal)         \
    n.id = PyUnicode_InternFromString(literal); \
    if (n.id == nullptr) return -1;
    PLEXOR_INTERNED_NAMES(PLEXOR_INTERN_NAME)
#undef PLEXOR_INTERN_NAME
    runtime.attr_names = {
#define PLEXOR_ATTR_NAME(id) n.id,
        PLEXOR_SELF_ATTRIBUTES(PLEXOR_ATTR_NAME)
#undef PLEXOR_ATTR_NAME
    };
    KeywordSets& k = runtime.keywords;
    if (make_keywords(k.os_platform_model, {n.os, n.platform, n.model}) < 0) return -1;
    if (make_keywords(k.platform_os, {n.platform, n.os}) < 0) return -1;
    if (make_keywords(k.os, {n.os}) < 0) return -1;
    if (make_keywords(k.chassis_type, {n.chassis_type}) < 0) return -1;
    if (make_keywords(k.data_output, {n.data, n.output}) < 0) return -1;
    if (make_keywords(k.group, {n.group}) < 0) return -1;
    if (make_keywords(k.name_module_name_load, {n.name, n.module_name, n.load}) < 0) return -1;
    runtime.names_ready = true;
    return 0;
}

Ref global(PyObject* name) noexcept {
    // A module whose load failed has given its namespace up.
    PyObject* found = nullptr;
    int status = runtime.module_dict ? PyDict_GetItemRef(runtime.module_dict, name, &found) : 0;
    if (status == 0 && runtime.builtins_dict)
        status = PyDict_GetItemRef(runtime.builtins_dict, name, &found);
    if (status == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref::steal(found);
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) noexcept {
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr));
}

Ref call_keywords(PyObject* callable, std::initializer_list<PyObject*> values,
                  PyObject* kwnames) noexcept {
    return Ref::steal(PyObject_Vectorcall(callable, values.begin(), 0, kwnames));
}

Ref call_attr(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) noexcept {
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) return method;
    return call(method.get(), args);
}

void raise_object(const Ref& exception) noexcept {
    if (PyExceptionInstance_Check(exception.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    } else if (PyExceptionClass_Check(exception.get())) {
        PyErr_SetNone(exception.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

InfraError::InfraError() noexcept : cls_(global(runtime.names.ConnectionInfraError)) {}

int InfraError::raise(const Ref& message) const noexcept {
    if (!message) return -1;
    Ref exception = call(cls_.get(), {message.get()});
    if (exception) raise_object(exception);
    return -1;
}

Ref builtin_import() noexcept {
    PyObject* import = nullptr;
    const int found =
        PyDict_GetItemRef(runtime.builtins_dict, runtime.names.dunder_import, &import);
    if (found == 0) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return Ref::steal(import);
}

Ref import_module(PyObject* name, PyObject* locals, PyObject* fromlist, int level) noexcept {
    // As an import statement does: builtins.__import__ as it is now, so that
    // hooks wrapping it see this module's imports too.
    Ref function = builtin_import();
    if (!function) return Ref();
    Ref level_number = Ref::steal(PyLong_FromLong(level));
    if (!level_number) return Ref();
    return call(function.get(), {name, runtime.module_dict, locals, fromlist, level_number.get()});
}

Ref import_for_from(const char* module, int level,
                    std::initializer_list<PyObject*> names) noexcept {
    Ref name = text(module);
    Ref locals = Ref::steal(PyDict_New());
    Ref fromlist = list_of(names.begin(), static_cast<Py_ssize_t>(names.size()));
    if (!name || !locals || !fromlist) return Ref();
    return import_module(name.get(), locals.get(), fromlist.get(), level);
}

namespace {

// ImportError "cannot import name ...", with the failure that led to it as context.
Ref cannot_import(PyObject* name) noexcept {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_ImportError, "cannot import name %U", name);
    if (cause != nullptr) {
        PyObject* import_error = PyErr_GetRaisedException();
        PyException_SetContext(import_error, cause);
        PyErr_SetRaisedException(import_error);
    }
    return Ref();
}

}  // namespace

Ref import_from(PyObject* module, PyObject* name) noexcept {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return cannot_import(name);
    PyErr_Clear();
    Ref package = Ref::steal(PyObject_GetAttr(module, runtime.names.dunder_name));
    if (!package || !PyUnicode_Check(package.get())) return cannot_import(name);
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
    if (!full_name) return full_name;
    value = Ref::steal(PyImport_GetModule(full_name.get()));
    if (value) return value;
    return cannot_import(name);
}

Ref log_debug() noexcept {
    Ref log = global(runtime.names.log);
    if (!log) return Ref();
    return Ref::steal(PyObject_GetAttr(log.get(), runtime.names.debug));
}

Ref format_one(const char* pattern, PyObject* value) noexcept {
    Ref format = text(pattern);
    if (!format) return Ref();
    Ref operand = Ref::steal(PyTuple_Pack(1, value));
    if (!operand) return Ref();
    return Ref::steal(PyUnicode_Format(format.get(), operand.get()));
}

int refuse(const char* message) noexcept {
    InfraError error;
    if (!error) return -1;
    return error.raise(text(message));
}

int refuse_formatted(const char* pattern, PyObject* value) noexcept {
    InfraError error;
    if (!error) return -1;
    return error.raise(format_one(pattern, value));
}

int refuse_remainder(const char* pattern, PyObject* value) noexcept {
    InfraError error;
    if (!error) return -1;
    Ref format = text(pattern);
    if (!format) return -1;
    return error.raise(Ref::steal(PyNumber_Remainder(format.get(), value)));
}

Ref concat(std::initializer_list<PyObject*> parts) noexcept {
    for (PyObject* part : parts)
        if (part == nullptr) return Ref();
    Ref joined = tuple_of(parts);
    if (!joined) return Ref();
    return Ref::steal(PyUnicode_Join(runtime.names.empty, joined.get()));
}

}  // namespace plexor
