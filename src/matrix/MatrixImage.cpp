#include "MatrixImage.h"

#include "Check.h"
#include "ColorSpace.h"

namespace velkaro {

void ImageToMatrix(Matrix& m, const CImage& i, int channel, int x, int y, int w, int h) {
    VK_CHECK(w * h == m.count());
    double* out = m.rwData();
    for (int r = 0; r < h; ++r) ReadImageChannel(i, x, y + r, out + std::size_t(r) * w, w, channel);
}

void MatrixToImage(CImage& o, int channel, const Matrix& m) {
    const int ic = o.width() * o.height();
    const int mc = m.count();
    VK_CHECK(ic == mc);
    WriteImageChannel(m.roData(), o, 0, 0, mc, channel);
}

}  // namespace velkaro
