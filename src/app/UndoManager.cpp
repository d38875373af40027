#include "UndoManager.h"

#include <utility>

void UndoManager::registerUndo(Action action) {
    if (mUndoing) {
        mRedo = std::move(action);
    } else {
        mUndo = std::move(action);
        if (!mRedoing)
            mRedo = nullptr;
    }
    changed();
}

void UndoManager::undo() {
    if (!mUndo || mUndoing || mRedoing)
        return;
    Action action = std::move(mUndo);
    mUndo = nullptr;
    mUndoing = true;
    action();
    mUndoing = false;
    changed();
}

void UndoManager::redo() {
    if (!mRedo || mUndoing || mRedoing)
        return;
    Action action = std::move(mRedo);
    mRedo = nullptr;
    mRedoing = true;
    action();
    mRedoing = false;
    changed();
}

void UndoManager::removeAllActions() {
    mUndo = nullptr;
    mRedo = nullptr;
    changed();
}
