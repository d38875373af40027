#include "MatrixImage.h"

#include "Check.h"
#include "ColorSpace.h"

namespace velkaro {

void ImageToMatrix(Matrix& m, const CImage& i, int channel, int x, int y, int w, int h) {
    VK_CHECK(w * h == m.count());
    double* out = m.rwData();
    const std::size_t rowBytes = std::size_t(i.width()) * 4;
    for (int r = 0; r < h; ++r)
        ReadChannelDouble(i.pixels() + (std::size_t(y) + r) * rowBytes + std::size_t(x) * 4,
                          out + std::size_t(r) * w, w, channel);
}

void MatrixToImage(CImage& o, int channel, const Matrix& m) {
    const int ic = o.width() * o.height();
    const int mc = m.count();
    VK_CHECK(ic == mc);
    WriteChannelDouble(m.roData(), o.pixels(), mc, channel);
}

}  // namespace velkaro
