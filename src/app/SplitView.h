#pragma once

#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <map>
#include <memory>
#include <utility>

#include "Image.h"

class QButtonGroup;
class QLabel;
class QScrollBar;

namespace velkaro {

class ControllerInterface;
class FloatSlider;
class MainWindow;
class TiledImage;

// Shows photographs: the selected image alone, or the selected image on the left and the
// reconstructed image on the right, both through tiles. With tools it pans (hand tool or space
// bar), asks for a deblur at a clicked point, paints with the brush and accepts dropped files.
//
// Its geometry works in view coordinates with the origin at the lower left and y upwards;
// display coordinates are the picture at the view's scale (view units per image pixel), origin at
// its lower-left corner, y upwards; image coordinates are the photograph's pixels from the top
// left. The tiles are drawn at a zoom-out factor (a power of two) and magnified by what is left
// of the scale: by 2 or 4 when zooming in, by a little less than 1 to fit the view.
//
// The wheel (with or without Ctrl) zooms about the pointer through the zoom steps; the zoom group
// and zoomStep() keep the view's centre, or the point under the pointer when one is given.
class SplitView : public QWidget {
  public:
    // Ids of the zoom group's buttons: 0 to 3 zoom out by 2 to the power id, then 200 %, 400 %
    // and the scale that fits the whole picture in the view.
    enum ZoomColumn { ZoomOut1 = 0, ZoomOut8 = 3, ZoomIn2 = 4, ZoomIn4 = 5, ZoomFit = 6 };
    // The scale of a zoom column (0 for ZoomFit).
    static double ScaleForZoomColumn(int column);

    explicit SplitView(QWidget* parent = nullptr);
    ~SplitView() override;

    // Connections made when the window is put together. Without a controller the view talks to
    // a bare ControllerInterface; without a mouse-mode group it has no tools.
    void setController(ControllerInterface* controller);
    void setMainWindow(MainWindow* window);
    void setMouseMode(QButtonGroup* mouseMode);
    void setZoomMode(QButtonGroup* zoomMode);
    void setBrushControls(FloatSlider* size, FloatSlider* opacity);
    void setLabels(QLabel* left, QLabel* center, QLabel* right);
    // Scroll bars beside the view that follow and move the part shown.
    void setScrollBars(QScrollBar* horizontal, QScrollBar* vertical);
    // A label that shows the scale as a percentage.
    void setZoomLabel(QLabel* label);
    // A loupe has no tools: a drag pans and the wheel zooms. It keeps the place shown for each
    // size of picture, so that a picture shown for a moment in between (a "processing" sign)
    // does not move the view off the part being looked at.
    void setLoupe(bool loupe);
    // The original, at the same place and scale as the pictures shown: with showsBefore, it
    // stands in for every picture of its size (before and after).
    void setBeforeImage(const ImageRef& image);
    void setShowsBefore(bool shows);
    bool showsBefore() const { return mShowsBefore; }

    void setSelectedImage(const ImageRef& image, const QString& name);
    void setRefocusedImage(const ImageRef& image);
    ImageRef selectedImage() const;
    ImageRef refocusedImage() const;
    // A rectangle of the reconstructed image (image coordinates) has new pixels.
    void reloadRefocusedImageInRect(const Rect& rect);
    // 0 single, 1 split.
    void changeViewMode(int mode);
    // Takes the zoom from the zoom group (see ZoomColumn), keeping the view's centre.
    void changedZoom();
    // Sets the scale, keeping the image point under `anchor` (a view point) where it is; the
    // zoom group shows the matching step.
    void setScale(double scale, QPointF anchor);
    void setScale(double scale) { setScale(scale, viewCentre()); }
    // One zoom step in (direction > 0) or out about `anchor`, or about the pointer when it is over
    // the view, else the centre.
    void zoomStep(int direction, QPointF anchor);
    void zoomStep(int direction);
    // Fits the whole picture in the view, and keeps fitting it when the view changes size.
    void zoomToFit();
    void setCenters(bool centers);
    void setDrawsBackgrounds(bool draws);
    void setAllowDrops(bool allow);

