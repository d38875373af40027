#pragma once

#include <QObject>
#include <QString>
#include <QUndoStack>
#include <cstdint>
#include <functional>

#include "Image.h"

namespace velkaro {

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
    void record(const QString& text, int x, int y, const CImage& before, const CImage& after);
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
};

}  // namespace velkaro
