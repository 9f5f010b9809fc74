// Attribute access on `self` for the manager's own methods, with the results
// attribute access and a call would give, but without the bound method and
// keyword dictionary such a call costs when the attribute found is one of this
// module's functions.
#pragma once

#include "function.hpp"
#include "runtime.hpp"

#include <array>
#include <cstdint>

namespace plexor {

// The attributes of `self` during one operation, answered from the calling
// function's cache wherever the class and the instance dictionary are still
// the ones it describes.
class SelfLookup {
public:
    SelfLookup(PyObject* self, AttributeCache& cache) noexcept
        : self_(self), cache_(cache), dict_slot_(compat::instance_dict_slot(self)) {}
    SelfLookup(const SelfLookup&) = delete;
    SelfLookup& operator=(const SelfLookup&) = delete;
    ~SelfLookup() = default;

    PyObject* self() const noexcept { return self_; }
    PyObject* dict() const noexcept { return dict_slot_ != nullptr ? *dict_slot_ : nullptr; }

    // The plan of self's class, brought up to date; null when attribute
    // access on self is not the interpreter's generic one, or the class has
    // no version tag to check a plan against.
    const AttributeCache* plan() noexcept {
        PyTypeObject* type = Py_TYPE(self_);
        const unsigned int version = compat::type_version(type);
        const bool current = cache_.type == type && version != 0 && version == cache_.version;
        return current ? &cache_ : rebuild_plan();
    }

    // The instance dictionary's entry for `attr` into `value`, which stays
    // empty when there is none. -1 on error.
    int own(Attr attr, Ref& value) noexcept {
        PyObject* dict = this->dict();
        if (dict == nullptr) return 0;
        const uint64_t changes = cache_.dict_changes;
        const bool current =
            dict == cache_.dict && changes != 0 && compat::dict_changes(dict) == changes;
        if (!current && !snapshot(dict)) return probe(dict, attr, value);
        value = Ref::borrow(cache_.own[static_cast<int>(attr)]);
        return 0;
    }

    // self.<attr>, as attribute access gives it.
    Ref attribute(Attr attr) noexcept {
        const AttributeCache* class_plan = plan();
        if (class_plan != nullptr && !(class_plan->defined & attr_bit(attr))) {
            Ref value;
            if (own(attr, value) < 0 || value) return value;
        }
        count_generic_access(runtime.stats.attribute_lookups);
        return Ref::steal(PyObject_GetAttr(self_, runtime.attr_names[static_cast<int>(attr)]));
    }

private:
    const AttributeCache* rebuild_plan() noexcept;
    bool snapshot(PyObject* dict) noexcept;
    static int probe(PyObject* dict, Attr attr, Ref& value) noexcept;

    PyObject* self_;
    AttributeCache& cache_;
    PyObject** dict_slot_;  // where self keeps its instance dictionary, if it has one
};

class MethodCall {
public:
    // Resolves `self.<attr>`. On failure the object is false and an error is set.
    MethodCall(SelfLookup& self, Attr attr) noexcept : self_(self.self()) {
        // The common case: the class holds this module's own method of that
        // name, and the instance does not shadow it.
        const AttributeCache* plan = self.plan();
        const int index = static_cast<int>(attr);
        const Member* native = plan ? plan->native[index] : nullptr;
        if (native != nullptr && native == runtime.attr_members[index]) {
            if (self.own(attr, callable_) == 0 && !callable_) native_ = native;
            return;
        }
        count_generic_access(runtime.stats.method_lookups);
        resolve(self, attr);
    }

    explicit operator bool() const noexcept { return native_ != nullptr || callable_; }

    // True when the attribute is `member` itself, reached through the class,
    // so that calling its body directly is what the call would do.
    bool is(const Member& member) const noexcept { return native_ == &member; }

    // Calls the attribute with values bound to the names of `kwnames`.
    Ref call_keywords(std::initializer_list<PyObject*> values, PyObject* kwnames) const noexcept;
    // Calls the attribute with positional arguments.
    Ref call(std::initializer_list<PyObject*> args) const noexcept;

private:
    void resolve(SelfLookup& lookup, Attr attr) noexcept;
    Ref invoke(std::initializer_list<PyObject*> values, size_t npositional,
               PyObject* kwnames) const noexcept;

    PyObject* self_;
    const Member* native_ = nullptr;  // this module's own method, found on the class
    Ref callable_;                    // otherwise: what attribute access finds
    bool unbound_ = false;            // callable_ was found on the class: `self` goes first
};

// Converts the result of a call that is ignored into 0, or -1 on failure.
inline int discard(const Ref& result) noexcept { return result ? 0 : -1; }

// None for a body that succeeded, null for one that failed with an error set.
inline PyObject* none_or_error(int status) noexcept {
    if (status < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace plexor
