#pragma once

#include <functional>

// One level of undo and redo for the reconstructed image. An action registered while an undo is
// running becomes the redo action, one registered while a redo runs becomes the undo action again,
// and any other registration starts afresh (the redo action is dropped).
class UndoManager {
  public:
    using Action = std::function<void()>;

    void registerUndo(Action action);
    bool canUndo() const { return bool(mUndo); }
    bool canRedo() const { return bool(mRedo); }
    bool isUndoing() const { return mUndoing; }
    bool isRedoing() const { return mRedoing; }
    void undo();
    void redo();
    void removeAllActions();

    // Called after every change of what can be undone or redone (to enable the menu items).
    void setChangeHandler(std::function<void()> handler) { mChanged = std::move(handler); }

  private:
    void changed() const {
        if (mChanged)
            mChanged();
    }

    Action mUndo;
    Action mRedo;
    bool mUndoing = false;
    bool mRedoing = false;
    std::function<void()> mChanged;
};
