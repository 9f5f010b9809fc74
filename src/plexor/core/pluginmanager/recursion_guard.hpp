// The recursion limit over a rendering's levels: each counts as the call of
// print_tree it stands for would count.
#pragma once

#include "ref.hpp"

namespace plexor {

// The levels of one rendering, counted where the interpreter does not count
// them against the Python recursion limit itself. They go as deep as the
// method calling itself would: to the limit, from the depth of the Python code
// that called print_tree or __repr__.
class RenderingDepth {
public:
    RenderingDepth() noexcept = default;
    RenderingDepth(const RenderingDepth&) = delete;
    RenderingDepth& operator=(const RenderingDepth&) = delete;
    ~RenderingDepth();

    // Learns the caller's depth, where Python enters the rendering. A
    // rendering entered while another runs on this thread (from a leaf's
    // __str__, or from an override of print_tree) walks only the frames above
    // the other's caller, and goes on from the other's depth and levels.
    // -1 with an exception set on failure.
    int start() noexcept;

    // Counts a level more; false when that goes past the limit.
    bool enter_level() noexcept { return ++levels_ <= limit_; }
    void leave_level() noexcept { --levels_; }

private:
    int levels_ = 0;
    int limit_ = 0;

    // The rendering that started last on this thread and still runs.
    static thread_local RenderingDepth* innermost;

    Ref caller_;  // the caller's frame, held so that it stays the same object
    RenderingDepth* outer_ = nullptr;
    bool started_ = false;
};

// What a level of the rendering takes: a level of the Python recursion (it
// stands for a call of the method, as a leaf does), a level of the C stack (as
// a level rendered apart takes besides), or both (an inner node).
enum class Takes { python_level, c_level, both };

// One level of the rendering's recursion, counted as the interpreter counts
// the calls it stands for.
class RecursionGuard {
public:
    RecursionGuard(RenderingDepth& depth, Takes takes) noexcept
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
    RenderingDepth& depth_;
    const bool python_level_;
    bool c_level_ = false;
    bool entered_ = false;
};

}  // namespace plexor
