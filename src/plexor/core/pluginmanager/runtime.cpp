#include "runtime.hpp"

namespace plexor {

Runtime runtime;

namespace {

PyObject* keyword_tuple(std::initializer_list<PyObject*> names) noexcept {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (tuple == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* name : names) {
        Py_INCREF(name);
        PyTuple_SET_ITEM(tuple, i++, name);
    }
    return tuple;
}

}  // namespace

int init_names() noexcept {
    if (runtime.names_ready) return 0;
    Names& n = runtime.names;
#define PLEXOR_INTERN_NAME(id, literal) \
    if ((n.id = PyUnicode_InternFromString(literal)) == nullptr) return -1;
    PLEXOR_INTERNED_NAMES(PLEXOR_INTERN_NAME)
#undef PLEXOR_INTERN_NAME
    runtime.attr_names = {n.validate_arguments, n.validate_model,        n.validate_platform,
                          n.validate_os,        n.validate_chassis_type, n.print_tree,
                          n.plugins_attr,       n.supported_os,          n.chassis_type_list};
    KeywordSets& k = runtime.keywords;
    k.os_platform_model = keyword_tuple({n.os, n.platform, n.model});
    k.platform_os = keyword_tuple({n.platform, n.os});
    k.os = keyword_tuple({n.os});
    k.chassis_type = keyword_tuple({n.chassis_type});
    k.data_output = keyword_tuple({n.data, n.output});
    k.group = keyword_tuple({n.group});
    if (!k.os_platform_model || !k.platform_os || !k.os || !k.chassis_type || !k.data_output ||
        !k.group)
        return -1;
    runtime.names_ready = true;
    return 0;
}

Ref global(PyObject* name) noexcept {
    // A module whose load failed has given its namespace up.
    PyObject* found =
        runtime.module_dict ? PyDict_GetItemWithError(runtime.module_dict, name) : nullptr;
    if (found == nullptr && !PyErr_Occurred() && runtime.builtins_dict)
        found = PyDict_GetItemWithError(runtime.builtins_dict, name);
    if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return Ref();
    }
    return Ref::borrow(found);
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

Ref import_for_from(const char* module, int level,
                    std::initializer_list<PyObject*> names) noexcept {
    Ref name = text(module);
    Ref locals = Ref::steal(PyDict_New());
    Ref fromlist = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!name || !locals || !fromlist) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* wanted : names) {
        Py_INCREF(wanted);
        PyList_SET_ITEM(fromlist.get(), i++, wanted);
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(name.get(), runtime.module_dict,
                                                       locals.get(), fromlist.get(), level));
}

namespace {

// ImportError "cannot import name ...", with the failure that led to it as context.
Ref cannot_import(PyObject* name) noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_Format(PyExc_ImportError, "cannot import name %U", name);
    if (value != nullptr) {
        PyObject* new_type = nullptr;
        PyObject* new_value = nullptr;
        PyObject* new_traceback = nullptr;
        PyErr_Fetch(&new_type, &new_value, &new_traceback);
        PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
        PyException_SetContext(new_value, value);
        PyErr_Restore(new_type, new_value, new_traceback);
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

Ref concat(std::initializer_list<PyObject*> parts) noexcept {
    for (PyObject* part : parts)
        if (part == nullptr) return Ref();
    Ref joined = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    if (!joined) return joined;
    Py_ssize_t i = 0;
    for (PyObject* part : parts) {
        Py_INCREF(part);
        PyTuple_SET_ITEM(joined.get(), i++, part);
    }
    return Ref::steal(PyUnicode_Join(runtime.names.empty, joined.get()));
}

}  // namespace plexor
