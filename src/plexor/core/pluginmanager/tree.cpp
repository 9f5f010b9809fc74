// The plugin tree: registration, lookup and unregistration.
#include "dispatch.hpp"
#include "members.hpp"

#include <array>

namespace plexor::members {
namespace {

// The selector values of a request, in tree order (borrowed from the call).
struct SelectorPath {
    std::array<PyObject*, 4> items{};
    int size = 0;

    SelectorPath(PyObject* os, PyObject* platform, PyObject* model, PyObject* os_flavor) noexcept {
        items[size++] = os;
        if (model != Py_None || platform != Py_None) items[size++] = platform;
        if (model != Py_None) items[size++] = model;
        if (os_flavor != Py_None) items[size++] = os_flavor;
    }
    PyObject* const* begin() const noexcept { return items.data(); }
    PyObject* const* end() const noexcept { return items.data() + size; }

    Ref as_list() const noexcept { return list_of(items.data(), size); }
};

int validate(SelfLookup& self, PyObject* os, PyObject* platform, PyObject* model,
             PyObject* chassis_type) noexcept {
    MethodCall validation(self, Attr::validate_arguments);
    if (!validation) return -1;
    if (validation.is_own_method())
        return validate_arguments_body(self, os, platform, model, chassis_type);
    return discard(validation.call({os, platform, model, chassis_type}));
}

// self._plugins, the last attribute a request reads: the view lets go of
// the others before the walk, which may run code.
Ref tree_root(SelfLookup& self) noexcept {
    Ref root = self.attribute(Attr::plugins);
    self.code_may_run();
    return root;
}

// `key in node.keys()`; an exact dict answers without a keys view.
int has_child(PyObject* node, PyObject* key) noexcept {
    if (PyDict_CheckExact(node)) return PyDict_Contains(node, key);
    Ref keys = call_attr(node, runtime.names.keys, {});
    if (!keys) return -1;
    return PySequence_Contains(keys.get(), key);
}

// How membership is tested before an entry is fetched.
enum class Membership { keys_view, container };

// container[key] when the membership test passes; null, with `failed` telling
// an error from absence, otherwise. A plain dict asked for a plain str answers
// both with one lookup.
Ref find_slow(PyObject* container, PyObject* key, Membership how, bool& failed) noexcept;

inline Ref find(PyObject* container, PyObject* key, Membership how, bool& failed) noexcept {
    if (PyDict_CheckExact(container) && PyUnicode_CheckExact(key)) {
        PyObject* value = nullptr;
        failed = PyDict_GetItemRef(container, key, &value) < 0;
        return Ref::steal(value);
    }
    return find_slow(container, key, how, failed);
}

Ref find_slow(PyObject* container, PyObject* key, Membership how, bool& failed) noexcept {
    failed = false;
    const int present = how == Membership::keys_view ? has_child(container, key)
                                                     : PySequence_Contains(container, key);
    if (present <= 0) {
        failed = present < 0;
        return Ref();
    }
    Ref value = subscript(container, key);
    failed = !value;
    return value;
}

Ref new_record(PyObject* cls, PyObject* class_path) noexcept {
    Ref record = Ref::steal(PyDict_New());
    if (!record) return Ref();
    if (PyDict_SetItem(record.get(), runtime.names.cls, cls) < 0) return Ref();
    if (PyDict_SetItem(record.get(), runtime.names.path, class_path) < 0) return Ref();
    return record;
}

Ref single_entry(PyObject* key, PyObject* value) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    if (PyDict_SetItem(dict.get(), key, value) < 0) return Ref();
    return dict;
}

// {chassis_type: a new record}
Ref new_plugin_data(PyObject* cls, PyObject* chassis_type, PyObject* class_path) noexcept {
    Ref record = new_record(cls, class_path);
    if (!record) return Ref();
    return single_entry(chassis_type, record.get());
}

Ref formatted(PyObject* value) noexcept {
    return Ref::steal(PyObject_Format(value, runtime.names.empty));
}

// " A already registered for [path], B from module is overriding this class"
int log_override(PyObject* existing_cls, const SelectorPath& path, PyObject* cls) noexcept {
    Ref debug = log_debug();
    if (!debug) return -1;
    Ref old_name = Ref::steal(PyObject_GetAttr(existing_cls, runtime.names.dunder_name));
    if (!old_name) return -1;
    Ref path_list = path.as_list();
    if (!path_list) return -1;
    Ref new_name = Ref::steal(PyObject_GetAttr(cls, runtime.names.dunder_name));
    if (!new_name) return -1;
    Ref new_module = Ref::steal(PyObject_GetAttr(cls, runtime.names.dunder_module));
    if (!new_module) return -1;
    Ref parts[4];
    PyObject* values[4] = {old_name.get(), path_list.get(), new_name.get(), new_module.get()};
    for (int i = 0; i < 4; ++i) {
        parts[i] = formatted(values[i]);
        if (!parts[i]) return -1;
    }
    Ref texts[5] = {text(" "), text(" already registered for "), text(", "), text(" from "),
                    text(" is overriding this class")};
    Ref notice =
        concat({texts[0].get(), parts[0].get(), texts[1].get(), parts[1].get(), texts[2].get(),
                parts[2].get(), texts[3].get(), parts[3].get(), texts[4].get()});
    if (!notice) return -1;
    return discard(call(debug.get(), {notice.get()}));
}

// Stores the record at a node that already exists, replacing an earlier one.
int store_at_node(PyObject* node, const SelectorPath& path, PyObject* cls, PyObject* chassis_type,
                  PyObject* class_path) noexcept {
    PyObject* data_key = runtime.names.data;
    bool failed = false;
    Ref data = find(node, data_key, Membership::container, failed);
    if (failed) return -1;
    if (!data) {
        data = new_plugin_data(cls, chassis_type, class_path);
        if (!data) return -1;
        return PyObject_SetItem(node, data_key, data.get());
    }
    const int registered = PySequence_Contains(data.get(), chassis_type);
    if (registered < 0) return -1;
    if (registered) {
        Ref earlier = subscript(data.get(), chassis_type);
        if (!earlier) return -1;
        Ref existing_cls = subscript(earlier.get(), runtime.names.cls);
        if (!existing_cls) return -1;
        if (log_override(existing_cls.get(), path, cls) < 0) return -1;
    }
    Ref record = new_record(cls, class_path);
    if (!record) return -1;
    if (PyObject_SetItem(data.get(), chassis_type, record.get()) < 0) return -1;
    return PyObject_SetItem(node, data_key, data.get());
}

// Builds the missing nodes path[first:] apart from the tree, the last one with
// its plugin data, and attaches them with one insertion.
int attach_branch(PyObject* parent, const SelectorPath& path, int first, PyObject* cls,
                  PyObject* chassis_type, PyObject* class_path) noexcept {
    Ref data = new_plugin_data(cls, chassis_type, class_path);
    if (!data) return -1;
    Ref branch = single_entry(runtime.names.data, data.get());
    if (!branch) return -1;
    for (int i = path.size - 1; i > first; --i) {
        branch = single_entry(path.items[i], branch.get());
        if (!branch) return -1;
    }
    return PyObject_SetItem(parent, path.items[first], branch.get());
}

int register_at(SelfLookup& self, PyObject* cls, const SelectorPath& path,
                PyObject* chassis_type) noexcept {
    // The class's file comes first: a class it refuses leaves the tree as it was.
    Ref getfile = global(runtime.names.getfile);
    if (!getfile) return -1;
    self.code_may_run();
    Ref class_path = call(getfile.get(), {cls});
    if (!class_path) return -1;
    Ref node = tree_root(self);
    if (!node) return -1;
    bool failed = false;
    for (int i = 0; i < path.size; ++i) {
        Ref child = find(node.get(), path.items[i], Membership::keys_view, failed);
        if (failed) return -1;
        if (!child) return attach_branch(node.get(), path, i, cls, chassis_type, class_path.get());
        node = std::move(child);
    }
    return store_at_node(node.get(), path, cls, chassis_type, class_path.get());
}

// Notes on refused lookups and removals (3.11 and later), made on these
// failure paths only: where the walk ended and what the node there holds.

// "the root", or the texts of the selectors the walk followed, "(a/b)".
Ref walk_position(PyObject* const* followed, int count) noexcept {
    if (count == 0) return text("the root");
    Ref texts = Ref::steal(PyList_New(count));
    if (!texts) return Ref();
    for (int i = 0; i < count; ++i) {
        PyObject* shown = PyObject_Str(followed[i]);
        if (shown == nullptr) return Ref();
        PyList_SET_ITEM(texts.get(), i, shown);
    }
    Ref slash = text("/");
    if (!slash) return Ref();
    Ref joined = Ref::steal(PyUnicode_Join(slash.get(), texts.get()));
    if (!joined) return Ref();
    return Ref::steal(PyUnicode_FromFormat("(%U)", joined.get()));
}

// The keys of a plain dict but "data", in their order; null for anything else.
Ref selectors_at(PyObject* node) noexcept {
    if (!PyDict_CheckExact(node)) return Ref();
    Ref keys = Ref::steal(PyDict_Keys(node));
    if (!keys) return Ref();
    Ref selectors = Ref::steal(PyList_New(0));
    if (!selectors) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "data") == 0) continue;
        if (PyList_Append(selectors.get(), key) < 0) return Ref();
    }
    return selectors;
}

