#include "function.hpp"

#include "runtime.hpp"

#include <structmember.h>

#include <new>

namespace plexor {
namespace {

FunctionObject* as_function(PyObject* obj) noexcept {
    return reinterpret_cast<FunctionObject*>(obj);
}

PyObject* error_name(const FunctionObject* fn) noexcept {
    return compat::binding_error_name(fn->name, fn->qualname);
}

// "'a'", "'a' and 'b'" or "'a', 'b', and 'c'", as the interpreter lists missing arguments.
Ref quoted_list(const std::array<PyObject*, kMaxParams>& names, int count) noexcept {
    Ref joined = text("");
    if (!joined) return joined;
    for (int i = 0; i < count; ++i) {
        const char* glue = "";
        if (i > 0) glue = count == 2 ? " and " : (i == count - 1 ? ", and " : ", ");
        joined = Ref::steal(PyUnicode_FromFormat("%U%s'%U'", joined.get(), glue, names[i]));
        if (!joined) return joined;
    }
    return joined;
}

void raise_missing(const FunctionObject* fn, PyObject* const* bound, int required) noexcept {
    std::array<PyObject*, kMaxParams> missing{};
    int count = 0;
    for (int i = 0; i < required; ++i)
        if (bound[i] == nullptr) missing[count++] = fn->params[i];
    Ref list = quoted_list(missing, count);
    if (!list) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U",
                 error_name(fn), count, count == 1 ? "" : "s", list.get());
}

void raise_too_many(const FunctionObject* fn, Py_ssize_t given) noexcept {
    const Member& m = *fn->member;
    Ref signature;
    if (m.ndefaults) {
        signature =
            Ref::steal(PyUnicode_FromFormat("from %d to %d", m.nparams - m.ndefaults, m.nparams));
    } else {
        signature = Ref::steal(PyUnicode_FromFormat("%d", m.nparams));
    }
    if (!signature) return;
    const bool plural = m.ndefaults || m.nparams != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 error_name(fn), signature.get(), plural ? "s" : "", given,
                 given == 1 ? "was" : "were");
}

void raise_unexpected(const FunctionObject* fn, PyObject* keyword) noexcept {
    Ref names = list_of(fn->params.data(), fn->member->nparams);
    if (!names) return;
    Ref suggestion = Ref::steal(compat::keyword_suggestion(names.get(), keyword));
    if (suggestion) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     error_name(fn), keyword, suggestion.get());
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                     error_name(fn), keyword);
    }
}

// Index of the parameter called `keyword`, -1 if none, -2 on error.
int parameter_index(const FunctionObject* fn, PyObject* keyword) noexcept {
    const int n = fn->member->nparams;
    for (int i = 0; i < n; ++i)
        if (fn->params[i] == keyword) return i;
    for (int i = 0; i < n; ++i) {
        int equal = PyObject_RichCompareBool(keyword, fn->params[i], Py_EQ);
        if (equal != 0) return equal > 0 ? i : -2;
    }
    return -1;
}

// Binds the keyword arguments; same checks, in the same order, as the interpreter.
int bind_keywords(const FunctionObject* fn, PyObject* const* values, PyObject* kwnames,
                  PyObject** bound) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", error_name(fn));
            return -1;
        }
        const int index = parameter_index(fn, keyword);
        if (index == -2) return -1;
        if (index == -1) {
            raise_unexpected(fn, keyword);
            return -1;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         error_name(fn), keyword);
            return -1;
        }
        bound[index] = values[k];
    }
    return 0;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* fn = as_function(self);
    const Member& m = *fn->member;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Every parameter given by position: the arguments are the bound values.
    if (kwnames == nullptr && nargs == m.nparams) return m.body(fn->state, args);
    std::array<PyObject*, kMaxParams> bound{};
    for (Py_ssize_t i = 0; i < nargs && i < m.nparams; ++i) bound[i] = args[i];
    if (kwnames != nullptr && bind_keywords(fn, args + nargs, kwnames, bound.data()) < 0)
        return nullptr;
    if (nargs > m.nparams) {
        raise_too_many(fn, nargs);
        return nullptr;
    }
    const int required = m.nparams - m.ndefaults;
    for (int i = static_cast<int>(nargs); i < m.nparams; ++i) {
        if (bound[i] != nullptr) continue;
        if (i < required) {
            raise_missing(fn, bound.data(), required);
            return nullptr;
        }
        bound[i] = PyTuple_GET_ITEM(fn->defaults, i - required);
    }
    return m.body(fn->state, bound.data());
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* fn = as_function(self);
    Py_VISIT(fn->defaults);
    return compat::visit_heap_type(self, visit, arg);
}

