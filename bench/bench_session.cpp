// The processing session end to end, through its real methods.
//
// PreviewColumn/<type>: the wall time of a 15-step preview column of one preset on the 512 × 512
// section in the middle of the photograph, from the first request to the last PreviewFinished
// (the preview queue, the throttle of three steps and the parallel channels included).
//
// FullDeblur12MP/<type>: one full deblur at radius step 6 (radius 3.0) of a 4000 × 3000
// photograph submitted to the session (three channels, the mask, packing, the cache), with the
// peak resident memory of the process while it ran (counter peak_rss_MB; the baseline before the
// run, with the photograph loaded, is baseline_rss_MB).
//
//   bench_session --benchmark_filter='PreviewColumn'
//   bench_session --benchmark_filter='FullDeblur12MP/15'

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

#include "ImageIO.h"
#include "Planar.h"
#include "Session.h"

using namespace velkaro;

namespace {

// A 4000 × 3000 photograph made from the astronaut picture (enlarged, so it has texture at every
// scale a deblur looks at).
ImageRef photograph12MP() {
    static ImageRef image = [] {
        ImageRef src = ImageIO::sharedInstance().readFromFile(std::string(VELKARO_SAMPLE_DIR) +
                                                              "/astronaut.png");
        ImageRef big = Image::create(4000, 3000);
        if (src)
            scaleARGB8888(src->pixels(), src->width(), src->height(), std::size_t(src->width()) * 4,
                          big->pixels(), 4000, 3000, 4000 * 4);
        return big;
    }();
    return image;
}

// Loads an image straight into a session, as loadImage does after decoding it.
void loadInto(Session& s, const ImageRef& image) {
    s.reset();
    s.loadDecodedImage(image);
}

struct Finished {
    std::mutex mutex;
    std::condition_variable changed;
    int previews = 0;
    int deblurs = 0;
    std::chrono::steady_clock::time_point lastPreview;

    void attach(Session& s) {
        s.setEventHandler([this](const SessionEvent& event) {
            std::lock_guard<std::mutex> guard(mutex);
            if (event.type == SessionEventType::PreviewFinished) {
                ++previews;
                lastPreview = std::chrono::steady_clock::now();
            }
            if (event.type == SessionEventType::DeblurFinished)
                ++deblurs;
            changed.notify_all();
        });
    }
};

// Resident memory, in MB, from /proc/self/status ("VmRSS" now, "VmHWM" the peak).
double statusMB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::stod(line.substr(line.find(':') + 1)) / 1024.0;
    return 0;
}

// Starts a new peak: the kernel's high-water mark is reset to the current resident size.
void resetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

void PreviewColumn(benchmark::State& state) {
    const DeblurType type = DeblurType(state.range(0));
    Session s;
    Finished finished;
    finished.attach(s);
    loadInto(s, photograph12MP());
    const Rect section{1744, 1244, 512, 512};
    for (auto _ : state) {
        s.clearPreviews();
        {
            std::lock_guard<std::mutex> guard(finished.mutex);
            finished.previews = 0;
        }
        const auto start = std::chrono::steady_clock::now();
        s.deblurPreviewAngleUpToStep(15, type, -1, section);
        std::unique_lock<std::mutex> guard(finished.mutex);
        finished.changed.wait(guard, [&] { return finished.previews == 15; });
        state.SetIterationTime(std::chrono::duration<double>(finished.lastPreview - start).count());
    }
    s.waitUntilIdle();
    state.SetLabel(type == DeblurBlurSimulation ? "blur" : DeblurTypeName(type));
}

void FullDeblur12MP(benchmark::State& state) {
    const DeblurType type = DeblurType(state.range(0));
    Session s;
    Finished finished;
    finished.attach(s);
    double peak = 0, baseline = 0;
    for (auto _ : state) {
        state.PauseTiming();
        loadInto(s, photograph12MP());
        baseline = statusMB("VmRSS:");
        resetPeakRss();
        state.ResumeTiming();
        // As the window controller runs it: one task on the global queue.
        s.submitDeblur(DeblurredEntry{type, 6, -1, {}});
        s.waitUntilIdle();
        state.PauseTiming();
        peak = statusMB("VmHWM:");
        state.ResumeTiming();
    }
    state.counters["peak_rss_MB"] = peak;
    state.counters["baseline_rss_MB"] = baseline;
    state.SetLabel(type == DeblurBlurSimulation ? "blur" : DeblurTypeName(type));
}

void previewTypes(benchmark::internal::Benchmark* b) {
    for (int t = 0; t < kGridDeblurTypes; ++t) b->Arg(t);
    b->Arg(DeblurFR)->Arg(DeblurBlurSimulation);
}

void fullTypes(benchmark::internal::Benchmark* b) {
    for (int t = 0; t < kGridDeblurTypes; ++t)
        if (t != DeblurLA1 && t != DeblurLA2)
            b->Arg(t);
    b->Arg(DeblurFR)->Arg(DeblurBlurSimulation);
}

}  // namespace

BENCHMARK(PreviewColumn)
    ->Apply(previewTypes)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(FullDeblur12MP)->Apply(fullTypes)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
