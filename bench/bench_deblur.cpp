// The deblurring methods at the sizes the application runs them:
// - a preview cell: one method over the three channels of a 512 × 512 section of a photograph,
//   the channels as a parallel loop, at radius steps 3, 6 and 15; Preview16 the same cell of the
//   section widened to 16 bits a sample, at step 6 (aim: within 1.3 times the 8-bit cell);
// - a full deblur: the same method over a 4000 × 3000 photograph at step 6, channels in turn;
// - KernelCell/<preset>/<step>/<shape>: a preview cell through the session's preset table with the
//   disc (shape 0) and with a camera-shake kernel image scaled to the same radius (shape 1), for
//   every preset whose method takes the kernel (aim: the kernel image at most 1.2 × the disc);
// - WienerDesign/<step>/<shape>/<noise>: the part of a WF cell that depends on the kernel's shape;
// - the blur estimate of the section, and the blind estimate of a camera shake's kernel;
// - the candidate score and artefact map of one preview cell (a USM3 candidate of the section),
//   which must stay well under the cell's own time, and the score's share of the USM1 cell it
//   judges (aim: at most 10 %).
// Counters: seconds per run, megapixels (of the region, all three channels counted once) per
// second, and for Richardson–Lucy the milliseconds per RGB megapixel and iteration, all of wall
// time; the CPU column is the whole process's CPU time (all threads), which is what a run costs
// when the machine is shared with other work.
//
// The section is astronaut.png; the large photograph is that picture enlarged, so both hold the
// same kind of detail. The methods' own log lines go to standard output as in the application.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>

#include "BlurEstimate.h"
#include "CandidateScore.h"
#include "Convolve.h"
#include "DeblurMethods.h"
#include "Dispatch.h"
#include "FitRefocus.h"
#include "Image.h"
#include "ImageIO.h"
#include "ImageProcess.h"
#include "Planar.h"
#include "Richard_Lucy.h"
#include "Richard_Lucy_Threshold.h"
#include "ShakeKernel.h"
#include "SyntheticShake.h"
#include "USM.h"
#include "Wiener_FIR.h"

using namespace velkaro;

