#pragma once

#include <atomic>
#include <cstdint>

#include "DeblurTypes.h"
#include "Image.h"
#include "MethodProgress.h"
#include "fftw_process.h"

namespace velkaro {

// The presets and the deblurring methods behind them.
//
// Every preset is one row of kPresets: its name, the method it runs and that method's own
// parameter. The session looks a preset up there and calls the method through a DeblurMethods
// table, both to compute and to estimate the memory a computation needs; DefaultDeblurMethods()
// holds the real methods, and tests may hand the session recording stand-ins instead.

enum class DeblurMethod {
    None,  // no method: an unassigned or unknown preset
    UnsharpMask,
    UnsharpMaskFast,
    WienerFir,
    WienerIir,
    LucyRichard,
    LucyRichardThreshold,
    LeastSquares,
    FitRefocus,
    Convolve,
};
constexpr int kDeblurMethodCount = int(DeblurMethod::Convolve) + 1;

struct Preset {
    const char* name;  // the grid's short name; null for an unassigned value
    DeblurMethod method;
    // The method's own parameter: the unsharp mask's amount, the Wiener filters' noise, the
    // Richardson-Lucy iterations, the least-squares tolerance. Single-precision constants are
    // stored as floats and reach the methods widened exactly as stored.
    double parameter;
};

// Indexed by DeblurType, from DeblurUSM1 to DeblurBlurSimulation.
inline constexpr Preset kPresets[] = {
    {"USM1", DeblurMethod::UnsharpMask, 1},
    {"USM2", DeblurMethod::UnsharpMask, 2},
    {"USM3", DeblurMethod::UnsharpMask, 3},
    {"USM4", DeblurMethod::UnsharpMask, 4},
    {"USM5", DeblurMethod::UnsharpMask, 5},
    {"USMF1", DeblurMethod::UnsharpMaskFast, 1},
    {"USMF2", DeblurMethod::UnsharpMaskFast, 2},
    {"USMF3", DeblurMethod::UnsharpMaskFast, 3},
    {"USMF4", DeblurMethod::UnsharpMaskFast, 4},
    {"USMF5", DeblurMethod::UnsharpMaskFast, 5},
    {"WF2", DeblurMethod::WienerFir, 0.01f},
    {"WF3", DeblurMethod::WienerFir, 0.001f},
    {"WI2", DeblurMethod::WienerIir, 0.01f},
    {"WI3", DeblurMethod::WienerIir, 0.001f},
    {"RL20", DeblurMethod::LucyRichard, 20},
    {"RL40", DeblurMethod::LucyRichard, 40},
    {"RL80", DeblurMethod::LucyRichard, 80},
    {"RT20", DeblurMethod::LucyRichardThreshold, 20},
    {"RT40", DeblurMethod::LucyRichardThreshold, 40},
    {"RT80", DeblurMethod::LucyRichardThreshold, 80},
    {"LA1", DeblurMethod::LeastSquares, 1e-6f},
    {"LA2", DeblurMethod::LeastSquares, 1e-12f},
    {nullptr, DeblurMethod::None, 0},
    {"FR", DeblurMethod::FitRefocus, 0},
    {"effect", DeblurMethod::None, 0},
    {nullptr, DeblurMethod::Convolve, 0},  // the blur simulation
};
static_assert(sizeof(kPresets) / sizeof(kPresets[0]) == DeblurBlurSimulation + 1);

// The row of a preset; the empty row (no name, no method) for any other value.
constexpr const Preset& PresetFor(int type) {
    constexpr int count = int(sizeof(kPresets) / sizeof(kPresets[0]));
    return type >= 0 && type < count ? kPresets[type] : kPresets[DeblurUnassigned];
}

// One call of a method: one channel (1 to 3; 0 for an estimate) of `region` of the input into
// the output (exactly region.w × region.h).
struct MethodCall {
    const CImage& in;
    CImage& out;
    int channel;
    double radius;
    double parameter;  // the preset's
    BlurKernel kernel;
    Region region;
    const std::atomic<bool>* cancel;  // polled by the methods that can stop early; may be null
    // Told how far the channel has come by the methods that run long (Richardson–Lucy, least
    // squares, the frequency-domain Wiener filter); may be null.
    const MethodProgress* progress = nullptr;
    // Results of fewer iterations, for the methods that iterate a fixed number of times
    // (Richardson–Lucy plain and thresholded); others ignore them. May be null.
    const IterationSnapshots* snapshots = nullptr;
};

struct MethodEntry {
    // False when the method failed (it says why) and the channel was not written: only the
    // frequency-domain Wiener method can, when its FFT helper stops answering.
    bool (*run)(const MethodCall& call);
    std::int64_t (*memoryUsage)(const MethodCall& call);  // bytes at most
};

struct DeblurMethods {
    MethodEntry entries[kDeblurMethodCount];
    const MethodEntry& operator[](DeblurMethod m) const { return entries[int(m)]; }
    MethodEntry& operator[](DeblurMethod m) { return entries[int(m)]; }
};

const DeblurMethods& DefaultDeblurMethods();

}  // namespace velkaro
