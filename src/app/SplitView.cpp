#include "SplitView.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QUrl>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "ControllerInterface.h"
#include "GUI.h"
#include "ImageIO.h"
#include "MainWindow.h"
#include "TiledImage.h"

namespace velkaro {

namespace {

const QColor kBackground = QColor::fromRgbF(0.4f, 0.4f, 0.4f, 0.96f);
const QColor kDropOk = QColor::fromRgbF(0.0f, 0.7f, 0.0f, 0.5f);
const QColor kDropRefused = QColor::fromRgbF(0.7f, 0.0f, 0.0f, 0.5f);
const QColor kSeparator = QColor::fromRgbF(0.5f, 0.5f, 0.5f);

QColor BrushColour(float opacity) {
    return QColor::fromRgbF(0.5f, 0.0f, 0.0f, std::clamp(opacity * 0.7f, 0.0f, 1.0f));
}

// The zoom steps of the wheel and of zoomStep(), smallest first.
constexpr double kZoomSteps[] = {0.125, 0.25, 0.5, 1.0, 2.0, 4.0};
// Fitting never enlarges, and shrinks down to this scale at most.
constexpr double kSmallestFitScale = 1.0 / 64;
// One notch of a mouse wheel, in eighths of a degree.
constexpr int kWheelNotch = 120;

// The zoom-out factor of the tiles for a scale: the largest power of two whose tiles are still at
// least as fine as the screen.
int TileZoomOut(double scale) {
    int zoomOut = 1;
    while (scale * zoomOut * 2 <= 1.0 + 1e-9) zoomOut *= 2;
    return zoomOut;
}

// Draws a picture whose rows run from the top into a rectangle given with y upwards.
void DrawUpright(QPainter& painter, const QRectF& target, const QImage& image) {
    painter.save();
    painter.translate(target.x(), target.y() + target.height());
    painter.scale(1, -1);
    painter.drawImage(QRectF(0, 0, target.width(), target.height()), image);
    painter.restore();
}

}  // namespace

SplitView::SplitView(QWidget* parent)
    : QWidget(parent),
      mRefocusedImage(std::make_unique<TiledImage>()),
      mSelectedImage(std::make_unique<TiledImage>()),
      mBeforeImage(std::make_unique<TiledImage>()) {
    setFocusPolicy(Qt::StrongFocus);
}

SplitView::~SplitView() = default;

ControllerInterface& SplitView::controller() const {
    return mController ? *mController : ControllerInterface::bare();
}

void SplitView::setController(ControllerInterface* controller) {
    mController = controller;
}

void SplitView::setMainWindow(MainWindow* window) {
    mMainWindow = window;
}

void SplitView::setMouseMode(QButtonGroup* mouseMode) {
    mMouseMode = mouseMode;
    resetTrackingRect();
}

void SplitView::setZoomMode(QButtonGroup* zoomMode) {
    mZoomMode = zoomMode;
    FixMatrix(mZoomMode);
    if (mZoomMode) {
        QObject::connect(mZoomMode, &QButtonGroup::idClicked, this, [this](int) { changedZoom(); });
        if (mZoomMode->checkedId() >= 0)
            changedZoom();
    }
}

void SplitView::setScrollBars(QScrollBar* horizontal, QScrollBar* vertical) {
    mHorizontalBar = horizontal;
    mVerticalBar = vertical;
    for (QScrollBar* bar : {horizontal, vertical})
        if (bar)
            QObject::connect(bar, &QScrollBar::valueChanged, this, [this] { scrolled(); });
    updateScrollBars();
}

void SplitView::setZoomLabel(QLabel* label) {
    mZoomLabel = label;
    applyScale(mScale);
}

void SplitView::setLoupe(bool loupe) {
    mLoupe = loupe;
    if (loupe)
        setMouseTracking(true);
}

void SplitView::setBeforeImage(const ImageRef& image) {
    mBeforeImage->setImage(image);
    mBeforeImage->setZoomOut(mZoomOut);
    redoLabels();
    update();
}

void SplitView::setShowsBefore(bool shows) {
    mShowsBefore = shows;
    redoLabels();
    update();
}

TiledImage& SplitView::shownTiles(TiledImage& image) {
    const ImageRef& before = mBeforeImage->sourceImage();
    const ImageRef& shown = image.sourceImage();
    if (mShowsBefore && before && shown && before->width() == shown->width() &&
        before->height() == shown->height())
        return *mBeforeImage;
    return image;
}

const TiledImage& SplitView::geometryTiles() const {
    return mRefocusedImage->sourceImage() ? *mRefocusedImage : *mSelectedImage;
}

void SplitView::setBrushControls(FloatSlider* size, FloatSlider* opacity) {
    mBrushSize = size;
    mBrushOpacity = opacity;
}

void SplitView::setLabels(QLabel* left, QLabel* center, QLabel* right) {
    mLeftLabel = left;
    mCenterLabel = center;
    mRightLabel = right;
    redoLabels();
}

void SplitView::setSelectedImage(const ImageRef& image, const QString& name) {
    mSelectedName = image ? name : QString();
    if (mLoupe) {
        if (const ImageRef& old = mSelectedImage->sourceImage())
            mLoupeOffsets[{old->width(), old->height()}] = mOffset;
        if (image && mLoupeOffsets.count({image->width(), image->height()}))
            mOffset = mLoupeOffsets[{image->width(), image->height()}];
    }
    mSelectedImage->setImage(image);
    if (mFit)
        applyScale(fitScale());
    clampOffset();
    update();
    redoLabels();
}

void SplitView::setRefocusedImage(const ImageRef& image) {
    mRefocusedImage->setImage(image);
    redoLabels();
    // Tiles are copies of the pixels: a selected image that is this same picture is rebuilt too.
    if (image && mSelectedImage->sourceImage() == image) {
        mSelectedImage->invalidateTiles(mSelectedImage->realExtent());
    }
    update();
}

ImageRef SplitView::selectedImage() const {
    return mSelectedImage->sourceImage();
}
ImageRef SplitView::refocusedImage() const {
    return mRefocusedImage->sourceImage();
}

void SplitView::reloadRefocusedImageInRect(const Rect& rect) {
    mRefocusedImage->invalidateTiles(rect);
    if (mSelectedImage->sourceImage() == mRefocusedImage->sourceImage()) {
        mSelectedImage->invalidateTiles(rect);
    }
    update();
}

void SplitView::changeViewMode(int mode) {
    mSplitView = mode != 0;
    if (mFit)
        applyScale(fitScale());
    clampOffset();
    redoLabels();
    update();
}

double SplitView::ScaleForZoomColumn(int column) {
    if (column == ZoomFit)
        return 0;
    if (column == ZoomIn2)
        return 2;
    if (column == ZoomIn4)
        return 4;
    return 1.0 / double(1 << std::clamp(column, int(ZoomOut1), int(ZoomOut8)));
}

void SplitView::changedZoom() {
    if (!mZoomMode)
        return;
    const int column = std::max(mZoomMode->checkedId(), 0);
    if (column == ZoomFit)
        zoomToFit();
    else
        setScale(ScaleForZoomColumn(column));
}

QPointF SplitView::viewCentre() const {
    const double BW = mSplitView ? double(width() / 2) : double(width());
    return QPointF(std::trunc(BW * 0.5), std::trunc(height() * 0.5));
}

void SplitView::applyScale(double scale) {
    mScale = scale;
    mZoomOut = TileZoomOut(scale);
    mSelectedImage->setZoomOut(mZoomOut);
    mRefocusedImage->setZoomOut(mZoomOut);
    mBeforeImage->setZoomOut(mZoomOut);
    if (mZoomLabel)
        mZoomLabel->setText(QString("%1 %").arg(std::round(scale * 100)));
    if (mZoomMode) {
        int column = mFit ? int(ZoomFit) : -1;
        for (int c = ZoomOut1; c < ZoomFit && column < 0; ++c)
            if (ScaleForZoomColumn(c) == scale)
                column = c;
        if (QAbstractButton* button = mZoomMode->button(column))
            button->setChecked(true);
    }
}

Rect SplitView::viewExtent(const TiledImage& image) const {
    const double magnification = mScale * mZoomOut;
    return {0, 0, image.displayWidth() * magnification, image.displayHeight() * magnification};
}

double SplitView::fitScale() const {
    const ImageRef& image = mSelectedImage->sourceImage() ? mSelectedImage->sourceImage()
                                                          : mRefocusedImage->sourceImage();
    if (!image || width() < 1 || height() < 1)
        return 1.0;
    const double BW = mSplitView ? double(width() / 2) : double(width());
    double scale = std::min(BW / image->width(), double(height()) / image->height());
    scale = std::clamp(scale, kSmallestFitScale, 1.0);
    // Tiles of a whole number of view units leave no seams between them.
    const int zoomOut = TileZoomOut(scale);
    const double steps = std::floor(scale * zoomOut * TiledImage::kTileSize);
    return steps / TiledImage::kTileSize / zoomOut;
}

void SplitView::setScale(double scale, QPointF anchor) {
    const QPointF imagePoint = convertPoint(anchor);
    mFit = false;
    applyScale(scale);
    // The same image point under the anchor: invert convertPoint at the new scale.
    double x = anchor.x();
    if (mSplitView && x > width() / 2)
        x -= width() / 2;
    const double H = viewExtent(geometryTiles()).height;
    mOffset = QPointF(std::round(imagePoint.x() * scale - x),
                      std::round(H - imagePoint.y() * scale - anchor.y()));
    clampOffset();
    if (!mBrushRect.isEmpty())
        moveBrushTo(mBrushRect.center());
    update();
}

void SplitView::zoomStep(int direction, QPointF anchor) {
    const double current = mScale;
    double next = 0;
    if (direction > 0) {
        for (double step : kZoomSteps)
            if (step > current * (1 + 1e-9)) {
                next = step;
                break;
            }
    } else {
        for (double step : kZoomSteps)
            if (step < current * (1 - 1e-9))
                next = step;
    }
    if (next > 0)
        setScale(next, anchor);
}

void SplitView::zoomStep(int direction) {
    const QPoint pointer = mapFromGlobal(QCursor::pos());
    zoomStep(direction, mMouseInside && rect().contains(pointer) ? viewPointFromWidget(pointer)
                                                                 : viewCentre());
}

void SplitView::zoomToFit() {
    mFit = true;
    applyScale(fitScale());
    mOffset = QPointF();
    clampOffset();
    update();
}

void SplitView::wheelEvent(QWheelEvent* event) {
    if (!takesMouse() || !mSelectedImage->sourceImage()) {
        event->ignore();
        return;
    }
    event->accept();
    mWheelDelta += event->angleDelta().y();
    const QPointF anchor = viewPointFromWidget(event->position());
    while (std::abs(mWheelDelta) >= kWheelNotch) {
        const int direction = mWheelDelta > 0 ? 1 : -1;
        mWheelDelta -= direction * kWheelNotch;
        zoomStep(direction, anchor);
    }
}

void SplitView::updateScrollBars() {
    if (mUpdatingBars)
        return;
    mUpdatingBars = true;
    const Rect extent = viewExtent(*mSelectedImage);
    const double BW = mSplitView ? double(width() / 2) : double(width());
    const int horizontal = std::max(0, int(std::ceil(extent.width - BW)));
    const int vertical = std::max(0, int(std::ceil(extent.height - height())));
    if (mHorizontalBar) {
        mHorizontalBar->setRange(0, horizontal);
        mHorizontalBar->setPageStep(std::max(1, int(BW)));
        mHorizontalBar->setSingleStep(20);
        mHorizontalBar->setValue(int(std::round(std::max(mOffset.x(), 0.0))));
        mHorizontalBar->setEnabled(horizontal > 0);
    }
    if (mVerticalBar) {
        // The bar's top is the picture's top; the offset counts from its bottom.
        mVerticalBar->setRange(0, vertical);
        mVerticalBar->setPageStep(std::max(1, height()));
        mVerticalBar->setSingleStep(20);
        mVerticalBar->setValue(vertical - int(std::round(std::max(mOffset.y(), 0.0))));
        mVerticalBar->setEnabled(vertical > 0);
    }
    mUpdatingBars = false;
}

void SplitView::scrolled() {
    if (mUpdatingBars)
        return;
    if (mHorizontalBar)
        mOffset.setX(mHorizontalBar->value());
    if (mVerticalBar)
        mOffset.setY(mVerticalBar->maximum() - mVerticalBar->value());
    clampOffset();
    update();
}

void SplitView::setCenters(bool centers) {
    mCenters = centers;
    update();
}

void SplitView::setDrawsBackgrounds(bool draws) {
    mDrawBackground = draws;
    update();
}

void SplitView::setAllowDrops(bool allow) {
    mAllowDrops = allow;
    setAcceptDrops(allow);
    mDropImage = allow ? NamedPicture("drop") : QImage();
    update();
}

QPointF SplitView::viewPointFromWidget(QPointF widgetPoint) const {
    return QPointF(widgetPoint.x(), height() - widgetPoint.y());
}

QPointF SplitView::convertPoint(QPointF viewPoint) const {
    const TiledImage* image = &geometryTiles();
    double x = viewPoint.x();
    double y = viewPoint.y();
    if (mSplitView) {
        const int half = width() / 2;
        if (x > half)
            x -= half;
    }
    x += mOffset.x();
    y += mOffset.y();
    const double H = viewExtent(*image).height;
    return QPointF(x / mScale, (H - y) / mScale);
}

void SplitView::clampOffset() {
    const Rect extent = viewExtent(*mSelectedImage);
    const double EW = extent.width;
    const double EH = extent.height;
    const double BW = mSplitView ? double(width() / 2) : double(width());
    const double BH = height();
    double x = std::max(mOffset.x(), 0.0);
    double y = std::max(mOffset.y(), 0.0);
    x = std::min(x, EW - BW);
    y = std::min(y, EH - BH);
    if (BW > EW)
        x = std::trunc((EW - BW) * 0.5);
    if (BH > EH)
        y = std::trunc((EH - BH) * 0.5);
    mOffset = QPointF(x, y);
    updateScrollBars();
}

void SplitView::redoLabels() {
    // A label names a picture on screen: none stays over an empty view.
    const bool before = &shownTiles(*mSelectedImage) == mBeforeImage.get();
    const QString name = before ? tr("Original") : mSelectedName;
    const bool selected = mSelectedImage->sourceImage() != nullptr;
    if (mLeftLabel) {
        mLeftLabel->setVisible(mSplitView && selected);
        mLeftLabel->setText(name);
    }
    if (mRightLabel) {
        mRightLabel->setVisible(mSplitView && mRefocusedImage->sourceImage() != nullptr);
        mRightLabel->setText(&shownTiles(*mRefocusedImage) == mBeforeImage.get()
                                 ? tr("Original")
                                 : tr("Reconstructed"));
    }
    if (mCenterLabel) {
        mCenterLabel->setVisible(!mSplitView && selected);
        mCenterLabel->setText(name);
    }
}

int SplitView::mouseModeColumn() const {
    if (mLoupe)
        return 0;  // the hand
    return mMouseMode ? mMouseMode->checkedId() : -1;
}

bool SplitView::spaceIsDown() const {
    return mMainWindow && mMainWindow->spaceIsDown();
}

void SplitView::resetCursor() {
    if (!takesMouse())
        return;
    Qt::CursorShape shape = Qt::ArrowCursor;
    if (mMouseInside) {
        const int mode = mouseModeColumn();
        if (spaceIsDown() || mode == 0) {
            shape = mSpaceWasDown ? Qt::ClosedHandCursor : Qt::OpenHandCursor;
        } else if (mode == 1) {
            shape = Qt::PointingHandCursor;
        } else if (mode == 2) {
            shape = Qt::CrossCursor;
        }
    }
    if (cursor().shape() != shape)
        setCursor(shape);
}

void SplitView::resetTrackingRect() {
    if (!takesMouse())
        return;
    // Qt follows the pointer over the whole view once mouse tracking is on.
    setMouseTracking(true);
    if (window() && window()->isVisible() && underMouse())
        mouseEntered();
}

void SplitView::updateViewRect(const QRectF& viewRect) {
    if (viewRect.isEmpty())
        return;
    const QRectF widgetRect(viewRect.x(), height() - viewRect.y() - viewRect.height(),
                            viewRect.width(), viewRect.height());
    update(widgetRect.toAlignedRect().adjusted(-1, -1, 1, 1));
}

void SplitView::moveBrushTo(QPointF viewPoint) {
    updateViewRect(mBrushRect);
    const float size = (mBrushSize ? mBrushSize->floatValue() : 0.0f) * float(mScale);
    mBrushRect = QRectF(viewPoint.x() - size * 0.5f, viewPoint.y() - size * 0.5f, size, size);
    updateViewRect(mBrushRect);
}

void SplitView::applyBrushAt(QPointF viewPoint) {
    if (!mRefocusedImage->sourceImage())
        return;
    const QPointF point = convertPoint(viewPoint);
    controller().applyBrushAtPoint(point, mBrushSize ? mBrushSize->floatValue() : 0.0f,
                                   mBrushOpacity ? mBrushOpacity->floatValue() : 0.0f);
}

void SplitView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    resetTrackingRect();
    if (mFit)
        applyScale(fitScale());
    clampOffset();
}

