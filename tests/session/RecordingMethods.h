#pragma once

// Stand-ins for the deblurring methods that record every call, so that the session's dispatch can
// be checked without the real numerics. They write the input's value + 1 (saturating) into the
// region's channel, and can be held at a gate (per step, radius × 2) to keep steps running.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "DeblurMethods.h"

struct MethodCall {
    std::string method;           // the real method's name, e.g. "deconvolve_wiener_fir"
    const void* input = nullptr;  // pixels of the input image
    int outWidth = 0, outHeight = 0, channel = 0;
    std::vector<double> params;   // the radius, then the method's own parameters
    int angle = 0, x = 0, y = 0, w = 0, h = 0;
    const double* residual = nullptr;
    const std::atomic<bool>* cancel = nullptr;
};

struct RecordingState {
    std::mutex mutex;
    std::condition_variable gateChanged;
    std::vector<MethodCall> calls;          // every call since the last clear, in order
    std::set<int> closedSteps;
    std::map<int, int> inside, atGate;      // step -> calls inside the stand-ins, at the gate
    int maxConcurrentSteps = 0;             // the most distinct steps inside at once
    std::atomic<int> delayMicroseconds{0};  // each call's sleep, polling the cancel flag
};

inline RecordingState& recording() {
    static RecordingState s;
    return s;
}

namespace recording_detail {

inline const char* const kNames[] = {"unsharp_mask", "deconvolve_wiener_fir", "deconvolve_wnr_iir",
                                     "deconvolve_lucy_richard", "deconvolve_lucy_richard_threshold",
                                     "deconvolve_sllsbox", "fit_refocus", "convolve"};

// One stand-in per signature of the table. Images, numbers and pointers are told apart by type;
// the numbers come as [fast,] channel, radius, own parameters..., angle, x, y, w, h (the unsharp
// mask's `fast` is moved behind the radius). Estimates record "<name>_mem_usage" and answer
// 1001 + Id.
template <int Id, class R, class... A>
R stub(A... args) {
    // Methods return nothing or a status; estimates return their count.
    constexpr bool kMethod = std::is_void_v<R> || std::is_same_v<R, FftStatus>;
    MethodCall c;
    c.method = std::string(kNames[Id]) + (kMethod ? "" : "_mem_usage");
    const CImage* images[2] = {};
    std::vector<double> n;
    auto take = [&](auto&& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, CImage>) images[images[0] ? 1 : 0] = &v;
        else if constexpr (std::is_arithmetic_v<V>) n.push_back(double(v));
        else if constexpr (std::is_same_v<V, double*>) c.residual = v;
        else c.cancel = v;
    };
    (take(args), ...);
    if (Id == 0) std::rotate(n.begin(), n.begin() + 1, n.begin() + 3);
    const std::size_t k = n.size();
    c.input = images[0]->pixels();
    c.outWidth = images[1]->width(), c.outHeight = images[1]->height(), c.channel = int(n[0]);
    c.params.assign(n.begin() + 1, n.end() - 5);
    c.angle = int(n[k - 5]), c.x = int(n[k - 4]), c.y = int(n[k - 3]), c.w = int(n[k - 2]), c.h = int(n[k - 1]);

    RecordingState& s = recording();
    const int step = int(c.params[0] * 2 + 0.5);
    {
        std::unique_lock<std::mutex> guard(s.mutex);
        s.calls.push_back(c);
        if (++s.inside[step] == 1) {
            const int steps = int(std::count_if(s.inside.begin(), s.inside.end(),
                                                [](const auto& e) { return e.second > 0; }));
            s.maxConcurrentSteps = std::max(s.maxConcurrentSteps, steps);
        }
        ++s.atGate[step];
        s.gateChanged.wait(guard, [&] { return !s.closedSteps.count(step); });
        --s.atGate[step];
    }
    for (int waited = 0; waited < s.delayMicroseconds.load(); waited += 200) {
        if (c.cancel && c.cancel->load()) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (kMethod && c.channel >= 1 && c.channel <= 3) {
        const std::uint8_t* in = images[0]->pixels();
        std::uint8_t* out = const_cast<CImage*>(images[1])->pixels();
        for (int row = 0; row < c.h; ++row)
            for (int col = 0; col < c.w; ++col) {
                const int v = in[(std::size_t(c.y + row) * images[0]->width() + c.x + col) * 4 + c.channel];
                out[(std::size_t(row) * c.outWidth + col) * 4 + c.channel] = std::uint8_t(std::min(v + 1, 255));
            }
    }
    std::lock_guard<std::mutex> guard(s.mutex);
    --s.inside[step];
    if constexpr (std::is_same_v<R, FftStatus>) return FftStatus::Done;
    else if constexpr (!std::is_void_v<R>) return R(1001 + Id);
}

}  // namespace recording_detail

inline DeblurMethods RecordingDeblurMethods() {
    using recording_detail::stub;
    DeblurMethods m;
    m.unsharpMask = stub<0>, m.unsharpMaskMemUsage = stub<0>;
    m.wienerFir = stub<1>, m.wienerFirMemUsage = stub<1>, m.wienerIir = stub<2>,
    m.wienerIirMemUsage = stub<2>;
    m.lucyRichard = stub<3>, m.lucyRichardMemUsage = stub<3>;
    m.lucyRichardThreshold = stub<4>, m.lucyRichardThresholdMemUsage = stub<4>;
    m.sllsbox = stub<5>, m.sllsboxMemUsage = stub<5>;
    m.fitRefocus = stub<6>, m.fitRefocusMemUsage = stub<6>;
    m.convolve = stub<7>, m.convolveMemUsage = stub<7>;
    return m;
}

// Runs `f` on the recording state under its lock.
template <class F>
auto withRecording(F f) {
    std::lock_guard<std::mutex> guard(recording().mutex);
    return f(recording());
}

inline std::vector<MethodCall> RecordedMethodCalls() {
    return withRecording([](RecordingState& s) { return s.calls; });
}
inline void ClearRecordedMethodCalls() {
    withRecording([](RecordingState& s) { s.calls.clear(), s.maxConcurrentSteps = 0; });
}
inline int MaxConcurrentSteps() {
    return withRecording([](RecordingState& s) { return s.maxConcurrentSteps; });
}
// Steps with a call held at the gate now.
inline int StepsAtGate() {
    return withRecording([](RecordingState& s) {
        return int(std::count_if(s.atGate.begin(), s.atGate.end(), [](auto& e) { return e.second > 0; }));
    });
}
inline void CloseMethodGate(int step) {
    withRecording([&](RecordingState& s) { s.closedSteps.insert(step); });
}
// Opens the gate for one step, or for all when `step` is -1.
inline void OpenMethodGate(int step = -1) {
    withRecording([&](RecordingState& s) { step < 0 ? s.closedSteps.clear() : void(s.closedSteps.erase(step)); });
    recording().gateChanged.notify_all();
}
inline void SetMethodDelayMicroseconds(int microseconds) { recording().delayMicroseconds = microseconds; }