    // View point (y upwards) to image point.
    QPointF convertPoint(QPointF viewPoint) const;
    // Qt's widget position (y downwards) to the view point.
    QPointF viewPointFromWidget(QPointF widgetPoint) const;
    void clampOffset();
    void redoLabels();
    void resetCursor();
    void resetTrackingRect();
    void moveBrushTo(QPointF viewPoint);
    void applyBrushAt(QPointF viewPoint);

    // The extensions a dropped file may have: those the image reader decodes (lower case).
    static QStringList dropExtensions();

    // State, for the window's owner and for tests.
    QPointF offset() const { return mOffset; }
    void setOffset(QPointF offset) { mOffset = offset; }
    int zoomOut() const { return mZoomOut; }
    double scale() const { return mScale; }
    bool fits() const { return mFit; }
    QPointF viewCentre() const;
    bool isSplit() const { return mSplitView; }
    QRectF brushRect() const { return mBrushRect; }
    bool isDragAndDropping() const { return mDragAndDropping; }
    bool showsDragOk() const { return mShowDragOk; }
    const TiledImage& selectedTiles() const { return *mSelectedImage; }
    const TiledImage& refocusedTiles() const { return *mRefocusedImage; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    ControllerInterface& controller() const;
    int mouseModeColumn() const;
    bool spaceIsDown() const;
    void mouseDown(QPointF viewPoint, int clicks);
    void mouseEntered();
    void mouseExited();
    void updateViewRect(const QRectF& viewRect);
    void drawImage(QPainter& painter, TiledImage& image, const Rect& area, const Rect& redraw);
    // The picture's display extent at the view's scale.
    Rect viewExtent(const TiledImage& image) const;
    double fitScale() const;
    void applyScale(double scale);
    void updateScrollBars();
    void scrolled();
    void drawBrush(QPainter& painter, const QRectF& clip);
    // The tiles drawn for `image`: the original's when it stands in for it.
    TiledImage& shownTiles(TiledImage& image);
    // The picture that the view's geometry follows: the reconstructed one, else the selected.
    const TiledImage& geometryTiles() const;
    bool takesMouse() const { return mMouseMode || mLoupe; }

    std::unique_ptr<TiledImage> mRefocusedImage;
    std::unique_ptr<TiledImage> mSelectedImage;
    std::unique_ptr<TiledImage> mBeforeImage;
    bool mShowsBefore = false;
    bool mLoupe = false;
    std::map<std::pair<int, int>, QPointF> mLoupeOffsets;  // by picture width and height
    QLabel* mZoomLabel = nullptr;
    QString mSelectedName;
    QPointF mOffset;
    QPointF mOriOffset;
    QPointF mDownPoint;
    bool mSpaceWasDown = false;
    bool mDoubleClicked = false;
    bool mMouseInside = false;
    bool mPressed = false;
    QRectF mBrushRect;
    bool mSplitView = false;
    bool mDrawBackground = true;
    bool mCenters = false;
    bool mAllowDrops = false;
    bool mDragAndDropping = false;
    bool mShowDragOk = false;
    QImage mDropImage;
    QButtonGroup* mMouseMode = nullptr;
    FloatSlider* mBrushSize = nullptr;
    FloatSlider* mBrushOpacity = nullptr;
    MainWindow* mMainWindow = nullptr;
    ControllerInterface* mController = nullptr;
    QLabel* mLeftLabel = nullptr;
    QLabel* mCenterLabel = nullptr;
    QLabel* mRightLabel = nullptr;
    int mZoomOut = 1;
    QButtonGroup* mZoomMode = nullptr;
    double mScale = 1.0;
    bool mFit = false;
    int mWheelDelta = 0;  // wheel turns not yet worth a zoom step (eighths of a degree)
    QScrollBar* mHorizontalBar = nullptr;
    QScrollBar* mVerticalBar = nullptr;
    bool mUpdatingBars = false;
};

}  // namespace velkaro
