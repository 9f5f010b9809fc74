#include "dispatch.hpp"

namespace plexor {
namespace {

// The instance's own attribute `name`, borrowed, or null (with no error) when it has none.
PyObject* instance_attribute(PyObject* self, PyObject* name, bool& failed) noexcept {
    PyObject** dict_slot = _PyObject_GetDictPtr(self);
    if (dict_slot == nullptr || *dict_slot == nullptr) return nullptr;
    Ref dict = Ref::borrow(*dict_slot);
    PyObject* found = PyDict_GetItemWithError(dict.get(), name);
    failed = found == nullptr && PyErr_Occurred();
    return found;
}

}  // namespace

MethodCall::MethodCall(PyObject* self, PyObject* name) noexcept : self_(self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        callable_ = Ref::steal(PyObject_GetAttr(self, name));
        return;
    }
    // A method descriptor on the class is shadowed only by an instance attribute.
    Ref descriptor = Ref::borrow(_PyType_Lookup(type, name));
    if (!descriptor || !PyType_HasFeature(Py_TYPE(descriptor.get()), Py_TPFLAGS_METHOD_DESCRIPTOR) ||
        Py_TYPE(descriptor.get())->tp_descr_set != nullptr) {
        callable_ = Ref::steal(PyObject_GetAttr(self, name));
        return;
    }
    bool failed = false;
    PyObject* own = instance_attribute(self, name, failed);
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
