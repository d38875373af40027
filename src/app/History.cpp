#include "History.h"

#include <memory>
#include <vector>

namespace velkaro {

namespace {

struct Patch {
    int x, y;
    CImage before, after;
    std::optional<HistoryOperation> operation;
    std::int64_t bytes() const {
        return 2 * std::int64_t(before.width()) * before.height() * before.bytesPerPixel();
    }
};

// One step: writes the rectangle's "before" on undo and its "after" on redo. The change it
// records is already made when it is pushed, so its first redo does nothing.
class PatchCommand : public QUndoCommand {
  public:
    PatchCommand(const QString& text, std::shared_ptr<const Patch> patch,
                 const History::Writer& writer)
        : QUndoCommand(text), mPatch(std::move(patch)), mWriter(writer) {}

    void undo() override { mWriter(mPatch->x, mPatch->y, mPatch->before); }
    void redo() override {
        if (mDone)
            mWriter(mPatch->x, mPatch->y, mPatch->after);
        mDone = true;
    }
    const std::shared_ptr<const Patch>& patch() const { return mPatch; }

  private:
    std::shared_ptr<const Patch> mPatch;
    const History::Writer& mWriter;
    bool mDone = false;
};

const PatchCommand& CommandAt(const QUndoStack& stack, int i) {
    return *static_cast<const PatchCommand*>(stack.command(i));
}

}  // namespace

History::History(Writer writer, QObject* parent) : QObject(parent), mWriter(std::move(writer)) {}

void History::record(const QString& text, int x, int y, const CImage& before, const CImage& after,
                     std::optional<HistoryOperation> operation) {
    auto patch = std::make_shared<const Patch>(Patch{x, y, before, after, std::move(operation)});
    mStack.push(new PatchCommand(text, std::move(patch), mWriter));
    trim();
}

std::vector<HistoryOperation> History::doneOperations() const {
    std::vector<HistoryOperation> done = mDropped;
    for (int i = 0; i < mStack.index(); ++i)
        if (const auto& operation = CommandAt(mStack, i).patch()->operation)
            done.push_back(*operation);
    return done;
}

void History::clear() {
    mStack.clear();
    mDropped.clear();
}

void History::setBudget(std::int64_t bytes) {
    mBudget = bytes;
}

std::int64_t History::bytes() const {
    std::int64_t total = 0;
    for (int i = 0; i < mStack.count(); ++i) total += CommandAt(mStack, i).patch()->bytes();
    return total;
}

void History::trim() {
    // Right after a push there are no redo steps. QUndoStack cannot take its oldest commands
    // away: the kept ones go onto a fresh stack, sharing their pixels, with the clean state
    // where it was.
    const int count = mStack.count();
    std::int64_t total = bytes();
    int drop = 0;
    while (drop < count - 1 && total > mBudget) total -= CommandAt(mStack, drop++).patch()->bytes();
    if (drop == 0)
        return;
    struct Kept {
        QString text;
        std::shared_ptr<const Patch> patch;
    };
    std::vector<Kept> kept;
    for (int i = 0; i < drop; ++i)
        if (const auto& operation = CommandAt(mStack, i).patch()->operation)
            mDropped.push_back(*operation);
    for (int i = drop; i < count; ++i)
        kept.push_back({mStack.text(i), CommandAt(mStack, i).patch()});
    const int clean = mStack.cleanIndex() < 0 ? -1 : mStack.cleanIndex() - drop;
    mStack.clear();
    for (int i = 0; i < int(kept.size()); ++i) {
        if (i == clean)
            mStack.setClean();
        mStack.push(new PatchCommand(kept[i].text, kept[i].patch, mWriter));
    }
    if (clean == int(kept.size()))
        mStack.setClean();
    else if (clean < 0)
        mStack.resetClean();
}

}  // namespace velkaro
