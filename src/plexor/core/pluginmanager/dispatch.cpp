#include "dispatch.hpp"

namespace plexor {
namespace {

constexpr Py_ssize_t kSnapshotLimit = 16;

PyObject* name_of(Attr attr) noexcept { return runtime.attr_names[static_cast<int>(attr)]; }

bool is_method_descriptor(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return PyType_HasFeature(type, Py_TPFLAGS_METHOD_DESCRIPTOR) && type->tp_descr_set == nullptr;
}

// Looks every name up on the class; the lookups give the class its version tag.
void build_plan(AttributeCache& plan, PyTypeObject* type) noexcept {
    plan.type = nullptr;
    plan.defined = 0;
    for (int i = 0; i < kAttrCount; ++i) {
        PyObject* found = _PyType_Lookup(type, runtime.attr_names[i]);
        plan.native[i] = found != nullptr && is_method_descriptor(found)
                             ? native_member(found, runtime.function_type)
                             : nullptr;
        if (found != nullptr) plan.defined |= 1u << i;
    }
    if ((plan.version = compat::type_version(type)) != 0) plan.type = type;
}

}  // namespace

const AttributeCache* SelfLookup::rebuild_plan() noexcept {
    PyTypeObject* type = Py_TYPE(self_);
    cache_.type = nullptr;
    if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    build_plan(cache_, type);
    return cache_.type == type ? &cache_ : nullptr;
}

bool SelfLookup::snapshot(PyObject* dict) noexcept {
    cache_.dict_known = false;
    if (!compat::dict_version(dict, cache_.dict_version) || PyDict_GET_SIZE(dict) > kSnapshotLimit)
        return false;
    cache_.own.fill(nullptr);
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        // Interned text keys equal an interned name only when identical.
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CHECK_INTERNED(key)) return false;
        for (int i = 0; i < kAttrCount; ++i) {
            if (key == runtime.attr_names[i]) {
                cache_.own[i] = value;
                break;
            }
        }
    }
    cache_.dict = dict;
    cache_.dict_known = true;
    return true;
}

PyObject* SelfLookup::own_from_dict(Attr attr, bool& failed) noexcept {
    failed = false;
    PyObject* dict = dict_slot_ != nullptr ? *dict_slot_ : nullptr;
    if (dict == nullptr) return nullptr;
    if (snapshot(dict)) return cache_.own[static_cast<int>(attr)];
    Ref hold = Ref::borrow(dict);
    PyObject* found = PyDict_GetItemWithError(dict, name_of(attr));
    failed = found == nullptr && PyErr_Occurred();
    return found;
}

Ref SelfLookup::attribute(Attr attr) noexcept {
    const AttributeCache* class_plan = plan();
    if (class_plan != nullptr && !(class_plan->defined & attr_bit(attr))) {
        bool failed = false;
        PyObject* value = own(attr, failed);
        if (failed) return Ref();
        if (value != nullptr) return Ref::borrow(value);
    }
    return Ref::steal(PyObject_GetAttr(self_, name_of(attr)));
}

void MethodCall::resolve(SelfLookup& lookup, const AttributeCache* class_plan) noexcept {
    const Attr attr = attr_;
    const int index = static_cast<int>(attr);
    // Without a plan, or for a class attribute of another kind, the attribute
    // is what ordinary attribute access gives.
    const bool method_or_nothing = class_plan != nullptr &&
                                   (class_plan->native[index] != nullptr ||
                                    !(class_plan->defined & attr_bit(attr)));
    if (!method_or_nothing) {
        callable_ = Ref::steal(PyObject_GetAttr(self_, name_of(attr)));
        return;
    }
    // A method on the class is shadowed only by an instance attribute.
    bool failed = false;
    PyObject* own = lookup.own(attr, failed);
    if (failed) return;
    if (own != nullptr) {
        callable_ = Ref::borrow(own);
    } else if (class_plan->native[index] != nullptr) {
        native_ = class_plan->native[index];
        unbound_ = true;
    } else {
        callable_ = Ref::steal(PyObject_GetAttr(self_, name_of(attr)));
    }
}

Ref MethodCall::invoke(std::initializer_list<PyObject*> values, size_t npositional,
                       PyObject* kwnames) const noexcept {
    // Slot 0 is free for `self`, so that an unbound method costs no copy.
    PyObject* stack[kMaxParams + 1];
    size_t count = 1;
    for (PyObject* value : values) stack[count++] = value;
    // A function of this module called by its generic entry (it is not the
    // member the caller would run directly): fetched from the class now.
    Ref target = callable_ ? callable_ : Ref::borrow(_PyType_Lookup(Py_TYPE(self_), name_of(attr_)));
    if (!target) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                     Py_TYPE(self_)->tp_name, name_of(attr_));
        return target;
    }
    if (unbound_) {
        stack[0] = self_;
        return Ref::steal(PyObject_Vectorcall(target.get(), stack, npositional + 1, kwnames));
    }
    return Ref::steal(PyObject_Vectorcall(target.get(), stack + 1,
                                          npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref MethodCall::call_keywords(std::initializer_list<PyObject*> values,
                              PyObject* kwnames) const noexcept {
    return invoke(values, 0, kwnames);
}

Ref MethodCall::call(std::initializer_list<PyObject*> args) const noexcept {
    return invoke(args, args.size(), nullptr);
}

}  // namespace plexor
