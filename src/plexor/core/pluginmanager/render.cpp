// Text rendering of a plugin tree, and the manager's representation.
//
// A level's text is its `output` line followed, for every child in key order,
// by the child's own text with "\n  |" before its first line and a line break
// plus the separator ("  |", or "  " under the last child) before every other.
// When print_tree is this module's own function and the texts involved are
// plain str, the levels write straight into one buffer, each line break
// followed by the separators of the enclosing levels; otherwise a level's text
// is built from its children's returned texts exactly as the method reads.
#include "dispatch.hpp"
#include "members.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace plexor::members {
namespace {

// The text being rendered; every line break is followed by the separators of
// the levels that enclose the point of writing. While every character is
// ASCII the text is written straight into a text object, grown as needed and
// cut to its length at the end; from the first other character on, the
// characters are kept four bytes each and the interpreter makes the finished
// text from them, in its canonical form either way.
class TextBuffer {
public:
    TextBuffer() noexcept = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { Py_XDECREF(ascii_); }

    // Enters a child level: "  " below the last child, "  |" below the others.
    int push(bool last) noexcept {
        return guarded([&] {
            levels_.push_back(line_start_.size());
            line_start_ += last ? "  " : "  |";
        });
    }
    void pop() {
        line_start_.resize(levels_.back());
        levels_.pop_back();
    }

    int write_ascii(const char* ascii, size_t length) noexcept {
        if (length == 0) return 0;
        if (wide_) return append_wide(reinterpret_cast<const Py_UCS1*>(ascii), length);
        if (size_ + static_cast<Py_ssize_t>(length) > capacity_ && reserve(length) < 0) return -1;
        std::memcpy(chars_ + size_, ascii, length);
        size_ += static_cast<Py_ssize_t>(length);
        return 0;
    }

    // A line break and the separators of the enclosing levels.
    int line_break() noexcept { return write_ascii(line_start_.data(), line_start_.size()); }

    // A line break, the separators and "  |": the start of a child's first line.
    int child_line_break() noexcept {
        const size_t length = line_start_.size();
        if (wide_) return line_break() < 0 ? -1 : write_ascii("  |", 3);
        if (size_ + static_cast<Py_ssize_t>(length + 3) > capacity_ && reserve(length + 3) < 0)
            return -1;
        char* out = chars_ + size_;
        std::memcpy(out, line_start_.data(), length);
        out[length] = ' ';
        out[length + 1] = ' ';
        out[length + 2] = '|';
        size_ += static_cast<Py_ssize_t>(length + 3);
        return 0;
    }

    // Writes a text, each of its line breaks followed by the separators.
    int write(PyObject* text) noexcept {
        if (compat::ready_text(text) < 0) return -1;
        const void* data = PyUnicode_DATA(text);
        const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
        if (PyUnicode_IS_ASCII(text))
            return write_lines(static_cast<const char*>(data), length, &TextBuffer::write_ascii);
        if (!wide_ && widen() < 0) return -1;
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                return write_lines(static_cast<const Py_UCS1*>(data), length,
                                   &TextBuffer::append_wide<Py_UCS1>);
            case PyUnicode_2BYTE_KIND:
                return write_lines(static_cast<const Py_UCS2*>(data), length,
                                   &TextBuffer::append_wide<Py_UCS2>);
            default:
                return write_lines(static_cast<const Py_UCS4*>(data), length,
                                   &TextBuffer::append_wide<Py_UCS4>);
        }
    }

    size_t position() const noexcept {
        return wide_ ? wide_chars_.size() : static_cast<size_t>(size_);
    }

    // Takes back what was written from `mark` on, as the text it was written
    // from: without the separators that followed its line breaks.
    Ref take(size_t mark) noexcept {
        Ref written = text_from(mark);
        truncate(mark);
        if (!written || line_start_.size() == 1) return written;
        Ref indented = Ref::steal(PyUnicode_FromStringAndSize(
            line_start_.data(), static_cast<Py_ssize_t>(line_start_.size())));
        return indented ? Ref::steal(PyUnicode_Replace(written.get(), indented.get(),
                                                       runtime.names.newline, -1))
                        : Ref();
    }

