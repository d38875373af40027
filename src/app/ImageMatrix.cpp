#include "ImageMatrix.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPolygonF>
#include <QSignalBlocker>
#include <QSlider>
#include <algorithm>
#include <cstdio>

#include "Check.h"
#include "ControllerInterface.h"
#include "GUI.h"
#include "Log.h"

namespace velkaro {

namespace {

// The four lamp pictures, loaded once for the life of the process.
struct LampPictures {
    QImage off, on, processing1, processing2;
};

const LampPictures& Lamps() {
    static const LampPictures lamps{NamedPicture("led_off"), NamedPicture("led_on"),
                                    NamedPicture("led_processing1"),
                                    NamedPicture("led_processing2")};
    return lamps;
}

const AlignedParagraphStyle& LeftAligned() {
    static const AlignedParagraphStyle style = GetAlignedParagraphStyle(0);
    return style;
}

const AlignedParagraphStyle& RightAligned() {
    static const AlignedParagraphStyle style = GetAlignedParagraphStyle(1);
    return style;
}

}  // namespace

AlignedParagraphStyle GetAlignedParagraphStyle(int alignment) {
    return {alignment == 1 ? Qt::AlignRight : Qt::AlignLeft, GetTextColor()};
}

ImageMatrix::ImageMatrix(QWidget* parent) : QWidget(parent) {
    Lamps();
    mTimer.setInterval(500);
    QObject::connect(&mTimer, &QTimer::timeout, this, [this] { timerFired(); });
    mTimer.start();
}

ImageMatrix::~ImageMatrix() {
    mTimer.stop();
}

ControllerInterface& ImageMatrix::controller() const {
    return mController ? *mController : ControllerInterface::bare();
}

void ImageMatrix::setSliders(QSlider* radiusSlider, QSlider* typeSlider) {
    mRadiusSlider = radiusSlider;
    mTypeSlider = typeSlider;
    for (QSlider* slider : {mRadiusSlider, mTypeSlider}) {
        if (slider)
            QObject::connect(slider, &QSlider::valueChanged, this, [this] { changedSlider(); });
    }
}

void ImageMatrix::timerFired() {
    mFlashOn = !mFlashOn;
    update();
}

void ImageMatrix::setRows(int rows, int columns) {
    mRows = rows;
    mColumns = columns;
    mStates.assign(std::size_t(rows) * std::size_t(columns), 0);
    if (mTypeSlider) {
        const QSignalBlocker blocker(mTypeSlider);
        mTypeSlider->setRange(0, columns - 1);
        mTypeSlider->setTickInterval(1);
        mTypeSlider->setTickPosition(QSlider::TicksBelow);
    }
    if (mRadiusSlider) {
        const QSignalBlocker blocker(mRadiusSlider);
        mRadiusSlider->setRange(1, rows - 1);
    }
    update();
}

void ImageMatrix::setEntryState(int state, int r, int type) {
    if (mStates.empty())
        return;
    VK_CHECK(r >= 0 && type >= 0);
    VK_CHECK(r < mRows);
    VK_CHECK(type < mColumns);
    if (r == 0)
        VK_CHECK(type < kSpecialImagesCount);
    mStates[std::size_t(mColumns) * r + type] = state;
    update();
}

int ImageMatrix::entryStateforEntryRow(int r, int type) const {
    if (mStates.empty())
        return 0;
    VK_CHECK(r >= 0 && type >= 0);
    VK_CHECK(r < mRows);
    VK_CHECK(type < mColumns);
    if (r == 0)
        VK_CHECK(type < kSpecialImagesCount);
    return mStates[std::size_t(mColumns) * r + type];
}

void ImageMatrix::resetState() {
    std::fill(mStates.begin(), mStates.end(), 0);
    mRanks.clear();
    mSuggestedRow = -1;
    setSelectedRow(1, 0);
}

void ImageMatrix::setSuggestedRow(int row) {
    mSuggestedRow = row;
    update();
}

void ImageMatrix::setRanks(const std::vector<std::pair<int, int>>& cells, bool provisional) {
    if (cells == mRanks && provisional == mRanksProvisional)
        return;
    mRanks = cells;
    mRanksProvisional = provisional;
    update();
}

int ImageMatrix::rankOf(int row, int column) const {
    const auto it = std::find(mRanks.begin(), mRanks.end(), std::pair(row, column));
    return it == mRanks.end() ? 0 : int(it - mRanks.begin()) + 1;
}

void ImageMatrix::setSelectedRow(int row, int column) {
    mSelectedRow = row;
    mSelectedColumn = column;
    // Moving the sliders here is not a user's choice: they stay quiet.
    if (mRadiusSlider) {
        const QSignalBlocker blocker(mRadiusSlider);
        mRadiusSlider->setValue(row);
    }
    if (mTypeSlider) {
        const QSignalBlocker blocker(mTypeSlider);
        mTypeSlider->setValue(column);
    }
    update();
}

void ImageMatrix::changedSlider() {
    if (!mRadiusSlider || !mTypeSlider)
        return;
    setSelectedRow(mRadiusSlider->value(), mTypeSlider->value());
    controller().changedEntry();
}

QSizeF ImageMatrix::cellSize() const {
    if (mRows < 1 || mColumns < 1)
        return QSizeF();
    const float h = (float(height()) - float(kBottomMargin)) / float(mRows);
    const float w = (float(width()) - float(kLeftMargin)) / float(mColumns);
    return QSizeF(w, h);
}

QRectF ImageMatrix::cellRect(int row, int column) const {
    const QSizeF cell = cellSize();
    return QRectF(kLeftMargin + column * cell.width(), row * cell.height(), cell.width(),
                  cell.height());
}

QPointF ImageMatrix::lampOrigin(int row, int column) const {
    const QSizeF cell = cellSize();
    return QPointF(kLeftMargin + column * cell.width() + (cell.width() - kLampSize) * 0.5,
                   row * cell.height());
}

bool ImageMatrix::hitTest(QPointF point, int& row, int& column) const {
    for (int r = 1; r < mRows; ++r) {
        for (int c = 0; c < mColumns; ++c) {
            const QRectF cell = cellRect(r, c);
            // Minimum edges belong to a cell, maximum edges to its neighbour.
            if (point.x() >= cell.left() && point.x() < cell.right() && point.y() >= cell.top() &&
                point.y() < cell.bottom()) {
                row = r;
                column = c;
                return true;
            }
        }
    }
    return false;
}

void ImageMatrix::mousePressEvent(QMouseEvent* event) {
    int row = 0, column = 0;
    if (!hitTest(event->position(), row, column))
        return;
    setSelectedRow(row, column);
    controller().changedEntry();
}

void ImageMatrix::drawState(QPainter& painter, int state, double x, double y, bool selected) {
    const LampPictures& lamps = Lamps();
    const QImage* picture = &lamps.off;
    switch (state) {
        case IMEntryNothing:
        case IMEntryQueued:
            picture = &lamps.off;
            break;
        case IMEntryProcessing:
            picture = mFlashOn ? &lamps.processing1 : &lamps.processing2;
            break;
        case IMEntryReady:
            picture = &lamps.on;
            break;
        default:
            LogInfo("bad IMEntryState %d\n", state);
            break;
    }
    const QRectF lamp(x, y, kLampSize, kLampSize);
    if (!picture->isNull())
        painter.drawImage(lamp, *picture);
    if (state == IMEntryQueued) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        painter.drawEllipse(QRectF(x + 2.5, y + 2.5, 5, 5));
    }
    if (selected) {
        painter.setPen(QPen(palette().color(QPalette::HighlightedText), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QRectF(x - 1.5, y - 1.5, 13, 13));
    }
}

void ImageMatrix::drawRank(QPainter& painter, int rank, double x, double y) {
    // Gold, silver and bronze, then grey; a dark digit on a small disc over the lamp's corner.
    static const QColor colours[] = {QColor(232, 185, 35), QColor(200, 200, 205),
                                     QColor(205, 127, 50)};
    const QRectF badge(x + kLampSize - 3, y - 3, 9, 9);
    const QColor colour = rank <= 3 ? colours[rank - 1] : QColor(150, 150, 150);
    // A provisional ranking: a ring of the colour round a dark disc, the digit in the colour.
    const QColor digit = mRanksProvisional ? colour : QColor(20, 20, 20);
    painter.setPen(mRanksProvisional ? QPen(colour, 1.2) : QPen(QColor(20, 20, 20), 0.8));
    painter.setBrush(mRanksProvisional ? QColor(20, 20, 20) : colour);
    painter.drawEllipse(badge);
    QFont font = this->font();
    font.setPixelSize(8);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(digit);
    painter.drawText(badge, Qt::AlignCenter, QString::number(rank));
}

void ImageMatrix::paintEvent(QPaintEvent*) {
    if (mStates.empty())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QSizeF cell = cellSize();
    const double cw = cell.width();
    const double ch = cell.height();

    for (int r = 1; r < mRows; ++r) {
        for (int c = 0; c < mColumns; ++c) {
            const QPointF origin = lampOrigin(r, c);
            drawState(painter, mStates[std::size_t(mColumns) * r + c], origin.x(), origin.y(),
                      r == mSelectedRow && c == mSelectedColumn);
        }
    }
    for (std::size_t i = 0; i < mRanks.size(); ++i) {
        const auto [r, c] = mRanks[i];
        if (r >= 1 && r < mRows && c >= 0 && c < mColumns) {
            const QPointF origin = lampOrigin(r, c);
            drawRank(painter, int(i) + 1, origin.x(), origin.y());
        }
    }

    QFont font = this->font();
    font.setPixelSize(std::clamp(int(ch), 7, 11));
    painter.setFont(font);
    ControllerInterface& names = controller();

    painter.setPen(RightAligned().foreground);
    for (int r = 1; r < mRows; ++r) {
        painter.drawText(QRectF(0, r * ch, kLeftMargin - 3, ch),
                         RightAligned().alignment | Qt::AlignVCenter, names.nameForRow(r));
    }
    if (mSuggestedRow >= 1 && mSuggestedRow < mRows) {
        // A small triangle at the left edge points at the suggested row's label.
        const double y = (mSuggestedRow + 0.5) * ch;
        const double half = std::clamp(ch * 0.3, 2.5, 3.5);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 190, 60));
        painter.drawPolygon(
            QPolygonF({QPointF(0, y - half), QPointF(1.2 * half, y), QPointF(0, y + half)}));
    }

    // Column labels read downwards, each under its column, in the bottom margin.
    painter.save();
    painter.rotate(90);
    painter.setPen(LeftAligned().foreground);
    for (int c = 0; c < mColumns; ++c) {
        painter.drawText(QRectF(mRows * ch, -(c * cw + kLeftMargin + cw), kBottomMargin, cw),
                         LeftAligned().alignment | Qt::AlignVCenter, names.nameForColumn(c));
    }
    painter.restore();
}

}  // namespace velkaro
