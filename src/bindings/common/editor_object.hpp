// The Python-side editor: one editor state plus the borrow counter that
// stops a method from re-entering the same editor (for example from a
// sequence argument whose iteration calls back into it). Both extension
// modules use this one definition: the companion module reaches the
// editors the main module creates, and creates editors of that same class.
#pragma once

#include <memory>

#include "bindings/common/convert.hpp"
#include "state/editor_state.hpp"

namespace vocarix::python {

struct EditorObject {
    std::unique_ptr<EditorState> state;
    int borrow = 0;  // 0 free, > 0 shared borrows, -1 one exclusive borrow
};

class SharedBorrow {
public:
    explicit SharedBorrow(EditorObject& editor) : editor_(editor) {
        if (editor_.borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++editor_.borrow;
    }
    ~SharedBorrow() { --editor_.borrow; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const EditorState& state() const { return *editor_.state; }

private:
    EditorObject& editor_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(EditorObject& editor) : editor_(editor) {
        if (editor_.borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
        editor_.borrow = -1;
    }
    ~ExclusiveBorrow() { editor_.borrow = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    EditorState& state() const { return *editor_.state; }

private:
    EditorObject& editor_;
};

}  // namespace vocarix::python
