// Text rendering of a plugin tree, and the manager's representation.
//
// A level's text is its `output` line followed, for every child in key order,
// by the child's own text with "\n  |" before its first line and a line break
// plus the separator ("  |", or "  " under the last child) before every other.
// When print_tree is this module's own function and the texts involved are
// plain str, the levels write straight into one buffer, each line break
// followed by the separators of the enclosing levels; otherwise a level's text
// is built from its children's returned texts exactly as the method reads.
#include "class_names.hpp"
#include "compiler.hpp"
#include "dispatch.hpp"
#include "members.hpp"
#include "recursion_guard.hpp"
#include "sorted_keys.hpp"
#include "text_buffer.hpp"

#include <cstring>
#include <utility>

namespace plexor::members {
namespace {

Ref generic_text(MemberState& state, PyObject* self, PyObject* data, PyObject* output,
                 RenderingDepth& depth) noexcept;

// True when `data == {}` is false without running any code: a plain dict
// (truth-tested before), a plain str, a class made by `type` itself, or an
// object that compares as `object` does; each of them answers NotImplemented,
// as an empty dict does in turn.
bool never_equals_a_dict(PyObject* data) noexcept {
    PyTypeObject* type = Py_TYPE(data);
    return type == &PyDict_Type || type == &PyUnicode_Type || type == &PyType_Type ||
           type->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// True for the values whose truth, comparison with {} and str() run no code.
bool drawn_without_code(PyObject* data) noexcept {
    return PyDict_CheckExact(data) || PyUnicode_CheckExact(data) || data == Py_None ||
           PyBool_Check(data) || Py_TYPE(data) == &PyType_Type;
}

// 1 when `data` renders as nothing: false, or equal to an empty dict.
int renders_empty(PyObject* data) noexcept {
    const int is_true = truth(data);
    if (is_true < 0) return -1;
    if (is_true == 0) return 1;
    if (never_equals_a_dict(data)) return 0;
    Ref empty = Ref::steal(PyDict_New());
    if (!empty) return -1;
    Ref equal = Ref::steal(PyObject_RichCompare(data, empty.get(), Py_EQ));
    if (!equal) return -1;
    return PyObject_IsTrue(equal.get());
}

// `key == last_key`, truth-tested: the comparison runs even for one object.
int equal_keys(PyObject* key, PyObject* last_key) noexcept {
    Ref equal = Ref::steal(PyObject_RichCompare(key, last_key, Py_EQ));
    if (!equal) return -1;
    return PyObject_IsTrue(equal.get());
}

// Splits a child's returned text into lines and hands each line, as str(),
// with the prefix the method puts before it, to `emit(prefix, line)`.
template <typename Emit>
int for_each_child_line(PyObject* child_text, PyObject* key, PyObject* last_key,
                        const Emit& emit) noexcept {
    const int last = equal_keys(key, last_key);
    if (last < 0) return -1;
    Ref lines = call_attr(child_text, runtime.names.split, {runtime.names.newline});
    if (!lines) return -1;
    Ref iterator = Ref::steal(PyObject_GetIter(lines.get()));
    if (!iterator) return -1;
    bool first = true;
    for (;;) {
        Ref line = Ref::steal(PyIter_Next(iterator.get()));
        if (!line) break;
        // Before the first line the keys are compared once more.
        int first_of_last = 0;
        if (first) {
            first_of_last = equal_keys(key, last_key);
            if (first_of_last < 0) return -1;
            first = false;
        }
        const char* prefix = first_of_last ? "\n  |" : (last ? "\n  " : "\n  |");
        Ref shown = str_of(line.get());
        if (!shown) return -1;
        if (emit(prefix, shown.get()) < 0) return -1;
    }
    if (PyErr_Occurred()) return -1;
    return 0;
}

// text += prefix + line, by the interpreter's operators.
int add_piece(Ref& text, const char* prefix, PyObject* line) noexcept {
    Ref head = plexor::text(prefix);
    if (!head) return -1;
    Ref piece = Ref::steal(PyNumber_Add(head.get(), line));
    if (!piece) return -1;
    text = Ref::steal(PyNumber_InPlaceAdd(text.get(), piece.get()));
    if (!text) return -1;
    return 0;
}

struct Child {
    Ref data;
    Ref label;
};

// data[key] and "__ " + key, in the order the call's arguments are evaluated.
int child_arguments(PyObject* data, PyObject* key, Child& child) noexcept {
    child.data = Ref::steal(PyObject_GetItem(data, key));
    if (!child.data) return -1;
    child.label = Ref::steal(PyNumber_Add(runtime.names.child_prefix, key));
    if (!child.label) return -1;
    return 0;
}

// Whether `data` renders as nothing (1) or not (0), and, for a dict that
// does not, its keys listed into `keys`. A plain dict's truth test and key
// listing are one step, which another thread cannot split by emptying it.
int read_level(PyObject* data, SortedKeys& keys) noexcept {
    if (PyDict_CheckExact(data)) return keys.list_unless_empty(data);
    const int empty = renders_empty(data);
    if (empty != 0 || !PyDict_Check(data)) return empty;
    return keys.list(data);
}

// print_tree(data=..., output=...) called through the instance.
Ref child_text(const MethodCall& print_tree, MemberState& state, PyObject* self, const Child& child,
               RenderingDepth& depth) noexcept {
    if (print_tree.is_own_method()) {
        count_generic_access(runtime.stats.levels_rendered_apart);
        return generic_text(state, self, child.data.get(), child.label.get(), depth);
    }
    return print_tree.call_keywords({child.data.get(), child.label.get()},
                                    runtime.keywords.data_output);
}

// The `output` of a level: a text, or the key whose label "__ " + key it is.
struct Label {
    PyObject* text;
    bool is_key;
};

// label + " = " + value, by the interpreter's operators, for a `value` of a
// str subclass, which may add itself differently.
Ref added_leaf(const Label& output, PyObject* value) noexcept {
    Ref label = Ref::borrow(output.text);
    if (output.is_key) {
        label = Ref::steal(PyUnicode_Concat(runtime.names.child_prefix, output.text));
        if (!label) return Ref();
    }
    Ref head = Ref::steal(PyUnicode_Concat(label.get(), runtime.names.leaf_separator));
    if (!head) return Ref();
    return Ref::steal(PyNumber_Add(head.get(), value));
}

// An inner level being rendered. Its text is written to the buffer from
// `mark` on, until a piece that is not a plain text makes it an object.
struct Level {
    size_t mark;
    Ref text;  // the level's text, once it is no longer in the buffer
};

class Renderer {
public:
    Renderer(MemberState& state, PyObject* self, RenderingDepth& depth) noexcept
        : state_(state), depth_(depth), lookup_(self, state.plans), buffer_(state.kept) {}

    // Writes what print_tree(data, output) returns; `output` is a plain str,
    // or, for a child, its key: a plain str that the label "__ " + key is made
    // of. Returns 1 if the result is not a plain text, left in `odd` for the
    // caller.
    int render(PyObject* data, const Label& output, Ref& odd) noexcept {
        RecursionGuard guard(depth_, PyDict_Check(data) ? Takes::both : Takes::python_level);
        if (!guard.entered()) return -1;
        if (!drawn_without_code(data)) lookup_.code_may_run();
        SortedKeys keys;
        const int empty = read_level(data, keys);
        if (empty < 0) return -1;
        if (empty > 0) return 0;
        if (!PyDict_Check(data)) return render_leaf(data, output, odd);
        if (!keys.texts_only()) {
            lookup_.code_may_run();
            if (keys.sort() < 0) return -1;
        }
        Level level{buffer_.position(), Ref()};
        if (write_label(output) < 0) return -1;
        const Py_ssize_t count = keys.size();
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (render_child(level, data, keys, i, keys.last()) < 0) return -1;
        }
        if (!level.text) return 0;
        odd = std::move(level.text);
        return 1;
    }

    TextBuffer& buffer() noexcept { return buffer_; }

private:
    int write_label(const Label& label) noexcept {
        if (label.is_key && buffer_.write_ascii("__ ", 3) < 0) return -1;
        return buffer_.write(label.text);
    }

    int render_leaf(PyObject* data, const Label& output, Ref& odd) noexcept {
        Ref value = class_names_.str(data);
        if (!value) return -1;
        if (!PyUnicode_CheckExact(value.get())) {
            odd = added_leaf(output, value.get());
            if (!odd) return -1;
            return 1;
        }
        if (write_label(output) < 0) return -1;
        if (buffer_.write(runtime.names.leaf_separator) < 0) return -1;
        return buffer_.write(value.get());
    }

    int render_child(Level& level, PyObject* data, const SortedKeys& keys, Py_ssize_t index,
                     PyObject* last_key) noexcept {
        PyObject* const key = keys.at(index);
        MethodCall print_tree(lookup_, Attr::print_tree);
        if (!print_tree) return -1;
        // With plain str keys the label and the comparisons with the last key
        // have no effects of their own, and the child writes in place.
        if (!level.text && print_tree.is_own_method() && PyUnicode_CheckExact(key) &&
            PyUnicode_CheckExact(last_key)) {
            Ref child_data = keys.value(data, index);
            if (!child_data) return -1;
            return render_child_inline(level, child_data.get(), key, last_key);
        }
        lookup_.code_may_run();
        Child child;
        if (child_arguments(data, key, child) < 0) return -1;
        Ref child_output = child_text(print_tree, state_, lookup_.self(), child, depth_);
        if (!child_output) return -1;
        return add_child_text(level, child_output.get(), key, last_key);
    }

    int render_child_inline(Level& level, PyObject* data, PyObject* key,
                            PyObject* last_key) noexcept {
        if (compat::ready_text(key) < 0) return -1;
        if (compat::ready_text(last_key) < 0) return -1;
        const bool last = same_text(key, last_key);
        const size_t before = buffer_.position();
        if (buffer_.child_line_break() < 0) return -1;
        const Py_ssize_t outer = buffer_.enter(last);
        if (outer < 0) return -1;
        Ref odd;
        const int status = render(data, Label{key, true}, odd);
        buffer_.leave(outer);
        if (status != 1) return status;
        // The child's text is no plain str: its lines are added as they read.
        lookup_.code_may_run();
        buffer_.truncate(before);
        return add_child_text(level, odd.get(), key, last_key);
    }

    int add_child_text(Level& level, PyObject* child_output, PyObject* key,
                       PyObject* last_key) noexcept {
        return for_each_child_line(child_output, key, last_key,
                                   [this, &level](const char* prefix, PyObject* line) {
                                       return add_line(level, prefix, line);
                                   });
    }

    // Adds prefix + line to the level's text: written to the buffer, the line
    // break indented by the enclosing levels, while everything is plain text;
    // from the first line that is not, by the interpreter's operators.
    PLEXOR_NOINLINE int add_line(Level& level, const char* prefix, PyObject* line) noexcept {
        if (!level.text && PyUnicode_CheckExact(line)) {
            if (buffer_.line_break() < 0) return -1;
            if (buffer_.write_ascii(prefix + 1, std::strlen(prefix + 1)) < 0) return -1;
            return buffer_.write(line);
        }
        if (!level.text) {
            level.text = buffer_.take(level.mark);
            if (!level.text) return -1;
        }
        return add_piece(level.text, prefix, line);
    }

    MemberState& state_;
    ClassNames class_names_;
    RenderingDepth& depth_;
    SelfLookup lookup_;
    TextBuffer buffer_;
};

// print_tree's result for a plain str `output`, rendered into one buffer.
Ref buffered_text(MemberState& state, PyObject* self, PyObject* data, PyObject* output,
                  RenderingDepth& depth) noexcept {
    Renderer renderer(state, self, depth);
    Ref odd;
    const int status = renderer.render(data, Label{output, false}, odd);
    if (status < 0) return Ref();
    if (status == 1) return odd;
    return renderer.buffer().finish();
}

// print_tree's result built step by step with the interpreter's operators, for
// an `output` that is not a plain str.
Ref object_text(MemberState& state, PyObject* self, PyObject* data, PyObject* output,
                RenderingDepth& depth) noexcept {
    RecursionGuard guard(depth, Takes::both);
    if (!guard.entered()) return Ref();
    SortedKeys keys;
    const int empty = read_level(data, keys);
    if (empty < 0) return Ref();
    if (empty > 0) return Ref::borrow(runtime.names.empty);
    if (!PyDict_Check(data)) {
        Ref head = Ref::steal(PyNumber_Add(output, runtime.names.leaf_separator));
        if (!head) return Ref();
        Ref value = str_of(data);
        if (!value) return Ref();
        return Ref::steal(PyNumber_Add(head.get(), value.get()));
    }
    if (keys.sort() < 0) return Ref();
    const Py_ssize_t count = keys.size();
    Ref result = Ref::borrow(output);
    SelfLookup lookup(self, state.plans);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* const key = keys.at(i);
        MethodCall print_tree(lookup, Attr::print_tree);
        if (!print_tree) return Ref();
        lookup.code_may_run();
        Child child;
        if (child_arguments(data, key, child) < 0) return Ref();
        Ref child_output = child_text(print_tree, state, self, child, depth);
        if (!child_output) return child_output;
        const int status = for_each_child_line(child_output.get(), key, keys.last(),
                                               [&result](const char* prefix, PyObject* line) {
                                                   return add_piece(result, prefix, line);
                                               });
        if (status < 0) return Ref();
    }
    return result;
}

Ref generic_text(MemberState& state, PyObject* self, PyObject* data, PyObject* output,
                 RenderingDepth& depth) noexcept {
    // A level rendered apart takes more of the C stack: it counts once more there.
    RecursionGuard guard(depth, Takes::c_level);
    if (!guard.entered()) return Ref();
    if (PyUnicode_CheckExact(output)) return buffered_text(state, self, data, output, depth);
    return object_text(state, self, data, output, depth);
}

PyObject* print_tree_body(MemberState& state, PyObject* const* params) noexcept {
    PyObject* const self = params[0];
    PyObject* const data = params[1];
    PyObject* const output = params[2];
    RenderingDepth depth;
    if (depth.start() < 0) return nullptr;
    return generic_text(state, self, data, output, depth).release();
}

// str() of a value put in the header; a str subclass is formatted once more,
// as format(text, "") makes a plain text of it.
Ref header_piece(PyObject* value) noexcept {
    Ref text = str_of(value);
    if (!text || PyUnicode_CheckExact(text.get())) return text;
    return Ref::steal(PyObject_Format(text.get(), runtime.names.empty));
}

// "plugins (<class> at 0x...) ", the output that __repr__ renders the tree under.
Ref repr_header(PyObject* self) noexcept {
    Ref cls = Ref::steal(PyObject_GetAttr(self, runtime.names.dunder_class));
    if (!cls) return Ref();
    Ref cls_text = header_piece(cls.get());
    if (!cls_text) return Ref();
    Ref identity = call(runtime.builtins.id, {self});
    if (!identity) return Ref();
    Ref address = call(runtime.builtins.hex, {identity.get()});
    if (!address) return Ref();
    Ref address_text = header_piece(address.get());
    if (!address_text) return Ref();
    return Ref::steal(
        PyUnicode_FromFormat("plugins (%U at %U) ", cls_text.get(), address_text.get()));
}

// The header followed by the tree.
PyObject* repr_body(MemberState& state, PyObject* const* params) noexcept {
    PyObject* const self = params[0];
    Ref header = repr_header(self);
    if (!header) return nullptr;
    SelfLookup lookup(self, state.plans);
    MethodCall print_tree(lookup, Attr::print_tree);
    if (!print_tree) return nullptr;
    Ref tree = lookup.attribute(Attr::plugins);
    if (!tree) return nullptr;
    RenderingDepth depth;
    if (depth.start() < 0) return nullptr;
    // __repr__ calling print_tree: a level of its own.
    RecursionGuard guard(depth, Takes::python_level);
    if (!guard.entered()) return nullptr;
    lookup.code_may_run();
    if (print_tree.is_own_method())
        return generic_text(state, self, tree.get(), header.get(), depth).release();
    return print_tree.call_keywords({tree.get(), header.get()}, runtime.keywords.data_output)
        .release();
}

}  // namespace

const Member print_tree = {
    "print_tree",
    " This Method print the plugin list in tree structure\n"
    "\n"
    "        Sample Tree Structure::\n"
    "\n"
    "            plugins\n"
    "              |__ generic\n"
    "                |__ data\n"
    "                  |__ dual_rp\n"
    "                  |  |__ cls = <class 'plexor.plugins.generic.GenericDualRPConnection'>\n"
    "                  |  |__ path = /path/to/plexor/plugins/generic/__init__.py\n"
    "                  |__ single_rp\n"
    "                    |__ cls = <class 'plexor.plugins.generic.GenericSingleRpConnection'>\n"
    "                    |__ path = /path/to/plexor/plugins/generic/__init__.py\n"
    "\n"
    "        ",
    3,
    {"self", "data", "output"},
    1,
    {"plugin"},
    print_tree_body,
};

const Member repr = {
    "__repr__", nullptr, 1, {"self"}, 0, {}, repr_body,
};

}  // namespace plexor::members