// --- Drawing -------------------------------------------------------------------------------

void SplitView::drawImage(QPainter& painter, TiledImage& image, const Rect& area, const Rect&) {
    const Rect extent = viewExtent(image);
    const double ox = mOffset.x();
    const double oy = mOffset.y();
    Rect destination = area;
    if (ox < 0) {
        destination.x = area.x - ox;
        destination.width = area.width + ox;
    }
    if (oy < 0) {
        destination.y = area.y - oy;
        destination.height = area.height + oy;
    }
    const double w = std::min(extent.width, destination.width);
    const double h = std::min(extent.height, destination.height);
    Rect source = extent;
    if (ox > 0)
        source.x = ox;
    if (oy > 0)
        source.y = oy;
    source.width = std::min(w, extent.width - source.x);
    source.height = std::min(h, extent.height - source.y);
    destination.width = w;
    destination.height = h;

    // The tiles are magnified by what the zoom-out factor leaves of the scale: the whole tile
    // pixels under the source are drawn, the clip keeps them to the destination.
    const double m = mScale * mZoomOut;
    const double x0 = std::floor(source.x / m), y0 = std::floor(source.y / m);
    const double x1 =
        std::min(std::ceil((source.x + source.width) / m), double(image.displayWidth()));
    const double y1 =
        std::min(std::ceil((source.y + source.height) / m), double(image.displayHeight()));
    const Rect tiles{x0, y0, x1 - x0, y1 - y0};
    painter.save();
    painter.setClipRect(QRectF(area.x, area.y, area.width, area.height), Qt::IntersectClip);
    painter.setClipRect(QRectF(destination.x, destination.y, source.width, source.height),
                        Qt::IntersectClip);
    painter.translate(destination.x - source.x, destination.y - source.y);
    painter.scale(m, m);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, m < 1);
    image.drawTilesFromRect(painter, tiles, tiles, area);
    painter.restore();
    image.cleanUnusedTiles(tiles);
}

