// Undoing a half-done change when a step after it throws.
#pragma once

#include <utility>

namespace tessellar {

// Runs `undo` on leaving the scope, unless dismissed first: the steps
// between can throw std::bad_alloc without leaving their first effects.
template <class Undo>
class UndoUnlessDone {
public:
    explicit UndoUnlessDone(Undo undo) : undo_(std::move(undo)) {}
    UndoUnlessDone(const UndoUnlessDone&) = delete;
    UndoUnlessDone& operator=(const UndoUnlessDone&) = delete;
    ~UndoUnlessDone() {
        if (!done_) undo_();
    }
    void done() noexcept { done_ = true; }

private:
    Undo undo_;
    bool done_ = false;
};

}  // namespace tessellar
