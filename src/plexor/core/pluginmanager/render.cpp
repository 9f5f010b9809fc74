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
#include <utility>
#include <vector>

namespace plexor::members {
namespace {

// The text being rendered; every line break is followed by the separators of
// the levels that enclose the point of writing. While every character is
// ASCII the text is written as bytes, into memory the function keeps from one
// rendering to the next; from the first other character on, the characters
// are kept four bytes each. The interpreter makes the finished text from
// either, in its canonical form.
class TextBuffer {
public:
    explicit TextBuffer(CharBlock& kept) noexcept : kept_(kept), ascii_(std::move(kept)) {}
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() {
        // A rendering nested in this one may have given its memory back first.
        if (kept_.data() != nullptr) return;
        kept_ = ascii_.release();
        kept_.shrink(kKeptCapacity);
    }

    // Enters a child level: "  " below the last child, "  |" below the others.
    // Returns what leave() takes to restore the enclosing level, or -1.
    Py_ssize_t enter(bool last) noexcept {
        const Py_ssize_t outer = separators_.size();
        return separators_.append("  |", last ? 2 : 3) < 0 ? -1 : outer;
    }
    void leave(Py_ssize_t outer) noexcept { separators_.truncate(outer); }

    int write_ascii(const char* ascii, size_t length) noexcept {
        if (wide_) return append_wide(reinterpret_cast<const Py_UCS1*>(ascii), length);
        return ascii_.append(ascii, static_cast<Py_ssize_t>(length));
    }

    // Writes a text, each of its line breaks followed by the separators.
    int write(PyObject* text) noexcept {
        if (compat::ready_text(text) < 0) return -1;
        if (!wide_ && PyUnicode_IS_ASCII(text)) {
            const char* ascii = static_cast<const char*>(PyUnicode_DATA(text));
            const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
            if (!has_line_break(ascii, length))
                return ascii_.append(ascii, static_cast<Py_ssize_t>(length));
        }
        return write_any(text);
    }

    // A line break and the separators of the enclosing levels.
    int line_break() noexcept { return line_break_and<0>(""); }

    // A line break, the separators and "  |": the start of a child's first line.
    int child_line_break() noexcept { return line_break_and<3>("  |"); }

    // write() of a text of several lines, or of wide characters.
    PLEXOR_NOINLINE int write_any(PyObject* text) noexcept {
        const void* data = PyUnicode_DATA(text);
        const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
        if (PyUnicode_IS_ASCII(text)) {
            const char* ascii = static_cast<const char*>(data);
            if (!has_line_break(ascii, length)) return write_ascii(ascii, length);
            return write_lines(ascii, length, [this](const char* chars, size_t count) {
                return write_ascii(chars, count);
            });
        }
        if (!wide_ && widen() < 0) return -1;
        const auto append = [this](const auto* chars, size_t count) {
            return append_wide(chars, count);
        };
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                return write_lines(static_cast<const Py_UCS1*>(data), length, append);
            case PyUnicode_2BYTE_KIND:
                return write_lines(static_cast<const Py_UCS2*>(data), length, append);
            default:
                return write_lines(static_cast<const Py_UCS4*>(data), length, append);
        }
    }

    size_t position() const noexcept {
        return wide_ ? wide_chars_.size() : static_cast<size_t>(ascii_.size());
    }

    // Takes back what was written from `mark` on, as the text it was written
    // from: without the separators that followed its line breaks.
    Ref take(size_t mark) noexcept {
        Ref written = text_from(mark);
        truncate(mark);
        if (!written || separators_.size() == 0) return written;
        Ref separators =
            Ref::steal(PyUnicode_FromStringAndSize(separators_.data(), separators_.size()));
        Ref indented = separators
                           ? Ref::steal(PyUnicode_Concat(runtime.names.newline, separators.get()))
                           : Ref();
        return indented ? Ref::steal(PyUnicode_Replace(written.get(), indented.get(),
                                                       runtime.names.newline, -1))
                        : Ref();
    }

    void truncate(size_t mark) noexcept {
        if (wide_) {
            wide_chars_.resize(mark);
        } else {
            ascii_.truncate(static_cast<Py_ssize_t>(mark));
        }
    }

    Ref finish() noexcept { return text_from(0); }

private:
    // The most memory kept for the next rendering, by each of print_tree and
    // __repr__: the first MiB of a larger text, whose pages are then written
    // again, is most of what keeping saves.
    static constexpr Py_ssize_t kKeptCapacity = Py_ssize_t{1024} * 1024;

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

