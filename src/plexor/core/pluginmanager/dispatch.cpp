#include "dispatch.hpp"
#include "members.hpp"

#include <cstdint>
#include <utility>

namespace plexor {
namespace {

// Dictionaries above this size are not viewed: the names are looked up in them.
constexpr Py_ssize_t kViewLimit = 16;

PyObject* name_of(Attr attr) noexcept { return runtime.attr_names[static_cast<int>(attr)]; }

bool is_method_descriptor(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return PyType_HasFeature(type, Py_TPFLAGS_METHOD_DESCRIPTOR) && type->tp_descr_set == nullptr;
}

// The instance dictionary of `obj` (made if the instance has none yet), or
// null without an error when its class gives instances none.
Ref instance_dict(PyObject* obj) noexcept {
    if (!compat::has_instance_dict(Py_TYPE(obj))) return Ref();
    return Ref::steal(PyObject_GenericGetDict(obj, nullptr));
}

// The class's method resolution order, as type.__mro__ reads it (a class
// whose metaclass shadows that name is still read as the interpreter reads it).
Ref mro_of(PyTypeObject* type) noexcept {
    PyObject* getter = runtime.mro_getter;
    Ref mro = Ref::steal(Py_TYPE(getter)->tp_descr_get(getter, reinterpret_cast<PyObject*>(type),
                                                       reinterpret_cast<PyObject*>(Py_TYPE(type))));
    if (mro && !PyTuple_Check(mro.get())) return Ref();
    return mro;
}

// Calls `found(index, value)` for the first class in `type`'s method
// resolution order whose dictionary holds each name of `names` (indices of
// runtime.attr_names). As the interpreter's own lookup, a dictionary that
// fails to answer counts as not holding the name. Strong references
// throughout: a lookup may compare keys, which may run code.
template <typename Found>
void for_each_class_attribute(PyTypeObject* type, uint32_t names, Found found) noexcept {
    Ref mro = mro_of(type);
    if (!mro) {
        PyErr_Clear();
        return;
    }
    for (Py_ssize_t b = 0; b < PyTuple_GET_SIZE(mro.get()) && names != 0; ++b) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), b);
        if (!PyType_Check(base)) continue;
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) continue;
        for (unsigned int i = 0; i < kAttrCount; ++i) {
            if (!(names & (1U << i))) continue;
            PyObject* value = nullptr;
            const int status = PyDict_GetItemRef(dict.get(), runtime.attr_names[i], &value);
            if (status < 0) PyErr_Clear();
            if (status <= 0) continue;
            names &= ~(1U << i);
            found(i, Ref::steal(value));
        }
    }
}

// The class's attribute named as `attr`, or null (with no error set).
Ref class_attribute(PyTypeObject* type, Attr attr) noexcept {
    Ref attribute;
    for_each_class_attribute(type, attr_bit(attr), [&attribute](unsigned int, Ref value) {
        attribute = std::move(value);
    });
    return attribute;
}

// Looks every name up on the class, trusting the result only if the class
// kept its version tag meanwhile (the lookups may run code that changes it).
bool plan_of(PyTypeObject* type, unsigned int version, ClassPlan& plan) noexcept {
    plan = ClassPlan{};
    const uint32_t every_name = (1U << static_cast<unsigned int>(kAttrCount)) - 1U;
    for_each_class_attribute(type, every_name, [&plan](unsigned int i, const Ref& found) {
        plan.defined |= 1U << i;
        const Member* member = is_method_descriptor(found.get())
                                   ? native_member(found.get(), runtime.function_type)
                                   : nullptr;
        if (member != nullptr && member == members::method_named(static_cast<Attr>(i)))
            plan.native |= 1U << i;
    });
    return compat::type_version(type) == version;
}

// Calls `found(index, value)` for each entry of `dict` that holds one of the
// names. False, and no further calls, at the first key that is not an
// interned text: comparing such a key with a name may run code. Call within
// the dictionary's critical section: the entries are borrowed.
template <typename Found>
bool for_each_name(PyObject* dict, Found found) noexcept {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        // Interned text keys equal an interned name only when identical.
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CHECK_INTERNED(key)) return false;
        // From the last name: the attributes a manager holds come first.
        for (size_t i = kAttrCount; i-- > 0;) {
            if (key == runtime.attr_names[i]) {
                found(i, value);
                break;
            }
        }
    }
    return true;
}

}  // namespace