// The chassis types of a plain dict's plugin data, [] when it has none; null
// when the plugin data is not a plain dict.
Ref chassis_types_at(PyObject* node) noexcept {
    PyObject* found = nullptr;
    const int status = PyDict_GetItemRef(node, runtime.names.data, &found);
    Ref data = Ref::steal(found);
    if (status < 0) return Ref();
    if (status == 0) return Ref::steal(PyList_New(0));
    if (!PyDict_CheckExact(data.get())) return Ref();
    return Ref::steal(PyDict_Keys(data.get()));
}

// "the walk ended at (linux/edge): selectors ['e8'], chassis types []"
Ref walk_end_note(PyObject* node, PyObject* const* followed, int count) noexcept {
    Ref selectors = selectors_at(node);
    if (!selectors) return Ref();
    Ref chassis_types = chassis_types_at(node);
    if (!chassis_types) return Ref();
    Ref where = walk_position(followed, count);
    if (!where) return Ref();
    return Ref::steal(PyUnicode_FromFormat("the walk ended at %U: selectors %R, chassis types %R",
                                           where.get(), selectors.get(), chassis_types.get()));
}

// The note of a refused lookup. The walk is retraced from the tree's root, as
// long as every node is a plain dict, whose lookups run no code.
Ref lookup_end_note(SelfLookup& self, const SelectorPath& path) noexcept {
    Ref node = tree_root(self);
    if (!node) return Ref();
    std::array<PyObject*, 4> followed{};
    int count = 0;
    for (PyObject* selector : path) {
        if (!PyDict_CheckExact(node.get())) return Ref();
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(node.get(), selector, &found) < 0) return Ref();
        if (found == nullptr) continue;
        node = Ref::steal(found);
        followed[count++] = selector;
    }
    return walk_end_note(node.get(), followed.data(), count);
}

