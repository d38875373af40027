#include "SplitView.h"

#include <QButtonGroup>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QUrl>
#include <algorithm>
#include <cmath>

#include "Check.h"
#include "ControllerInterface.h"
#include "GUI.h"
#include "ImageIO.h"
#include "MainWindow.h"
#include "TiledImage.h"

namespace {

const QColor kBackground = QColor::fromRgbF(0.4f, 0.4f, 0.4f, 0.96f);
const QColor kDropOk = QColor::fromRgbF(0.0f, 0.7f, 0.0f, 0.5f);
const QColor kDropRefused = QColor::fromRgbF(0.7f, 0.0f, 0.0f, 0.5f);
const QColor kSeparator = QColor::fromRgbF(0.5f, 0.5f, 0.5f);

QColor BrushColour(float opacity) {
    return QColor::fromRgbF(0.5f, 0.0f, 0.0f, std::clamp(opacity * 0.7f, 0.0f, 1.0f));
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
      mSelectedImage(std::make_unique<TiledImage>()) {
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
    }
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
    mSelectedImage->setImage(image);
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
    clampOffset();
    redoLabels();
    update();
}

void SplitView::changedZoom() {
    if (!mZoomMode)
        return;
    const int column = std::max(mZoomMode->checkedId(), 0);
    mZoomOut = 1 << column;
    mSelectedImage->setZoomOut(mZoomOut);
    mRefocusedImage->setZoomOut(mZoomOut);
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
    const TiledImage* image = mRefocusedImage.get();
    VK_CHECK(image);
    double x = viewPoint.x();
    double y = viewPoint.y();
    if (mSplitView) {
        const int half = width() / 2;
        if (x > half)
            x -= half;
    }
    x += mOffset.x();
    y += mOffset.y();
    const double H = image->displayHeight();
    const double z = mZoomOut;
    return QPointF(x * z, (H - y) * z);
}

void SplitView::clampOffset() {
    const Rect extent = mSelectedImage->displayExtent();
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
}

void SplitView::redoLabels() {
    // A label names a picture on screen: none stays over an empty view.
    const QString name = mSelectedName;
    const bool selected = mSelectedImage->sourceImage() != nullptr;
    if (mLeftLabel) {
        mLeftLabel->setVisible(mSplitView && selected);
        mLeftLabel->setText(name);
    }
    if (mRightLabel) {
        mRightLabel->setVisible(mSplitView && mRefocusedImage->sourceImage() != nullptr);
        mRightLabel->setText("Reconstructed");
    }
    if (mCenterLabel) {
        mCenterLabel->setVisible(!mSplitView && selected);
        mCenterLabel->setText(name);
    }
}

int SplitView::mouseModeColumn() const {
    return mMouseMode ? mMouseMode->checkedId() : -1;
}

bool SplitView::spaceIsDown() const {
    return mMainWindow && mMainWindow->spaceIsDown();
}

void SplitView::resetCursor() {
    if (!mMouseMode)
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
    if (!mMouseMode)
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
    const float size = (mBrushSize ? mBrushSize->floatValue() : 0.0f) / float(mZoomOut);
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
    clampOffset();
}

// --- Drawing -------------------------------------------------------------------------------

void SplitView::drawImage(QPainter& painter, TiledImage& image, const Rect& area, const Rect&) {
    const Rect extent = image.displayExtent();
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

    painter.save();
    painter.setClipRect(QRectF(area.x, area.y, area.width, area.height), Qt::IntersectClip);
    image.drawTilesFromRect(painter, source, destination, area);
    painter.restore();
    image.cleanUnusedTiles(source);
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
            drawImage(painter, *mSelectedImage, {0, 0, half, BH}, redraw);
        if (mRefocusedImage->sourceImage()) {
            drawImage(painter, *mRefocusedImage, {half, 0, half, BH}, redraw);
        }
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
            const Rect extent = mSelectedImage->displayExtent();
            mOffset = QPointF(std::trunc((extent.width - BW) * 0.5),
                              std::trunc((extent.height - BH) * 0.5));
        }
        if (mSelectedImage->sourceImage())
            drawImage(painter, *mSelectedImage, {0, 0, BW, BH}, redraw);
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
    if (!mMouseMode)
        return;
    const int mode = mouseModeColumn();
    mSpaceWasDown = mode == 0 || spaceIsDown();
    mDownPoint = viewPoint;
    mPressed = true;
    if ((!mSpaceWasDown && mode == 1) || clicks == 2) {
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
    if (!mMouseMode)
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
    if (mouseModeColumn() == 2) {
        moveBrushTo(point);
        update();
    }
}

void SplitView::mouseReleaseEvent(QMouseEvent* event) {
    if (!mMouseMode || event->button() != Qt::LeftButton || !mPressed)
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
    if (mMouseMode)
        mouseEntered();
}

void SplitView::leaveEvent(QEvent*) {
    if (mMouseMode)
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
