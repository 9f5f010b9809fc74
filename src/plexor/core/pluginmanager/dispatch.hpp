// Attribute access on `self` for the manager's own methods, with the results
// attribute access and a call would give, but without the bound method and
// keyword dictionary such a call costs when the attribute found is one of this
// module's functions.
#pragma once

#include "function.hpp"
#include "runtime.hpp"

#include <array>
#include <cstdint>
#include <utility>

namespace plexor {

// The attributes of `self` during one call of a member.
//
// The class side comes from the calling function's class plans (plan.hpp).
// The instance side is a view of self's instance dictionary: one pass over a
// small dictionary whose keys are all interned texts, which runs no code.
//
// Where dictionaries keep a version tag that every change renews after the
// fact (PLEXOR_DICT_VERSIONS), views are kept across calls, several per
// function, and each read checks that self's dictionary is the viewed one at
// the viewed version.
//
// Elsewhere nothing tells after the fact that a dictionary changed, so a view
// is taken for one call, holds strong references, and is trusted only until
// Python code may have run: whoever runs a step that may run code (a call
// out, a comparison or hash of a caller's object, logging, a lookup in a
// dictionary with other keys, a release that may free an object) calls
// code_may_have_run(), and the next read takes the view afresh. A view missed
// that way is stale, never unsafe.
class SelfLookup {
public:
    SelfLookup(PyObject* self, SelfPlan& plan) noexcept;
    SelfLookup(const SelfLookup&) = delete;
    SelfLookup& operator=(const SelfLookup&) = delete;
#if PLEXOR_DICT_VERSIONS
    ~SelfLookup() = default;
#else
    ~SelfLookup() { release_entries(); }
#endif

    PyObject* self() const noexcept { return self_; }

    // The plan of self's class, brought up to date; null when attribute
    // access on self is not the interpreter's generic one, or the class has
    // no version tag to check a plan against.
    const ClassPlan* plan() noexcept {
        PyTypeObject* type = Py_TYPE(self_);
        const unsigned int version = compat::type_version(type);
        const ClassPlan* found = nullptr;
        if (version != 0)
            found = plan_.classes.find([type, version](const ClassPlan& plan) {
                return plan.type == type && plan.version == version;
            });
        return found != nullptr ? found : make_plan(type);
    }

    // What self's instance dictionary holds under a name.
    enum class Own { absent, present, unknown, error };

    // The instance dictionary's entry for `attr` into `value`. `unknown`
    // when the dictionary cannot be viewed: the caller asks the interpreter.
    Own own(Attr attr, Ref& value) noexcept;

    // self.<attr>, as attribute access gives it.
    Ref attribute(Attr attr) noexcept {
        const ClassPlan* class_plan = plan();
        if (class_plan != nullptr && !(class_plan->defined & attr_bit(attr))) {
            Ref value;
            const Own found = own(attr, value);
            if (found == Own::present) return value;
            if (found == Own::error) return Ref();
        }
        return generic_attribute(attr);
    }

    // Python code may have run since the view was taken.
    void code_may_have_run() noexcept {
#if !PLEXOR_DICT_VERSIONS
        view_ = View::stale;
#endif
    }

private:
    const ClassPlan* make_plan(PyTypeObject* type) noexcept;
    Ref generic_attribute(Attr attr) noexcept;

    PyObject* self_;
    SelfPlan& plan_;
#if PLEXOR_DICT_VERSIONS
    const DictView* view(PyObject* dict) noexcept;
    static const DictView* take_view(DictView& view, PyObject* dict, uint64_t version) noexcept;

    PyObject** dict_pointer_;         // where self keeps its instance dictionary
    const DictView* view_ = nullptr;  // the view read last
#else
    enum class View { stale, current, unviewable };
    int take_view() noexcept;
    void release_entries() noexcept;

    View view_ = View::stale;
    // While current: the values of the instance dictionary under the names
    // (strong references).
    std::array<PyObject*, kAttrCount> entries_{};
#endif
};

#if PLEXOR_DICT_VERSIONS
inline SelfLookup::SelfLookup(PyObject* self, SelfPlan& plan) noexcept
    // A private call: where self keeps its instance dictionary, or null. On
    // 3.11 and 3.12 it first moves attributes kept inline into a dictionary.
    : self_(self), plan_(plan), dict_pointer_(_PyObject_GetDictPtr(self)) {}

inline const DictView* SelfLookup::view(PyObject* dict) noexcept {
    const uint64_t version = compat::dict_version(dict);
    if (view_ != nullptr && view_->dict == dict && view_->version == version) return view_;
    const DictView* kept = plan_.dicts.find([dict, version](const DictView& viewed) {
        return viewed.dict == dict && viewed.version == version;
    });
    if (kept == nullptr) kept = take_view(plan_.dicts.replace(), dict, version);
    view_ = kept;
    return kept;
}

inline SelfLookup::Own SelfLookup::own(Attr attr, Ref& value) noexcept {
    if (dict_pointer_ == nullptr) {
        // No place for a dictionary, or a dictionary that could not be made.
        if (compat::has_instance_dict(Py_TYPE(self_))) return Own::unknown;
        return Own::absent;
    }
    PyObject* dict = *dict_pointer_;
    if (dict == nullptr) return Own::absent;
    const DictView* viewed = view(dict);
    if (!viewed->viewable) return Own::unknown;
    PyObject* entry = viewed->values[static_cast<size_t>(attr)];
    if (entry == nullptr) return Own::absent;
    value = Ref::borrow(entry);
    return Own::present;
}
#else
inline SelfLookup::SelfLookup(PyObject* self, SelfPlan& plan) noexcept : self_(self), plan_(plan) {}

inline void SelfLookup::release_entries() noexcept {
    for (PyObject*& entry : entries_) Py_CLEAR(entry);
}

inline SelfLookup::Own SelfLookup::own(Attr attr, Ref& value) noexcept {
    if (view_ == View::stale && take_view() < 0) return Own::error;
    if (view_ == View::unviewable) return Own::unknown;
    PyObject* entry = entries_[static_cast<size_t>(attr)];
    if (entry == nullptr) return Own::absent;
    value = Ref::borrow(entry);
    return Own::present;
}
#endif

class MethodCall {
public:
    // Resolves `self.<attr>`. On failure the object is false and an error is set.
    MethodCall(SelfLookup& self, Attr attr) noexcept : lookup_(&self) {
        // The common case: the class holds this module's own method of that
        // name, and the instance does not shadow it.
        const ClassPlan* plan = self.plan();
        const int index = static_cast<int>(attr);
        const Member* native = plan ? plan->native[index] : nullptr;
        if (native != nullptr) {
            const SelfLookup::Own found = self.own(attr, callable_);
            if (found == SelfLookup::Own::absent) native_ = native;
            if (found != SelfLookup::Own::unknown) return;
        }
        count_generic_access(runtime.stats.method_lookups);
        resolve(attr);
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
    void resolve(Attr attr) noexcept;
    Ref invoke(std::initializer_list<PyObject*> values, size_t npositional,
               PyObject* kwnames) const noexcept;

    SelfLookup* lookup_;
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
