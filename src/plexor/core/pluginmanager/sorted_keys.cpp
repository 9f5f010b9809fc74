#include "sorted_keys.hpp"

#include "compiler.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace plexor {
namespace {

// True when `a` sorts after `b` by code points. One-byte texts compare
// bytewise, in the same order.
bool sorts_after(PyObject* a, PyObject* b) noexcept {
    if (PyUnicode_KIND(a) != PyUnicode_1BYTE_KIND || PyUnicode_KIND(b) != PyUnicode_1BYTE_KIND)
        return PyUnicode_Compare(a, b) > 0;
    const Py_ssize_t length_a = PyUnicode_GET_LENGTH(a);
    const Py_ssize_t length_b = PyUnicode_GET_LENGTH(b);
    const Py_ssize_t common = std::min(length_a, length_b);
    const int order =
        std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(common));
    if (order != 0) return order > 0;
    return length_a > length_b;
}

// list(data.keys()), or a plain dict's keys.
Ref key_list(PyObject* data) noexcept {
    if (PyDict_CheckExact(data)) return Ref::steal(PyDict_Keys(data));
    Ref view = call_attr(data, runtime.names.keys, {});
    if (!view) return view;
    return Ref::steal(PySequence_List(view.get()));
}

}  // namespace

SortedKeys::SortedKeys(PyObject* data) noexcept {
    if (PyDict_CheckExact(data) && collect_texts(data)) return;
    Ref keys = key_list(data);
    if (!keys) return;
    if (PyList_Sort(keys.get()) < 0) return;
    if (PyList_GET_SIZE(keys.get()) == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return;
    }
    list_ = std::move(keys);
}

// Keeps the keys sorted by code points; false (nothing kept) unless every
// key is a plain str.
bool SortedKeys::collect_texts(PyObject* data) noexcept {
    const Py_ssize_t size = PyDict_GET_SIZE(data);
    if (size > kInline && !guarded_resize(size)) return false;
    Ref* entries = size > kInline ? large_.data() : small_.data();
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Nothing here runs code, so the dict keeps its `size` entries.
    Py_ssize_t count = 0;
    for (; count < size && PyDict_Next(data, &position, &key, &value); ++count) {
        if (!PyUnicode_CheckExact(key) || compat::ready_text(key) < 0) {
            PyErr_Clear();
            return false;  // the keys kept so far are released with the object
        }
        prefetch(value);  // each child is read soon, in key order
        entries[count] = Ref::borrow(key);
    }
    const auto by_code_points = [](const Ref& a, const Ref& b) {
        return sorts_after(b.get(), a.get());
    };
    if (count > kInline) {
        std::sort(entries, entries + count, by_code_points);
    } else {
        for (Py_ssize_t i = 1; i < count; ++i)
            for (Py_ssize_t slot = i; slot > 0 && by_code_points(entries[slot], entries[slot - 1]);
                 --slot)
                std::swap(entries[slot], entries[slot - 1]);
    }
    entries_ = entries;
    count_ = count;
    return count > 0;
}

bool SortedKeys::guarded_resize(Py_ssize_t size) noexcept {
    try {
        large_.resize(static_cast<size_t>(size));
        return true;
    } catch (const std::bad_alloc&) {
        return false;  // the list of keys serves instead
    }
}

}  // namespace plexor
