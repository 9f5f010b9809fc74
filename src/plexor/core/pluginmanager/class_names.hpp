// str() of the leaves of one rendering, made once for each class that
// repeats.
#pragma once

#include "runtime.hpp"

#include <array>
#include <utility>

namespace plexor {

// The plugin records repeat a few classes many times, and str() of a plain
// class is made from its __module__ and __qualname__ alone: one rendering
// makes each such text once, for the same class with the same two objects
// (held here, so that identity means equality).
class ClassNames {
public:
    // str(value).
    Ref str(PyObject* value) noexcept {
        auto* type = reinterpret_cast<PyTypeObject*>(value);
        if (Py_TYPE(value) != &PyType_Type || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE))
            return str_of(value);
        Ref module = module_of(type);
        if (!module && PyErr_Occurred()) return Ref();
        Ref qualname = Ref::steal(PyType_GetQualName(type));
        if (!qualname) return Ref();
        for (const Entry& entry : entries_)
            if (entry.type == value && entry.module.get() == module.get() &&
                entry.qualname.get() == qualname.get())
                return entry.text;
        // Classes said to be builtins show their __name__ instead.
        if (!module || !PyUnicode_CheckExact(module.get()) ||
            PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0)
            return str_of(value);
        Entry fresh{value, std::move(module), std::move(qualname), str_of(value)};
        Ref text = fresh.text;
        if (text) entries_[next_++ % entries_.size()] = std::move(fresh);
        return text;
    }

private:
    // The class's own __module__, or null (an error set only on failure).
    static Ref module_of(PyTypeObject* type) noexcept {
        Ref dict = Ref::steal(PyType_GetDict(type));
        if (!dict) return Ref();
        PyObject* module = nullptr;
        PyDict_GetItemRef(dict.get(), runtime.names.dunder_module, &module);
        return Ref::steal(module);
    }

    struct Entry {
        PyObject* type = nullptr;  // compared only
        Ref module;
        Ref qualname;
        Ref text;
    };
    std::array<Entry, 8> entries_{};
    size_t next_ = 0;
};

}  // namespace plexor
