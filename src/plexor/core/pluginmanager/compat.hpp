// Every difference between the supported CPython versions lives here; the rest
// of the sources use the modern spelling only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
// 3.11: Python.h declares the frame functions; before, frameobject.h does.
#if PY_VERSION_HEX < 0x030B0000
#include <frameobject.h>
#endif

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

// 3.9: the frames a thread runs are walked with PyThreadState_GetFrame and
// PyFrame_GetBack (new references); before, through the structures' fields.
#if PY_VERSION_HEX < 0x03090000
inline PyFrameObject* PyThreadState_GetFrame(PyThreadState* thread) {
    Py_XINCREF(thread->frame);
    return thread->frame;
}

inline PyFrameObject* PyFrame_GetBack(PyFrameObject* frame) {
    Py_XINCREF(frame->f_back);
    return frame->f_back;
}
#endif

// 3.12: the raised exception is one object; before, a (type, value,
// traceback) triple that may still need normalizing.
#if PY_VERSION_HEX < 0x030C0000
inline PyObject* PyErr_GetRaisedException() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exception) {
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}
#endif

// 3.11: the exception being handled is one object too.
#if PY_VERSION_HEX < 0x030B0000
inline PyObject* PyErr_GetHandledException() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_GetExcInfo(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void PyErr_SetHandledException(PyObject* exception) {
    if (exception == nullptr || exception == Py_None) {
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
        return;
    }
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    Py_INCREF(exception);
    PyErr_SetExcInfo(type, exception, PyException_GetTraceback(exception));
}
#endif

// 3.13: a dictionary lookup that hands out a strong reference.
#if PY_VERSION_HEX < 0x030D0000
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    *result = PyDict_GetItemWithError(dict, key);
    if (*result != nullptr) {
        Py_INCREF(*result);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}
#endif

// 3.10: PyModule_AddObjectRef leaves the caller's reference alone.
#if PY_VERSION_HEX < 0x030A0000
inline int PyModule_AddObjectRef(PyObject* module, const char* name, PyObject* value) {
    Py_XINCREF(value);
    const int status = PyModule_AddObject(module, name, value);
    if (status < 0) Py_XDECREF(value);
    return status;
}
#endif

// 3.13: a list item handed out as a strong reference.
#if PY_VERSION_HEX < 0x030D0000
inline PyObject* PyList_GetItemRef(PyObject* list, Py_ssize_t index) {
    PyObject* item = PyList_GetItem(list, index);
    Py_XINCREF(item);
    return item;
}
#endif

// 3.12: a class's dictionary handed out as a strong reference.
#if PY_VERSION_HEX < 0x030C0000
inline PyObject* PyType_GetDict(PyTypeObject* type) {
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
}
#endif

// 3.11: a class's qualified name as a new reference (this module asks it of
// heap types only, whose qualified name the class holds).
#if PY_VERSION_HEX < 0x030B0000
inline PyObject* PyType_GetQualName(PyTypeObject* type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE))
        return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
    PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
    Py_INCREF(qualname);
    return qualname;
}
#endif

// 3.13: per-object critical sections, which the free-threaded build needs
// and every other build compiles to a plain block.
#if PY_VERSION_HEX < 0x030D0000
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): the interpreter's own macro, as it reads.
#define Py_BEGIN_CRITICAL_SECTION(op) {
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): the interpreter's own macro, as it reads.
#define Py_END_CRITICAL_SECTION() }
#endif

// 3.9: PyMODINIT_FUNC gives the entry point default visibility.
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__)
#define PLEXOR_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define PLEXOR_MODINIT_FUNC PyMODINIT_FUNC
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
    if (module == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* suggestion =
        PyObject_CallMethod(module, "_generate_suggestions", "OO", parameter_names, keyword);
    Py_DECREF(module);
    if (suggestion == Py_None) Py_CLEAR(suggestion);
    PyErr_Clear();
    return suggestion;
#else
    (void)parameter_names;
    (void)keyword;
    return nullptr;
#endif
}

// 3.11: instances may have a dictionary that the interpreter manages, which
// the class marks with a flag instead of a dictionary offset.
inline bool has_instance_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return true;
#endif
    return type->tp_dictoffset != 0;
}

// 3.13: a class's version tag is valid when it is not zero; before, a flag
// says so. Returns 0 for a class without a valid tag. The tag is read as the
// free-threaded interpreter writes it, atomically.
inline unsigned int type_version(PyTypeObject* type) {
    const unsigned int tag = __atomic_load_n(&type->tp_version_tag, __ATOMIC_RELAXED);
#if PY_VERSION_HEX >= 0x030D0000
    return tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? tag : 0;
#endif
}

// Free-threaded builds: the item at `index` of a list that other threads may
// change, as a new reference, or null (no error) past its end. The lookup
// writes nothing to the list, so threads that read one list do not contend;
// elsewhere the interpreter lock keeps the item alive while it is read.
inline PyObject* list_item_ref(PyObject* list, Py_ssize_t index) {
    if (index >= PyList_GET_SIZE(list)) return nullptr;
#ifdef Py_GIL_DISABLED
    PyObject* item = PyList_GetItemRef(list, index);
    if (item == nullptr) PyErr_Clear();  // the list shrank meanwhile
    return item;
#else
    PyObject* item = PyList_GET_ITEM(list, index);
    Py_INCREF(item);
    return item;
#endif
}

// 3.12: Python calls are counted apart from C recursion, and the interpreter
// offers no public way to count a level against the Python limit. A level that
// stands for a method calling itself is then counted by the caller against
// Py_GetRecursionLimit() as well; before 3.12 Py_EnterRecursiveCall does both.
inline constexpr bool counts_python_recursion_apart = PY_VERSION_HEX >= 0x030C0000;

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

// 3.14: unpacking too many values out of a list, tuple or dict tells its length.
inline constexpr bool unpacking_tells_length = PY_VERSION_HEX >= 0x030E0000;

// 3.11: an exception carries notes (BaseException.add_note), printed after its
// message; before, there is nowhere to put one.
inline constexpr bool exceptions_take_notes = PY_VERSION_HEX >= 0x030B0000;

}  // namespace plexor::compat
