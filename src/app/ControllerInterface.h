#pragma once

#include <QPointF>
#include <QString>

class QObject;

namespace velkaro {

// What the views (SplitView, ImageMatrix, MainWindow) ask of their controller. Every operation
// has an empty default, so a view works, inertly, with a bare ControllerInterface: it refuses
// drops, ignores clicks and brush strokes and labels rows and columns with their numbers.
class ControllerInterface {
  public:
    virtual ~ControllerInterface() = default;

    virtual void saveDefaults(QObject* sender);
    virtual void openImageAtPath(const QString& path);
    virtual bool hasFileOpen();
    virtual bool allowDrop();
    // Points are in image pixels: origin at the upper-left corner, y downwards.
    virtual void deblurAtPoint(QPointF point);
    virtual void endBrush();
    virtual void applyBrushAtPoint(QPointF point, float size, float opacity);
    virtual void startBrush();
    virtual QString nameForRow(int row);
    virtual QString nameForColumn(int column);
    virtual void changedEntry();
    // 0 left, 1 right, 2 up, 3 down.
    virtual void moveSelection(int direction);

    // The controller that views without one of their own talk to.
    static ControllerInterface& bare();
};

}  // namespace velkaro
