#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <vector>

namespace velkaro {

// How far one method call has come on its channel, told to the caller from the method's own
// thread while it works. `fraction` is the part of the channel's work done (0 … 1); for a method
// that iterates, `iteration` is the iteration just ended and `iterations` how many there will be
// (0 when the count is not known in advance, as for a solver that stops when it converges).
// Reports may come at every iteration: the receiver decides how many it passes on.
struct MethodProgressStep {
    double fraction = 0;
    int iteration = 0;
    int iterations = 0;
};
using MethodProgress = std::function<void(const MethodProgressStep&)>;

inline void ReportProgress(const MethodProgress* progress, double fraction, int iteration = 0,
                           int iterations = 0) {
    if (progress && *progress)
        (*progress)(MethodProgressStep{std::clamp(fraction, 0.0, 1.0), iteration, iterations});
}

// The report after iteration `done` of `total`.
inline void ReportIteration(const MethodProgress* progress, int done, int total) {
    ReportProgress(progress, total > 0 ? double(done) / total : 1.0, done, total);
}

// Results of an iterative method on the way to its last iteration: after iteration `iteration`
// the method writes its estimate so far into the same channel of `out` as it would write its
// result had it stopped there, so one call yields the results of several iteration counts.
class CImage;
struct IterationSnapshot {
    int iteration;
    CImage* out;
};
using IterationSnapshots = std::vector<IterationSnapshot>;

// True when the flag is set (a null flag never stops).
inline bool StopRequested(const std::atomic<bool>* stop) {
    return stop && stop->load(std::memory_order_relaxed);
}

}  // namespace velkaro