void SplitView::drawBrush(QPainter& painter, const QRectF& clip) {
    painter.save();
    painter.setClipRect(clip, Qt::IntersectClip);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(BrushColour(mBrushOpacity ? mBrushOpacity->floatValue() : 0.0f));
    painter.drawEllipse(mBrushRect);
    painter.restore();
}

void SplitView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const double BW = width();
    const double BH = height();
    // View coordinates: origin at the lower left, y upwards.
    painter.setTransform(QTransform(1, 0, 0, -1, 0, BH));
    const QRectF dirty = painter.transform().inverted().mapRect(QRectF(event->rect()));
    const Rect redraw{dirty.x(), dirty.y(), dirty.width(), dirty.height()};

    if (mDrawBackground)
        painter.fillRect(dirty, kBackground);

    if (mAllowDrops && !mSelectedImage->sourceImage() && !mRefocusedImage->sourceImage()) {
        if (!mDropImage.isNull()) {
            const QSizeF size = mDropImage.deviceIndependentSize();
            const QRectF target((BW - size.width()) * 0.5, (BH - size.height()) * 0.5, size.width(),
                                size.height());
            DrawUpright(painter, target.toRect(), mDropImage);
        }
        if (mDragAndDropping) {
            painter.setPen(QPen(mShowDragOk ? kDropOk : kDropRefused, 10));
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(QRectF(0, 0, BW, BH));
        }
        return;
    }

    if (mSplitView) {
        const double half = double(width() / 2);
        if (mSelectedImage->sourceImage())
            drawImage(painter, shownTiles(*mSelectedImage), {0, 0, half, BH}, redraw);
        if (mRefocusedImage->sourceImage())
            drawImage(painter, shownTiles(*mRefocusedImage), {half, 0, half, BH}, redraw);
        if (!mBrushRect.isEmpty()) {
            const QPointF centre = mBrushRect.center();
            const QRectF left(0, 0, half, BH);
            const QRectF right(half, 0, half, BH);
            if (left.contains(centre))
                drawBrush(painter, left);
            if (right.contains(centre))
                drawBrush(painter, right);
        }
        painter.fillRect(QRectF(half, 0, 1, BH), kSeparator);
    } else {
        if (mCenters) {
            const Rect extent = viewExtent(*mSelectedImage);
            mOffset = QPointF(std::trunc((extent.width - BW) * 0.5),
                              std::trunc((extent.height - BH) * 0.5));
        }
        if (mSelectedImage->sourceImage())
            drawImage(painter, shownTiles(*mSelectedImage), {0, 0, BW, BH}, redraw);
        if (mBrushRect.intersects(QRectF(0, 0, BW, BH)))
            drawBrush(painter, QRectF(0, 0, BW, BH));
    }
}

