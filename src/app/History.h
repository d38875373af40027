#pragma once

#include <QObject>
#include <QString>
#include <QUndoStack>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "Image.h"
#include "Recipe.h"

namespace velkaro {

// What a step of the history did, for the recipe: the operation and the full result it took its
// pixels from (when its picture is a result).
struct HistoryOperation {
    RecipeOperation operation;
    DeblurredEntry entry;
};

// The history of the changes of the composite (brush strokes, applications of a result) behind
// Edit ▸ Undo and Redo, on a QUndoStack. Each step keeps only the rectangle it changed, as it was
// before and after. All steps together keep at most a budget of pixel bytes: beyond it the oldest
// are dropped, though the newest always stays. The stack's clean state marks the saved composite.
class History : public QObject {
  public:
    // Writes `pixels` into the composite with their top-left pixel at x, y (undo and redo).
    using Writer = std::function<void(int x, int y, const CImage& pixels)>;
    static constexpr std::int64_t kDefaultBudget = std::int64_t(512) << 20;

    explicit History(Writer writer, QObject* parent = nullptr);

    QUndoStack& stack() { return mStack; }
    const QUndoStack& stack() const { return mStack; }
    // Records a change already made to the composite: the rectangle at x, y of the size of
    // `before` held `before` and now holds `after`. Any redo steps are dropped.
    // `operation` is what the step did, for the recipe (steps recorded without one are left out).
    void record(const QString& text, int x, int y, const CImage& before, const CImage& after,
                std::optional<HistoryOperation> operation = std::nullopt);
    // The operations of the steps done, oldest first, with those dropped beyond the budget (no
    // longer undoable, but still done): an undone step is not among them.
    std::vector<HistoryOperation> doneOperations() const;
    // Forgets every step (a new photograph).
    void clear();
    // Takes effect at the next record.
    void setBudget(std::int64_t bytes);
    std::int64_t budget() const { return mBudget; }
    // Pixel bytes held by all steps.
    std::int64_t bytes() const;

  private:
    void trim();

    Writer mWriter;
    std::int64_t mBudget = kDefaultBudget;
    QUndoStack mStack;
    std::vector<HistoryOperation> mDropped;  // of the steps dropped beyond the budget
};

}  // namespace velkaro
