// The function object type of the class's members: binds like a Python
// function, is called through vectorcall and binds arguments by name.
#pragma once

#include "byte_block.hpp"
#include "plan.hpp"
#include "ref.hpp"

#include <array>

namespace plexor {

inline constexpr int kMaxParams = 7;

// What a member's function object keeps from one call to the next.
struct MemberState {
    ClassPlans plans;  // what attribute access on self found on its class
    KeptBlock kept;    // memory of the last call (print_tree, __repr__: the text rendered)
};

// Body of a member, called with every parameter bound (borrowed references)
// and the state its function object keeps.
using Body = PyObject* (*)(MemberState& state, PyObject* const* args) noexcept;

struct Member {
    const char* name;
    const char* doc;  // nullptr: no docstring
    int nparams;
    std::array<const char*, kMaxParams> params;
    int ndefaults;                                 // the last `ndefaults` parameters have defaults
    std::array<const char*, kMaxParams> defaults;  // nullptr stands for None
    Body body;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Member* member;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;                        // tuple, or None
    std::array<PyObject*, kMaxParams> params;  // interned parameter names
    PyObject* weakrefs;                        // weak references to the function
    MemberState state;
};

// Creates the function type; called once while the module loads.
PyTypeObject* make_function_type() noexcept;

// A new function object for `member` of the class `class_name`, or of the
// module when `class_name` is null.
Ref make_function(const Member& member, const char* class_name, PyObject* module_name) noexcept;

// The member behind `obj` if it is one of this module's functions, else null.
inline const Member* native_member(PyObject* obj, PyTypeObject* function_type) noexcept {
    if (Py_TYPE(obj) != function_type) return nullptr;
    return reinterpret_cast<FunctionObject*>(obj)->member;
}

}  // namespace plexor