    void truncate(size_t mark) noexcept {
        if (wide_) {
            wide_chars_.resize(mark);
        } else {
            size_ = static_cast<Py_ssize_t>(mark);
        }
    }

    Ref finish() noexcept {
        if (wide_ || size_ == 0) return text_from(0);
        // The object is this buffer's alone until now: cut to its length, it
        // is the finished text.
        if (PyUnicode_Resize(&ascii_, size_) < 0) return Ref();
        chars_ = nullptr;
        return Ref::steal(std::exchange(ascii_, nullptr));
    }

private:
    static constexpr Py_ssize_t kFirstCapacity = 256;

    template <typename Step>
    static int guarded(const Step& step) noexcept {
        try {
            step();
            return 0;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        } catch (const std::length_error&) {
            PyErr_NoMemory();
            return -1;
        }
    }

    // Room for `length` more ASCII characters, the capacity at least doubled.
    int reserve(size_t length) noexcept {
        const auto needed = size_ + static_cast<Py_ssize_t>(length);
        if (needed <= capacity_) return 0;
        Py_ssize_t capacity = capacity_ > 0 ? capacity_ : kFirstCapacity;
        while (capacity < needed) capacity = capacity > PY_SSIZE_T_MAX / 2 ? needed : capacity * 2;
        if (ascii_ == nullptr) {
            ascii_ = PyUnicode_New(capacity, 127);
            if (ascii_ == nullptr) return -1;
        } else if (PyUnicode_Resize(&ascii_, capacity) < 0) {
            return -1;
        }
        capacity_ = capacity;
        chars_ = static_cast<char*>(PyUnicode_DATA(ascii_));
        return 0;
    }

    // From the first character that is not ASCII on, four bytes each.
    int widen() noexcept {
        const auto* chars = ascii_ ? static_cast<const Py_UCS1*>(PyUnicode_DATA(ascii_)) : nullptr;
        const int status = guarded([&] { wide_chars_.assign(chars, chars + size_); });
        if (status < 0) return -1;
        Py_CLEAR(ascii_);
        chars_ = nullptr;
        size_ = capacity_ = 0;
        wide_ = true;
        return 0;
    }

    template <typename Char>
    int append_wide(const Char* chars, size_t count) noexcept {
        return guarded([&] { wide_chars_.insert(wide_chars_.end(), chars, chars + count); });
    }

    // The next line break in [chars, end), or end.
    static const char* next_line_break(const char* chars, const char* end) noexcept {
        const void* found = std::memchr(chars, '\n', static_cast<size_t>(end - chars));
        return found != nullptr ? static_cast<const char*>(found) : end;
    }
    template <typename Char>
    static const Char* next_line_break(const Char* chars, const Char* end) noexcept {
        return std::find(chars, end, static_cast<Char>('\n'));
    }

    template <typename Char, typename Append>
    int write_lines(const Char* chars, size_t length, Append append) noexcept {
        const Char* end = chars + length;
        for (;;) {
            const Char* stop = next_line_break(chars, end);
            if ((this->*append)(chars, static_cast<size_t>(stop - chars)) < 0) return -1;
            if (stop == end) return 0;
            if (line_break() < 0) return -1;
            chars = stop + 1;
        }
    }

    Ref text_from(size_t mark) const noexcept {
        const size_t size = position();
        if (mark == size) return Ref::borrow(runtime.names.empty);
        const auto count = static_cast<Py_ssize_t>(size - mark);
        if (wide_)
            return Ref::steal(
                PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, wide_chars_.data() + mark, count));
        // A copy: a substring of all of ascii_ would be ascii_ itself.
        return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, chars_ + mark, count));
    }

    PyObject* ascii_ = nullptr;  // the text while it is ASCII, with room for more
    char* chars_ = nullptr;      // its characters
    Py_ssize_t size_ = 0;        // characters written into ascii_
    Py_ssize_t capacity_ = 0;    // characters ascii_ has room for
    std::vector<Py_UCS4> wide_chars_;
    bool wide_ = false;
    std::string line_start_ = "\n";  // a line break and the separators of the levels
    std::vector<size_t> levels_;     // length of line_start_ outside each level
};

