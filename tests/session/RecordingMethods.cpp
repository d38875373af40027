#include "RecordingMethods.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

struct State {
    std::mutex mutex;
    std::condition_variable gateChanged;
    std::vector<MethodCall> calls;
    std::set<int> closedSteps;
    std::map<int, int> insideByStep;  // step -> calls inside
    int maxConcurrentSteps = 0;
    int atGate = 0;
    std::atomic<int> delayMicroseconds{0};
};

State& state() {
    static State s;
    return s;
}

void record(MethodCall call, const CImage& in, CImage* out, const std::atomic<bool>* cancel) {
    State& s = state();
    const int step = int(call.params.empty() ? 0 : call.params[0] * 2 + 0.5);
    call.input = in.pixels();
    {
        std::unique_lock<std::mutex> guard(s.mutex);
        s.calls.push_back(call);
        if (++s.insideByStep[step] == 1) {
            int steps = 0;
            for (const auto& [k, v] : s.insideByStep) steps += v > 0;
            s.maxConcurrentSteps = std::max(s.maxConcurrentSteps, steps);
        }
        if (s.closedSteps.count(step)) {
            ++s.atGate;
            s.gateChanged.wait(guard, [&] { return !s.closedSteps.count(step); });
            --s.atGate;
        }
    }
    for (int waited = 0; waited < s.delayMicroseconds.load(); waited += 200) {
        if (cancel && cancel->load()) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (out && call.channel >= 1 && call.channel <= 3) {
        for (int row = 0; row < call.h; ++row)
            for (int col = 0; col < call.w; ++col) {
                const std::uint8_t v =
                    in.pixels()[(std::size_t(call.y + row) * in.width() + call.x + col) * 4 +
                                call.channel];
                out->pixels()[(std::size_t(row) * out->width() + col) * 4 + call.channel] =
                    std::uint8_t(std::min(v + 1, 255));
            }
    }
    std::lock_guard<std::mutex> guard(s.mutex);
    --s.insideByStep[step];
}

MethodCall makeCall(const char* method, const CImage& out, int channel,
                    std::vector<double> params, int angle, int x, int y, int w, int h) {
    MethodCall c;
    c.method = method;
    c.outWidth = out.width();
    c.outHeight = out.height();
    c.channel = channel;
    c.params = std::move(params);
    c.angle = angle;
    c.x = x;
    c.y = y;
    c.w = w;
    c.h = h;
    return c;
}

// Estimates return a value that names the estimate, so the test can tell which one answered.
constexpr std::int64_t kUnsharpEstimate = 1001, kWienerFirEstimate = 1002,
                       kLucyRichardEstimate = 1003, kThresholdEstimate = 1004,
                       kSllsboxEstimate = 1005, kFitRefocusEstimate = 1006,
                       kConvolveEstimate = 1007;

void unsharpMask(const CImage& in, CImage& out, int fast, int channel, double radius,
                 double amount, int angle, int x, int y, int w, int h) {
    MethodCall c = makeCall("unsharp_mask", out, channel, {radius, amount}, angle, x, y, w, h);
    c.params.insert(c.params.begin() + 1, double(fast));
    record(c, in, &out, nullptr);
}
std::int64_t unsharpMaskMemUsage(const CImage& in, CImage& out, int fast, int channel,
                                 double radius, double amount, int angle, int x, int y, int w,
                                 int h) {
    MethodCall c = makeCall("unsharp_mask_mem_usage", out, channel, {radius, double(fast), amount},
                            angle, x, y, w, h);
    record(c, in, nullptr, nullptr);
    return kUnsharpEstimate;
}
void wienerFir(const CImage& in, CImage& out, int channel, double radius, int matRadius,
               double gamma, double noise, int angle, int x, int y, int w, int h) {
    record(makeCall("deconvolve_wiener_fir", out, channel,
                    {radius, double(matRadius), gamma, noise}, angle, x, y, w, h),
           in, &out, nullptr);
}
std::int64_t wienerFirMemUsage(const CImage& in, CImage& out, int channel, double radius,
                               int matRadius, double gamma, double noise, int angle, int x, int y,
                               int w, int h) {
    record(makeCall("deconvolve_wiener_fir_mem_usage", out, channel,
                    {radius, double(matRadius), gamma, noise}, angle, x, y, w, h),
           in, nullptr, nullptr);
    return kWienerFirEstimate;
}
void wienerIir(const CImage& in, CImage& out, int channel, double radius, double noise, int angle,
               int x, int y, int w, int h) {
    record(makeCall("deconvolve_wnr_iir", out, channel, {radius, noise}, angle, x, y, w, h), in,
           &out, nullptr);
}
void lucyRichard(const CImage& in, CImage& out, int channel, double radius, int iterations,
                 int angle, int x, int y, int w, int h) {
    record(makeCall("deconvolve_lucy_richard", out, channel, {radius, double(iterations)}, angle,
                    x, y, w, h),
           in, &out, nullptr);
}
std::int64_t lucyRichardMemUsage(const CImage& in, CImage& out, int channel, double radius,
                                 int iterations, int angle, int x, int y, int w, int h) {
    record(makeCall("deconvolve_lucy_richard_mem_usage", out, channel,
                    {radius, double(iterations)}, angle, x, y, w, h),
           in, nullptr, nullptr);
    return kLucyRichardEstimate;
}
void lucyRichardThreshold(const CImage& in, CImage& out, int channel, double radius,
                          int iterations, int angle, int x, int y, int w, int h) {
    record(makeCall("deconvolve_lucy_richard_threshold", out, channel,
                    {radius, double(iterations)}, angle, x, y, w, h),
           in, &out, nullptr);
}
std::int64_t lucyRichardThresholdMemUsage(const CImage& in, CImage& out, int channel,
                                          double radius, int iterations, int angle, int x, int y,
                                          int w, int h) {
    record(makeCall("deconvolve_lucy_richard_threshold_mem_usage", out, channel,
                    {radius, double(iterations)}, angle, x, y, w, h),
           in, nullptr, nullptr);
    return kThresholdEstimate;
}
void sllsbox(const CImage& in, CImage& out, int channel, double radius, double tolerance,
             int passes, int angle, int x, int y, int w, int h, double* residual,
             const std::atomic<bool>* cancel) {
    MethodCall c = makeCall("deconvolve_sllsbox", out, channel,
                            {radius, tolerance, double(passes)}, angle, x, y, w, h);
    c.residual = residual;
    c.cancel = cancel;
    record(c, in, &out, cancel);
}
std::int64_t sllsboxMemUsage(const CImage& in, const CImage& out, int channel, double radius,
                             double tolerance, int passes, int angle, int x, int y, int w, int h,
                             double* residual) {
    MethodCall c = makeCall("deconvolve_sllsbox_mem_usage", out, channel,
                            {radius, tolerance, double(passes)}, angle, x, y, w, h);
    c.residual = residual;
    record(c, in, nullptr, nullptr);
    return kSllsboxEstimate;
}
void fitRefocus(const CImage& in, CImage& out, int channel, double radius, int angle, int x, int y,
                int w, int h) {
    record(makeCall("fit_refocus", out, channel, {radius}, angle, x, y, w, h), in, &out, nullptr);
}
std::int64_t fitRefocusMemUsage(const CImage& in, CImage& out, int channel, double radius,
                                int angle, int x, int y, int w, int h) {
    record(makeCall("fit_refocus_mem_usage", out, channel, {radius}, angle, x, y, w, h), in,
           nullptr, nullptr);
    return kFitRefocusEstimate;
}
void convolve(const CImage& in, CImage& out, int channel, double radius, int angle, int x, int y,
              int w, int h) {
    record(makeCall("convolve", out, channel, {radius}, angle, x, y, w, h), in, &out, nullptr);
}
std::int64_t convolveMemUsage(const CImage& in, CImage& out, int channel, double radius,
                              int angle, int x, int y, int w, int h) {
    record(makeCall("convolve_mem_usage", out, channel, {radius}, angle, x, y, w, h), in, nullptr,
           nullptr);
    return kConvolveEstimate;
}

}  // namespace

