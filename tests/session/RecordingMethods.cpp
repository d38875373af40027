#include "RecordingMethods.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <type_traits>

namespace {

struct State {
    std::mutex mutex;
    std::condition_variable gateChanged;
    std::vector<MethodCall> calls;
    std::set<int> closedSteps;
    std::map<int, int> insideByStep;
    int maxConcurrentSteps = 0;
    int atGate = 0;
    std::atomic<int> delayMicroseconds{0};
};

State& state() {
    static State s;
    return s;
}

const char* const kNames[] = {"unsharp_mask", "deconvolve_wiener_fir", "deconvolve_wnr_iir",
                              "deconvolve_lucy_richard", "deconvolve_lucy_richard_threshold",
                              "deconvolve_sllsbox", "fit_refocus", "convolve"};

// One stand-in per signature of the table. The images, numbers and pointers are told apart by
// type; the numbers come as [fast,] channel, radius, own parameters..., angle, x, y, w, h.
// Estimates (returning a number) record "<name>_mem_usage" and answer 1001 + Id.
// The unsharp mask's `fast` moves behind the radius: params are radius, fast, amount.
template <int Id, class R, class... A>
R stub(A... args) {
    MethodCall c;
    c.method = std::string(kNames[Id]) + (std::is_void_v<R> ? "" : "_mem_usage");
    const CImage* images[2] = {};
    std::vector<double> numbers;
    auto take = [&](auto&& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, CImage>) images[images[0] ? 1 : 0] = &v;
        else if constexpr (std::is_arithmetic_v<V>) numbers.push_back(double(v));
        else if constexpr (std::is_same_v<V, double*>) c.residual = v;
        else c.cancel = v;
    };
    (take(args), ...);
    if (Id == 0) std::rotate(numbers.begin(), numbers.begin() + 1, numbers.begin() + 3);  // fast
    const std::size_t n = numbers.size();
    c.input = images[0]->pixels();
    c.outWidth = images[1]->width();
    c.outHeight = images[1]->height();
    c.channel = int(numbers[0]);
    c.params.assign(numbers.begin() + 1, numbers.end() - 5);
    c.angle = int(numbers[n - 5]), c.x = int(numbers[n - 4]), c.y = int(numbers[n - 3]);
    c.w = int(numbers[n - 2]), c.h = int(numbers[n - 1]);

    State& s = state();
    const int step = int(c.params[0] * 2 + 0.5);
    {
        std::unique_lock<std::mutex> guard(s.mutex);
        s.calls.push_back(c);
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
        if (c.cancel && c.cancel->load()) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // The output: input + 1 (saturating) over the region's channel.
    if (std::is_void_v<R> && c.channel >= 1 && c.channel <= 3) {
        const CImage& in = *images[0];
        auto* out = const_cast<CImage*>(images[1]);
        for (int row = 0; row < c.h; ++row)
            for (int col = 0; col < c.w; ++col) {
                const int v = in.pixels()[(std::size_t(c.y + row) * in.width() + c.x + col) * 4 + c.channel];
                out->pixels()[(std::size_t(row) * c.outWidth + col) * 4 + c.channel] = std::uint8_t(std::min(v + 1, 255));
            }
    }
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        --s.insideByStep[step];
    }
    if constexpr (!std::is_void_v<R>) return R(1001 + Id);
}

}  // namespace

DeblurMethods RecordingDeblurMethods() {
    DeblurMethods m;
    m.unsharpMask = stub<0>;
    m.unsharpMaskMemUsage = stub<0>;
    m.wienerFir = stub<1>;
    m.wienerFirMemUsage = stub<1>;
    m.wienerIir = stub<2>;
    m.lucyRichard = stub<3>;
    m.lucyRichardMemUsage = stub<3>;
    m.lucyRichardThreshold = stub<4>;
    m.lucyRichardThresholdMemUsage = stub<4>;
    m.sllsbox = stub<5>;
    m.sllsboxMemUsage = stub<5>;
    m.fitRefocus = stub<6>;
    m.fitRefocusMemUsage = stub<6>;
    m.convolve = stub<7>;
    m.convolveMemUsage = stub<7>;
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
        if (radiusStep < 0) state().closedSteps.clear();
        else state().closedSteps.erase(radiusStep);
    }
    state().gateChanged.notify_all();
}

void OpenMethodGateForAll() { OpenMethodGate(-1); }

int MaxConcurrentSteps() {
    std::lock_guard<std::mutex> guard(state().mutex);
    return state().maxConcurrentSteps;
}

int StepsAtGate() {
    std::lock_guard<std::mutex> guard(state().mutex);
    return state().atGate;
}

void SetMethodDelayMicroseconds(int microseconds) { state().delayMicroseconds = microseconds; }