    // A line break, the separators and the `tail_length` characters of `tail`.
    template <size_t tail_length>
    int line_break_and(const char* tail) noexcept {
        if (wide_) {
            if (write_ascii("\n", 1) < 0 ||
                write_ascii(separators_.data(), static_cast<size_t>(separators_.size())) < 0)
                return -1;
            return write_ascii(tail, tail_length);
        }
        const Py_ssize_t length = separators_.size();
        char* out = ascii_.extend(1 + length + static_cast<Py_ssize_t>(tail_length));
        if (out == nullptr) return -1;
        out[0] = '\n';
        copy_chars(out + 1, separators_.data(), static_cast<size_t>(length));
        std::memcpy(out + 1 + length, tail, tail_length);
        return 0;
    }

    // From the first character that is not ASCII on, four bytes each.
    int widen() noexcept {
        const auto* chars = reinterpret_cast<const Py_UCS1*>(ascii_.data());
        const int status = guarded([&] { wide_chars_.assign(chars, chars + ascii_.size()); });
        if (status < 0) return -1;
        ascii_.truncate(0);
        wide_ = true;
        return 0;
    }

    template <typename Char>
    PLEXOR_NOINLINE int append_wide(const Char* chars, size_t count) noexcept {
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
    int write_lines(const Char* chars, size_t length, const Append& append) noexcept {
        const Char* end = chars + length;
        for (;;) {
            const Char* stop = next_line_break(chars, end);
            if (append(chars, static_cast<size_t>(stop - chars)) < 0) return -1;
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
        Ref text = Ref::steal(PyUnicode_New(count, 127));
        if (text)
            std::memcpy(PyUnicode_DATA(text.get()), ascii_.data() + mark,
                        static_cast<size_t>(count));
        return text;
    }

    CharBlock& kept_;  // where the function keeps memory between renderings
    CharRun ascii_;    // the text while it is ASCII
    std::vector<Py_UCS4> wide_chars_;
    bool wide_ = false;
    CharRun separators_;  // what follows each line break: the enclosing levels' separators
};

// The levels of one rendering, counted where the interpreter does not count
// them against the Python recursion limit itself. They go as deep as the
// method calling itself would: to the limit, from the depth of the Python code
// that called print_tree or __repr__.
class Depth {
    // A new reference to a frame, or null.
    static Ref as_ref(PyFrameObject* frame) noexcept {
        return Ref::steal(reinterpret_cast<PyObject*>(frame));
    }

public:
    Depth() noexcept = default;
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
    // Leaves the renderings running on this thread. Renderings on stacks that
    // the running code switches between (greenlets) may end out of order:
    // this one is then taken out of the chain where it stands, so that the
    // chain only ever holds renderings that still run.
    ~Depth() {
        if (!started_) return;
        if (innermost == this) {
            innermost = outer_;
            return;
        }
        for (Depth* inner = innermost; inner != nullptr; inner = inner->outer_) {
            if (inner->outer_ == this) {
                inner->outer_ = outer_;
                return;
            }
        }
    }

    // Learns the caller's depth, where Python enters the rendering. A
    // rendering entered while another runs on this thread (from a leaf's
    // __str__, or from an override of print_tree) walks only the frames above
    // the other's caller, and goes on from the other's depth and levels.
    // -1 with an exception set on failure. Out of line: inlined where the
    // Depth is a local, GCC takes the pointer to it that `innermost` keeps
    // for a dangling one, though the destructor takes it back.
    PLEXOR_NOINLINE int start() noexcept {
        if (!compat::counts_python_recursion_apart) return 0;
        const int recursion_limit = Py_GetRecursionLimit();
        PyObject* const stop = innermost != nullptr ? innermost->caller_.get() : nullptr;
        caller_ = as_ref(PyThreadState_GetFrame(PyThreadState_Get()));
        Ref frame = caller_;
        int frames = 0;
        while (frame && frame.get() != stop && frames < recursion_limit) {
            ++frames;
            frame = as_ref(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame.get())));
            if (!frame && PyErr_Occurred()) return -1;
        }
        if (frame && frame.get() == stop) {
            limit_ = innermost->limit_ - innermost->levels_ - frames;
        } else {
            limit_ = recursion_limit - frames;
        }
        outer_ = std::exchange(innermost, this);
        started_ = true;
        return 0;
    }

    // Counts a level more; false when that goes past the limit.
    bool enter_level() noexcept { return ++levels_ <= limit_; }
    void leave_level() noexcept { --levels_; }

private:
    int levels_ = 0;
    int limit_ = 0;

