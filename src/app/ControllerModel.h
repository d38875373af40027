#pragma once

#include <QAbstractTableModel>
#include <QImage>
#include <QList>
#include <cstdint>
#include <optional>

#include "DeblurTypes.h"
#include "Image.h"

namespace velkaro {

// printf-style formatting with the C library's rules (ties of "%.1f" and the like round as printf
// rounds them), as a QString.
QString StringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The screen form of an Image: the same pixels as a QImage (R, G, B, A bytes).
QImage ToQImage(const Image& image);

// The time left of a running deblur: `seconds` as estimated `atSeconds` after it started;
// negative before there is a rate to speak of.
struct TimeLeft {
    double seconds = -1;
    double atSeconds = 0;
};
// Once this part is done, an estimate never rises by more than kTimeLeftRise between updates.
constexpr double kTimeLeftSettled = 0.1;
constexpr double kTimeLeftRise = 1.03;
// The estimate after a progress report: the rate seen so far (elapsed time over the method's own
// fraction done) blended with the last estimate counted down by the time since, so that an uneven
// rate does not make it jump. None before 1 % and 1 s.
TimeLeft NextTimeLeft(const TimeLeft& previous, double fraction, double elapsedSeconds);
// The status of a running deblur's row: "45%", then "45% · 1 min 02 s left".
QString DeblurStatusText(double fraction, const TimeLeft& left);

// One row of the results list: its thumbnail and text, the full deblur it shows (none for the
// original and the composite), whether that deblur has finished, and for a deblur of a queued
// section the part of the photograph its thumbnail shows. A full deblur still running has its id,
// the clock time it started (milliseconds) and a status line (percentage, time left).
struct ResultRow {
    QImage preview;
    QString name;
    std::optional<DeblurredEntry> entry;
    bool done = false;
    std::optional<Rect> section;
    std::uint64_t deblurId = 0;
    qint64 startedMs = 0;
    TimeLeft timeLeft;
    QString status;

    bool shows(const DeblurredEntry& e) const { return entry && SameDeblurredEntry(*entry, e); }
};

// The results list as the table view sees it: one row per row of the controller's list, column 0
// the thumbnail, column 1 the name (with the status of a running deblur on a line of its own),
// column 2 empty (the view places a cancel control there on running deblurs' rows).
class ResultsModel : public QAbstractTableModel {
  public:
    ResultsModel(QList<ResultRow>& rows, QObject* parent)
        : QAbstractTableModel(parent), mRows(rows) {}

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    void append(const ResultRow& row);
    void replace(int index, const ResultRow& row);
    void remove(int index);
    void removeAll();

  private:
    QList<ResultRow>& mRows;
};

}  // namespace velkaro