// The levels of one rendering, counted where the interpreter does not count
// them against the Python recursion limit itself.
struct Depth {
    int levels = 0;
    int limit = compat::counts_python_recursion_apart ? Py_GetRecursionLimit() : 0;
};

// One level of the rendering's recursion, counted as a call of the method by
// itself would be. A level that goes deeper (an inner node) also takes a level
// of the C stack; a leaf does not.
class RecursionGuard {
public:
    RecursionGuard(Depth& depth, bool deepens) noexcept : depth_(depth) {
        if (compat::counts_python_recursion_apart && ++depth_.levels > depth_.limit) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while calling a Python object");
            return;
        }
        c_level_ = deepens;
        entered_ = !deepens || Py_EnterRecursiveCall(" while calling a Python object") == 0;
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (compat::counts_python_recursion_apart) --depth_.levels;
        if (entered_ && c_level_) Py_LeaveRecursiveCall();
    }
    bool entered() const noexcept { return entered_; }

private:
    Depth& depth_;
    bool c_level_ = false;
    bool entered_ = false;
};

Ref generic_text(AttributeCache& plan, PyObject* self, PyObject* data, PyObject* output,
                 Depth& depth) noexcept;

// True when `data == {}` is false without running any code: a plain dict
// (truth-tested before), a plain str, a class made by `type` itself, or an
// object that compares as `object` does; each of them answers NotImplemented,
// as an empty dict does in turn.
bool never_equals_a_dict(PyObject* data) noexcept {
    PyTypeObject* type = Py_TYPE(data);
    return type == &PyDict_Type || type == &PyUnicode_Type || type == &PyType_Type ||
           type->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

// 1 when `data` renders as nothing: false, or equal to an empty dict.
int renders_empty(PyObject* data) noexcept {
    const int is_true = truth(data);
    if (is_true <= 0) return is_true < 0 ? -1 : 1;
    if (never_equals_a_dict(data)) return 0;
    Ref empty = Ref::steal(PyDict_New());
    Ref equal = empty ? Ref::steal(PyObject_RichCompare(data, empty.get(), Py_EQ)) : Ref();
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

// The keys of `data`, sorted, as `sorted(list(data.keys()))` gives them. The
// keys of a small plain dict that are all plain str are ordered here, where
// comparing them runs no code.
class SortedKeys {
public:
    explicit SortedKeys(PyObject* data) noexcept {
        if (PyDict_CheckExact(data) && PyDict_GET_SIZE(data) <= kSmall && sort_small(data)) return;
        if (PyDict_CheckExact(data)) {
            list_ = Ref::steal(PyDict_Keys(data));
        } else {
            Ref view = call_attr(data, runtime.names.keys, {});
            list_ = view ? Ref::steal(PySequence_List(view.get())) : Ref();
        }
        if (list_ && PyList_Sort(list_.get()) < 0) list_ = Ref();
        if (list_ && PyList_GET_SIZE(list_.get()) == 0) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            list_ = Ref();
        }
    }
    explicit operator bool() const noexcept { return small_size_ > 0 || list_; }
    Py_ssize_t size() const noexcept {
        return small_size_ > 0 ? small_size_ : PyList_GET_SIZE(list_.get());
    }
    // A new reference to the key at `index`.
    Ref at(Py_ssize_t index) const noexcept {
        return small_size_ > 0 ? small_[index] : Ref::borrow(PyList_GET_ITEM(list_.get(), index));
    }
    Ref last() const noexcept { return at(size() - 1); }

private:
    static constexpr Py_ssize_t kSmall = 8;

    // Insertion sort by code points; false (nothing kept) unless every key is
    // a plain str.
    bool sort_small(PyObject* data) noexcept {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t count = 0;
        while (PyDict_Next(data, &position, &key, &value)) {
            if (!PyUnicode_CheckExact(key) || compat::ready_text(key) < 0) {
                PyErr_Clear();
                return false;  // the keys kept so far are released with the object
            }
            Py_ssize_t slot = count++;
            for (; slot > 0 && PyUnicode_Compare(small_[slot - 1].get(), key) > 0; --slot)
                small_[slot] = std::move(small_[slot - 1]);
            small_[slot] = Ref::borrow(key);
        }
        small_size_ = count;
        return count > 0;
    }

    std::array<Ref, kSmall> small_{};
    Py_ssize_t small_size_ = 0;
    Ref list_;
};

// `key == last_key`, truth-tested: the comparison runs even for one object.
int equal_keys(PyObject* key, PyObject* last_key) noexcept {
    Ref equal = Ref::steal(PyObject_RichCompare(key, last_key, Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

// Splits a child's returned text into lines and hands each line, as str(),
// with the prefix the method puts before it, to `emit(prefix, line)`.
template <typename Emit>
int for_each_child_line(PyObject* child_text, PyObject* key, PyObject* last_key,
                        const Emit& emit) noexcept {
    const int last = equal_keys(key, last_key);
    if (last < 0) return -1;
    Ref lines = call_attr(child_text, runtime.names.split, {runtime.names.newline});
    Ref iterator = lines ? Ref::steal(PyObject_GetIter(lines.get())) : Ref();
    if (!iterator) return -1;
    bool first = true;
    while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
        int first_of_last = 0;
        if (first && (first_of_last = equal_keys(key, last_key)) < 0) return -1;
        first = false;
        const char* prefix = first_of_last ? "\n  |" : (last ? "\n  " : "\n  |");
        Ref shown = str_of(line.get());
        if (!shown || emit(prefix, shown.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// text += prefix + line, by the interpreter's operators.
int add_piece(Ref& text, const char* prefix, PyObject* line) noexcept {
    Ref head = plexor::text(prefix);
    Ref piece = head ? Ref::steal(PyNumber_Add(head.get(), line)) : Ref();
    text = piece ? Ref::steal(PyNumber_InPlaceAdd(text.get(), piece.get())) : Ref();
    return text ? 0 : -1;
}

struct Child {
    Ref data;
    Ref label;
};

// data[key] and "__ " + key, in the order the call's arguments are evaluated.
int child_arguments(PyObject* data, PyObject* key, Child& child) noexcept {
    child.data = Ref::steal(PyObject_GetItem(data, key));
    if (child.data) child.label = Ref::steal(PyNumber_Add(runtime.names.child_prefix, key));
    return child.label ? 0 : -1;
}

// print_tree(data=..., output=...) called through the instance.
Ref child_text(const MethodCall& print_tree, AttributeCache& plan, PyObject* self,
               const Child& child, Depth& depth) noexcept {
    if (print_tree.is(members::print_tree)) {
        count_generic_access(runtime.stats.levels_rendered_apart);
        return generic_text(plan, self, child.data.get(), child.label.get(), depth);
    }
    return print_tree.call_keywords({child.data.get(), child.label.get()},
                                    runtime.keywords.data_output);
}

// str() of the leaves. The plugin records repeat a few classes many times,
// and str() of a plain class is made from its __module__ and __qualname__
// alone: one rendering makes each such text once, for the same class with the
// same two objects (held here, so that identity means equality).
class ClassNames {
public:
    Ref str(PyObject* value) noexcept {
        if (Py_TYPE(value) != &PyType_Type ||
            !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(value), Py_TPFLAGS_HEAPTYPE))
            return str_of(value);
        auto* type = reinterpret_cast<PyHeapTypeObject*>(value);
        PyObject* module =
            PyDict_GetItemWithError(type->ht_type.tp_dict, runtime.names.dunder_module);
        // Classes said to be builtins show their __name__ instead.
        if (module == nullptr || !PyUnicode_CheckExact(module) ||
            PyUnicode_CompareWithASCIIString(module, "builtins") == 0) {
            if (PyErr_Occurred()) return Ref();
            return str_of(value);
        }
        for (const Entry& entry : entries_)
            if (entry.type == value && entry.module.get() == module &&
                entry.qualname.get() == type->ht_qualname)
                return entry.text;
        Entry fresh{value, Ref::borrow(module), Ref::borrow(type->ht_qualname), str_of(value)};
        Ref text = fresh.text;
        if (text) entries_[next_++ % entries_.size()] = std::move(fresh);
        return text;
    }

private:
    struct Entry {
        PyObject* type = nullptr;  // compared only
        Ref module;
        Ref qualname;
        Ref text;
    };
    std::array<Entry, 8> entries_{};
    size_t next_ = 0;
};

// The `output` of a level: a text, or the key whose label "__ " + key it is.
struct Label {
    PyObject* text;
    bool is_key;
};

// An inner level being rendered. Its text is written to the buffer from
// `mark` on, until a piece that is not a plain text makes it an object.
struct Level {
    size_t mark;
    Ref text;  // the level's text, once it is no longer in the buffer
};

class Renderer {
public:
    Renderer(AttributeCache& plan, PyObject* self, Depth& depth) noexcept
        : plan_(plan), self_(self), depth_(depth), lookup_(self, plan) {}

    // Writes what print_tree(data, output) returns; `output` is a plain str,
    // or, for a child, its key: a plain str that the label "__ " + key is made
    // of. Returns 1 if the result is not a plain text, left in `odd` for the
    // caller.
    int render(PyObject* data, const Label& output, Ref& odd) noexcept {
        RecursionGuard guard(depth_, PyDict_Check(data));
        if (!guard.entered()) return -1;
        const int empty = renders_empty(data);
        if (empty != 0) return empty < 0 ? -1 : 0;
        if (!PyDict_Check(data)) return render_leaf(data, output, odd);
        SortedKeys keys(data);
        if (!keys) return -1;
        Level level{buffer_.position(), Ref()};
        if (write_label(output) < 0) return -1;
        const Py_ssize_t count = keys.size();
        Ref last_key = keys.last();
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref key = keys.at(i);
            if (render_child(level, data, key.get(), last_key.get()) < 0) return -1;
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
            // A str subclass may add itself differently.
            Ref text = output.is_key
                           ? Ref::steal(PyUnicode_Concat(runtime.names.child_prefix, output.text))
                           : Ref::borrow(output.text);
            Ref head = text ? Ref::steal(PyUnicode_Concat(text.get(), runtime.names.leaf_separator))
                            : Ref();
            odd = head ? Ref::steal(PyNumber_Add(head.get(), value.get())) : Ref();
            return odd ? 1 : -1;
        }
        if (write_label(output) < 0 || buffer_.write(runtime.names.leaf_separator) < 0) return -1;
        return buffer_.write(value.get());
    }

    int render_child(Level& level, PyObject* data, PyObject* key, PyObject* last_key) noexcept {
        MethodCall print_tree(lookup_, Attr::print_tree);
        if (!print_tree) return -1;
        // With plain str keys the label and the comparisons with the last key
        // have no effects of their own, and the child writes in place.
        if (!level.text && print_tree.is(members::print_tree) && PyUnicode_CheckExact(key) &&
            PyUnicode_CheckExact(last_key)) {
            Ref child_data = subscript(data, key);
            if (!child_data) return -1;
            return render_child_inline(level, child_data.get(), key, last_key);
        }
        Child child;
        if (child_arguments(data, key, child) < 0) return -1;
        Ref child_output = child_text(print_tree, plan_, self_, child, depth_);
        if (!child_output) return -1;
        return add_child_text(level, child_output.get(), key, last_key);
    }

    int render_child_inline(Level& level, PyObject* data, PyObject* key,
                            PyObject* last_key) noexcept {
        const int order = key == last_key ? 0 : PyUnicode_Compare(key, last_key);
        if (order == -1 && PyErr_Occurred()) return -1;
        const bool last = order == 0;
        const size_t before = buffer_.position();
        if (buffer_.child_line_break() < 0 || buffer_.push(last) < 0) return -1;
        Ref odd;
        const int status = render(data, Label{key, true}, odd);
        buffer_.pop();
        if (status != 1) return status;
        // The child's text is no plain str: its lines are added as they read.
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
    int add_line(Level& level, const char* prefix, PyObject* line) noexcept {
        if (!level.text && PyUnicode_CheckExact(line)) {
            if (buffer_.line_break() < 0 ||
                buffer_.write_ascii(prefix + 1, std::strlen(prefix + 1)) < 0)
                return -1;
            return buffer_.write(line);
        }
        if (!level.text && !(level.text = buffer_.take(level.mark))) return -1;
        return add_piece(level.text, prefix, line);
    }

    AttributeCache& plan_;
    ClassNames class_names_;
    PyObject* self_;
    Depth& depth_;
    SelfLookup lookup_;
    TextBuffer buffer_;
};

// print_tree's result for a plain str `output`, rendered into one buffer.
Ref buffered_text(AttributeCache& plan, PyObject* self, PyObject* data, PyObject* output,
                  Depth& depth) noexcept {
    Renderer renderer(plan, self, depth);
    Ref odd;
    const int status = renderer.render(data, Label{output, false}, odd);
    if (status < 0) return Ref();
    if (status == 1) return odd;
    return renderer.buffer().finish();
}

// print_tree's result built step by step with the interpreter's operators, for
// an `output` that is not a plain str.
Ref object_text(AttributeCache& plan, PyObject* self, PyObject* data, PyObject* output,
                Depth& depth) noexcept {
    RecursionGuard guard(depth, true);
    if (!guard.entered()) return Ref();
    const int empty = renders_empty(data);
    if (empty != 0) return empty < 0 ? Ref() : Ref::borrow(runtime.names.empty);
    if (!PyDict_Check(data)) {
        Ref head = Ref::steal(PyNumber_Add(output, runtime.names.leaf_separator));
        Ref value = head ? str_of(data) : Ref();
        return value ? Ref::steal(PyNumber_Add(head.get(), value.get())) : Ref();
    }
    SortedKeys keys(data);
    if (!keys) return Ref();
    const Py_ssize_t count = keys.size();
    Ref last_key = keys.last();
    Ref result = Ref::borrow(output);
    SelfLookup lookup(self, plan);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref key = keys.at(i);
        MethodCall print_tree(lookup, Attr::print_tree);
        Child child;
        if (!print_tree || child_arguments(data, key.get(), child) < 0) return Ref();
        Ref child_output = child_text(print_tree, plan, self, child, depth);
        if (!child_output) return child_output;
        const int status = for_each_child_line(child_output.get(), key.get(), last_key.get(),
                                               [&result](const char* prefix, PyObject* line) {
                                                   return add_piece(result, prefix, line);
                                               });
        if (status < 0) return Ref();
    }
    return result;
}

Ref generic_text(AttributeCache& plan, PyObject* self, PyObject* data, PyObject* output,
                 Depth& depth) noexcept {
    // A level rendered apart takes more of the C stack: it counts once more.
    RecursionGuard guard(depth, true);
    if (!guard.entered()) return Ref();
    return PyUnicode_CheckExact(output) ? buffered_text(plan, self, data, output, depth)
                                        : object_text(plan, self, data, output, depth);
}

PyObject* print_tree_body(AttributeCache& plan, PyObject* const* params) noexcept {
    PyObject* const self = params[0];
    PyObject* const data = params[1];
    PyObject* const output = params[2];
    Depth depth;
    return generic_text(plan, self, data, output, depth).release();
}

// "plugins (<class> at 0x...) " followed by the tree.
PyObject* repr_body(AttributeCache& plan, PyObject* const* params) noexcept {
    PyObject* const self = params[0];
    Ref cls = Ref::steal(PyObject_GetAttr(self, runtime.names.dunder_class));
    Ref cls_text = cls ? str_of(cls.get()) : Ref();
    Ref identity = cls_text ? call(runtime.builtins.id, {self}) : Ref();
    Ref address = identity ? call(runtime.builtins.hex, {identity.get()}) : Ref();
    Ref address_text = address ? str_of(address.get()) : Ref();
    Ref header = address_text ? Ref::steal(PyUnicode_FromFormat("plugins (%U at %U) ",
                                                                cls_text.get(), address_text.get()))
                              : Ref();
    if (!header) return nullptr;
    SelfLookup lookup(self, plan);
    MethodCall print_tree(lookup, Attr::print_tree);
    Ref tree = print_tree ? lookup.attribute(Attr::plugins) : Ref();
    if (!tree) return nullptr;
    Depth depth;
    if (print_tree.is(members::print_tree))
        return generic_text(plan, self, tree.get(), header.get(), depth).release();
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