namespace {

const CImage& Section() {
    static const CImage section = [] {
        ImageRef img =
            ImageIO::sharedInstance().readFromFile(VELKARO_TEST_DATA_DIR "/astronaut.png");
        if (!img) {
            std::fprintf(stderr, "cannot read astronaut.png\n");
            std::abort();
        }
        return CImage(img);
    }();
    return section;
}

// The section at 16 bits a sample, every level widened exactly.
const CImage& Section16() {
    static const CImage section(ImageAtDepth(Section().asImage(), 16));
    return section;
}

const CImage& Photograph() {
    static const CImage photo = [] {
        CImage big(4000, 3000);
        const CImage& s = Section();
        scaleARGB8888(s.pixels(), s.width(), s.height(), std::size_t(s.width()) * 4, big.pixels(),
                      4000, 3000, std::size_t(4000) * 4);
        return big;
    }();
    return photo;
}

using MethodCall = std::function<void(const CImage&, CImage&, int channel, double radius)>;

struct Preset {
    const char* name;
    int iterations;  // for the per-iteration counter; 0 for the others
    MethodCall call;
};

const Preset kPresets[] = {
    {"Convolve", 0,
     [](const CImage& i, CImage& o, int c, double r) {
         convolve(i, o, c, r, -1, 0, 0, i.width(), i.height());
     }},
    {"FitRefocus", 0,
     [](const CImage& i, CImage& o, int c, double r) {
         fit_refocus(i, o, c, r, -1, 0, 0, i.width(), i.height());
     }},
    {"USM3", 0,
     [](const CImage& i, CImage& o, int c, double r) {
         unsharp_mask(i, o, 1, c, r, 3.0, -1, 0, 0, i.width(), i.height());
     }},
    {"USMF3", 0,
     [](const CImage& i, CImage& o, int c, double r) {
         unsharp_mask(i, o, 0, c, r, 3.0, -1, 0, 0, i.width(), i.height());
     }},
    {"WF2", 0,
     [](const CImage& i, CImage& o, int c, double r) {
         deconvolve_wiener_fir(i, o, c, r, int(2 * r), 0.0, 0.009999999776482582, -1, 0, 0,
                               i.width(), i.height());
     }},
    {"RL20", 20,
     [](const CImage& i, CImage& o, int c, double r) {
         deconvolve_lucy_richard(i, o, c, r, 20, -1, 0, 0, i.width(), i.height());
     }},
    {"RL80", 80,
     [](const CImage& i, CImage& o, int c, double r) {
         deconvolve_lucy_richard(i, o, c, r, 80, -1, 0, 0, i.width(), i.height());
     }},
    {"RT20", 20,
     [](const CImage& i, CImage& o, int c, double r) {
         deconvolve_lucy_richard_threshold(i, o, c, r, 20, -1, 0, 0, i.width(), i.height());
     }},
    {"RT80", 80,
     [](const CImage& i, CImage& o, int c, double r) {
         deconvolve_lucy_richard_threshold(i, o, c, r, 80, -1, 0, 0, i.width(), i.height());
     }},
};

void SetCounters(benchmark::State& state, const CImage& in, int iterations) {
    const double megapixels = double(in.width()) * in.height() / 1e6;
    using C = benchmark::Counter;
    state.counters["s"] = C(1.0, C::kIsIterationInvariantRate | C::kInvert);
    state.counters["MP/s"] = C(megapixels, C::kIsIterationInvariantRate);
    if (iterations > 0)
        state.counters["ms/MP/it"] =
            C(megapixels * iterations / 1e3, C::kIsIterationInvariantRate | C::kInvert);
}

// One preview cell: the three channels as a parallel loop, as a preview step runs them, on the
// section at `depth` bits a sample.
void PreviewCell(benchmark::State& state, const Preset* preset, int depth) {
    const CImage& in = depth == 16 ? Section16() : Section();
    const double radius = double(state.range(0)) * 0.5;
    for (auto _ : state) {
        CImage out(in.width(), in.height(), depth);
        dispatchApply(3, [&](std::size_t c) { preset->call(in, out, int(c) + 1, radius); });
        benchmark::DoNotOptimize(out.pixels());
    }
    SetCounters(state, in, preset->iterations);
}

// One preview cell as the session computes it, through the preset table, with the disc or with a
// camera-shake kernel image (a 20-pixel synthetic trajectory) scaled to the step's radius.
void KernelCell(benchmark::State& state) {
    const CImage& in = Section();
    const DeblurType type = DeblurType(state.range(0));
    const double radius = double(state.range(1)) * 0.5;
    static const KernelImageRef shake = SyntheticShakeKernel(20, 1);
    const BlurKernel kernel = state.range(2) != 0 ? BlurKernel(shake) : BlurKernel(-1);
    const velkaro::Preset& preset = PresetFor(type);
    const MethodEntry& method = DefaultDeblurMethods()[preset.method];
    for (auto _ : state) {
        CImage out(in.width(), in.height());
        dispatchApply(3, [&](std::size_t c) {
            method.run(velkaro::MethodCall{in, out, int(c) + 1, radius, preset.parameter, kernel,
                                           Region{0, 0, in.width(), in.height()}, nullptr});
        });
        benchmark::DoNotOptimize(out.pixels());
    }
    state.SetLabel(std::string(preset.name) + (state.range(2) != 0 ? " shake" : " disc"));
}

// The Wiener FIR filter's design alone (one channel's share of a WF cell) for the disc and for
// the camera-shake kernel image, at the presets' two noise levels.
void WienerDesign(benchmark::State& state) {
    const double radius = double(state.range(0)) * 0.5;
    static const KernelImageRef shake = SyntheticShakeKernel(20, 1);
    const BlurKernel kernel = state.range(1) != 0 ? BlurKernel(shake) : BlurKernel(-1);
    const double noise = state.range(2) != 0 ? double(0.001f) : double(0.01f);
    for (auto _ : state) {
        std::vector<double> g;
        int n = 0;
        wiener_fir_filter(g, n, radius, int(2 * radius), 0.0, noise, kernel, true);
        benchmark::DoNotOptimize(g.data());
    }
    state.SetLabel(state.range(1) != 0 ? "shake" : "disc");
}

// One full deblur: the three channels one after another over the whole photograph.
void FullDeblur(benchmark::State& state, const Preset* preset) {
    const CImage& in = Photograph();
    const double radius = double(state.range(0)) * 0.5;
    for (auto _ : state) {
        CImage out(in.width(), in.height());
        for (int c = 1; c <= 3; ++c) preset->call(in, out, c, radius);
        benchmark::DoNotOptimize(out.pixels());
    }
    SetCounters(state, in, preset->iterations);
}

// The mask applied after a full deblur and at every preview fetch.
void Mask(benchmark::State& state, int type, bool full) {
    const CImage& in = full ? Photograph() : Section();
    for (auto _ : state) {
        ImageRef dst = in.asImage()->copy();
        CreateMask(in.asImage(), dst, 0, 0, in.width(), in.height(), type, full ? 0 : 1, 3.0f, 0.8f,
                   0.3f);
        benchmark::DoNotOptimize(dst->pixels());
    }
    SetCounters(state, in, 0);
}

// The blur estimate of the section blurred by a 10-pixel line at 30° (what a click in the grid
// runs before the first cell); `first` is the process's first run, its transform plan included.
void Estimate(benchmark::State& state) {
    static const CImage blurred = [] {
        CImage out(Section().width(), Section().height());
        for (int channel = 1; channel <= 3; ++channel)
            convolve(Section(), out, channel, 5.0, 30, 0, 0, out.width(), out.height());
        return out;
    }();
    for (auto _ : state) benchmark::DoNotOptimize(EstimateBlur(blurred, Region{0, 0, 512, 512}));
}

// The blind kernel estimate of the section blurred by a synthetic camera shake 20 pixels long, with
// the kernel's size bounded by the argument (31 and 63; aim: 1.5 s at 31 on two cores). Its
// memory estimate beside the process's peak resident memory, in MB (the peak is the whole run's:
// meaningful with this benchmark alone, --benchmark_filter=ShakeKernel).
void ShakeKernel(benchmark::State& state) {
    static const CImage blurred =
        SyntheticBlur(Section(), *SyntheticShakeKernel(20, 1), 1.0 / 255, 1);
    ShakeEstimateOptions options;
    options.maxSize = int(state.range(0));
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    for (auto _ : state)
        benchmark::DoNotOptimize(EstimateShakeKernel(blurred, Region{0, 0, 512, 512}, options));
    SetCounters(state, blurred, 0);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    state.counters["peak_growth_MB"] = double(after.ru_maxrss - before.ru_maxrss) * 1024 / 1e6;
    state.counters["estimate_MB"] =
        double(EstimateShakeKernel_mem_usage(512, 512, options.maxSize)) / 1e6;
}

// Score or map of one preview cell against its original section.
void Score(benchmark::State& state, bool map) {
    const CImage& in = Section();
    const double radius = double(state.range(0)) * 0.5;
    CImage candidate(in.width(), in.height());
    for (int c = 1; c <= 3; ++c)
        unsharp_mask(in, candidate, 1, c, radius, 3.0, -1, 0, 0, in.width(), in.height());
    const ScoreBasis basis(in, radius, -1);
    for (auto _ : state) {
        if (map)
            benchmark::DoNotOptimize(ArtefactMap(in, candidate, radius, -1));
        else
            benchmark::DoNotOptimize(ScoreCandidate(basis, candidate));
    }
    SetCounters(state, in, 0);
}

// What the score needs of the original section for one kernel, made once per section and step.
void ScoreBasisOfSection(benchmark::State& state) {
    const CImage& in = Section();
    for (auto _ : state) ScoreBasis basis(in, double(state.range(0)) * 0.5, -1);
    SetCounters(state, in, 0);
}

// The score's cost as a share of the cell it judges (a USM1 cell, the cheapest unsharp mask, as a
// preview step computes it), the section's basis made once as the session does: the cell in
// process CPU time, the score in its thread's, alternately, so that a shared machine slows both
// alike. Counter "share": score time
// over cell time (aim: at most 0.10).
void ScoreShareOfCell(benchmark::State& state) {
    const CImage& in = Section();
    const double radius = double(state.range(0)) * 0.5;
    auto cpu = [](clockid_t clock) {
        timespec t;
        clock_gettime(clock, &t);
        return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
    };
    const ScoreBasis basis(in, radius, -1);
    double cell = 0, score = 0;
    for (auto _ : state) {
        CImage out(in.width(), in.height());
        const double t0 = cpu(CLOCK_PROCESS_CPUTIME_ID);
        dispatchApply(3, [&](std::size_t c) {
            unsharp_mask(in, out, 1, int(c) + 1, radius, 1.0, -1, 0, 0, in.width(), in.height());
        });
        cell += cpu(CLOCK_PROCESS_CPUTIME_ID) - t0;
        // The score runs on this thread alone: the pool's idle spinning meanwhile is not its.
        const double t1 = cpu(CLOCK_THREAD_CPUTIME_ID);
        benchmark::DoNotOptimize(ScoreCandidate(basis, out));
        score += cpu(CLOCK_THREAD_CPUTIME_ID) - t1;
    }
    state.counters["share"] = cell > 0 ? score / cell : 0;
    state.counters["score_ms"] = 1e3 * score / double(state.iterations());
}

// Every benchmark here: milliseconds, process CPU beside the wall clock, with the given arguments
// and (when not 0) a fixed number of iterations.
benchmark::internal::Benchmark* Timed(benchmark::internal::Benchmark* b,
                                      std::initializer_list<int> args = {}, int iterations = 0) {
    for (int arg : args) b->Arg(arg);
    b->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
    return iterations > 0 ? b->Iterations(iterations) : b;
}

const int kRegistered = [] {
    Timed(benchmark::RegisterBenchmark("Score/ShareOfUSM1Cell", ScoreShareOfCell), {1, 3, 6, 15});
    Timed(benchmark::RegisterBenchmark("Score/Basis", ScoreBasisOfSection), {1, 6, 15});
    Timed(benchmark::RegisterBenchmark("Estimate/first", Estimate), {}, 1);
    Timed(benchmark::RegisterBenchmark("Estimate", Estimate), {}, 5);
    Timed(benchmark::RegisterBenchmark("ShakeKernel", ShakeKernel), {31}, 3);
    Timed(benchmark::RegisterBenchmark("ShakeKernel", ShakeKernel), {63}, 1);
    for (int type : {DeblurUSMF3, DeblurWF2, DeblurWF3, DeblurWI2, DeblurWI3, DeblurRL20,
                     DeblurRL80, DeblurRT20, DeblurRT80})
        for (int step : {6, 15, 30})
            for (int shape : {0, 1})
                Timed(benchmark::RegisterBenchmark("KernelCell", KernelCell), {},
                      // Once for the Wiener FIR presets: a repeat would find its filter made.
                      type == DeblurRL80 || type == DeblurRT80 || type == DeblurWF2 ||
                              type == DeblurWF3
                          ? 1
                          : 3)
                    ->Args({type, step, shape});
    for (int step : {2, 4, 6, 8, 10, 15, 30})
        for (int shape : {0, 1})
            for (int noise : {0, 1})
                Timed(benchmark::RegisterBenchmark("WienerDesign", WienerDesign))
                    ->Args({step, shape, noise});
    for (bool map : {false, true})
        Timed(
            benchmark::RegisterBenchmark(map ? "Score/ArtefactMap" : "Score/Candidate", Score, map),
            {3, 6, 15});
    for (const Preset& p : kPresets) {
        Timed(benchmark::RegisterBenchmark((std::string("Preview/") + p.name).c_str(), PreviewCell,
                                           &p, 8),
              {3, 6, 15}, p.iterations >= 80 ? 1 : 3);
        Timed(benchmark::RegisterBenchmark((std::string("Preview16/") + p.name).c_str(),
                                           PreviewCell, &p, 16),
              {6}, p.iterations >= 80 ? 1 : 3);
        const std::string name(p.name);
        if (name == "RL80" || name == "RT80")
            continue;
        Timed(benchmark::RegisterBenchmark(("Full/" + name).c_str(), FullDeblur, &p), {6}, 1);
    }
    for (int type : {0, 1, 2}) {
        const std::string suffix = "/type" + std::to_string(type);
        Timed(benchmark::RegisterBenchmark(("Mask/Preview" + suffix).c_str(), Mask, type, false),
              {}, 5);
        Timed(benchmark::RegisterBenchmark(("Mask/Full" + suffix).c_str(), Mask, type, true), {},
              1);
    }
    return 0;
}();

}  // namespace
