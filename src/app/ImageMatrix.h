#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QTimer>
#include <QWidget>
#include <utility>
#include <vector>

class QSlider;

namespace velkaro {

class ControllerInterface;

// Entry states of the candidate grid.
enum IMEntryState {
    IMEntryNothing = 0,
    IMEntryQueued = 1,
    IMEntryProcessing = 2,
    IMEntryReady = 3
};

// Text attributes of the grid's labels: an alignment and the text colour of the dark look.
struct AlignedParagraphStyle {
    Qt::Alignment alignment;
    QColor foreground;
};
// 0 left, 1 right.
AlignedParagraphStyle GetAlignedParagraphStyle(int alignment);

// The candidate grid: one lamp per radius step (row) and deblur type (column), row labels on the
// left, column labels standing upright along the bottom. Clicks, the two sliders and the arrow
// keys (through the controller) choose the current candidate. Row 0 is never drawn nor hit.
// y grows downwards here, as in Qt.
class ImageMatrix : public QWidget {
  public:
    static constexpr int kSpecialImagesCount = 2;
    static constexpr double kLeftMargin = 30;
    static constexpr double kBottomMargin = 45;
    static constexpr double kLampSize = 10;

    explicit ImageMatrix(QWidget* parent = nullptr);
    ~ImageMatrix() override;

    void setController(ControllerInterface* controller) { mController = controller; }
    // The sliders report their changes through changedSlider.
    void setSliders(QSlider* radiusSlider, QSlider* typeSlider);

    void setRows(int rows, int columns);
    int rows() const { return mRows; }
    int columns() const { return mColumns; }
    void setEntryState(int state, int row, int type);
    int entryStateforEntryRow(int row, int type) const;
    // Clears the lamps and the rank badges, and selects row 1 of column 0.
    void resetState();
    // The cells (row, column) that carry a rank badge, best first; the badges 1, 2, 3 … sit in the
    // lamps' upper right corners, hollow while the ranking is `provisional` (cells still filling).
    void setRanks(const std::vector<std::pair<int, int>>& cells, bool provisional = false);
    bool ranksAreProvisional() const { return mRanksProvisional; }
    // A cell's rank (1 for the best), 0 without a badge.
    int rankOf(int row, int column) const;
    void setSelectedRow(int row, int column);
    int selectedRow() const { return mSelectedRow; }
    int selectedColumn() const { return mSelectedColumn; }
    // The row the blur estimate suggests, marked beside its label; -1 for none (resetState too).
    void setSuggestedRow(int row);
    int suggestedRow() const { return mSuggestedRow; }
    void changedSlider();
    void timerFired();
    bool flashOn() const { return mFlashOn; }

    QSizeF cellSize() const;
    QRectF cellRect(int row, int column) const;
    QPointF lampOrigin(int row, int column) const;
    // The first cell of rows 1 … and columns 0 … that contains the point; false outside them.
    bool hitTest(QPointF point, int& row, int& column) const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    ControllerInterface& controller() const;
    void drawState(QPainter& painter, int state, double x, double y, bool selected);
    void drawRank(QPainter& painter, int rank, double x, double y);

    ControllerInterface* mController = nullptr;
    QSlider* mRadiusSlider = nullptr;
    QSlider* mTypeSlider = nullptr;
    int mRows = 0;
    int mColumns = 0;
    std::vector<int> mStates;
    std::vector<std::pair<int, int>> mRanks;
    bool mRanksProvisional = false;
    int mSelectedRow = -1;
    int mSelectedColumn = -1;
    int mSuggestedRow = -1;
    QTimer mTimer;
    bool mFlashOn = false;
};

}  // namespace velkaro
