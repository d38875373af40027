#include "KernelView.h"

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace velkaro {

void KernelView::setKernel(int size, std::vector<double> weights) {
    const bool valid = size > 0 && weights.size() == std::size_t(size) * std::size_t(size);
    mSize = valid ? size : 0;
    mWeights = valid ? std::move(weights) : std::vector<double>{};
    update();
}

void KernelView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (mSize < 1)
        return;
    const double peak = *std::max_element(mWeights.begin(), mWeights.end());
    if (!(peak > 0))
        return;
    QImage grey(mSize, mSize, QImage::Format_Grayscale8);
    for (int y = 0; y < mSize; ++y) {
        uchar* line = grey.scanLine(y);
        for (int x = 0; x < mSize; ++x)
            line[x] = uchar(std::lround(255.0 * std::max(0.0, mWeights[y * mSize + x]) / peak));
    }
    // A whole magnification keeps every weight's square the same size.
    const int scale = std::max(1, std::min(width(), height()) / mSize);
    const QRect target((width() - scale * mSize) / 2, (height() - scale * mSize) / 2, scale * mSize,
                       scale * mSize);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(target, grey);
}

}  // namespace velkaro
