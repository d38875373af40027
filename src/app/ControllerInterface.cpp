#include "ControllerInterface.h"

namespace velkaro {

void ControllerInterface::saveDefaults(QObject*) {}
void ControllerInterface::openImageAtPath(const QString&) {}
bool ControllerInterface::hasFileOpen() {
    return false;
}
bool ControllerInterface::allowDrop() {
    return false;
}
void ControllerInterface::deblurAtPoint(QPointF) {}
void ControllerInterface::endBrush() {}
void ControllerInterface::applyBrushAtPoint(QPointF, float, float) {}
void ControllerInterface::startBrush() {}
QString ControllerInterface::nameForRow(int row) {
    return QString::asprintf("%d", row);
}
QString ControllerInterface::nameForColumn(int column) {
    return QString::asprintf("%d", column);
}
void ControllerInterface::changedEntry() {}
void ControllerInterface::moveSelection(int) {}

ControllerInterface& ControllerInterface::bare() {
    static ControllerInterface controller;
    return controller;
}

}  // namespace velkaro
