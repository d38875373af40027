#include "DeblurMethods.h"

#include "Convolve.h"
#include "Deconvolve.h"
#include "Deconvolve_wnr.h"
#include "FitRefocus.h"
#include "Log.h"
#include "Richard_Lucy.h"
#include "Richard_Lucy_Threshold.h"
#include "USM.h"
#include "Wiener_FIR.h"

namespace velkaro {

namespace {

// The least-squares estimate is made with a fixed tolerance, whatever the preset's.
constexpr float kToleranceEstimate = 1e-4f;

bool runNothing(const MethodCall&) {
    LogInfo("bad deblur type\n");
    return true;
}
std::int64_t memoryOfNothing(const MethodCall&) {
    LogInfo("bad deblur type in memoryUsageForDeblurType\n");
    return 0;
}

template <int Fast>
bool runUnsharpMask(const MethodCall& c) {
    const Region& r = c.region;
    unsharp_mask(c.in, c.out, Fast, c.channel, c.radius, c.parameter, c.kernel, r.x, r.y, r.w, r.h);
    return true;
}
template <int Fast>
std::int64_t memoryOfUnsharpMask(const MethodCall& c) {
    const Region& r = c.region;
    return unsharp_mask_mem_usage(c.in, c.out, Fast, c.channel, c.radius, c.parameter, c.kernel,
                                  r.x, r.y, r.w, r.h);
}

bool runWienerFir(const MethodCall& c) {
    const Region& r = c.region;
    const int matRadius = int(2 * c.radius);
    LogInfo(
        "Solving using wiener fir for channel %d radius %.1f matRadius %d noise %f gamma %.1f "
        "angle %d [%d %d %d %d]\n",
        c.channel, c.radius, matRadius, c.parameter, 0.0, c.kernel.angle, r.x, r.y, r.w, r.h);
    deconvolve_wiener_fir(c.in, c.out, c.channel, c.radius, matRadius, 0.0, c.parameter, c.kernel,
                          r.x, r.y, r.w, r.h);
    return true;
}
std::int64_t memoryOfWienerFir(const MethodCall& c) {
    const Region& r = c.region;
    return deconvolve_wiener_fir_mem_usage(c.in, c.out, c.channel, c.radius, int(2 * c.radius), 0.0,
                                           c.parameter, c.kernel, r.x, r.y, r.w, r.h);
}

bool runWienerIir(const MethodCall& c) {
    const Region& r = c.region;
    LogInfo(
        "Solving using wiener iir for channel %d radius %.1f matRadius %d noise %f gamma %.1f "
        "angle %d [%d %d %d %d]\n",
        c.channel, c.radius, int(2 * c.radius), c.parameter, 0.0, c.kernel.angle, r.x, r.y, r.w,
        r.h);
    const FftStatus status = deconvolve_wnr_iir(c.in, c.out, c.channel, c.radius, c.parameter,
                                                c.kernel, r.x, r.y, r.w, r.h, c.cancel, c.progress);
    if (status == FftStatus::Failed) {
        LogInfo("the Fourier transform helper failed twice; channel %d not deblurred\n", c.channel);
        return false;
    }
    // Cancelled: the work that asked for this channel has been stopped and discards it.
    return true;
}
std::int64_t memoryOfWienerIir(const MethodCall& c) {
    const Region& r = c.region;
    return deconvolve_wnr_iir_mem_usage(c.in, c.out, c.channel, c.radius, c.parameter, c.kernel,
                                        r.x, r.y, r.w, r.h);
}

template <bool Threshold>
bool runLucyRichard(const MethodCall& c) {
    const Region& r = c.region;
    const int iterations = int(c.parameter);
    LogInfo(
        "Solving using richardson_lucy for channel %d radius %.1f iterations: %d angle %d "
        "[%d %d %d %d]\n",
        c.channel, c.radius, iterations, c.kernel.angle, r.x, r.y, r.w, r.h);
    // Stopped half-way these methods write nothing: only a full deblur, which then discards its
    // result, stops them; a preview step, kept when the previews are stopped, runs to its end.
    const std::atomic<bool>* cancel = c.progress ? c.cancel : nullptr;
    if (Threshold)
        deconvolve_lucy_richard_threshold(c.in, c.out, c.channel, c.radius, iterations, c.kernel,
                                          r.x, r.y, r.w, r.h, cancel, c.progress, c.snapshots);
    else
        deconvolve_lucy_richard(c.in, c.out, c.channel, c.radius, iterations, c.kernel, r.x, r.y,
                                r.w, r.h, cancel, c.progress, c.snapshots);
    return true;
}
template <bool Threshold>
std::int64_t memoryOfLucyRichard(const MethodCall& c) {
    const Region& r = c.region;
    const int iterations = int(c.parameter);
    return Threshold
               ? deconvolve_lucy_richard_threshold_mem_usage(
                     c.in, c.out, c.channel, c.radius, iterations, c.kernel, r.x, r.y, r.w, r.h)
               : deconvolve_lucy_richard_mem_usage(c.in, c.out, c.channel, c.radius, iterations,
                                                   c.kernel, r.x, r.y, r.w, r.h);
}

bool runLeastSquares(const MethodCall& c) {
    const Region& r = c.region;
    LogInfo("Solving using sllsbox for channel %d radius %.1f tolerance: %f\n", c.channel, c.radius,
            c.parameter);
    deconvolve_sllsbox(c.in, c.out, c.channel, c.radius, c.parameter, 0, c.kernel, r.x, r.y, r.w,
                       r.h, nullptr, c.cancel, c.progress);
    return true;
}
std::int64_t memoryOfLeastSquares(const MethodCall& c) {
    const Region& r = c.region;
    return deconvolve_sllsbox_mem_usage(c.in, c.out, c.channel, c.radius, kToleranceEstimate, 0,
                                        c.kernel, r.x, r.y, r.w, r.h, nullptr);
}

bool runFitRefocus(const MethodCall& c) {
    const Region& r = c.region;
    fit_refocus(c.in, c.out, c.channel, c.radius, c.kernel, r.x, r.y, r.w, r.h);
    return true;
}
std::int64_t memoryOfFitRefocus(const MethodCall& c) {
    const Region& r = c.region;
    return fit_refocus_mem_usage(c.in, c.out, c.channel, c.radius, c.kernel, r.x, r.y, r.w, r.h);
}

bool runConvolve(const MethodCall& c) {
    const Region& r = c.region;
    LogInfo("Convolving for channel %d radius %.1f angle %d [%d %d %d %d]\n", c.channel, c.radius,
            c.kernel.angle, r.x, r.y, r.w, r.h);
    convolve(c.in, c.out, c.channel, c.radius, c.kernel, r.x, r.y, r.w, r.h);
    return true;
}
std::int64_t memoryOfConvolve(const MethodCall& c) {
    const Region& r = c.region;
    return convolve_mem_usage(c.in, c.out, c.channel, c.radius, c.kernel, r.x, r.y, r.w, r.h);
}

}  // namespace

const DeblurMethods& DefaultDeblurMethods() {
    // In the order of DeblurMethod.
    static const DeblurMethods methods = {{
        {runNothing, memoryOfNothing},
        {runUnsharpMask<1>, memoryOfUnsharpMask<1>},
        {runUnsharpMask<0>, memoryOfUnsharpMask<0>},
        {runWienerFir, memoryOfWienerFir},
        {runWienerIir, memoryOfWienerIir},
        {runLucyRichard<false>, memoryOfLucyRichard<false>},
        {runLucyRichard<true>, memoryOfLucyRichard<true>},
        {runLeastSquares, memoryOfLeastSquares},
        {runFitRefocus, memoryOfFitRefocus},
        {runConvolve, memoryOfConvolve},
    }};
    return methods;
}

}  // namespace velkaro
