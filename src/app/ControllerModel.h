#pragma once

#include <QAbstractTableModel>
#include <QImage>
#include <QList>
#include <QVariantMap>

#include "Image.h"

// printf-style formatting with the C library's rules (ties of "%.1f" and the like round as printf
// rounds them), as a QString.
QString StringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The screen form of an Image: the same pixels as a QImage (R, G, B, A bytes).
QImage ToQImage(const Image& image);

// The results list as the table view sees it: one row per dictionary of the controller's list,
// column 0 "preview" (the picture), column 1 "name" (with the "status" of a running deblur on a
// line of its own), column 2 "cancel" (a control the view places over running deblurs' rows).
class ResultsModel : public QAbstractTableModel {
  public:
    ResultsModel(QList<QVariantMap>& rows, QObject* parent)
        : QAbstractTableModel(parent), mRows(rows) {}

    static QString identifierForColumn(int column) {
        return column == 0 ? "preview" : column == 1 ? "name" : "cancel";
    }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    void append(const QVariantMap& row);
    void replace(int index, const QVariantMap& row);
    void remove(int index);
    void removeAll();

  private:
    QList<QVariantMap>& mRows;
};
