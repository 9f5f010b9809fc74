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

}  // namespace

int SortedKeys::list_unless_empty(PyObject* data) noexcept {
    int status = 1;
    Py_BEGIN_CRITICAL_SECTION(data);
    if (PyDict_GET_SIZE(data) != 0) status = list_dict(data);
    Py_END_CRITICAL_SECTION();
    return status;
}

int SortedKeys::list(PyObject* data) noexcept {
    if (PyDict_CheckExact(data)) {
        int status = 0;
        Py_BEGIN_CRITICAL_SECTION(data);
        status = list_dict(data);
        Py_END_CRITICAL_SECTION();
        return status;
    }
    Ref view = call_attr(data, runtime.names.keys, {});
    if (!view) return -1;
    list_ = Ref::steal(PySequence_List(view.get()));
    return list_ ? 0 : -1;
}

// The keys of a plain dict, within its critical section: kept and sorted
// here when they are all plain str, else listed for sort().
int SortedKeys::list_dict(PyObject* data) noexcept {
    if (collect_texts(data)) return 0;
    list_ = Ref::steal(PyDict_Keys(data));
    return list_ ? 0 : -1;
}

int SortedKeys::sort() noexcept {
    if (texts_only()) return 0;
    if (PyList_Sort(list_.get()) < 0) return -1;
    if (PyList_GET_SIZE(list_.get()) == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return -1;
    }
    return 0;
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
