// The keys of a level of the tree, in the order the rendering takes them.
#pragma once

#include "runtime.hpp"

#include <array>
#include <vector>

namespace plexor {

// The keys of `data`, sorted, as `sorted(list(data.keys()))` gives them. The
// keys of a plain dict that are all plain str are ordered here, where
// comparing them runs no code.
class SortedKeys {
public:
    // Null (see operator bool) with an exception set on failure.
    explicit SortedKeys(PyObject* data) noexcept;

    explicit operator bool() const noexcept { return count_ > 0 || list_; }
    // True when the keys are plain str of a plain dict: sorting them, and
    // reading their values, ran and runs no code.
    bool texts_only() const noexcept { return count_ > 0; }
    Py_ssize_t size() const noexcept { return count_ > 0 ? count_ : PyList_GET_SIZE(list_.get()); }
    // The key at `index`, held by this object.
    PyObject* at(Py_ssize_t index) const noexcept {
        return count_ > 0 ? entries_[index].get() : PyList_GET_ITEM(list_.get(), index);
    }
    PyObject* last() const noexcept { return at(size() - 1); }

    // data[key] for the key at `index`, a plain str, of the plain dict `data`.
    // In a small dict whose keys are all plain str, the entry that holds that
    // very key is the one subscription finds, and finding it runs no code.
    // Otherwise a key whose equality runs code may come first, so the dict is
    // asked as subscription asks it.
    Ref value(PyObject* data, Py_ssize_t index) const noexcept {
        if (count_ > 0 && PyDict_GET_SIZE(data) <= kScanned) {
            PyObject* found = entry_among_texts(data, entries_[index].get());
            if (found != nullptr) return Ref::borrow(found);
        }
        return subscript(data, at(index));
    }

private:
    static constexpr Py_ssize_t kInline = 8;
    static constexpr Py_ssize_t kScanned = 3;  // up to here a scan beats a lookup

    // The value held under `key` itself, if every key of `data` is a plain str.
    static PyObject* entry_among_texts(PyObject* data, PyObject* key) noexcept {
        Py_ssize_t position = 0;
        PyObject* entry_key = nullptr;
        PyObject* entry_value = nullptr;
        PyObject* found = nullptr;
        for (Py_ssize_t left = PyDict_GET_SIZE(data);
             left > 0 && PyDict_Next(data, &position, &entry_key, &entry_value); --left) {
            if (!PyUnicode_CheckExact(entry_key)) return nullptr;
            if (entry_key == key) found = entry_value;
        }
        return found;
    }

    bool collect_texts(PyObject* data) noexcept;
    bool guarded_resize(Py_ssize_t size) noexcept;

    std::array<Ref, kInline> small_{};
    std::vector<Ref> large_;
    const Ref* entries_ = nullptr;
    Py_ssize_t count_ = 0;
    Ref list_;
};

}  // namespace plexor