// Refuses a removal whose walk ended at `node`, after path[0:depth].
int refuse_removal_at(PyObject* node, const SelectorPath& path, int depth) noexcept {
    refuse("Plugin data not found");
    raise_with_note([&] { return walk_end_note(node, path.begin(), depth); });
    return -1;
}

int raise_lookup_failure(const SelectorPath& path, PyObject* chassis_type) noexcept {
    InfraError error;
    if (!error) return -1;
    Ref shown = Ref::steal(PyList_New(path.size));
    if (!shown) return -1;
    for (int i = 0; i < path.size; ++i) {
        PyObject* value = PyObject_Str(path.items[i]);
        if (value == nullptr) return -1;
        PyList_SET_ITEM(shown.get(), i, value);
    }
    Ref slash = text("/");
    if (!slash) return -1;
    Ref joined = Ref::steal(PyUnicode_Join(slash.get(), shown.get()));
    if (!joined) return -1;
    Ref type_text = str_of(chassis_type);
    if (!type_text) return -1;
    Ref head = text("Plugin data not found for (");
    Ref middle = text("), type: ");
    Ref tail = text(" ");
    return error.raise(
        concat({head.get(), joined.get(), middle.get(), type_text.get(), tail.get()}));
}

PyObject* lookup(SelfLookup& self, const SelectorPath& path, PyObject* chassis_type) noexcept {
    Ref root = tree_root(self);
    if (!root) return nullptr;
    bool failed = false;
    for (PyObject* selector : path) {
        Ref next = find(root.get(), selector, Membership::keys_view, failed);
        if (failed) return nullptr;
        if (next) root = std::move(next);
    }
    PyObject* data_key = runtime.names.data;
    Ref data = find(root.get(), data_key, Membership::container, failed);
    if (failed) return nullptr;
    if (data && PyDict_CheckExact(root.get()) && PyDict_CheckExact(data.get()) &&
        PyUnicode_CheckExact(chassis_type)) {
        // Plain dicts and texts: testing and fetching are one lookup, and the
        // plugin data fetched again would be the same object.
        Ref record = find(data.get(), chassis_type, Membership::container, failed);
        if (failed) return nullptr;
        if (record) return subscript(record.get(), runtime.names.cls).release();
    } else if (data) {
        const int registered = PySequence_Contains(data.get(), chassis_type);
        if (registered < 0) return nullptr;
        if (registered) {
            data = subscript(root.get(), data_key);
            if (!data) return nullptr;
            Ref record = subscript(data.get(), chassis_type);
            if (!record) return nullptr;
            return subscript(record.get(), runtime.names.cls).release();
        }
    }
    raise_lookup_failure(path, chassis_type);
    raise_with_note([&] { return lookup_end_note(self, path); });
    return nullptr;
}

