#include "recursion_guard.hpp"

#include <utility>

namespace plexor {
namespace {

// A new reference to a frame, or null.
Ref frame_ref(PyFrameObject* frame) noexcept {
    return Ref::steal(reinterpret_cast<PyObject*>(frame));
}

}  // namespace

thread_local RenderingDepth* RenderingDepth::innermost = nullptr;

// Leaves the renderings running on this thread. Renderings on stacks that the
// running code switches between (greenlets) may end out of order: this one is
// then taken out of the chain where it stands, so that the chain only ever
// holds renderings that still run.
RenderingDepth::~RenderingDepth() {
    if (!started_) return;
    if (innermost == this) {
        innermost = outer_;
        return;
    }
    for (RenderingDepth* inner = innermost; inner != nullptr; inner = inner->outer_) {
        if (inner->outer_ == this) {
            inner->outer_ = outer_;
            return;
        }
    }
}

// Out of line, with the destructor: inlined where the object is a local, GCC
// takes the pointer to it that `innermost` keeps for a dangling one, though
// the destructor takes it back.
int RenderingDepth::start() noexcept {
    if (!compat::counts_python_recursion_apart) return 0;
    const int recursion_limit = Py_GetRecursionLimit();
    PyObject* const stop = innermost != nullptr ? innermost->caller_.get() : nullptr;
    caller_ = frame_ref(PyThreadState_GetFrame(PyThreadState_Get()));
    Ref frame = caller_;
    int frames = 0;
    while (frame && frame.get() != stop && frames < recursion_limit) {
        ++frames;
        frame = frame_ref(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame.get())));
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

}  // namespace plexor
