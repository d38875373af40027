#pragma once

#include <atomic>
#include <cstdint>

#include "Image.h"
#include "fftw_process.h"

// The deblurring methods the presets call, held as a table of function pointers so that the
// dispatch can be observed. DefaultDeblurMethods() holds the real methods; the session keeps a copy
// that tests may replace with recording stand-ins.
//
// Every method takes the input, the output (exactly w × h), the channel (0 for an estimate), its
// own parameters, the kernel angle and the region x, y, w, h of the input. The frequency-domain
// Wiener method also returns whether it could write its channel.

struct DeblurMethods {
    void (*unsharpMask)(const CImage& in, CImage& out, int fast, int channel, double radius,
                        double amount, int angle, int x, int y, int w, int h);
    std::int64_t (*unsharpMaskMemUsage)(const CImage& in, CImage& out, int fast, int channel,
                                        double radius, double amount, int angle, int x, int y,
                                        int w, int h);

    void (*wienerFir)(const CImage& in, CImage& out, int channel, double radius, int matRadius,
                      double gamma, double noise, int angle, int x, int y, int w, int h);
    std::int64_t (*wienerFirMemUsage)(const CImage& in, CImage& out, int channel, double radius,
                                      int matRadius, double gamma, double noise, int angle, int x,
                                      int y, int w, int h);

    FftStatus (*wienerIir)(const CImage& in, CImage& out, int channel, double radius,
                           double noise, int angle, int x, int y, int w, int h,
                           const std::atomic<bool>* cancel);
    std::int64_t (*wienerIirMemUsage)(const CImage& in, CImage& out, int channel, double radius,
                                      double noise, int angle, int x, int y, int w, int h);

    void (*lucyRichard)(const CImage& in, CImage& out, int channel, double radius,
                        int iterations, int angle, int x, int y, int w, int h);
    std::int64_t (*lucyRichardMemUsage)(const CImage& in, CImage& out, int channel, double radius,
                                        int iterations, int angle, int x, int y, int w, int h);

    void (*lucyRichardThreshold)(const CImage& in, CImage& out, int channel, double radius,
                                 int iterations, int angle, int x, int y, int w, int h);
    std::int64_t (*lucyRichardThresholdMemUsage)(const CImage& in, CImage& out, int channel,
                                                 double radius, int iterations, int angle, int x,
                                                 int y, int w, int h);

    void (*sllsbox)(const CImage& in, CImage& out, int channel, double radius, double tolerance,
                    int passes, int angle, int x, int y, int w, int h, double* residual,
                    const std::atomic<bool>* cancel);
    std::int64_t (*sllsboxMemUsage)(const CImage& in, const CImage& out, int channel, double radius,
                                    double tolerance, int passes, int angle, int x, int y, int w,
                                    int h, double* residual);

    void (*fitRefocus)(const CImage& in, CImage& out, int channel, double radius, int angle,
                       int x, int y, int w, int h);
    std::int64_t (*fitRefocusMemUsage)(const CImage& in, CImage& out, int channel, double radius,
                                       int angle, int x, int y, int w, int h);

    void (*convolve)(const CImage& in, CImage& out, int channel, double radius, int angle, int x,
                     int y, int w, int h);
    std::int64_t (*convolveMemUsage)(const CImage& in, CImage& out, int channel, double radius,
                                     int angle, int x, int y, int w, int h);
};

const DeblurMethods& DefaultDeblurMethods();