// --- Mouse ---------------------------------------------------------------------------------

void SplitView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    mouseDown(viewPointFromWidget(event->position()), 1);
}

void SplitView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    mouseDown(viewPointFromWidget(event->position()), 2);
}

void SplitView::mouseDown(QPointF viewPoint, int clicks) {
    if (!takesMouse())
        return;
    const int mode = mouseModeColumn();
    mSpaceWasDown = mode == 0 || spaceIsDown();
    mDownPoint = viewPoint;
    mPressed = true;
    if (!mLoupe && ((!mSpaceWasDown && mode == 1) || clicks == 2)) {
        mDoubleClicked = true;
        mSpaceWasDown = false;
        if (!mRefocusedImage->sourceImage())
            return;
        controller().deblurAtPoint(convertPoint(mDownPoint));
    } else {
        mDoubleClicked = false;
    }
    mOriOffset = mOffset;
    if (mSpaceWasDown) {
        // The circle disappears while panning.
        updateViewRect(mBrushRect);
        mBrushRect = QRectF();
        update();
    } else if (!mDoubleClicked) {
        controller().startBrush();
        applyBrushAt(mDownPoint);
    }
    resetCursor();
}

void SplitView::mouseMoveEvent(QMouseEvent* event) {
    if (!takesMouse())
        return;
    const QPointF point = viewPointFromWidget(event->position());
    if (mPressed && (event->buttons() & Qt::LeftButton)) {
        if (mDoubleClicked)
            return;
        if (mSpaceWasDown) {
            mOffset = mOriOffset + mDownPoint - point;
            clampOffset();
            update();
        } else {
            moveBrushTo(point);
            applyBrushAt(point);
        }
        update();
        return;
    }
    resetCursor();
    if (mouseModeColumn() == 2 && !spaceIsDown()) {
        moveBrushTo(point);
        update();
    } else if (!mBrushRect.isEmpty()) {
        // The space bar turns the brush into the hand: no circle while it is held.
        updateViewRect(mBrushRect);
        mBrushRect = QRectF();
    }
}

