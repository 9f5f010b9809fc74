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
    SortedKeys() noexcept = default;
    SortedKeys(const SortedKeys&) = delete;
    SortedKeys& operator=(const SortedKeys&) = delete;
    SortedKeys(SortedKeys&&) = delete;
    SortedKeys& operator=(SortedKeys&&) = delete;
    ~SortedKeys() = default;

    // The truth test of the plain dict `data` and the listing of its keys,
    // in one step that no other thread's change of `data` can split: 1 when
    // it is empty (nothing listed), 0 when listed, -1 with an error set.
    int list_unless_empty(PyObject* data) noexcept;
    // Lists the keys of a dict of any kind: 0, or -1 with an error set.
    int list(PyObject* data) noexcept;
    // True when the keys are plain str of a plain dict: they are sorted
    // already, and sorting them, and reading their values, runs no code.
    bool texts_only() const noexcept { return count_ > 0; }
    // Sorts keys that are not all plain str, as the interpreter's sort does
    // (the keys' comparisons may run code); -1 with an error set.
    int sort() noexcept;

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
            Ref found = entry_among_texts(data, entries_[index].get());
            if (found) return found;
        }
        return subscript(data, at(index));
    }

private:
    static constexpr Py_ssize_t kInline = 8;
    static constexpr Py_ssize_t kScanned = 3;  // up to here a scan beats a lookup

    // The value held under `key` itself, if every key of `data` is a plain
    // str; read in the dict's critical section, as its entries are borrowed.
    static Ref entry_among_texts(PyObject* data, PyObject* key) noexcept {
        Ref found;
        Py_BEGIN_CRITICAL_SECTION(data);
        Py_ssize_t position = 0;
        PyObject* entry_key = nullptr;
        PyObject* entry_value = nullptr;
        PyObject* match = nullptr;
        bool texts = true;
        while (texts && PyDict_Next(data, &position, &entry_key, &entry_value)) {
            texts = PyUnicode_CheckExact(entry_key);
            if (entry_key == key) match = entry_value;
        }
        if (texts) found = Ref::borrow(match);
        Py_END_CRITICAL_SECTION();
        return found;
    }

    int list_dict(PyObject* data) noexcept;
    bool collect_texts(PyObject* data) noexcept;
    bool guarded_resize(Py_ssize_t size) noexcept;

    std::array<Ref, kInline> small_{};
    std::vector<Ref> large_;
    const Ref* entries_ = nullptr;
    Py_ssize_t count_ = 0;
    Ref list_;
};

}  // namespace plexor