    // The rendering that started last on this thread and still runs.
    static thread_local Depth* innermost;

    Ref caller_;  // the caller's frame, held so that it stays the same object
    Depth* outer_ = nullptr;
    bool started_ = false;
};

thread_local Depth* Depth::innermost = nullptr;

// What a level of the rendering takes: a level of the Python recursion (it
// stands for a call of the method, as a leaf does), a level of the C stack (as
// a level rendered apart takes besides), or both (an inner node).
enum class Takes { python_level, c_level, both };

// One level of the rendering's recursion, counted as the interpreter counts
// the calls it stands for.
class RecursionGuard {
public:
    RecursionGuard(Depth& depth, Takes takes) noexcept
        : depth_(depth),
          python_level_(compat::counts_python_recursion_apart && takes != Takes::c_level) {
        if (python_level_ && !depth_.enter_level()) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while calling a Python object");
            return;
        }
        c_level_ = takes != Takes::python_level;
        entered_ = !c_level_ || Py_EnterRecursiveCall(" while calling a Python object") == 0;
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (python_level_) depth_.leave_level();
        if (entered_ && c_level_) Py_LeaveRecursiveCall();
    }
    bool entered() const noexcept { return entered_; }

private:
    Depth& depth_;
    const bool python_level_;
    bool c_level_ = false;
    bool entered_ = false;
};