DeblurMethods RecordingDeblurMethods() {
    DeblurMethods m;
    m.unsharpMask = unsharpMask;
    m.unsharpMaskMemUsage = unsharpMaskMemUsage;
    m.wienerFir = wienerFir;
    m.wienerFirMemUsage = wienerFirMemUsage;
    m.wienerIir = wienerIir;
    m.lucyRichard = lucyRichard;
    m.lucyRichardMemUsage = lucyRichardMemUsage;
    m.lucyRichardThreshold = lucyRichardThreshold;
    m.lucyRichardThresholdMemUsage = lucyRichardThresholdMemUsage;
    m.sllsbox = sllsbox;
    m.sllsboxMemUsage = sllsboxMemUsage;
    m.fitRefocus = fitRefocus;
    m.fitRefocusMemUsage = fitRefocusMemUsage;
    m.convolve = convolve;
    m.convolveMemUsage = convolveMemUsage;
    return m;
}

std::vector<MethodCall> RecordedMethodCalls() {
    std::lock_guard<std::mutex> guard(state().mutex);
    return state().calls;
}

void ClearRecordedMethodCalls() {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().calls.clear();
    state().maxConcurrentSteps = 0;
}

void CloseMethodGate(const std::vector<int>& radiusSteps) {
    std::lock_guard<std::mutex> guard(state().mutex);
    state().closedSteps.insert(radiusSteps.begin(), radiusSteps.end());
}

void OpenMethodGate(int radiusStep) {
    {
        std::lock_guard<std::mutex> guard(state().mutex);
        state().closedSteps.erase(radiusStep);
    }
    state().gateChanged.notify_all();
}

void OpenMethodGateForAll() {
    {
        std::lock_guard<std::mutex> guard(state().mutex);
        state().closedSteps.clear();
    }
    state().gateChanged.notify_all();
}

int MaxConcurrentSteps() {
    std::lock_guard<std::mutex> guard(state().mutex);
    return state().maxConcurrentSteps;
}

int StepsAtGate() {
    std::lock_guard<std::mutex> guard(state().mutex);
    return state().atGate;
}

void SetMethodDelayMicroseconds(int microseconds) { state().delayMicroseconds = microseconds; }
