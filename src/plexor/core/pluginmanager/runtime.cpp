#include "runtime.hpp"

namespace plexor {

Runtime runtime;

Ref list_of(PyObject* const* items, Py_ssize_t count) noexcept {
    Ref list = Ref::steal(PyList_New(count));
    for (Py_ssize_t i = 0; list && i < count; ++i) {
        Py_INCREF(items[i]);
        PyList_SET_ITEM(list.get(), i, items[i]);
    }
    return list;
}

Ref tuple_of(std::initializer_list<PyObject*> items) noexcept {
    const auto count = static_cast<Py_ssize_t>(items.size());
    Ref tuple = Ref::steal(PyTuple_New(count));
    for (Py_ssize_t i = 0; tuple && i < count; ++i) {
        PyObject* item = items.begin()[i];
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple.get(), i, item);
    }
    return tuple;
}

int init_names() noexcept {
    if (runtime.names_ready) return 0;
    Names& n = runtime.names;
#define PLEXOR_INTERN_NAME(id, literal) \
    if ((n.id = PyUnicode_InternFromString(literal)) == nullptr) return -1;
    PLEXOR_INTERNED_NAMES(PLEXOR_INTERN_NAME)
#undef PLEXOR_INTERN_NAME
    runtime.attr_names = {
#define PLEXOR_ATTR_NAME(id) n.id,
        PLEXOR_SELF_ATTRIBUTES(PLEXOR_ATTR_NAME)
#undef PLEXOR_ATTR_NAME
    };
    KeywordSets& k = runtime.keywords;
    k.os_platform_model = tuple_of({n.os, n.platform, n.model}).release();
    k.platform_os = tuple_of({n.platform, n.os}).release();
    k.os = tuple_of({n.os}).release();
    k.chassis_type = tuple_of({n.chassis_type}).release();
    k.data_output = tuple_of({n.data, n.output}).release();
    k.group = tuple_of({n.group}).release();
    k.name_module_name_load = tuple_of({n.name, n.module_name, n.load}).release();
    if (!k.os_platform_model || !k.platform_os || !k.os || !k.chassis_type || !k.data_output ||
        !k.group || !k.name_module_name_load)
        return -1;
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

Ref import_module(PyObject* name, PyObject* locals, PyObject* fromlist, int level) noexcept {
    // As an import statement does: builtins.__import__ as it is now, so that
    // hooks wrapping it see this module's imports too.
    PyObject* import = nullptr;
    const int found =
        PyDict_GetItemRef(runtime.builtins_dict, runtime.names.dunder_import, &import);
    Ref function = Ref::steal(import);
    if (found == 0) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    Ref level_number = function ? Ref::steal(PyLong_FromLong(level)) : Ref();
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
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return value ? value : cannot_import(name);
    PyErr_Clear();
    Ref package = Ref::steal(PyObject_GetAttr(module, runtime.names.dunder_name));
    if (!package || !PyUnicode_Check(package.get())) return cannot_import(name);
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
    if (!full_name) return full_name;
    value = Ref::steal(PyImport_GetModule(full_name.get()));
    return value ? value : cannot_import(name);
}

Ref log_debug() noexcept {
    Ref log = global(runtime.names.log);
    return log ? Ref::steal(PyObject_GetAttr(log.get(), runtime.names.debug)) : Ref();
}

Ref format_one(const char* pattern, PyObject* value) noexcept {
    Ref format = text(pattern);
    Ref operand = format ? Ref::steal(PyTuple_Pack(1, value)) : Ref();
    return operand ? Ref::steal(PyUnicode_Format(format.get(), operand.get())) : Ref();
}

int refuse(const char* message) noexcept {
    InfraError error;
    return error ? error.raise(text(message)) : -1;
}

int refuse_formatted(const char* pattern, PyObject* value) noexcept {
    InfraError error;
    return error ? error.raise(format_one(pattern, value)) : -1;
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
    return joined ? Ref::steal(PyUnicode_Join(runtime.names.empty, joined.get())) : Ref();
}

}  // namespace plexor