void SplitView::mouseReleaseEvent(QMouseEvent* event) {
    if (!takesMouse() || event->button() != Qt::LeftButton || !mPressed)
        return;
    mPressed = false;
    if (mDoubleClicked)
        return;
    if (!mSpaceWasDown) {
        controller().endBrush();
        moveBrushTo(viewPointFromWidget(event->position()));
        update();
    }
    mSpaceWasDown = false;
    resetCursor();
}

void SplitView::enterEvent(QEnterEvent*) {
    if (takesMouse())
        mouseEntered();
}

void SplitView::leaveEvent(QEvent*) {
    if (takesMouse())
        mouseExited();
}

void SplitView::mouseEntered() {
    mMouseInside = true;
    resetCursor();
    setMouseTracking(true);
    setFocus(Qt::MouseFocusReason);
}

void SplitView::mouseExited() {
    mMouseInside = false;
    resetCursor();
    updateViewRect(mBrushRect);
    mBrushRect = QRectF();
}

// --- Drag and drop -------------------------------------------------------------------------

QStringList SplitView::dropExtensions() {
    QStringList extensions;
    for (const std::string& extension : ImageIO::sharedInstance().supportedExtensions()) {
        extensions.append(QString::fromStdString(extension));
    }
    return extensions;
}

void SplitView::dragEnterEvent(QDragEnterEvent* event) {
    mDragAndDropping = controller().allowDrop();
    mShowDragOk = false;
    Qt::DropAction operation = Qt::IgnoreAction;
    const QMimeData* data = event->mimeData();
    if (mDragAndDropping && data && data->hasUrls() && !data->urls().isEmpty() &&
        data->urls().first().isLocalFile()) {
        const QString extension = QFileInfo(data->urls().first().toLocalFile()).suffix().toLower();
        if (dropExtensions().contains(extension)) {
            if (event->possibleActions() & Qt::LinkAction) {
                mShowDragOk = true;
                operation = Qt::LinkAction;
            } else if (event->possibleActions() & Qt::CopyAction) {
                mShowDragOk = true;
                operation = Qt::CopyAction;
            }
        }
    }
    if (mShowDragOk) {
        event->setDropAction(operation);
        event->accept();
    } else {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
    }
    update();
}

void SplitView::dragMoveEvent(QDragMoveEvent* event) {
    if (mShowDragOk && mDragAndDropping) {
        event->setDropAction(event->possibleActions() & Qt::LinkAction ? Qt::LinkAction
                                                                       : Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void SplitView::dragLeaveEvent(QDragLeaveEvent*) {
    mDragAndDropping = false;
    update();
}

void SplitView::dropEvent(QDropEvent* event) {
    const QMimeData* data = event->mimeData();
    // Only a drop that was offered as acceptable opens a file.
    if (mShowDragOk && mDragAndDropping && data && data->hasUrls() && !data->urls().isEmpty() &&
        data->urls().first().isLocalFile()) {
        controller().openImageAtPath(data->urls().first().toLocalFile());
        event->accept();
    } else {
        event->ignore();
    }
    mDragAndDropping = false;
    update();
}

}  // namespace velkaro
