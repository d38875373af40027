#pragma once

// Stand-ins for the deblurring methods that record every call, so that the session's scheduling
// can be watched without the real numerics. They write the input's value + 1 (saturating) into
// the region's channel, can be held at a gate (per step, radius × 2) to keep steps running, and
// can take a while (polling the stop flag they were given). Told to fail, they write nothing and
// report the failure, as the Wiener method does when its FFT helper stops answering.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "DeblurMethods.h"

using namespace velkaro;

struct RecordedCall {
    DeblurMethod method;
    int channel;
    double radius, parameter;
    int angle;
    Region region;
};

struct RecordingState {
    std::mutex mutex;
    std::condition_variable gateChanged;
    std::vector<RecordedCall> calls;
    std::set<int> closedSteps;
    std::map<int, int> inside, atGate;  // step -> calls inside the stand-ins, at the gate
    int maxConcurrentSteps = 0;         // the most distinct steps inside at once
    std::atomic<int> delayMicroseconds{0};
    std::atomic<bool> fail{false};
};

inline RecordingState& recording() {
    static RecordingState s;
    return s;
}

template <DeblurMethod M>
bool RecordingRun(const MethodCall& c) {
    RecordingState& s = recording();
    const int step = int(c.radius * 2 + 0.5);
    {
        std::unique_lock<std::mutex> guard(s.mutex);
        s.calls.push_back({M, c.channel, c.radius, c.parameter, c.angle, c.region});
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
        if (c.cancel && c.cancel->load())
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (s.fail) {
        std::lock_guard<std::mutex> guard(s.mutex);
        --s.inside[step];
        return false;
    }
    const Region& r = c.region;
    for (int row = 0; row < r.h; ++row)
        for (int col = 0; col < r.w; ++col) {
            const int v =
                c.in.pixels()[(std::size_t(r.y + row) * c.in.width() + r.x + col) * 4 + c.channel];
            c.out.pixels()[(std::size_t(row) * r.w + col) * 4 + c.channel] =
                std::uint8_t(std::min(v + 1, 255));
        }
    std::lock_guard<std::mutex> guard(s.mutex);
    --s.inside[step];
    return true;
}

template <DeblurMethod M>
std::int64_t RecordingMemory(const MethodCall&) {
    return 1000 + int(M);
}

template <int... M>
DeblurMethods RecordingDeblurMethodsOf(std::integer_sequence<int, M...>) {
    DeblurMethods m = DefaultDeblurMethods();  // keeps DeblurMethod::None, the row of no method
    ((m.entries[M + 1] = {RecordingRun<DeblurMethod(M + 1)>, RecordingMemory<DeblurMethod(M + 1)>}),
     ...);
    return m;
}
inline DeblurMethods RecordingDeblurMethods() {
    return RecordingDeblurMethodsOf(std::make_integer_sequence<int, kDeblurMethodCount - 1>());
}

template <class F>
auto withRecording(F f) {
    std::lock_guard<std::mutex> guard(recording().mutex);
    return f(recording());
}
inline std::vector<RecordedCall> RecordedMethodCalls() {
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
        return int(
            std::count_if(s.atGate.begin(), s.atGate.end(), [](auto& e) { return e.second > 0; }));
    });
}
inline void CloseMethodGate(int step) {
    withRecording([&](RecordingState& s) { s.closedSteps.insert(step); });
}
// Opens the gate for one step, or for all when `step` is -1.
inline void OpenMethodGate(int step = -1) {
    withRecording([&](RecordingState& s) {
        step < 0 ? s.closedSteps.clear() : void(s.closedSteps.erase(step));
    });
    recording().gateChanged.notify_all();
}
inline void SetMethodDelayMicroseconds(int microseconds) {
    recording().delayMicroseconds = microseconds;
}
inline void SetMethodsFail(bool fail) {
    recording().fail = fail;
}
