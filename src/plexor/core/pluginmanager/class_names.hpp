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
        if (Py_TYPE(value) != &PyType_Type ||
            !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(value), Py_TPFLAGS_HEAPTYPE))
            return str_of(value);
        auto* type = reinterpret_cast<PyHeapTypeObject*>(value);
        PyObject* module =
            PyDict_GetItemWithError(type->ht_type.tp_dict, runtime.names.dunder_module);
        for (const Entry& entry : entries_)
            if (entry.type == value && entry.module.get() == module &&
                entry.qualname.get() == type->ht_qualname)
                return entry.text;
        // Classes said to be builtins show their __name__ instead.
        if (module == nullptr || !PyUnicode_CheckExact(module) ||
            PyUnicode_CompareWithASCIIString(module, "builtins") == 0) {
            if (PyErr_Occurred()) return Ref();
            return str_of(value);
        }
        Entry fresh{value, Ref::borrow(module), Ref::borrow(type->ht_qualname), str_of(value)};
        Ref text = fresh.text;
        if (text) entries_[next_++ % entries_.size()] = std::move(fresh);
        return text;
    }

private:
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
