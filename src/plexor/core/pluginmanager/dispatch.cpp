#include "dispatch.hpp"

namespace plexor {
bool SelfLookup::snapshot(PyObject* dict) noexcept {
    count_ = -1;
    if (!compat::dict_version(dict, version_) || PyDict_GET_SIZE(dict) > kSnapshotSize)
        return false;
    // Interned text keys are equal to an interned name only when identical.
    Py_ssize_t position = 0;
    PyObject *key, *value;
    int count = 0;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CHECK_INTERNED(key)) return false;
        keys_[count] = key;
        values_[count] = value;
        ++count;
    }
    dict_ = dict;
    count_ = count;
    return true;
}

PyObject* SelfLookup::own(PyObject* name, bool& failed) noexcept {
    failed = false;
    // The dictionary's place in the object is fixed for the object's lifetime.
    if (dict_slot_ == nullptr && (dict_slot_ = _PyObject_GetDictPtr(self_)) == nullptr)
        return nullptr;
    PyObject** slot = dict_slot_;
    if (*slot == nullptr) return nullptr;
    PyObject* dict = *slot;
    uint64_t version = 0;
    const bool unchanged =
        dict == dict_ && count_ >= 0 && compat::dict_version(dict, version) && version == version_;
    if (unchanged || snapshot(dict)) {
        for (int i = 0; i < count_; ++i)
            if (keys_[i] == name) return values_[i];
        return nullptr;
    }
    Ref hold = Ref::borrow(dict);
    PyObject* found = PyDict_GetItemWithError(dict, name);
    failed = found == nullptr && PyErr_Occurred();
    return found;
}

Ref SelfLookup::attribute(PyObject* name) noexcept {
    PyTypeObject* type = Py_TYPE(self_);
    if (type->tp_getattro == PyObject_GenericGetAttr && _PyType_Lookup(type, name) == nullptr) {
        bool failed = false;
        PyObject* own_value = own(name, failed);
        if (failed) return Ref();
        if (own_value != nullptr) return Ref::borrow(own_value);
    }
    return Ref::steal(PyObject_GetAttr(self_, name));
}

MethodCall::MethodCall(SelfLookup& lookup, PyObject* name) noexcept : self_(lookup.self()) {
    PyTypeObject* type = Py_TYPE(self_);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        callable_ = Ref::steal(PyObject_GetAttr(self_, name));
        return;
    }
    // A method descriptor on the class is shadowed only by an instance attribute.
    Ref descriptor = Ref::borrow(_PyType_Lookup(type, name));
    if (!descriptor || !PyType_HasFeature(Py_TYPE(descriptor.get()), Py_TPFLAGS_METHOD_DESCRIPTOR) ||
        Py_TYPE(descriptor.get())->tp_descr_set != nullptr) {
        callable_ = Ref::steal(PyObject_GetAttr(self_, name));
        return;
    }
    bool failed = false;
    PyObject* own = lookup.own(name, failed);
    if (failed) return;
    if (own != nullptr) {
        callable_ = Ref::borrow(own);
        return;
    }
    callable_ = std::move(descriptor);
    unbound_ = true;
    native_ = native_member(callable_.get(), runtime.function_type);
}

Ref MethodCall::invoke(std::initializer_list<PyObject*> values, size_t npositional,
                       PyObject* kwnames) const noexcept {
    // Slot 0 is free for `self`, so that an unbound method costs no copy.
    PyObject* stack[kMaxParams + 1];
    size_t count = 1;
    for (PyObject* value : values) stack[count++] = value;
    if (unbound_) {
        stack[0] = self_;
        return Ref::steal(PyObject_Vectorcall(callable_.get(), stack, npositional + 1, kwnames));
    }
    return Ref::steal(PyObject_Vectorcall(callable_.get(), stack + 1,
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
