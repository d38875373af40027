#include "ControllerModel.h"

#include <QIcon>
#include <QPixmap>
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace velkaro {

QString StringWithFormat(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::vector<char> text(std::size_t(length > 0 ? length : 0) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    return QString::fromUtf8(text.data());
}

QImage ToQImage(const Image& image) {
    const ByteBuffer rgba = image.rgbaBytes();
    QImage picture(image.width(), image.height(), QImage::Format_RGBA8888);
    for (int y = 0; y < image.height(); ++y)
        std::copy_n(rgba.data() + std::size_t(y) * std::size_t(image.width()) * 4,
                    std::size_t(image.width()) * 4, picture.scanLine(y));
    return picture;
}

TimeLeft NextTimeLeft(const TimeLeft& previous, double fraction, double elapsedSeconds) {
    if (fraction >= 1)
        return {0, elapsedSeconds};
    if (fraction < 0.01 || elapsedSeconds < 1)
        return previous;
    const double atRate = elapsedSeconds * (1 - fraction) / fraction;
    if (previous.seconds < 0)
        return {atRate, elapsedSeconds};
    const double countedDown =
        std::max(0.0, previous.seconds - (elapsedSeconds - previous.atSeconds));
    // The rate seen so far speaks louder as more of the work lies behind it.
    const double weight = std::clamp(fraction, 0.25, 1.0);
    double seconds = countedDown + weight * (atRate - countedDown);
    if (fraction >= kTimeLeftSettled)
        seconds = std::min(seconds, previous.seconds * kTimeLeftRise);
    return {seconds, elapsedSeconds};
}

QString DeblurStatusText(double fraction, const TimeLeft& left) {
    const QString done = QString("%1%").arg(int(fraction * 100));
    if (left.seconds < 0)
        return done;
    const int s = int(std::lround(left.seconds));
    const QChar zero('0');
    const QString text =
        s >= 3600 ? QObject::tr("%1 h %2 min left").arg(s / 3600).arg(s % 3600 / 60, 2, 10, zero)
        : s >= 60 ? QObject::tr("%1 min %2 s left").arg(s / 60).arg(s % 60, 2, 10, zero)
                  : QObject::tr("%1 s left").arg(s);
    return done + " · " + text;
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(mRows.size());
}

int ResultsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 3;
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= mRows.size())
        return QVariant();
    const ResultRow& row = mRows[index.row()];
    if (index.column() == 0) {
        if (role == Qt::DecorationRole)
            return QIcon(QPixmap::fromImage(row.preview));
        return QVariant();
    }
    if (index.column() == 2)
        return QVariant();
    if (role == Qt::DisplayRole)
        return row.status.isEmpty() ? row.name : row.name + "\n" + row.status;
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    return QVariant();
}

void ResultsModel::append(const ResultRow& row) {
    const int at = int(mRows.size());
    beginInsertRows(QModelIndex(), at, at);
    mRows.append(row);
    endInsertRows();
}

void ResultsModel::replace(int index, const ResultRow& row) {
    mRows[index] = row;
    emit dataChanged(this->index(index, 0), this->index(index, 2));
}

void ResultsModel::remove(int index) {
    beginRemoveRows(QModelIndex(), index, index);
    mRows.removeAt(index);
    endRemoveRows();
}

void ResultsModel::removeAll() {
    beginResetModel();
    mRows.clear();
    endResetModel();
}

}  // namespace velkaro
