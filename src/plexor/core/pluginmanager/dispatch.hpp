// Attribute access on `self` for the manager's own methods, with the results
// attribute access and a call would give, but without the bound method and
// keyword dictionary such a call costs when the attribute found is one of this
// module's functions.
#pragma once

#include "compiler.hpp"
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
// small dictionary whose keys are all interned texts, which runs no code,
// made under the dictionary's critical section so that no other thread
// changes it meanwhile. The view lives for one call and holds strong
// references, so that a stale view is wrong at worst, never unsafe.
//
// Whoever is about to run a step that may run Python code (a call out, a
// comparison or hash of a caller's object, logging, a lookup in a dictionary
// with other keys, a release that may free an object) calls code_may_run():
// the view lets go of its references, so that a value the code replaces is
// freed when plain attribute access would free it, and the next read takes
// the view afresh. Up to 3.11 an allocation of an object the collector tracks
// may run finalisers too; wherever the methods make one between two reads, a
// step that releases the view comes before the next read.
class SelfLookup {
public:
    SelfLookup(PyObject* self, ClassPlans& plans) noexcept : self_(self), plans_(plans) {}
    SelfLookup(const SelfLookup&) = delete;
    SelfLookup& operator=(const SelfLookup&) = delete;
    ~SelfLookup() { release_view(); }

    PyObject* self() const noexcept { return self_; }

    // The plan of self's class into `plan`; false when attribute access on
    // self is not the interpreter's generic one, or the class has no version
    // tag to check a plan against.
    bool plan(ClassPlan& plan) noexcept {
        PyTypeObject* type = Py_TYPE(self_);
        const unsigned int version = compat::type_version(type);
        if (version == planned_version_ && type == planned_type_ && version != 0) {
            plan = plan_;
            return true;
        }
        return replan(type, version, plan);
    }

    // What self's instance dictionary holds under a name.
    enum class Own { absent, present, unknown, error };

    // The instance dictionary's entry for `attr` into `value`. `unknown`
    // when the dictionary cannot be viewed: the caller asks the interpreter.
    Own own(Attr attr, Ref& value) noexcept {
        if (view_ == View::stale && take_view() < 0) return Own::error;
        if (view_ == View::unviewable) return Own::unknown;
        if (!(held_ & attr_bit(attr))) return Own::absent;
        value = Ref::borrow(entries_[static_cast<size_t>(attr)]);
        return Own::present;
    }

    // self.<attr>, as attribute access gives it.
    Ref attribute(Attr attr) noexcept {
        ClassPlan class_plan;
        if (plan(class_plan) && !class_plan.defines(attr)) {
            Ref value;
            const Own found = own(attr, value);
            if (found == Own::present) return value;
            if (found == Own::error) return Ref();
        }
        return generic_attribute(attr);
    }

    // Python code may run from here on.
    void code_may_run() noexcept {
        if (view_ != View::stale) release_view();
    }

private:
    enum class View { stale, current, unviewable };

    bool replan(PyTypeObject* type, unsigned int version, ClassPlan& plan) noexcept;
    bool make_plan(PyTypeObject* type, ClassPlan& plan) noexcept;
    Ref generic_attribute(Attr attr) noexcept;
    int take_view() noexcept;
    void release_view() noexcept {
        view_ = View::stale;
        for (uint32_t held = std::exchange(held_, 0); held != 0; held &= held - 1)
            Py_DECREF(entries_[lowest_bit(held)]);
    }

    PyObject* self_;
    ClassPlans& plans_;
    // The plan read last, for the class and tag it was read for; compared,
    // never dereferenced.
    PyTypeObject* planned_type_ = nullptr;
    unsigned int planned_version_ = 0;
    ClassPlan plan_;
    View view_ = View::stale;
    // While current: the values of the instance dictionary under the names
    // whose bits `held_` has (strong references).
    std::array<PyObject*, kAttrCount> entries_{};
    uint32_t held_ = 0;
};

class MethodCall {
public:
    // Resolves `self.<attr>`. On failure the object is false and an error is set.
    MethodCall(SelfLookup& self, Attr attr) noexcept : lookup_(&self) {
        // The common case: the class holds this module's own method of that
        // name, and the instance does not shadow it.
        ClassPlan plan;
        if (self.plan(plan) && plan.is_native(attr)) {
            const SelfLookup::Own found = self.own(attr, callable_);
            if (found == SelfLookup::Own::absent) own_method_ = true;
            if (found != SelfLookup::Own::unknown) return;
        }
        count_generic_access(runtime.stats.method_lookups);
        resolve(attr);
    }

    explicit operator bool() const noexcept { return own_method_ || callable_; }

    // True when the attribute is this module's own method of that name,
    // reached through the class, so that running its body directly is what
    // the call would do.
    bool is_own_method() const noexcept { return own_method_; }

    // Calls the attribute with values bound to the names of `kwnames`.
    Ref call_keywords(std::initializer_list<PyObject*> values, PyObject* kwnames) const noexcept;
    // Calls the attribute with positional arguments.
    Ref call(std::initializer_list<PyObject*> args) const noexcept;

private:
    void resolve(Attr attr) noexcept;
    Ref invoke(std::initializer_list<PyObject*> values, size_t npositional,
               PyObject* kwnames) const noexcept;

    SelfLookup* lookup_;
    bool own_method_ = false;  // this module's own method, found on the class
    Ref callable_;             // otherwise: what attribute access finds
    bool unbound_ = false;     // callable_ was found on the class: `self` goes first
};

// Converts the result of a call that is ignored into 0, or -1 on failure.
inline int discard(const Ref& result) noexcept { return result ? 0 : -1; }

// None for a body that succeeded, null for one that failed with an error set.
inline PyObject* none_or_error(int status) noexcept {
    if (status < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace plexor
