// Every difference between the supported CPython versions lives here; the rest
// of the sources use the modern spelling only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <cstdint>

// 3.8: the vectorcall flag and entry points still carry a leading underscore.
#if PY_VERSION_HEX < 0x03090000
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#endif

namespace plexor::compat {

// 3.8: no PyInterpreterState_Get(); the thread state knows its interpreter.
inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX < 0x03090000
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#else
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#endif
}

// 3.10: argument binding errors of Python functions name the qualified name.
inline PyObject* binding_error_name(PyObject* name, PyObject* qualname) {
#if PY_VERSION_HEX < 0x030A0000
    (void)qualname;
    return name;
#else
    (void)name;
    return qualname;
#endif
}

// 3.13: an unexpected keyword argument error suggests the closest parameter
// name. Returns a new reference, or null (and no error) when there is none.
inline PyObject* keyword_suggestion(PyObject* parameter_names, PyObject* keyword) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* module = PyImport_ImportModule("_suggestions");
    PyObject* suggestion = module ? PyObject_CallMethod(module, "_generate_suggestions", "OO",
                                                        parameter_names, keyword)
                                  : nullptr;
    Py_XDECREF(module);
    if (suggestion == Py_None) Py_CLEAR(suggestion);
    PyErr_Clear();
    return suggestion;
#else
    (void)parameter_names;
    (void)keyword;
    return nullptr;
#endif
}

// 3.12: the dictionary version tag is deprecated; it serves as a change
// detector only before that. Returns false where it cannot be used. `dict` is
// a dictionary, never null.
inline bool dict_version(PyObject* dict, uint64_t& version) {
#if PY_VERSION_HEX < 0x030C0000
    assert(dict != nullptr);
    version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    return true;
#else
    (void)dict;
    (void)version;
    return false;
#endif
}

// 3.11: an instance dictionary may be managed by the interpreter; before, it
// sits at the type's dictionary offset (variable-sized objects aside).
inline PyObject** instance_dict_slot(PyObject* obj) {
#if PY_VERSION_HEX < 0x030B0000
    const Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset > 0) return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
#endif
    return _PyObject_GetDictPtr(obj);
}

// 3.13: a class's version tag is valid when it is not zero; before, a flag
// says so. Returns 0 for a class without a valid tag.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// 3.12: Python calls are counted apart from C recursion. A recursion that
// stands for a method calling itself counts against the Python limit there too.
inline int enter_recursion(const char* where) {
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState* thread = PyThreadState_Get();
    if (thread->py_recursion_remaining <= 0) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    if (Py_EnterRecursiveCall(where) != 0) return -1;
    --thread->py_recursion_remaining;
    return 0;
#else
    return Py_EnterRecursiveCall(where);
#endif
}

inline void leave_recursion() {
#if PY_VERSION_HEX >= 0x030C0000
    ++PyThreadState_Get()->py_recursion_remaining;
#endif
    Py_LeaveRecursiveCall();
}

// 3.8: a heap type's traverse must not visit its type; 3.9 and later must.
inline int visit_heap_type(PyObject* self, visitproc visit, void* arg) {
#if PY_VERSION_HEX < 0x03090000
    (void)self;
    (void)visit;
    (void)arg;
    return 0;
#else
    Py_VISIT(Py_TYPE(self));
    return 0;
#endif
}

// 3.12: every text is in its canonical form and PyUnicode_READY is deprecated.
inline int ready_text(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

}  // namespace plexor::compat