Ref generic_text(MemberState& state, PyObject* self, PyObject* data, PyObject* output,
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

// True for the values whose truth, comparison with {} and str() run no code.
bool drawn_without_code(PyObject* data) noexcept {
    return PyDict_CheckExact(data) || PyUnicode_CheckExact(data) || data == Py_None ||
           PyBool_Check(data) || Py_TYPE(data) == &PyType_Type;
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

// True when `a` sorts after `b` by code points. One-byte texts compare
// bytewise, in the same order.
bool sorts_after(PyObject* a, PyObject* b) noexcept {
    if (PyUnicode_KIND(a) != PyUnicode_1BYTE_KIND || PyUnicode_KIND(b) != PyUnicode_1BYTE_KIND)
        return PyUnicode_Compare(a, b) > 0;
    const Py_ssize_t length_a = PyUnicode_GET_LENGTH(a);
    const Py_ssize_t length_b = PyUnicode_GET_LENGTH(b);
    const Py_ssize_t common = std::min(length_a, length_b);
    const auto* chars_a = static_cast<const unsigned char*>(PyUnicode_DATA(a));
    const auto* chars_b = static_cast<const unsigned char*>(PyUnicode_DATA(b));
    // Keys are short and mostly differ early.
    const Py_ssize_t head = std::min<Py_ssize_t>(common, 16);
    for (Py_ssize_t i = 0; i < head; ++i)
        if (chars_a[i] != chars_b[i]) return chars_a[i] > chars_b[i];
    const int order = common > head ? std::memcmp(chars_a + head, chars_b + head,
                                                  static_cast<size_t>(common - head))
                                    : 0;
    return order > 0 || (order == 0 && length_a > length_b);
}

// The keys of `data`, sorted, as `sorted(list(data.keys()))` gives them. The
// keys of a plain dict that are all plain str are ordered here, where
// comparing them runs no code.
class SortedKeys {
public:
    explicit SortedKeys(PyObject* data) noexcept {
        if (PyDict_CheckExact(data) && collect_texts(data)) return;
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
    explicit operator bool() const noexcept { return count_ > 0 || list_; }
    // True when the keys are plain str of a plain dict: sorting them, and
    // reading their values, ran and runs no code.
    bool texts_only() const noexcept { return count_ > 0; }
    Py_ssize_t size() const noexcept { return count_ > 0 ? count_ : PyList_GET_SIZE(list_.get()); }
    // The key at `index`, held by this object.
    PyObject* at(Py_ssize_t index) const noexcept {
        return count_ > 0 ? entries_[index].get() : PyList_GET_ITEM(list_.get(), index);
    }
    PyObject* last() const noexcept { return at(size() - 1); }

    // data[key] for the key at `index`, a plain str, of the plain dict `data`.
    // In a small dict whose keys are all plain str, the entry that holds that
    // very key is the one subscription finds, and finding it runs no code.
    // Otherwise a key whose equality runs code may come first, so the dict is
    // asked as subscription asks it.
    Ref value(PyObject* data, Py_ssize_t index) const noexcept {
        if (count_ > 0 && PyDict_GET_SIZE(data) <= kScanned) {
            PyObject* found = entry_among_texts(data, entries_[index].get());
            if (found != nullptr) return Ref::borrow(found);
        }
        return subscript(data, at(index));
    }

private:
    static constexpr Py_ssize_t kInline = 8;
    static constexpr Py_ssize_t kScanned = 3;  // up to here a scan beats a lookup

    // The value held under `key` itself, if every key of `data` is a plain str.
    static PyObject* entry_among_texts(PyObject* data, PyObject* key) noexcept {
        Py_ssize_t position = 0;
        PyObject* entry_key = nullptr;
        PyObject* entry_value = nullptr;
        PyObject* found = nullptr;
        for (Py_ssize_t left = PyDict_GET_SIZE(data);
             left > 0 && PyDict_Next(data, &position, &entry_key, &entry_value); --left) {
            if (!PyUnicode_CheckExact(entry_key)) return nullptr;
            if (entry_key == key) found = entry_value;
        }
        return found;
    }

    // Keeps the keys sorted by code points; false (nothing kept) unless every
    // key is a plain str.
    bool collect_texts(PyObject* data) noexcept {
        const Py_ssize_t size = PyDict_GET_SIZE(data);
        if (size > kInline && !guarded_resize(size)) return false;
        Ref* entries = size > kInline ? large_.data() : small_.data();
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // Nothing here runs code, so the dict keeps its `size` entries.
        Py_ssize_t count = 0;
        for (; count < size && PyDict_Next(data, &position, &key, &value); ++count) {
            if (!PyUnicode_CheckExact(key) || compat::ready_text(key) < 0) {
                PyErr_Clear();
                return false;  // the keys kept so far are released with the object
            }
            prefetch(value);  // each child is read soon, in key order
            entries[count] = Ref::borrow(key);
        }
        const auto by_code_points = [](const Ref& a, const Ref& b) {
            return sorts_after(b.get(), a.get());
        };
        if (count > kInline) {
            std::sort(entries, entries + count, by_code_points);
        } else {
            for (Py_ssize_t i = 1; i < count; ++i)
                for (Py_ssize_t slot = i;
                     slot > 0 && by_code_points(entries[slot], entries[slot - 1]); --slot)
                    std::swap(entries[slot], entries[slot - 1]);
        }
        entries_ = entries;
        count_ = count;
        return count > 0;
    }

    bool guarded_resize(Py_ssize_t size) noexcept {
        try {
            large_.resize(static_cast<size_t>(size));
            return true;
        } catch (const std::bad_alloc&) {
            return false;  // the list of keys serves instead
        }
    }

    std::array<Ref, kInline> small_{};
    std::vector<Ref> large_;
    const Ref* entries_ = nullptr;
    Py_ssize_t count_ = 0;
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
Ref child_text(const MethodCall& print_tree, MemberState& state, PyObject* self, const Child& child,
               Depth& depth) noexcept {
    if (print_tree.is(members::print_tree)) {
        count_generic_access(runtime.stats.levels_rendered_apart);
        return generic_text(state, self, child.data.get(), child.label.get(), depth);
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
        for (const Entry& entry : entries_)
            if (entry.type == value && entry.module.get() == module &&
                entry.qualname.get() == type->ht_qualname)
                return entry.text;
        // Classes said to be builtins show their __name__ instead.
        if (module == nullptr || !PyUnicode_CheckExact(module) ||
            PyUnicode_CompareWithASCIIString(module, "builtins") == 0) {
            if (PyErr_Occurred()) return Ref();
            return str_of(value);
        }
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
    Renderer(MemberState& state, PyObject* self, Depth& depth) noexcept
        : state_(state),
          self_(self),
          depth_(depth),
          lookup_(self, state.plan),
          buffer_(state.text) {}

    // Writes what print_tree(data, output) returns; `output` is a plain str,
    // or, for a child, its key: a plain str that the label "__ " + key is made
    // of. Returns 1 if the result is not a plain text, left in `odd` for the
    // caller.
    int render(PyObject* data, const Label& output, Ref& odd) noexcept {
        RecursionGuard guard(depth_, PyDict_Check(data) ? Takes::both : Takes::python_level);
        if (!guard.entered()) return -1;
        if (!drawn_without_code(data)) code_may_have_run_ = true;
        const int empty = renders_empty(data);
        if (empty != 0) return empty < 0 ? -1 : 0;
        if (!PyDict_Check(data)) return render_leaf(data, output, odd);
        SortedKeys keys(data);
        if (!keys) return -1;
        if (!keys.texts_only()) code_may_have_run_ = true;
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

    int render_child(Level& level, PyObject* data, const SortedKeys& keys, Py_ssize_t index,
                     PyObject* last_key) noexcept {
        PyObject* const key = keys.at(index);
        if (code_may_have_run_) {
            lookup_.code_may_have_run();
            code_may_have_run_ = false;
        }
        MethodCall print_tree(lookup_, Attr::print_tree);
        if (!print_tree) return -1;
        // With plain str keys the label and the comparisons with the last key
        // have no effects of their own, and the child writes in place.
        if (!level.text && print_tree.is(members::print_tree) && PyUnicode_CheckExact(key) &&
            PyUnicode_CheckExact(last_key)) {
            Ref child_data = keys.value(data, index);
            if (!child_data) return -1;
            return render_child_inline(level, child_data.get(), key, last_key);
        }
        code_may_have_run_ = true;
        Child child;
        if (child_arguments(data, key, child) < 0) return -1;
        Ref child_output = child_text(print_tree, state_, self_, child, depth_);
        if (!child_output) return -1;
        return add_child_text(level, child_output.get(), key, last_key);
    }

    int render_child_inline(Level& level, PyObject* data, PyObject* key,
                            PyObject* last_key) noexcept {
        if (compat::ready_text(key) < 0 || compat::ready_text(last_key) < 0) return -1;
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
        code_may_have_run_ = true;
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
            if (buffer_.line_break() < 0 ||
                buffer_.write_ascii(prefix + 1, std::strlen(prefix + 1)) < 0)
                return -1;
            return buffer_.write(line);
        }
        if (!level.text && !(level.text = buffer_.take(level.mark))) return -1;
        return add_piece(level.text, prefix, line);
    }

    MemberState& state_;
    ClassNames class_names_;
    PyObject* self_;
    Depth& depth_;
    SelfLookup lookup_;
    TextBuffer buffer_;
    // Set by a step that may have run code (a value's str(), a key's
    // comparison, a mapping's own subscription), so that the next child
    // reads self's print_tree afresh.
    bool code_may_have_run_ = false;
};

// print_tree's result for a plain str `output`, rendered into one buffer.
Ref buffered_text(MemberState& state, PyObject* self, PyObject* data, PyObject* output,
                  Depth& depth) noexcept {
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
                Depth& depth) noexcept {
    RecursionGuard guard(depth, Takes::both);
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
    Ref result = Ref::borrow(output);
    SelfLookup lookup(self, state.plan);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* const key = keys.at(i);
        lookup.code_may_have_run();
        MethodCall print_tree(lookup, Attr::print_tree);
        Child child;
        if (!print_tree || child_arguments(data, key, child) < 0) return Ref();
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
                 Depth& depth) noexcept {
    // A level rendered apart takes more of the C stack: it counts once more there.
    RecursionGuard guard(depth, Takes::c_level);
    if (!guard.entered()) return Ref();
    return PyUnicode_CheckExact(output) ? buffered_text(state, self, data, output, depth)
                                        : object_text(state, self, data, output, depth);
}

PyObject* print_tree_body(MemberState& state, PyObject* const* params) noexcept {
    PyObject* const self = params[0];
    PyObject* const data = params[1];
    PyObject* const output = params[2];
    Depth depth;
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

// "plugins (<class> at 0x...) " followed by the tree.
PyObject* repr_body(MemberState& state, PyObject* const* params) noexcept {
    PyObject* const self = params[0];
    Ref cls = Ref::steal(PyObject_GetAttr(self, runtime.names.dunder_class));
    Ref cls_text = cls ? header_piece(cls.get()) : Ref();
    Ref identity = cls_text ? call(runtime.builtins.id, {self}) : Ref();
    Ref address = identity ? call(runtime.builtins.hex, {identity.get()}) : Ref();
    Ref address_text = address ? header_piece(address.get()) : Ref();
    Ref header = address_text ? Ref::steal(PyUnicode_FromFormat("plugins (%U at %U) ",
                                                                cls_text.get(), address_text.get()))
                              : Ref();
    if (!header) return nullptr;
    SelfLookup lookup(self, state.plan);
    MethodCall print_tree(lookup, Attr::print_tree);
    Ref tree = print_tree ? lookup.attribute(Attr::plugins) : Ref();
    if (!tree) return nullptr;
    Depth depth;
    if (depth.start() < 0) return nullptr;
    // __repr__ calling print_tree: a level of its own.
    RecursionGuard guard(depth, Takes::python_level);
    if (!guard.entered()) return nullptr;
    if (print_tree.is(members::print_tree))
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