// The plan kept by the function, or made now, becomes the one read last.
bool SelfLookup::replan(PyTypeObject* type, unsigned int version, ClassPlan& plan) noexcept {
    const bool kept = version != 0 && plans_.find(type, version, plan);
    if (!kept && !make_plan(type, plan)) return false;
    planned_type_ = type;
    planned_version_ = version;
    plan_ = plan;
    return true;
}

bool SelfLookup::make_plan(PyTypeObject* type, ClassPlan& plan) noexcept {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    // Without a tag nothing could tell a kept plan from a stale one; the
    // generic access that follows gives the class one.
    const unsigned int version = compat::type_version(type);
    if (version == 0) return false;
    code_may_run();
    if (!plan_of(type, version, plan)) return false;
    plans_.keep(type, version, plan);
    return true;
}

int SelfLookup::take_view() noexcept {
    count_generic_access(runtime.stats.views_taken);
    Ref dict = instance_dict(self_);
    if (!dict && PyErr_Occurred()) return -1;
    view_ = View::current;
    if (!dict) return 0;
    bool viewable = false;
    Py_BEGIN_CRITICAL_SECTION(dict.get());
    viewable = PyDict_GET_SIZE(dict.get()) <= kViewLimit &&
               for_each_name(dict.get(), [this](size_t index, PyObject* value) {
                   Py_INCREF(value);
                   entries_[index] = value;
                   held_ |= 1U << index;
               });
    Py_END_CRITICAL_SECTION();
    if (!viewable) view_ = View::unviewable;
    return 0;
}

Ref SelfLookup::generic_attribute(Attr attr) noexcept {
    count_generic_access(runtime.stats.attribute_lookups);
    code_may_run();
    return Ref::steal(PyObject_GetAttr(self_, name_of(attr)));
}

// Attribute access as the interpreter makes it for a method call: a method
// descriptor found on the class, unless the instance has the name itself, is
// called with `self` in front instead of being bound. Each dictionary is asked
// once; the lookups may compare keys, which can run code.
void MethodCall::resolve(Attr attr) noexcept {
    PyObject* self = lookup_->self();
    PyObject* name = name_of(attr);
    PyTypeObject* type = Py_TYPE(self);
    lookup_->code_may_run();
    Ref descriptor;
    if (type->tp_getattro == PyObject_GenericGetAttr) descriptor = class_attribute(type, attr);
    if (!descriptor || !is_method_descriptor(descriptor.get())) {
        callable_ = Ref::steal(PyObject_GetAttr(self, name));
        return;
    }
    Ref dict = instance_dict(self);
    if (!dict && PyErr_Occurred()) return;
    if (dict) {
        PyObject* own = nullptr;
        const int found = PyDict_GetItemRef(dict.get(), name, &own);
        if (found < 0) return;
        if (found > 0) {
            callable_ = Ref::steal(own);
            return;
        }
    }
    callable_ = std::move(descriptor);
    unbound_ = true;
}

Ref MethodCall::invoke(std::initializer_list<PyObject*> values, size_t npositional,
                       PyObject* kwnames) const noexcept {
    // Slot 0 is free for `self`, so that an unbound method costs no copy.
    PyObject* stack[kMaxParams + 1];
    size_t count = 1;
    for (PyObject* value : values) stack[count++] = value;
    lookup_->code_may_run();
    Ref result;
    if (unbound_) {
        stack[0] = lookup_->self();
        result = Ref::steal(PyObject_Vectorcall(callable_.get(), stack, npositional + 1, kwnames));
    } else {
        result = Ref::steal(PyObject_Vectorcall(
            callable_.get(), stack + 1, npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
    return result;
}

Ref MethodCall::call_keywords(std::initializer_list<PyObject*> values,
                              PyObject* kwnames) const noexcept {
    return invoke(values, 0, kwnames);
}

Ref MethodCall::call(std::initializer_list<PyObject*> args) const noexcept {
    return invoke(args, args.size(), nullptr);
}

}  // namespace plexor
