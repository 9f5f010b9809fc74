#include "dispatch.hpp"

namespace plexor {
namespace {

constexpr Py_ssize_t kSnapshotLimit = 16;

PyObject* name_of(Attr attr) noexcept { return runtime.attr_names[static_cast<int>(attr)]; }

bool is_method_descriptor(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return PyType_HasFeature(type, Py_TPFLAGS_METHOD_DESCRIPTOR) && type->tp_descr_set == nullptr;
}

// Looks every name up on the class. The first lookup gives the class a version
// tag if it has none; a change of the class while the others run (they may
// compare keys of the class dictionaries) renews it, and the plan is dropped.
void build_plan(AttributeCache& plan, PyTypeObject* type) noexcept {
    plan.type = nullptr;
    plan.defined = 0;
    unsigned int version = 0;
    for (int i = 0; i < kAttrCount; ++i) {
        PyObject* found = _PyType_Lookup(type, runtime.attr_names[i]);
        plan.native[i] = found != nullptr && is_method_descriptor(found)
                             ? native_member(found, runtime.function_type)
                             : nullptr;
        if (found != nullptr) plan.defined |= 1U << static_cast<unsigned int>(i);
        if (i == 0) version = compat::type_version(type);
    }
    if (version != 0 && compat::type_version(type) == version) {
        plan.type = type;
        plan.version = version;
    }
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
    cache_.dict_changes = 0;
    if (PyDict_GET_SIZE(dict) > kSnapshotLimit) return false;
    cache_.own.fill(nullptr);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        // Interned text keys equal an interned name only when identical, and
        // comparing them runs no code.
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CHECK_INTERNED(key)) return false;
        for (int i = 0; i < kAttrCount; ++i) {
            if (key == runtime.attr_names[i]) {
                cache_.own[i] = value;
                break;
            }
        }
    }
    // Watched only once it is known to fit: a dictionary that does not is
    // probed at every access, and watching it again each time would be waste.
    const uint64_t changes = compat::PyDict_Watch(self_, dict);
    if (changes == 0) return false;
    cache_.dict = dict;
    cache_.dict_changes = changes;
    return true;
}

// A dictionary that cannot be snapshot is asked for the one name. The lookup
// may compare keys, which can run code that changes the dictionary.
int SelfLookup::probe(PyObject* dict, Attr attr, Ref& value) noexcept {
    Ref held = Ref::borrow(dict);
    PyObject* found = nullptr;
    const int status = PyDict_GetItemRef(held.get(), name_of(attr), &found);
    value = Ref::steal(found);
    return status < 0 ? -1 : 0;
}

// Attribute access as the interpreter makes it for a method call: a method
// descriptor found on the class, unless the instance has the name itself, is
// called with `self` in front instead of being bound.
void MethodCall::resolve(SelfLookup& lookup, Attr attr) noexcept {
    PyObject* name = name_of(attr);
    PyTypeObject* type = Py_TYPE(self_);
    Ref descriptor;
    if (type->tp_getattro == PyObject_GenericGetAttr)
        descriptor = Ref::borrow(_PyType_Lookup(type, name));
    if (!descriptor || !is_method_descriptor(descriptor.get())) {
        callable_ = Ref::steal(PyObject_GetAttr(self_, name));
        return;
    }
    Ref dict = Ref::borrow(lookup.dict());
    PyObject* own = nullptr;
    const int found = dict ? PyDict_GetItemRef(dict.get(), name, &own) : 0;
    if (found > 0) {
        callable_ = Ref::steal(own);
    } else if (found == 0) {
        callable_ = std::move(descriptor);
        unbound_ = true;
    }
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
