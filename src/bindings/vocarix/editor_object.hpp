// The Python-side editor: one editor state plus the borrow counter that
// stops a method from re-entering the same editor (for example from a
// sequence argument whose iteration calls back into it).
#pragma once

#include <memory>

#include "state/editor_state.hpp"

namespace vocarix::python {

struct EditorObject {
    std::unique_ptr<EditorState> state;
    int borrow = 0;  // 0 free, > 0 shared borrows, -1 one exclusive borrow
};

class SharedBorrow {
public:
    explicit SharedBorrow(EditorObject& editor);
    ~SharedBorrow() { --editor_.borrow; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const EditorState& state() const { return *editor_.state; }

private:
    EditorObject& editor_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(EditorObject& editor);
    ~ExclusiveBorrow() { editor_.borrow = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    EditorState& state() const { return *editor_.state; }

private:
    EditorObject& editor_;
};

}  // namespace vocarix::python