void function_dealloc(PyObject* self) noexcept {
    FunctionObject* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    for (PyObject*& param : fn->params) Py_CLEAR(param);
    fn->state.~MemberState();
    type->tp_free(self);
    Py_DECREF(type);
}

// inspect.Signature of the parameters, for inspect.signature(), help() and IDEs.
PyObject* function_signature(PyObject* self, void*) noexcept {
    const FunctionObject* fn = as_function(self);
    const Member& m = *fn->member;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return nullptr;
    Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature) return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    if (!kind) return nullptr;
    Ref no_default = Ref::steal(PyObject_GetAttrString(parameter.get(), "empty"));
    if (!no_default) return nullptr;
    Ref keywords = Ref::steal(Py_BuildValue("(sss)", "name", "kind", "default"));
    if (!keywords) return nullptr;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    const int required = m.nparams - m.ndefaults;
    for (int i = 0; i < m.nparams; ++i) {
        PyObject* default_value =
            i < required ? no_default.get() : PyTuple_GET_ITEM(fn->defaults, i - required);
        Ref param = call_keywords(parameter.get(), {fn->params[i], kind.get(), default_value},
                                  keywords.get());
        if (!param) return nullptr;
        if (PyList_Append(params.get(), param.get()) < 0) return nullptr;
    }
    return call(signature.get(), {params.get()}).release();
}

// Copied as itself and pickled by reference, as a plain function is: the
// reduction is the qualified name, found again in the module.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    PyObject* qualname = as_function(self)->qualname;
    Py_INCREF(qualname);
    return qualname;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "plexor.core.pluginmanager.function",
    sizeof(FunctionObject),
    0,
    // NOLINTNEXTLINE(misc-redundant-expression): Py_TPFLAGS_DEFAULT ORs flags that are 0 on 3.8.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

// The interned text of `literal`, or None for null.
Ref none_or_interned(const char* literal) noexcept {
    if (literal == nullptr) return Ref::borrow(Py_None);
    return Ref::steal(PyUnicode_InternFromString(literal));
}

Ref defaults_tuple(const Member& m) noexcept {
    if (m.ndefaults == 0) return Ref::borrow(Py_None);
    Ref tuple = Ref::steal(PyTuple_New(m.ndefaults));
    if (!tuple) return tuple;
    for (int i = 0; i < m.ndefaults; ++i) {
        Ref value = none_or_interned(m.defaults[i]);
        if (!value) return Ref();
        PyTuple_SET_ITEM(tuple.get(), i, value.release());
    }
    return tuple;
}

}  // namespace

PyTypeObject* make_function_type() noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    if (type == nullptr) return nullptr;
    // Set here rather than through the PyType_Spec: 3.8 reads neither offset from it.
    type->tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    type->tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    // Instances come only from make_function().
    type->tp_new = nullptr;
    return type;
}

Ref make_function(const Member& member, const char* class_name, PyObject* module_name) noexcept {
    // The allocation takes its own reference to the heap type.
    Ref obj = Ref::steal(
        reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, runtime.function_type)));
    if (!obj) return obj;
    FunctionObject* fn = as_function(obj.get());
    fn->vectorcall = function_vectorcall;
    fn->member = &member;
    fn->name = fn->qualname = fn->module = fn->doc = fn->defaults = fn->weakrefs = nullptr;
    fn->params.fill(nullptr);
    new (&fn->state) MemberState();
    PyObject_GC_Track(obj.get());

    Py_INCREF(module_name);
    fn->module = module_name;
    fn->name = PyUnicode_InternFromString(member.name);
    if (fn->name == nullptr) return Ref();
    if (class_name != nullptr) {
        fn->qualname = PyUnicode_FromFormat("%s.%s", class_name, member.name);
    } else {
        fn->qualname = PyUnicode_FromString(member.name);
    }
    if (fn->qualname == nullptr) return Ref();
    if (member.doc != nullptr) {
        fn->doc = PyUnicode_FromString(member.doc);
        if (fn->doc == nullptr) return Ref();
    } else {
        Py_INCREF(Py_None);
        fn->doc = Py_None;
    }
    fn->defaults = defaults_tuple(member).release();
    if (fn->defaults == nullptr) return Ref();
    for (int i = 0; i < member.nparams; ++i) {
        fn->params[i] = PyUnicode_InternFromString(member.params[i]);
        if (fn->params[i] == nullptr) return Ref();
    }
    return obj;
}

}  // namespace plexor
