// Calls of the manager's own members through `self`, as attribute access and a
// call would make them, without the bound method and keyword dictionary such a
// call costs when the attribute found is one of this module's functions.
#pragma once

#include "function.hpp"
#include "runtime.hpp"

#include <array>
#include <cstdint>

namespace plexor {

// The instance attributes of `self` during one operation. While the instance
// dictionary is unchanged, its entries come from one pass over it rather than
// a probe per name.
class SelfLookup {
public:
    explicit SelfLookup(PyObject* self) noexcept : self_(self) {}
    SelfLookup(const SelfLookup&) = delete;
    SelfLookup& operator=(const SelfLookup&) = delete;

    PyObject* self() const noexcept { return self_; }

    // The instance's own attribute `name` (borrowed, good until Python code
    // runs), or null: with `failed` set on error, else because it has none.
    PyObject* own(PyObject* name, bool& failed) noexcept;

    // self.<name>, as attribute access gives it.
    Ref attribute(PyObject* name) noexcept;

private:
    static constexpr int kSnapshotSize = 8;
    bool snapshot(PyObject* dict) noexcept;

    PyObject* self_;
    PyObject** dict_slot_ = nullptr;  // where self keeps its instance dictionary
    PyObject* dict_ = nullptr;        // the dictionary the snapshot was taken of
    uint64_t version_ = 0;
    int count_ = -1;  // entries in the snapshot; -1 when there is none
    std::array<PyObject*, kSnapshotSize> keys_{};
    std::array<PyObject*, kSnapshotSize> values_{};
};

class MethodCall {
public:
    // Resolves `self.<name>`. On failure the object is false and an error is set.
    MethodCall(SelfLookup& self, PyObject* name) noexcept;

    explicit operator bool() const noexcept { return static_cast<bool>(callable_); }

    // True when the attribute is `member` itself, reached through the class,
    // so that calling its body directly is what the call would do.
    bool is(const Member& member) const noexcept { return native_ == &member; }

    // Calls the attribute with values bound to the names of `kwnames`.
    Ref call_keywords(std::initializer_list<PyObject*> values, PyObject* kwnames) const noexcept;
    // Calls the attribute with positional arguments.
    Ref call(std::initializer_list<PyObject*> args) const noexcept;

private:
    Ref invoke(std::initializer_list<PyObject*> values, size_t npositional,
               PyObject* kwnames) const noexcept;

    PyObject* self_;
    Ref callable_;
    bool unbound_ = false;  // found on the class: `self` goes first
    const Member* native_ = nullptr;
};

// Converts the result of a call that is ignored into 0, or -1 on failure.
inline int discard(Ref result) noexcept { return result ? 0 : -1; }

// None for a body that succeeded, null for one that failed with an error set.
inline PyObject* none_or_error(int status) noexcept {
    if (status < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace plexor
