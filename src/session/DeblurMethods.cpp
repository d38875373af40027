#include "DeblurMethods.h"

#include <cstdio>
#include <cstring>

#include "Deconvolve.h"
#include "Deconvolve_wnr.h"

namespace {

// Stand-in for a method whose module is not part of this build: logs and leaves the region's
// channel as read from the input.
void methodNotBuiltPassThrough(const char* name, const CImage& in, CImage& out, int channel,
                               int x, int y, int w, int h) {
    printf("method %s is not built: channel %d left as read\n", name, channel);
    if (channel < 1 || channel > 3) return;
    for (int row = 0; row < h; ++row) {
        const std::uint8_t* s = in.pixels() + (std::size_t(y + row) * in.width() + x) * 4;
        std::uint8_t* d = out.pixels() + std::size_t(row) * out.width() * 4;
        for (int col = 0; col < w; ++col) d[col * 4 + channel] = s[col * 4 + channel];
    }
}

void unsharpMaskNotBuilt(const CImage& in, CImage& out, int, int channel, double, double, int,
                         int x, int y, int w, int h) {
    methodNotBuiltPassThrough("unsharp_mask", in, out, channel, x, y, w, h);
}
std::int64_t unsharpMaskMemUsageNotBuilt(const CImage&, CImage&, int, int, double, double, int,
                                         int, int, int, int) {
    return 0;
}
void wienerFirNotBuilt(const CImage& in, CImage& out, int channel, double, int, double, double,
                       int, int x, int y, int w, int h) {
    methodNotBuiltPassThrough("deconvolve_wiener_fir", in, out, channel, x, y, w, h);
}
std::int64_t wienerFirMemUsageNotBuilt(const CImage&, CImage&, int, double, int, double, double,
                                       int, int, int, int, int) {
    return 0;
}
void lucyRichardNotBuilt(const CImage& in, CImage& out, int channel, double, int, int, int x,
                         int y, int w, int h) {
    methodNotBuiltPassThrough("deconvolve_lucy_richard", in, out, channel, x, y, w, h);
}
std::int64_t lucyRichardMemUsageNotBuilt(const CImage&, CImage&, int, double, int, int, int, int,
                                         int, int) {
    return 0;
}
void lucyRichardThresholdNotBuilt(const CImage& in, CImage& out, int channel, double, int, int,
                                  int x, int y, int w, int h) {
    methodNotBuiltPassThrough("deconvolve_lucy_richard_threshold", in, out, channel, x, y, w, h);
}
void fitRefocusNotBuilt(const CImage& in, CImage& out, int channel, double, int, int x, int y,
                        int w, int h) {
    methodNotBuiltPassThrough("fit_refocus", in, out, channel, x, y, w, h);
}
void convolveNotBuilt(const CImage& in, CImage& out, int channel, double, int, int x, int y,
                      int w, int h) {
    methodNotBuiltPassThrough("convolve", in, out, channel, x, y, w, h);
}
std::int64_t radiusMethodMemUsageNotBuilt(const CImage&, CImage&, int, double, int, int, int, int,
                                          int) {
    return 0;
}

}  // namespace

const DeblurMethods& DefaultDeblurMethods() {
    static const DeblurMethods methods = {
        unsharpMaskNotBuilt,
        unsharpMaskMemUsageNotBuilt,
        wienerFirNotBuilt,
        wienerFirMemUsageNotBuilt,
        deconvolve_wnr_iir,
        lucyRichardNotBuilt,
        lucyRichardMemUsageNotBuilt,
        lucyRichardThresholdNotBuilt,
        lucyRichardMemUsageNotBuilt,
        deconvolve_sllsbox,
        deconvolve_sllsbox_mem_usage,
        fitRefocusNotBuilt,
        radiusMethodMemUsageNotBuilt,
        convolveNotBuilt,
        radiusMethodMemUsageNotBuilt,
    };
    return methods;
}
