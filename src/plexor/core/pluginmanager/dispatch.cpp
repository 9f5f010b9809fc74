#include "dispatch.hpp"
#include "members.hpp"

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

// Looks every name up on the class. The first lookup gives the class a version
// tag if it has none; a change of the class while the others run (they may
// compare keys of the class dictionaries) renews it, and the plan is dropped.
ClassPlan plan_of(PyTypeObject* type) noexcept {
    ClassPlan plan;
    unsigned int version = 0;
    for (int i = 0; i < kAttrCount; ++i) {
        PyObject* found = _PyType_Lookup(type, runtime.attr_names[i]);
        if (found != nullptr) {
            plan.defined |= 1U << static_cast<unsigned int>(i);
            const Member* member =
                is_method_descriptor(found) ? native_member(found, runtime.function_type) : nullptr;
            if (member != nullptr && member == members::method_named(static_cast<Attr>(i)))
                plan.native[i] = member;
        }
        if (i == 0) version = compat::type_version(type);
    }
    if (version != 0 && compat::type_version(type) == version) {
        plan.type = type;
        plan.version = version;
    }
    return plan;
}

// Calls `found(index, value)` for each entry of `dict` that holds one of the
// names. False, and no further calls, at the first key that is not an
// interned text: comparing such a key with a name may run code.
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

const ClassPlan* SelfLookup::make_plan(PyTypeObject* type) noexcept {
    if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    // Made apart, then stored: the lookups may run code that plans too.
    const ClassPlan made = plan_of(type);
    code_may_have_run();
    if (made.type != type) return nullptr;
    ClassPlan& kept = plan_.classes.replace();
    kept = made;
    return &kept;
}

#if PLEXOR_DICT_VERSIONS
const DictView* SelfLookup::take_view(DictView& view, PyObject* dict, uint64_t version) noexcept {
    count_generic_access(runtime.stats.views_taken);
    view.dict = dict;
    view.version = version;
    if (PyDict_GET_SIZE(dict) > kViewLimit) return &view;
    view.viewable =
        for_each_name(dict, [&view](size_t index, PyObject* value) { view.values[index] = value; });
    return &view;
}
#else
int SelfLookup::take_view() noexcept {
    count_generic_access(runtime.stats.views_taken);
    // Released first: an entry the dictionary no longer holds may be freed,
    // which can run code, and the pass below must come after any such code.
    release_entries();
    Ref dict = instance_dict(self_);
    if (!dict && PyErr_Occurred()) return -1;
    view_ = View::current;
    if (!dict) return 0;
    const bool viewable = PyDict_GET_SIZE(dict.get()) <= kViewLimit &&
                          for_each_name(dict.get(), [this](size_t index, PyObject* value) {
                              Py_INCREF(value);
                              entries_[index] = value;
                          });
    if (!viewable) view_ = View::unviewable;
    return 0;
}
#endif

Ref SelfLookup::generic_attribute(Attr attr) noexcept {
    count_generic_access(runtime.stats.attribute_lookups);
    Ref value = Ref::steal(PyObject_GetAttr(self_, name_of(attr)));
    code_may_have_run();
    return value;
}

// Attribute access as the interpreter makes it for a method call: a method
// descriptor found on the class, unless the instance has the name itself, is
// called with `self` in front instead of being bound. Each dictionary is asked
// once; the lookups may compare keys, which can run code.
void MethodCall::resolve(Attr attr) noexcept {
    PyObject* self = lookup_->self();
    PyObject* name = name_of(attr);
    PyTypeObject* type = Py_TYPE(self);
    lookup_->code_may_have_run();
    Ref descriptor;
    if (type->tp_getattro == PyObject_GenericGetAttr)
        descriptor = Ref::borrow(_PyType_Lookup(type, name));
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
    Ref result;
    if (unbound_) {
        stack[0] = lookup_->self();
        result = Ref::steal(PyObject_Vectorcall(callable_.get(), stack, npositional + 1, kwnames));
    } else {
        result = Ref::steal(PyObject_Vectorcall(
            callable_.get(), stack + 1, npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
    lookup_->code_may_have_run();
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