int remove_chassis_type(PyObject* data, PyObject* chassis_type) noexcept {
    const int registered = PySequence_Contains(data, chassis_type);
    if (registered < 0) return -1;
    if (registered) return PyObject_DelItem(data, chassis_type);
    return refuse_formatted("Plugin data not found for %s", chassis_type);
}

int unregister_at(SelfLookup& self, const SelectorPath& path, PyObject* chassis_type) noexcept {
    Ref node = tree_root(self);
    if (!node) return -1;
    bool failed = false;
    for (PyObject* const& selector : path) {
        Ref child = find(node.get(), selector, Membership::keys_view, failed);
        if (failed) return -1;
        if (!child)
            return refuse_removal_at(node.get(), path, static_cast<int>(&selector - path.begin()));
        node = std::move(child);
    }
    PyObject* data_key = runtime.names.data;
    const int has_data = PySequence_Contains(node.get(), data_key);
    if (has_data < 0) return -1;
    if (!has_data) return refuse_removal_at(node.get(), path, path.size);
    if (chassis_type == Py_None) return PyObject_DelItem(node.get(), data_key);
    Ref data = subscript(node.get(), data_key);
    if (!data) return -1;
    return remove_chassis_type(data.get(), chassis_type);
}

// The selector parameters the three request methods share, in their order.
struct Request {
    PyObject* os;
    PyObject* platform;
    PyObject* model;
    PyObject* os_flavor;
    PyObject* chassis_type;

    // From the bound parameters, `os` first.
    static Request bind(PyObject* const* params) noexcept {
        return {params[0], params[1], params[2], params[3], params[4]};
    }
    SelectorPath path() const noexcept { return SelectorPath(os, platform, model, os_flavor); }
};

// Parameters: self, then the request.
PyObject* get_plugin_body(MemberState& state, PyObject* const* params) noexcept {
    SelfLookup self(params[0], state.plans);
    const Request request = Request::bind(params + 1);
    if (validate(self, request.os, request.platform, request.model, request.chassis_type) < 0)
        return nullptr;
    return lookup(self, request.path(), request.chassis_type);
}

// Parameters: self, then the request.
PyObject* unregister_plugin_body(MemberState& state, PyObject* const* params) noexcept {
    SelfLookup self(params[0], state.plans);
    const Request request = Request::bind(params + 1);
    if (validate(self, request.os, request.platform, request.model, runtime.names.single_rp) < 0)
        return nullptr;
    return none_or_error(unregister_at(self, request.path(), request.chassis_type));
}

// Parameters: self, cls, then the request.
PyObject* register_plugin_body(MemberState& state, PyObject* const* params) noexcept {
    SelfLookup self(params[0], state.plans);
    PyObject* cls = params[1];
    const Request request = Request::bind(params + 2);
    if (validate(self, request.os, request.platform, request.model, request.chassis_type) < 0)
        return nullptr;
    return none_or_error(register_at(self, cls, request.path(), request.chassis_type));
}

}  // namespace

const Member get_plugin = {
    "get_plugin",
    "\n            This method returns the connection class based on the\n"
    "            input details provided\n        ",
    6,
    {"self", "os", "platform", "model", "os_flavor", "chassis_type"},
    5,
    {nullptr, nullptr, nullptr, nullptr, "single_rp"},
    get_plugin_body,
};

const Member unregister_plugin = {
    "unregister_plugin",
    "\n            This method unregister a particular implementations from\n"
    "            the internal database\n        ",
    6,
    {"self", "os", "platform", "model", "os_flavor", "chassis_type"},
    5,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
    unregister_plugin_body,
};

const Member register_plugin = {
    "register_plugin",
    "\n            This method registers all the implementation plugin(i.e connection class)\n"
    "            to the plexor plugin manager\n"
    "\n"
    "            It takes OS, platform, MODEL information and based on that\n"
    "            registers it\n"
    "\n"
    "            cls refer to the connection class\n"
    "            chassis_type indicates if the connection class is for single_rp or\n"
    "            dual_rp or stack(default single_rp)\n"
    "\n        ",
    7,
    {"self", "cls", "os", "platform", "model", "os_flavor", "chassis_type"},
    5,
    {nullptr, nullptr, nullptr, nullptr, "single_rp"},
    register_plugin_body,
};

}  // namespace plexor::members
