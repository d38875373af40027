// The processing session end to end, through its real methods.
//
// PreviewColumn/<type>: the wall time of a 15-step preview column of one preset on the 512 × 512
// section in the middle of the photograph, from the first request to the last PreviewFinished
// (the preview queue, the throttle of three steps and the parallel channels included).
//
// GridFill12MP/<how>: the wall time of the whole grid but the least-squares columns (20 presets ×
// 30 radius steps) on the section in the middle of the photograph with the disc, until the last of
// those 600 cells is done (counters per_cell_ms: the mean; cpu_s: the process's CPU time
// meanwhile, what the grid costs when the machine is shared); submitted as the window does on a
// click (0: the first column's 15 steps, then the grid's background filling) or as velkaro-cli
// grid does (1: one request of the 20 columns).
//
// FullDeblur12MP/<type>: one full deblur at radius step 6 (radius 3.0) of a 4000 × 3000
// photograph submitted to the session (three channels, the mask, packing, the cache), with the
// peak resident memory of the process while it ran (counter peak_rss_MB; the baseline before the
// run, with the photograph loaded, is baseline_rss_MB).
//
// ZoomWhileDeblurring/<busy>: the window thread's share of a zoom (the 4000 × 3000 photograph
// scaled into a 1600 × 1200 view) timed on this thread, which runs at the default priority as the
// window's does: with the cores idle (0) and while a full LA1 deblur of the photograph computes
// on the pool (1), whose threads run at a lower priority (counter worst_ms: the slowest zoom).
//
//   bench_session --benchmark_filter='PreviewColumn'
//   bench_session --benchmark_filter='FullDeblur12MP/15'
//   bench_session --benchmark_filter='GridFill12MP'

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

double processCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

void GridFill12MP(benchmark::State& state) {
    constexpr int kSteps = 30, kFirstColumnSteps = 15;
    auto counted = [](DeblurType t) { return t != DeblurLA1 && t != DeblurLA2; };
    int cells = 0;
    for (int t = 0; t < kGridDeblurTypes; ++t) cells += counted(DeblurType(t)) ? kSteps : 0;
    Session s;
    std::mutex mutex;
    std::condition_variable changed;
    int finished = 0;
    s.setEventHandler([&](const SessionEvent& event) {
        if (event.type != SessionEventType::PreviewFinished || !counted(event.entry.deblurType))
            return;
        std::lock_guard<std::mutex> guard(mutex);
        ++finished;
        changed.notify_all();
    });
    loadInto(s, photograph12MP());
    const Rect section{1744, 1244, 512, 512};
    for (auto _ : state) {
        s.clearPreviews();
        {
            std::lock_guard<std::mutex> guard(mutex);
            finished = 0;
        }
        const double cpuStart = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        if (state.range(0) == 0) {
            s.deblurPreviewAngleUpToStep(kFirstColumnSteps, DeblurUSM1, -1, section);
            s.fillPreviewGrid(kSteps, DeblurUSM1, -1, section);
        } else {
            std::vector<DeblurType> columns;
            for (int t = 0; t < kGridDeblurTypes; ++t)
                if (counted(DeblurType(t)))
                    columns.push_back(DeblurType(t));
            s.deblurPreviewColumnsUpToStep(kSteps, columns, -1, section);
        }
        {
            std::unique_lock<std::mutex> guard(mutex);
            changed.wait(guard, [&] { return finished == cells; });
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["per_cell_ms"] = 1e3 * seconds / cells;
        state.counters["cpu_s"] = processCpuSeconds() - cpuStart;
        s.stopPreview();  // the least-squares cells still computing or waiting
        s.waitUntilIdle();
    }
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

void ZoomWhileDeblurring(benchmark::State& state) {
    const bool busy = state.range(0) != 0;
    Session s;
    loadInto(s, photograph12MP());
    if (busy) {
        s.submitDeblur(DeblurredEntry{DeblurLA1, 6, -1, {}});
        std::this_thread::sleep_for(std::chrono::seconds(2));  // every pool thread at work
    }
    const ImageRef photo = photograph12MP();
    std::vector<std::uint8_t> view(std::size_t(1600) * 1200 * 4);
    double worst = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        scaleARGB8888(photo->pixels(), 4000, 3000, std::size_t(4000) * 4, view.data(), 1600, 1200,
                      std::size_t(1600) * 4);
        benchmark::DoNotOptimize(view.data());
        worst = std::max(
            worst, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["worst_ms"] = worst * 1e3;
    // The deblur was still computing at the end: every zoom was timed against it.
    state.counters["deblur_running"] = busy && !s.isIdle();
    s.reset();
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
BENCHMARK(ZoomWhileDeblurring)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(40)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(GridFill12MP)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(FullDeblur12MP)->Apply(fullTypes)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
