// Blind estimate of a blur kernel of any shape, coarse to fine, by alternating a sparse sharp
// image and a least-squares kernel.
//
// The blurred luminance y (linear light, where blur is a convolution) is modelled as k ⊛ x + n.
// Following the scheme of Pan, Hu, Su & Yang ("Deblurring text images via L0-regularized
// intensity and gradient prior", CVPR 2014; TPAMI 2016), used here with the gradient term only as
// natural photographs call for:
//  (a) the sharp image x minimises ‖k ⊛ x − y‖² + λ‖∇x‖₀. Half-quadratic splitting (Xu, Lu, Xu &
//      Jia 2011, "Image smoothing via L0 gradient minimization") brings in g ≈ ∇x with weight β,
//      raised geometrically: g keeps ∇x where |∇x|² ≥ λ/β and is zero elsewhere, and x then
//      follows in closed form with FFTs,
//        X = (K̄·Y + β·F(∇ᵀg)) / (|K|² + β·(|Dx|² + |Dy|²)).
//      Only the strong edges survive, which is what makes the kernel step well posed (Xu & Jia
//      2010, "Two-phase kernel estimation for robust motion deblurring"; Cho & Lee 2009, "Fast
//      motion deblurring", reach the same with shock filters and gradient thresholds).
//  (b) the kernel minimises Σ ‖∂x ⊛ k − ∂y‖² + γ‖k‖² over both gradient directions, in closed
//      form in the Fourier domain (Cho & Lee 2009): K = Σ X̄∂·Y∂ / (Σ |X∂|² + γ). It is then
//      projected on what a kernel can be: non-negative, small values cut (under a few times the
//      estimate's own noise, and between 5 and 15 % of the maximum), isolated specks (connected
//      parts holding under 3 % of the mass) removed, normalised and moved so that its centroid
//      falls on the middle pixel. At the finest level the kernel's values are then solved again,
//      non-negative, over the pixels the projection kept and a margin of three around them, every
//      other held at zero, and projected once more: after the second phase of Xu & Jia 2010,
//      which refines the kernel on the support it has found (there values outside it are
//      penalised rather than held at zero).
// Both steps repeat a few times per level (more often at the finest) of an image pyramid whose
// kernel grows from 3 pixels by about √2 per level up to the bound (Fergus et al. 2006 and all the
// methods above): the coarse levels find the kernel's rough shape where it is small and well
// determined, each finer level starts from the previous kernel enlarged. λ decreases slowly within
// a level (Pan et al.) so that finer edges join as the kernel settles. When the kernel explains
// some but under half of the section (below), it is searched again with step (b) on the useful
// edges alone (Xu & Jia 2010, section 3.1: where the blurred gradients near a pixel mostly point
// one way, not over fine texture), in the same square and a larger one. When the best kernel
// explains little, the search runs again on all gradients in a square 1.65 times larger, whose
// pyramid passes the kernel through other levels with room around it, then there with a larger L0
// weight; the kernel that explains the section best is kept. When all of these found only a trace
// of a blur (less than would be reported), a last start in the larger square adds the dark channel
// prior of Pan, Sun, Pfister & Yang ("Blind image deblurring using dark channel prior", CVPR 2016)
// to step (a): μ‖D(x)‖₀, D(x)(p) the least value of x in the 15 × 15 patch around p. Blur lifts the
// dark channel of a photograph (a dark pixel takes on its brighter neighbours), so the prior
// favours the sharp image where the gradients alone leave it open: over fur, foliage and other
// fine texture, and where a long shake leaves few clean edges. Its half-quadratic step (after Pan
// et al.) sets to zero the pixels that are their patch's minimum (where the grey-scale opening of
// x equals x) and whose value is under √(μ/α), α raised with β, keeps every other pixel as t, and
// adds α·F(t) to the numerator of X and α to its denominator. Once a blur is found, the winning
// search's finest level runs again with a hysteresis cut (Canny 1986, "A computational approach
// to edge detection": faint values kept where they continue strong ones), so that the faint
// trails of a hand that lingered survive, and with a quarter of λ, so that the sharp image keeps
// the ramps of the photograph's edges instead of leaving them to a wider kernel; its kernel is
// kept if it explains more, and the run repeats from it (three runs at most) while each explains
// more.
//
// The padded planes are made periodic by blending each edge into the opposite one across the
// padding, so the FFTs see no jump at the borders (in the manner of Liu & Jia 2008, "Reducing
// boundary artifacts in image deconvolution").
//
// Confidence: the kernel is checked against the section's power spectrum, independently of how
// it was found. EstimateBlur's spectral fit (a power law times the kernel's transfer function)
// measures the share of the no-blur misfit that the kernel removes: a real blur found explains the
// spectrum's fall-off and its pattern; a kernel made up from a sharp section or from noise makes
// the fit worse. Below 0.15, as for EstimateBlur, no blur is reported.

#include "ShakeKernel.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <vector>

#include "BlurEstimate.h"
#include "Dispatch.h"
#include "FftPlans.h"
#include "Log.h"
#include "MethodSupport.h"

namespace velkaro {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kMinSide = 64;
constexpr int kMaxSide = 640;
constexpr int kIterations = 5;  // alternations per level
// Alternations at the finest level, where the kernel's fine shape settles: twelve instead of five
// cost half as much time again and gave a quarter of a decibel more on average (shake_quality).
// 24, with the kernel after the first 12 competing with the last by the spectrum's fit (the later
// alternations can add a faint tail: coffee shaken along a 16-pixel path with σ = 0.5/255 came
// out at radius 7.5 instead of 5, truth 4), gained +0.29 to +0.37 dB on shake_quality --click's
// seeds 11, 12, 21, 22, 61, 62 and 51, 52 (the last two --bezier) and +0.55 dB with --noise 0.5,
// for 0.35 s more a search. But on calibrate_score's OpenCV sets it found low-confidence kernels
// (0.16, 0.19) on two smooth sections that had none or a harmless one, whose top cells then lost
// 1.6 dB to their input: 45 of 54 grids within 1 dB of the best cell instead of 47. With the
// edge noise of a grid's larger rows counted (CandidateScore, kWideNoiseWeight) the shakes' top
// cells gain 5.22 dB there instead of 5.06 and 5.04 instead of 4.62 on score_sets.sh's further
// photographs, but ela_original's smooth disc still loses 1.6 dB (47 of 54 within 1 dB instead of
// 48, three worse than their input instead of one), and brick's 16-pixel shake in the sets the
// score was fitted on finds nearly the same kernel (confidence 0.34 instead of 0.35), which no
// longer clears the motion fit's 0.30 by kShakeMargin: its top cell goes from +8.3 dB to -1.4.
// Asking a twentieth of the fit's misfit instead of a fixed 0.05 keeps brick's kernel but takes
// page's disc (0.44) to a 15-pixel kernel (0.47), 0.6 dB worse than its input. Going on to 24
// only where the kernel after 12 already explains a quarter of the misfit, and keeping the
// better of the two, leaves those low-confidence kernels and brick's alone; shake_quality --click
// then gained +0.29 dB on seeds 11, 12 but on photographs nothing was tuned on only +0.13
// (trajectory shakes), +0.13 (--spline) and -0.09 (--bezier), for twice the time. So twelve it
// stays.
constexpr int kFinestIterations = 12;
// L0 weight at the start of each level. A second start, tried when the first start's kernel
// explains under kRetry of the misfit, searches a larger square (kSecondBound times the first, at
// most kMaxBound); a third, when neither explains that much, searches that square with a sparser
// sharp image (kSecondLambda).
constexpr double kLambda = 4e-3;
constexpr double kSecondLambda = 7e-3;
constexpr double kRetry = 0.4;
constexpr double kSecondBound = 1.65;
constexpr int kMaxBound = 63;
constexpr int kSectionPerKernel = 3;
constexpr double kLambdaFloor = 1e-4;
// λ's decay per alternation and the kernel step's weight γ below: on 54 shakes of 16 to 30 pixels
// (three models) over score_sets.sh's six further photographs, the click's estimate judged by RL80,
// a decay of 1.03 lost the kernels of five shakes (mean gain 5.45 → 5.14 dB), and γ at 3e-2 moved
// the mean by 0.01 dB, single cases by up to 1.5 dB either way; a decay of 1.2 and γ at 3e-3 or
// 1e-3 gave 5.43, 5.39 and 5.43 dB.
constexpr double kLambdaDecay = 1.1;
constexpr double kBetaMax = 1e5;  // end of the half-quadratic continuation
constexpr double kBetaGrowth = 2;
constexpr double kKernelWeight = 1e-2;  // γ relative to the mean gradient power of x
// Kernel values under this share of the maximum go. A shake's path is faint where the hand moved
// fast: a cut at 0.2 lost such stretches, and with them some long kernels. At 0.15 the mean gain
// of shake_quality --click rose by 0.59, 0.19 and 0.16 dB on seeds 1, 2 (tuned on) and 11, 12 and
// 21, 22 (held out), and 6 more of the 150 kernels were found, but fur gave a few wrong ones (11
// results worse than the input instead of 9). At 0.12 and 0.1 the noise of fur and sky got into
// more kernels. The dark channel's start keeps 0.2 as its share: it runs where little was
// explained, and there the lower share lost the 40 pixel shake that start is for.
// A fixed share of the peak still lost the faint tails of kernels whose path lingers at one point
// (a hand stopping to turn back): a bright spot of a few pixels, and long trails under a tenth of
// it that hold much of the mass. So a search of its own cuts at kNoiseCut times the noise of the
// least-squares kernel, measured by its negative values (which a kernel cannot have), kept
// between kCutFloor (Cho & Lee's 1/20) and the share above. Over shake_quality --click the mean
// gain moved by +0.26, +0.08, -0.12 and +0.03 dB on seeds 1, 2 (tuned on), 11, 12, 21, 22 and
// 31, 32; on kernels of another model that linger (shake_quality --bezier, seeds 41, 42) it rose
// from 1.65 to 3.80 dB, the error ratio within 3 in 31 of 50 cases instead of 21. A search from a
// confident line or disc keeps the fixed share: there the kernel found is weighed against that
// line, and with the lower cut the curves it finds explained less than the line. Five times the
// noise kept less of the trails: 2.1 dB against 3.8 on 24 such shakes of twelve photographs.
// A hysteresis cut at the finest level (values down to 0.7 of the threshold kept where 8-connected
// to values above it, as Canny 1986 keeps edges) kept more of those trails: shake_quality --click
// gained 0.10 and 0.23 dB on seeds 41, 42 and 51, 52 --bezier (worse than the input 12 → 8),
// +0.02 and -0.06 dB on 11, 12 and 21, 22, and score_sets.sh's further and OpenCV shakes +0.13
// and +0.05 dB. But on the held-out grids it found a kernel (confidence 0.15) in a sharp retina
// section, 4.4 dB worse than its input (the held-out shakes' top cells: -0.73 dB; all 39 unseen
// shake grids: -0.1 dB), and chelsea's lingering 32-pixel shake (seed 61322) lost to a wrong
// first-start kernel that explained more. Down to half the threshold, or at every level, it kept
// false streaks along a photograph's dominant edges (ascent's stairs). So the trails are only tried
// once a blur is found, on the winning search (kTrailShare).
constexpr double kCut = 0.15;
constexpr double kDarkCut = 0.2;
constexpr double kCutFloor = 0.05;
constexpr double kNoiseCut = 3;
// The refinement's cut, margin and steps (RefineKernel). Re-solving at every
// alternation of the finest level of a search of its own, and keeping the last kernel before or
// after it by the spectrum's fit, moved the mean gain of shake_quality --click by +0.10 and +0.15
// dB on seeds 41, 42 --bezier and 11, 12 (tuned on: the cut at 0.02, 0.03 and 0.05 gave +0.05,
// +0.23 and -0.05 dB on the first, without the choice), and by +0.30, +0.35 and +0.23 dB on seeds
// 51, 52 --bezier, 21, 22 and 31, 32 (held out). Only after the last alternation it gained less
// (+0.04, +0.08 dB); at every level, or with the support grown by a pixel, it lost on 11, 12.
// Without the choice, brick's shake in calibrate_score's families lost to a line and 7.6 dB.
// Solved non-negative on the support grown by kRefineGrow pixels, instead of by conjugate
// gradients on the support itself and clipped, the mean gain of shake_quality --click moved, over
// seeds 41, 42, 51, 52, 61, 62 --bezier, by +0.66, +0.27 and -0.20 dB (the last mostly one case:
// coffee's 40 pixel shake lost its further half), and over seeds 11, 12, 21, 22, 31, 32 by +0.16,
// +0.42 and -0.08 dB; the error ratio was within 3 in 103 and 145 of the 150 cases of each model,
// against 97 and 140. Grown by one and two pixels it gained +0.05 and +0.07 dB with --bezier,
// +0.13 and +0.16 dB without. Refined three more times after the last alternation, so that a
// faint path could grow on by three pixels each time, the mean gain of the 54 shakes above moved
// by +0.02 dB, and by +0.06 dB with the sharp image solved again before each.
constexpr double kRefineCut = 0.03;
constexpr int kRefineGrow = 3;
constexpr int kRefineIterations = 60;
constexpr int kPowerIterations = 15;
// A shake's path covers at most a few hundred pixels of its square (under 200 in shake_quality's
// cases), about a thousand with the margin; a kernel spread over more is not refined, as each
// step costs the square of its pixels.
constexpr std::size_t kRefineMaxSupport = 4096;
// Connected parts of the kernel with less than this share of its mass go: the noise of the
// least-squares kernel leaves small islands off the path. Where the hand moved fast, the path is
// faint, and the cut breaks it into such parts too, each with a few percent of the mass; at 0.1
// they went, and a shake that lingers at a point was found as that point alone, centred away from
// the whole path's centroid. At 0.03 the mean gain of shake_quality --click moved by +0.33, +0.24
// and +0.07 dB over seeds 41, 42, 51, 52 and 61, 62 --bezier (kernels found for eight shakes that
// had none) and by -0.05, +0.02 and +0.04 dB over 11, 12, 21, 22 and 31, 32; at 0.015 by +0.37,
// +0.29 and +0.40 dB, but by +0.01, -0.17 and -0.08 dB on the trajectory model.
constexpr double kSpeck = 0.03;
// The dark channel's weight relative to the gradients' (μ / λ, and so α / β) and its patch. Over
// the 150 shakes of shake_quality --click, a last start with it finds the kernels of two long
// shakes that every other start missed (+4.4 and +5.4 dB) and changes no other case. Run wherever
// the first starts explain under kRetry, its kernels also won close calls by the spectrum that
// they lost in the result (up to 0.75 dB); in place of the sparser third start it lost two of
// rocket's shakes. Its patch is in pixels of each level; 15 is about the paper's 35 at our sizes.
constexpr double kDarkWeight = 0.2;
constexpr int kDarkPatch = 15;
constexpr double kMinConfidence = 0.15;  // as EstimateBlur's least gain
// The useful edges (UsefulEdges): the window, the flat regions' constant ε of Xu & Jia 2010 (on
// the luminance scaled to 0 … 1, as theirs) and the share τ of one direction an edge needs. Two
// starts on the useful edges alone run when the first start explains at least kMinConfidence and
// under kUsefulRetry of the misfit. Such a search in place of the first, over shake_quality --click
// (seeds 61, 62 --bezier and 11, 12, 50 cases each), moved the mean gain by +0.43 and -0.20 dB with
// τ = 0.15, +0.32 and -0.31 dB with τ = 0.25, +0.21 dB on the first with τ = 0.1, and -0.19 dB
// there with a window of half the kernel's size: it finds long shakes over fur and fine detail that
// all of the gradients lose (+2 to +10 dB in seven cases) and loses up to 1.7 dB on shakes they
// find, so it competes as further starts, judged by the spectrum as the others. One such start in
// the first square gained +0.17 dB on the first pair (the larger square finds the longest shakes),
// one in the larger square +0.32, both +0.44 dB (4.07 → 4.51), and -0.03 dB on the second pair;
// +0.10 dB on seeds 71, 72 --spline, not tuned on.
constexpr int kUsefulWindow = 5;
constexpr double kUsefulEps = 0.5;
constexpr double kUsefulTau = 0.15;
constexpr double kUsefulRetry = 0.5;
// Once a blur is found, the finest level of the search that found it runs once more from the same
// kernel, its kernel steps keeping values down to kTrailShare of their cut where they continue the
// kept path (KernelCut::trail), and that kernel is kept if it explains more; then again from the
// kernel kept, up to kTrailRuns runs in all, as long as each explains more: a trail kept gives
// the next run's sharp image more of the blur to explain, and the trail grows on. Whether a blur
// is reported and which start wins stay the plain cut's decisions: with the trails in every
// search, a wrong first-start kernel outbid the useful edges' right one on chelsea's lingering
// shake, and a sharp retina section got a kernel. Over the 54 shakes of score_sets.sh's further
// photographs (RL80 with the click's estimate) the mean gain rose from 5.45 to 5.50 dB with one
// run and to 5.62 dB with three (Bézier shakes 5.20 → 5.57, face's 30 pixel one 0 → 4.9 dB; no
// case down by more than 0.1 dB); over shake_quality --click --shake-only, three runs moved it by
// +0.09 and +0.04 dB on seeds 11, 12 and 21, 22, by +0.06 and +0.07 dB on seeds 41, 42 and 51, 52
// --bezier and +0.06 dB on 71, 72 --spline; the top-ranked cells of score_sets.sh's grids by
// +0.27 dB on the further shakes and by 0 on OpenCV's and the held-out ones (within 1 dB of the
// best cell: 102 of 117 before and after). With a trailed run in every search judged against
// the others: 5.51 dB but chelsea's shake lost again; down to half the cut, 5.49 dB (false
// streaks along ascent's stairs); with 5 alternations instead of 12, 5.45 dB, and shake_quality
// lost 0.05 to 0.07 dB against the plain cut (a less settled kernel the spectrum still preferred).
// Keeping a run's kernel where it explains no more than the last, within 0.01 or 0.03 of the
// misfit or always, moved the 54 shakes by +0.05, +0.02 and -0.01 dB (with the lighter weight
// and nine alternations below): the spectrum's judgement does not hold these runs back.
constexpr double kTrailShare = 0.7;
constexpr int kTrailRuns = 3;
// The runs with trails solve their sharp images under kTrailLambda times the search's L0 weight.
// The L0 image is flat between steps where the photograph has ramps, and the kernel steps take the
// ramps up: started from the true kernel at the finest level, one alternation at the search's
// weight spreads it (its peak falls by a third), and after twelve RL80 with it gains 4 to 9 dB
// less than with the truth (aero's, face's and ascent's 23, 16 and 23 pixel Bézier shakes of
// score_sets.sh's further photographs: 25.2, 23.7 and 25.8 dB against 32.1, 32.7 and 29.8); at a
// quarter of the weight 29.8, 24.7 and 28.9 dB, at a twentieth 31.4, 27.8 and 29.5. The searches
// themselves need the full weight to settle on a path: at a tenth at every finest level, a blob of
// a few pixels explained the spectrum as well as a long path did (face's 30 pixel Bézier shake,
// 4.9 → -0.4 dB), and the 54 shakes of kTrailShare's figures moved by +0.11 dB, single cases by
// up to 5 dB either way. In the runs with trails, whose kernel replaces the one found only where
// it explains more, the mean gain of those 54 shakes moved from 5.62 to 5.70, 5.76 and 5.63 dB at
// 0.35, 0.25 and 0.15 of the weight (trajectory shakes 5.35 → 5.66, splines 5.93 → 6.14, Bézier
// 5.57 → 5.47 at 0.25); shake_quality --click --shake-only, at 0.25: seeds 11, 12 5.48 → 5.66 dB
// (worse than the input 2 → 0), 21, 22 5.77 → 5.89, 41, 42 --bezier 5.19 → 5.48 (error ratio
// within 3 in 37 → 40 of 50), 51, 52 --bezier 4.87 → 4.94, 71, 72 --spline 4.78 → 5.03 dB. With
// the first run at the full weight and the next two at a quarter: 5.58 dB.
constexpr double kTrailLambda = 0.25;
// Alternations of a run with trails. At a quarter of the weight three runs of twelve took the
// estimate of bench_deblur's 20 pixel shake from 1.3 to 2.5 s (each explained more, so all three
// ran); with nine, 1.2 s, and the 54 shakes' mean gain 5.73 dB (5.76 with twelve; two runs of
// twelve 5.73 dB in 1.9 s, one 5.60, three of six 5.59). shake_quality --click --shake-only with
// nine, against the full weight's twelve: seeds 11, 12 5.48 → 5.60 dB (worse than the input
// 2 → 0), 41, 42 --bezier 5.19 → 5.32, 51, 52 --bezier 4.87 → 4.91, 71, 72 --spline 4.78 → 4.95.
constexpr int kTrailIterations = 9;

// How a kernel step removes small values: under `share` of the peak or, when `noiseScaled` and
// the kernel has negative values, under kNoiseCut times their RMS within [kCutFloor, share];
// with `trail` above 0, values down to `trail` times that threshold stay where they are
// 8-connected through such values to values above it (ProjectKernel).
struct KernelCut {
    double share;
    bool noiseScaled;
    double trail = 0;
};

// The cut of a search with the dark channel's weight `darkWeight`, from a given start or not.
KernelCut CutOf(double darkWeight, bool fromStart) {
    return {darkWeight > 0 ? kDarkCut : kCut, !fromStart};
}

struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};
using Reals = std::unique_ptr<float[], FftwFree>;
using Spectrum = std::unique_ptr<fftwf_complex[], FftwFree>;

// The FFTs of one padded size and the buffers of the alternation at that size.
class Level {
  public:
    // `dark`: with the buffers of the dark channel prior.
    Level(int rows, int columns, bool dark)
        : mRows(rows),
          mColumns(columns),
          mHalf(columns / 2 + 1),
          mPlans(realFftPlansF(rows, columns, true)) {
        for (Reals* r : {&y, &x, &gx, &gy, &work}) r->reset(fftwf_alloc_real(pixels()));
        for (Spectrum* s : {&Y, &K, &X, &D, &A, &Gx, &Gy, &mScratch})
            s->reset(fftwf_alloc_complex(count()));
        if (dark) {
            opened.reset(fftwf_alloc_real(pixels()));
            T.reset(fftwf_alloc_complex(count()));
        }
        kernelPower.resize(count());
        laplacian.resize(count());
        mDx.resize(mHalf);
        mDy.resize(mRows);
        for (int c = 0; c < mHalf; ++c)
            mDx[c] = std::polar(1.0f, float(2 * kPi * c / columns)) - 1.0f;
        for (int r = 0; r < mRows; ++r) mDy[r] = std::polar(1.0f, float(2 * kPi * r / rows)) - 1.0f;
        for (int r = 0; r < mRows; ++r)
            for (int c = 0; c < mHalf; ++c)
                laplacian[std::size_t(r) * mHalf + c] = std::norm(mDx[c]) + std::norm(mDy[r]);
    }
    int rows() const { return mRows; }
    int columns() const { return mColumns; }
    int half() const { return mHalf; }
    std::size_t pixels() const { return std::size_t(mRows) * mColumns; }
    std::size_t count() const { return std::size_t(mRows) * mHalf; }
    // Transforms of the forward differences x(c + 1) − x(c) and x(r + 1) − x(r).
    std::complex<float> dx(int c) const { return mDx[c]; }
    std::complex<float> dy(int r) const { return mDy[r]; }

    void forward(float* in, fftwf_complex* out) const {
        fftwf_execute_dft_r2c(mPlans.forward, in, out);
    }
    // Unscaled inverse (times pixels()); `in` is kept.
    void inverse(const fftwf_complex* in, float* out) {
        std::memcpy(mScratch.get(), in, count() * sizeof(fftwf_complex));
        fftwf_execute_dft_c2r(mPlans.inverse, mScratch.get(), out);
    }

    Reals y, x, gx, gy, work;  // the blurred plane, the sharp estimate, its gradients, scratch
    Spectrum Y, K, X, D, A;    // spectra of y, the kernel, x / pixels(), the divergence, K̄·Y
    Spectrum Gx, Gy;           // spectra of x's gradients where they are useful, / pixels()
    Reals useful;  // 1 where y's gradients are useful for the kernel step, else 0; none: all are
    Reals opened;  // the dark channel prior's opening of x, and
    Spectrum T;    // the spectrum of its target t
    std::vector<float> morphology;              // the opening's scratch
    std::vector<float> kernelPower, laplacian;  // |K|², |Dx|² + |Dy|²

  private:
    int mRows, mColumns, mHalf;
    FftPlansF mPlans;
    Spectrum mScratch;
    std::vector<std::complex<float>> mDx, mDy;
};

// body(r0, r1) over bands of rows, in parallel.
template <typename Body>
void ForRows(int rows, const Body& body) {
    constexpr int kBand = 64;
    const int bands = (rows + kBand - 1) / kBand;
    dispatchApply(std::size_t(bands),
                  [&](std::size_t b) { body(int(b) * kBand, std::min(rows, int(b + 1) * kBand)); });
}

// Separable resampling of a plane with a triangle filter widened to the reduction (no aliasing
// when shrinking, bilinear when enlarging).
std::vector<float> Resample1(const std::vector<float>& in, int w, int h, int outW, bool alongRows) {
    const int n = alongRows ? w : h, m = outW, lines = alongRows ? h : w;
    const double scale = double(m) / n, support = std::max(1.0, 1 / scale);
    std::vector<float> out(std::size_t(m) * lines);
    std::vector<int> first(m);
    std::vector<std::vector<float>> taps(m);
    for (int i = 0; i < m; ++i) {
        const double centre = (i + 0.5) / scale - 0.5;
        const int a = int(std::ceil(centre - support)), b = int(std::floor(centre + support));
        double sum = 0;
        for (int j = a; j <= b; ++j) {
            const double t = std::max(0.0, 1 - std::abs(j - centre) / support);
            taps[i].push_back(float(t));
            sum += t;
        }
        for (float& t : taps[i]) t = float(t / sum);
        first[i] = a;
    }
    for (int line = 0; line < lines; ++line)
        for (int i = 0; i < m; ++i) {
            double sum = 0;
            for (std::size_t k = 0; k < taps[i].size(); ++k) {
                const int j = std::clamp(first[i] + int(k), 0, n - 1);
                sum += taps[i][k] *
                       (alongRows ? in[std::size_t(line) * w + j] : in[std::size_t(j) * w + line]);
            }
            (alongRows ? out[std::size_t(line) * m + i] : out[std::size_t(i) * w + line]) =
                float(sum);
        }
    return out;
}

std::vector<float> Resample(const std::vector<float>& in, int w, int h, int outW, int outH) {
    if (outW == w && outH == h)
        return in;
    return Resample1(Resample1(in, w, h, outW, true), outW, h, outH, false);
}

// Copies the w × h plane into the top-left corner of the level's y and fills the rest so that
// the periodic plane is continuous: each row, then each column, runs linearly from its last value
// back to its first across the padding.
void PadPeriodic(const std::vector<float>& plane, int w, int h, Level& level) {
    const int rows = level.rows(), cols = level.columns();
    float* y = level.y.get();
    for (int r = 0; r < h; ++r) {
        float* row = y + std::size_t(r) * cols;
        std::copy_n(&plane[std::size_t(r) * w], w, row);
        const float a = row[w - 1], b = row[0];
        for (int c = w; c < cols; ++c)
            row[c] = a + (b - a) * float(c - w + 1) / float(cols - w + 1);
    }
    for (int c = 0; c < cols; ++c) {
        const float a = y[std::size_t(h - 1) * cols + c], b = y[c];
        for (int r = h; r < rows; ++r)
            y[std::size_t(r) * cols + c] = a + (b - a) * float(r - h + 1) / float(rows - h + 1);
    }
}

// The n × n kernel (centre at n / 2) as the level's padded spectrum (centre at the origin).
void KernelSpectrum(const std::vector<float>& k, int n, Level& level) {
    float* p = level.work.get();
    std::fill_n(p, level.pixels(), 0.0f);
    const int c = n / 2;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            p[std::size_t((i - c + level.rows()) % level.rows()) * level.columns() +
              (j - c + level.columns()) % level.columns()] = k[std::size_t(i) * n + j];
    level.forward(p, level.K.get());
}

// Grey-scale erosion (minimum) or dilation (maximum) of the w × h plane by a (2r + 1)² square,
// edges clamped: a running extreme along the rows, then along the columns, each with three
// comparisons a pixel whatever r (van Herk 1992; Gil & Werman 1993). `scratch` takes two planes of
// (h + 2r) × w.
void SquareExtreme(const float* in, float* out, int w, int h, int r, bool minimum,
                   std::vector<float>& scratch) {
    const int block = 2 * r + 1;
    auto pick = [minimum](float a, float b) { return minimum ? std::min(a, b) : std::max(a, b); };
    // Along the rows: g runs forward and hh backward within blocks of 2r + 1 samples of the row
    // extended by r on each side; the extreme of a window is that of hh at its start and g at its
    // end.
    ForRows(h, [&](int r0, int r1) {
        const int m = w + 2 * r;
        std::vector<float> line(m), g(m), hh(m);
        for (int row = r0; row < r1; ++row) {
            const float* inRow = in + std::size_t(row) * w;
            for (int i = 0; i < m; ++i) line[i] = inRow[std::clamp(i - r, 0, w - 1)];
            for (int b = 0; b < m; b += block) {
                const int e = std::min(m, b + block);
                g[b] = line[b];
                for (int i = b + 1; i < e; ++i) g[i] = pick(g[i - 1], line[i]);
                hh[e - 1] = line[e - 1];
                for (int i = e - 2; i >= b; --i) hh[i] = pick(hh[i + 1], line[i]);
            }
            float* o = out + std::size_t(row) * w;
            for (int i = 0; i < w; ++i) o[i] = pick(hh[i], g[i + 2 * r]);
        }
    });
    // Along the columns the same, whole rows at a time so that the inner loops run over
    // contiguous memory.
    const int m = h + 2 * r;
    scratch.resize(2 * std::size_t(m) * w);
    float *g = scratch.data(), *hh = g + std::size_t(m) * w;
    auto source = [&](int i) { return out + std::size_t(std::clamp(i - r, 0, h - 1)) * w; };
    for (int b = 0; b < m; b += block) {
        const int e = std::min(m, b + block);
        std::copy_n(source(b), w, g + std::size_t(b) * w);
        for (int i = b + 1; i < e; ++i) {
            float* gi = g + std::size_t(i) * w;
            const float* s = source(i);
            for (int c = 0; c < w; ++c) gi[c] = pick(gi[c - w], s[c]);
        }
        std::copy_n(source(e - 1), w, hh + std::size_t(e - 1) * w);
        for (int i = e - 2; i >= b; --i) {
            float* hi = hh + std::size_t(i) * w;
            const float* s = source(i);
            for (int c = 0; c < w; ++c) hi[c] = pick(hi[c + w], s[c]);
        }
    }
    for (int i = 0; i < h; ++i) {
        const float *hi = hh + std::size_t(i) * w, *gi = g + std::size_t(i + 2 * r) * w;
        float* o = out + std::size_t(i) * w;
        for (int c = 0; c < w; ++c) o[c] = pick(hi[c], gi[c]);
    }
}

// The dark channel prior's target t in level.work: x, with the pixels that are their patch's
// minimum set to zero where their square is under `threshold` (μ / α). A pixel is its patch's
// minimum for some patch exactly where the opening (erosion, then dilation) of x equals x.
void DarkTarget(Level& level, float threshold) {
    const int rows = level.rows(), cols = level.columns();
    const float* x = level.x.get();
    float *opened = level.opened.get(), *t = level.work.get();
    SquareExtreme(x, t, cols, rows, kDarkPatch / 2, true, level.morphology);
    SquareExtreme(t, opened, cols, rows, kDarkPatch / 2, false, level.morphology);
    ForRows(rows, [&](int r0, int r1) {
        for (std::size_t i = std::size_t(r0) * cols; i < std::size_t(r1) * cols; ++i)
            t[i] = opened[i] >= x[i] && x[i] * x[i] < threshold ? 0.0f : x[i];
    });
}

// Sum of the h × h window around each pixel of the periodic rows × cols plane, in place: running
// sums along the rows, then down the columns.
void BoxSumPeriodic(float* plane, int rows, int cols, int h) {
    const int r = h / 2;
    ForRows(rows, [&](int r0, int r1) {
        auto line = std::vector<double>(std::size_t(cols));
        for (int row = r0; row < r1; ++row) {
            float* p = plane + std::size_t(row) * cols;
            std::copy_n(p, cols, line.begin());
            double sum = 0;
            for (int d = -r; d <= r; ++d) sum += line[std::size_t((d + cols) % cols)];
            for (int c = 0; c < cols; ++c) {
                p[c] = float(sum);
                sum += line[std::size_t((c + r + 1) % cols)] -
                       line[std::size_t((c - r + cols) % cols)];
            }
        }
    });
    std::vector<double> sum(std::size_t(cols), 0.0);
    for (int d = -r; d <= r; ++d) {
        const float* p = plane + std::size_t((d + rows) % rows) * cols;
        for (int c = 0; c < cols; ++c) sum[std::size_t(c)] += p[c];
    }
    // Down the columns into a copy, as the sums still read the rows above and below.
    std::vector<float> out(std::size_t(rows) * cols);
    for (int row = 0; row < rows; ++row) {
        float* o = out.data() + std::size_t(row) * cols;
        for (int c = 0; c < cols; ++c) o[c] = float(sum[std::size_t(c)]);
        const float* in = plane + std::size_t((row + r + 1) % rows) * cols;
        const float* gone = plane + std::size_t((row - r + rows) % rows) * cols;
        for (int c = 0; c < cols; ++c) sum[std::size_t(c)] += double(in[c]) - gone[c];
    }
    std::copy(out.begin(), out.end(), plane);
}

// The periodic forward differences of the rows × cols plane `in`: gx = in(c + 1) − in(c),
// gy = in(r + 1) − in(r).
void ForwardDifferences(const float* in, int rows, int cols, float* gx, float* gy) {
    ForRows(rows, [&](int r0, int r1) {
        for (int r = r0; r < r1; ++r) {
            const float* row = in + std::size_t(r) * cols;
            const float* below = in + std::size_t(r + 1 < rows ? r + 1 : 0) * cols;
            float *hx = gx + std::size_t(r) * cols, *vy = gy + std::size_t(r) * cols;
            for (int c = 0; c + 1 < cols; ++c) hx[c] = row[c + 1] - row[c];
            hx[cols - 1] = row[0] - row[cols - 1];
            for (int c = 0; c < cols; ++c) vy[c] = below[c] - row[c];
        }
    });
}

// The gradients useful for the kernel step (Xu & Jia 2010, "Two-phase kernel estimation for
// robust motion deblurring", section 3.1): where the blurred gradients within a kUsefulWindow
// square mostly point one way,
//   r = ‖Σ ∇y‖ / (Σ ‖∇y‖ + ε) ≥ τ,
// along an edge; fine texture (fur, grass, gravel) whose elements are smaller than the blur sums
// to little and is left out, as its blurred gradients tell little of the kernel's shape. Sets
// level.useful, or leaves none for τ = 0: every gradient is useful.
void UsefulEdges(Level& level, double tau) {
    if (!(tau > 0)) {
        level.useful.reset();
        return;
    }
    if (!level.useful)
        level.useful.reset(fftwf_alloc_real(level.pixels()));
    const int rows = level.rows(), cols = level.columns();
    float *gx = level.gx.get(), *gy = level.gy.get(), *m = level.work.get();
    ForwardDifferences(level.y.get(), rows, cols, gx, gy);
    for (std::size_t i = 0; i < level.pixels(); ++i)
        m[i] = std::sqrt(gx[i] * gx[i] + gy[i] * gy[i]);
    for (float* p : {gx, gy, m}) BoxSumPeriodic(p, rows, cols, kUsefulWindow);
    float* useful = level.useful.get();
    for (std::size_t i = 0; i < level.pixels(); ++i)
        useful[i] =
            std::sqrt(double(gx[i]) * gx[i] + double(gy[i]) * gy[i]) / (m[i] + kUsefulEps) >= tau
                ? 1.0f
                : 0.0f;
}

// The spectra of x's gradients (level.x) where they are useful, scaled as level.X.
void UsefulGradients(Level& level) {
    float *gx = level.gx.get(), *gy = level.gy.get();
    ForwardDifferences(level.x.get(), level.rows(), level.columns(), gx, gy);
    if (const float* useful = level.useful.get())
        for (std::size_t i = 0; i < level.pixels(); ++i) gx[i] *= useful[i], gy[i] *= useful[i];
    level.forward(gx, level.Gx.get());
    level.forward(gy, level.Gy.get());
    const float scale = 1.0f / float(level.pixels());
    float* a = reinterpret_cast<float*>(level.Gx.get());
    float* b = reinterpret_cast<float*>(level.Gy.get());
    for (std::size_t i = 0; i < 2 * level.count(); ++i) a[i] *= scale, b[i] *= scale;
}

// (a): the L0-regularised sharp image for the kernel in level.K, left in level.x and level.X;
// with the dark channel prior when `darkWeight` (μ / λ) is positive. False when stopped.
bool SolveSharp(Level& level, double lambda, double darkWeight, const std::atomic<bool>* cancel) {
    const int rows = level.rows(), cols = level.columns(), half = level.half();
    float *x = level.x.get(), *gx = level.gx.get(), *gy = level.gy.get(), *d = level.work.get();
    std::copy_n(level.y.get(), level.pixels(), x);
    // The parts of the x-step that do not depend on β: K̄·Y and |K|².
    const float* K = reinterpret_cast<const float*>(level.K.get());
    const float* Y = reinterpret_cast<const float*>(level.Y.get());
    float* A = reinterpret_cast<float*>(level.A.get());
    float* kk = level.kernelPower.data();
    ForRows(rows, [&](int r0, int r1) {
        for (std::size_t i = std::size_t(r0) * half; i < std::size_t(r1) * half; ++i) {
            const float kr = K[2 * i], ki = K[2 * i + 1], yr = Y[2 * i], yi = Y[2 * i + 1];
            A[2 * i] = kr * yr + ki * yi;
            A[2 * i + 1] = kr * yi - ki * yr;
            kk[i] = kr * kr + ki * ki;
        }
    });
    const float* lap = level.laplacian.data();
    const float* D = reinterpret_cast<const float*>(level.D.get());
    float* X = reinterpret_cast<float*>(level.X.get());
    const float toPlane = 1.0f / float(level.pixels());  // the inverse FFT's scale
    for (double beta = 2 * lambda; beta < kBetaMax; beta *= kBetaGrowth) {
        if (StopRequested(cancel))
            return false;
        const float threshold = float(lambda / beta);
        // g: the gradients where they are strong enough, zero elsewhere (periodic differences).
        ForRows(rows, [&](int r0, int r1) {
            for (int r = r0; r < r1; ++r) {
                const float* row = x + std::size_t(r) * cols;
                const float* below = x + std::size_t(r + 1 < rows ? r + 1 : 0) * cols;
                float *hx = gx + std::size_t(r) * cols, *vy = gy + std::size_t(r) * cols;
                auto set = [&](int c, float h) {
                    const float v = below[c] - row[c];
                    const bool keep = h * h + v * v >= threshold;
                    hx[c] = keep ? h : 0.0f;
                    vy[c] = keep ? v : 0.0f;
                };
                for (int c = 0; c + 1 < cols; ++c) set(c, row[c + 1] - row[c]);
                set(cols - 1, row[0] - row[cols - 1]);
            }
        });
        // d = ∇ᵀg: the adjoint of the forward differences.
        ForRows(rows, [&](int r0, int r1) {
            for (int r = r0; r < r1; ++r) {
                const float* hx = gx + std::size_t(r) * cols;
                const float* vy = gy + std::size_t(r) * cols;
                const float* above = gy + std::size_t(r > 0 ? r - 1 : rows - 1) * cols;
                float* out = d + std::size_t(r) * cols;
                out[0] = hx[cols - 1] - hx[0] + above[0] - vy[0];
                for (int c = 1; c < cols; ++c) out[c] = hx[c - 1] - hx[c] + above[c] - vy[c];
            }
        });
        level.forward(d, level.D.get());
        const float b = float(beta);
        // α = (μ / λ)·β, so the dark channel's threshold μ / α is the gradients' λ / β; α is 0
        // without the prior.
        const float a = float(darkWeight * beta);
        const float* T = nullptr;
        if (darkWeight > 0) {
            DarkTarget(level, threshold);
            level.forward(level.work.get(), level.T.get());
            T = reinterpret_cast<const float*>(level.T.get());
        }
        // Two loops rather than a test per element, so that each vectorises.
        ForRows(rows, [&](int r0, int r1) {
            const std::size_t i0 = std::size_t(r0) * half, i1 = std::size_t(r1) * half;
            if (T) {
                for (std::size_t i = i0; i < i1; ++i) {
                    const float f = toPlane / (kk[i] + b * lap[i] + a);
                    X[2 * i] = (A[2 * i] + b * D[2 * i] + a * T[2 * i]) * f;
                    X[2 * i + 1] = (A[2 * i + 1] + b * D[2 * i + 1] + a * T[2 * i + 1]) * f;
                }
            } else {
                for (std::size_t i = i0; i < i1; ++i) {
                    const float f = toPlane / (kk[i] + b * lap[i] + a);
                    X[2 * i] = (A[2 * i] + b * D[2 * i]) * f;
                    X[2 * i + 1] = (A[2 * i + 1] + b * D[2 * i + 1]) * f;
                }
            }
        });
        level.inverse(level.X.get(), x);
    }
    return true;
}

// Non-negative, small values removed as `cut` says, specks removed, normalised, centroid on the
// middle pixel. A kernel with no weight left becomes the identity.
void ProjectKernel(std::vector<float>& k, int n, KernelCut cut) {
    float peak = 0;
    double negativePower = 0;
    int negatives = 0;
    for (float& v : k) {
        if (v < 0)
            negativePower += double(v) * v, ++negatives;
        v = std::max(v, 0.0f);
        peak = std::max(peak, v);
    }
    double threshold = cut.share * peak;
    if (cut.noiseScaled && negatives > 0)
        threshold = std::clamp(kNoiseCut * std::sqrt(negativePower / negatives), kCutFloor * peak,
                               threshold);
    // With trails, values down to `trail` times the threshold stay where their connected part
    // reaches the threshold: a hysteresis cut, as Canny 1986 keeps edges.
    const double low = cut.trail > 0 ? cut.trail * threshold : threshold;
    for (float& v : k)
        if (v < low)
            v = 0;
    // Connected parts (8-neighbours), their mass and their largest value.
    std::vector<int> label(k.size(), -1), stack;
    std::vector<double> mass;
    std::vector<float> top;
    for (std::size_t s = 0; s < k.size(); ++s) {
        if (k[s] == 0 || label[s] >= 0)
            continue;
        const int id = int(mass.size());
        mass.push_back(0);
        top.push_back(0);
        label[s] = id;
        stack.assign(1, int(s));
        while (!stack.empty()) {
            const int p = stack.back();
            stack.pop_back();
            mass[id] += k[p];
            top[id] = std::max(top[id], k[p]);
            const int pr = p / n, pc = p % n;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) {
                    const int r = pr + dr, c = pc + dc;
                    if (r < 0 || r >= n || c < 0 || c >= n)
                        continue;
                    const int q = r * n + c;
                    if (k[q] > 0 && label[q] < 0) {
                        label[q] = id;
                        stack.push_back(q);
                    }
                }
        }
    }
    if (low < threshold)
        for (std::size_t s = 0; s < k.size(); ++s)
            if (k[s] > 0 && top[label[s]] < threshold)
                k[s] = 0, mass[label[s]] = 0;
    double total = 0, largest = 0;
    for (double m : mass) total += m, largest = std::max(largest, m);
    double sum = 0, sx = 0, sy = 0;
    for (std::size_t s = 0; s < k.size(); ++s) {
        if (k[s] > 0 && mass[label[s]] < kSpeck * total && mass[label[s]] < largest)
            k[s] = 0;
        sum += k[s], sx += k[s] * double(s % n), sy += k[s] * double(s / n);
    }
    if (!(sum > 0)) {
        std::fill(k.begin(), k.end(), 0.0f);
        k[std::size_t(n / 2) * n + n / 2] = 1;
        return;
    }
    const int shiftX = n / 2 - int(std::lround(sx / sum)),
              shiftY = n / 2 - int(std::lround(sy / sum));
    std::vector<float> moved(k.size(), 0.0f);
    double kept = 0;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const int rr = r + shiftY, cc = c + shiftX;
            if (rr >= 0 && rr < n && cc >= 0 && cc < n) {
                moved[std::size_t(rr) * n + cc] = k[std::size_t(r) * n + c];
                kept += k[std::size_t(r) * n + c];
            }
        }
    for (float& v : moved) v = float(v / kept);
    k.swap(moved);
}

// At frequency (r, c): Σ over both directions of conj(G)·(D·Y) into `correlation`, and Σ |G|²
// returned, G the spectra of the useful gradients of x.
inline float GradientCorrelation(const Level& level, int r, int c,
                                 std::complex<float>& correlation) {
    const std::size_t i = std::size_t(r) * level.half() + c;
    const auto* gx = reinterpret_cast<const std::complex<float>*>(level.Gx.get());
    const auto* gy = reinterpret_cast<const std::complex<float>*>(level.Gy.get());
    const std::complex<float> y = reinterpret_cast<const std::complex<float>*>(level.Y.get())[i];
    correlation = std::conj(gx[i]) * (level.dx(c) * y) + std::conj(gy[i]) * (level.dy(r) * y);
    return std::norm(gx[i]) + std::norm(gy[i]);
}

// The kernel step's ℓ2 weight γ: kKernelWeight times the mean power of the useful gradients.
double KernelStepWeight(const Level& level) {
    const float* gx = reinterpret_cast<const float*>(level.Gx.get());
    const float* gy = reinterpret_cast<const float*>(level.Gy.get());
    double power = 0;
    for (std::size_t i = 0; i < 2 * level.count(); ++i)
        power += double(gx[i]) * gx[i] + double(gy[i]) * gy[i];
    return kKernelWeight * power / double(level.count());
}

// (b): the least-squares kernel from the useful gradients of level.x and those of level.Y,
// projected; returns the ℓ2 weight γ it used.
double UpdateKernel(Level& level, std::vector<float>& k, int n, KernelCut cut) {
    UsefulGradients(level);
    float* out = reinterpret_cast<float*>(level.D.get());
    const double weight = KernelStepWeight(level);
    const float gamma = float(weight);
    // Σ over both directions of conj(G)·(D·Y) / (Σ |G|² + γ), G the useful gradients' spectra.
    ForRows(level.rows(), [&](int r0, int r1) {
        for (int r = r0; r < r1; ++r)
            for (int c = 0; c < level.half(); ++c) {
                const std::size_t i = std::size_t(r) * level.half() + c;
                std::complex<float> num;
                const float power = GradientCorrelation(level, r, c, num);
                out[2 * i] = num.real() / (power + gamma);
                out[2 * i + 1] = num.imag() / (power + gamma);
            }
    });
    const int rows = level.rows(), cols = level.columns();
    float* full = level.work.get();
    level.inverse(level.D.get(), full);
    const int c0 = n / 2;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            k[std::size_t(i) * n + j] =
                full[std::size_t((i - c0 + rows) % rows) * cols + (j - c0 + cols) % cols];
    ProjectKernel(k, n, cut);
    return weight;
}

// The kernel re-solved by least squares near its own support only: the same gradients and weight
// (`weight`, UpdateKernel's γ) as UpdateKernel, with every value further than kRefineGrow pixels
// from the pixels the projection kept held at zero and none negative, instead of solved over the
// whole plane, then cropped and clipped. The values left then explain the gradients without the
// part the plane's solution spread outside the path, so faint stretches of the path get their
// weight back, and a cut at kRefineCut of the peak keeps them; the margin lets the path grow a
// little at each alternation where the gradients call for it, and non-negativity keeps it thin
// there (a non-negative least-squares solution is sparse, where one clipped afterwards spreads).
// The normal equations of the kernel step in the spatial domain, whose matrix is the gradients'
// autocorrelation R,
//   Σ_v R(u − v)·k(v) + γ·k(u) = (∂x ⋆ ∂y)(u),  u, v in the support, k ≥ 0,
// are solved by accelerated projected gradient (FISTA; Beck & Teboulle 2009, "A fast iterative
// shrinkage-thresholding algorithm") with the step from R's largest eigenvalue. The kernel is then
// projected as in every step.
void RefineKernel(Level& level, std::vector<float>& k, int n, double weight) {
    float* spectrum = reinterpret_cast<float*>(level.D.get());
    float* plane = level.work.get();
    const int rows = level.rows(), cols = level.columns(), c0 = n / 2, m = 2 * n - 1;
    // The kept pixels grown by kRefineGrow, in raster order.
    std::vector<char> near(k.size(), 0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            if (k[std::size_t(i) * n + j] > 0)
                for (int di = std::max(0, i - kRefineGrow); di <= std::min(n - 1, i + kRefineGrow);
                     ++di)
                    std::fill_n(&near[std::size_t(di) * n + std::max(0, j - kRefineGrow)],
                                std::min(n - 1, j + kRefineGrow) - std::max(0, j - kRefineGrow) + 1,
                                char(1));
    std::vector<int> support;
    for (int i = 0; i < n * n; ++i)
        if (near[std::size_t(i)])
            support.push_back(i);
    const std::size_t s = support.size();
    if (s < 2 || s > kRefineMaxSupport)
        return;
    auto at = [&](int dr, int dc) {
        return plane[std::size_t((dr + rows) % rows) * cols + (dc + cols) % cols];
    };
    // R from the gradients' power spectrum; γ as UpdateKernel's, on this plane's scale (the
    // unscaled inverse multiplies the correlations by the plane's pixels).
    std::complex<float> correlation;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < level.half(); ++c) {
            const std::size_t i = std::size_t(r) * level.half() + c;
            spectrum[2 * i] = GradientCorrelation(level, r, c, correlation);
            spectrum[2 * i + 1] = 0;
        }
    const double gamma = weight * double(level.pixels());
    level.inverse(level.D.get(), plane);
    std::vector<double> autocorrelation(std::size_t(m) * m);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j)
            autocorrelation[std::size_t(i) * m + j] = at(i - (n - 1), j - (n - 1));
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < level.half(); ++c) {
            const std::size_t i = std::size_t(r) * level.half() + c;
            GradientCorrelation(level, r, c, correlation);
            spectrum[2 * i] = correlation.real();
            spectrum[2 * i + 1] = correlation.imag();
        }
    level.inverse(level.D.get(), plane);

    std::vector<double> v(s), b(s), ad(s);
    for (std::size_t p = 0; p < s; ++p) {
        v[p] = k[std::size_t(support[p])];
        b[p] = at(support[p] / n - c0, support[p] % n - c0);
    }
    // R(u − v) sits at (u − v + (n − 1, n − 1)) in `autocorrelation`, that is at the difference of
    // u's index shifted by n − 1 each way and v's, both in rows of m.
    std::vector<std::size_t> offset(s);
    for (std::size_t q = 0; q < s; ++q)
        offset[q] = std::size_t(support[q] / n) * m + std::size_t(support[q] % n);
    const std::size_t centre = std::size_t(n - 1) * m + std::size_t(n - 1);
    auto apply = [&](const std::vector<double>& in, std::vector<double>& out) {
        dispatchApply(s, [&](std::size_t p) {
            const double* row = autocorrelation.data() + centre + offset[p];
            double sum = gamma * in[p];
            for (std::size_t q = 0; q < s; ++q) sum += *(row - offset[q]) * in[q];
            out[p] = sum;
        });
    };
    auto dot = [](const std::vector<double>& a, const std::vector<double>& c) {
        double sum = 0;
        for (std::size_t p = 0; p < a.size(); ++p) sum += a[p] * c[p];
        return sum;
    };
    // From the projected kernel, scaled to the equations' units.
    apply(v, ad);
    const double vav = dot(v, ad), scale = vav > 0 ? dot(v, b) / vav : 0;
    for (double& value : v) value = std::max(0.0, value * scale);
    // The step: 1 / L, L a little over the largest eigenvalue by power iteration.
    std::vector<double> e(s, 1.0);
    double largest = 0;
    for (int it = 0; it < kPowerIterations; ++it) {
        apply(e, ad);
        const double norm = std::sqrt(dot(ad, ad));
        if (!(norm > 0))
            return;
        largest = norm / std::sqrt(dot(e, e));
        for (std::size_t p = 0; p < s; ++p) e[p] = ad[p] / norm;
    }
    const double step = 1 / (1.05 * largest);
    std::vector<double> z = v, previous = v;
    double t = 1;
    for (int it = 0; it < kRefineIterations; ++it) {
        apply(z, ad);
        for (std::size_t p = 0; p < s; ++p) v[p] = std::max(0.0, z[p] - step * (ad[p] - b[p]));
        const double next = (1 + std::sqrt(1 + 4 * t * t)) / 2;
        for (std::size_t p = 0; p < s; ++p) z[p] = v[p] + (t - 1) / next * (v[p] - previous[p]);
        previous = v;
        t = next;
    }
    std::fill(k.begin(), k.end(), 0.0f);
    for (std::size_t p = 0; p < s; ++p) k[std::size_t(support[p])] = float(v[p]);
    ProjectKernel(k, n, KernelCut{kRefineCut, false});
}

// The n × n kernel enlarged (or shrunk) by `scale` about its centre into an m × m grid, bilinear,
// then projected with `cut`. Between levels the search's own share cuts: the enlarged faint trail
// of a kernel that lingers falls under it and the next level starts without that part. Cutting
// there only under the last kernel step's threshold kept such trails (shake_quality --click,
// seeds 41, 42 --bezier: 5.13 → 5.25 dB) but kept false streaks too (seeds 11, 12: 5.39 → 5.35
// dB; worse than the input 3 → 5 of 100), as did a share of 0.05 or none.
std::vector<float> ScaleKernel(const std::vector<float>& k, int n, int m, double scale,
                               KernelCut cut) {
    std::vector<float> out(std::size_t(m) * m, 0.0f);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) {
            const double sy = n / 2 + (i - m / 2) / scale, sx = n / 2 + (j - m / 2) / scale;
            const int y0 = int(std::floor(sy)), x0 = int(std::floor(sx));
            const double fy = sy - y0, fx = sx - x0;
            auto get = [&](int r, int c) {
                return r >= 0 && r < n && c >= 0 && c < n ? k[std::size_t(r) * n + c] : 0.0f;
            };
            out[std::size_t(i) * m + j] =
                float((1 - fy) * ((1 - fx) * get(y0, x0) + fx * get(y0, x0 + 1)) +
                      fy * ((1 - fx) * get(y0 + 1, x0) + fx * get(y0 + 1, x0 + 1)));
        }
    ProjectKernel(out, m, cut);
    return out;
}

// The kernel moved by a fraction of a pixel so that its centroid falls exactly on the middle of
// a square two pixels wider: bilinear splatting keeps the mass and moves the centroid exactly.
// Deconvolving with it then leaves the photograph where it was; a kernel centred only to the
// nearest pixel shifts the result by up to half a pixel each way, which costs a sharp result more
// than most errors of shape, and would misalign a brushed result with the photograph around it.
KernelImageRef CentredExactly(const KernelImage& kernel) {
    const int n = kernel.size(), m = n + 2;
    const std::vector<double>& k = kernel.weights();
    double sy = 0, sx = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            sy += k[std::size_t(i) * n + j] * i;
            sx += k[std::size_t(i) * n + j] * j;
        }
    // The weights sum to 1 and the centroid is within half a pixel of the middle.
    const double dy = n / 2 - sy, dx = n / 2 - sx;
    const int iy = int(std::floor(dy)), ix = int(std::floor(dx));
    const double fy = dy - iy, fx = dx - ix;
    std::vector<double> out(std::size_t(m) * m, 0.0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double v = k[std::size_t(i) * n + j];
            if (v == 0)
                continue;
            for (int a = 0; a < 2; ++a)
                for (int b = 0; b < 2; ++b)
                    out[std::size_t(i + 1 + iy + a) * m + (j + 1 + ix + b)] +=
                        v * (a ? fy : 1 - fy) * (b ? fx : 1 - fx);
        }
    return KernelImage::fromWeights(m, out);
}

std::vector<int> KernelSizes(int maxSize) {
    std::vector<int> sizes{3};
    while (sizes.back() < maxSize) {
        int next = int(std::lround(sizes.back() * std::sqrt(2.0)));
        next += 1 - next % 2;
        sizes.push_back(std::min(next, maxSize));
    }
    return sizes;
}

// Whether the n × n kernel has weight on its square's outermost ring: a kernel cut off by the
// square it was searched in.
bool ReachesEdge(const std::vector<float>& k, int n) {
    for (int i = 0; i < n; ++i)
        if (k[std::size_t(i)] > 0 || k[std::size_t(n - 1) * n + i] > 0 ||
            k[std::size_t(i) * n] > 0 || k[std::size_t(i) * n + n - 1] > 0)
            return true;
    return false;
}

// The bound of the second start's search, at most `limit`.
int SecondShakeBound(int bound, int limit = kMaxBound) {
    return std::min(limit, int(bound * kSecondBound) | 1);
}

// The largest kernel a section of that size can tell (odd, 3 … kMaxBound): one of at most a
// third of its smaller side. A wider one has too few whole copies in the section to be told from
// the photograph's own structure: a sharp 90 × 70 corner of the camera's sky and coat gave a
// streak of 63 pixels at confidence 0.46.
int SectionShakeBound(int width, int height) {
    return std::clamp((std::min(width, height) / kSectionPerKernel - 1) | 1, 3, kMaxBound);
}

int PaddedSize(int extent, int kernel) {
    return fftGoodSize(extent + kernel);
}

// The coarse-to-fine search with the L0 weight `lambda` (and the dark channel's relative weight
// `darkWeight`, 0 for none; the kernel steps on the useful edges of share `usefulTau`, 0 for all
// gradients) from the start kernel `k` (kSize wide, first used at level
// `firstLevel`), each kernel step cutting small values as `cut` says: the finest level's kernel in
// the convolution's orientation, or empty when stopped; `unrefined`, when given, receives the
// last kernel step's kernel before RefineKernel, and `finestStart` the kernel the finest level
// starts from. Progress runs from `progressFrom` to `progressTo`.
std::vector<float> SearchKernel(const std::vector<float>& luminance, int width, int height,
                                const std::vector<int>& sizes, std::size_t firstLevel,
                                std::vector<float> k, int kSize, double startLambda,
                                double darkWeight, double usefulTau, KernelCut cut,
                                const std::atomic<bool>* cancel, const MethodProgress* progress,
                                double progressFrom, double progressTo,
                                std::vector<float>* unrefined = nullptr,
                                std::vector<float>* finestStart = nullptr) {
    const int maxSize = sizes.back();
    // The trail cut (KernelCut::trail) is for the finest level only.
    KernelCut plainCut = cut;
    plainCut.trail = 0;
    auto iterationsAt = [&](std::size_t l) {
        return l + 1 < sizes.size() ? kIterations
               : cut.trail > 0      ? kTrailIterations
                                    : kFinestIterations;
    };
    // Each level's share of the work, for the progress: its area times its alternations.
    std::vector<double> cost(sizes.size());
    double totalCost = 0;
    for (std::size_t l = 0; l < sizes.size(); ++l) {
        const double s = double(sizes[l]) / maxSize;
        cost[l] = s * s * iterationsAt(l);
        totalCost += cost[l];
    }
    std::unique_ptr<Level> level;
    double done = 0;
    for (std::size_t l = 0; l < sizes.size(); ++l) {
        if (l < firstLevel) {
            done += cost[l];
            continue;
        }
        const int n = sizes[l];
        const double scale = double(n) / maxSize;
        if (n != kSize) {
            k = ScaleKernel(k, kSize, n, double(n) / kSize, plainCut);
            kSize = n;
        }
        const bool finest = l + 1 == sizes.size();
        if (finest && finestStart)
            *finestStart = k;
        const int levelW = std::max(int(std::lround(width * scale)), 2 * n);
        const int levelH = std::max(int(std::lround(height * scale)), 2 * n);
        const std::vector<float> plane = Resample(luminance, width, height, levelW, levelH);
        level.reset();  // one level's buffers at a time
        level =
            std::make_unique<Level>(PaddedSize(levelH, n), PaddedSize(levelW, n), darkWeight > 0);
        PadPeriodic(plane, levelW, levelH, *level);
        UsefulEdges(*level, usefulTau);
        level->forward(level->y.get(), level->Y.get());
        double lambda = startLambda;
        const int iterations = iterationsAt(l);
        for (int it = 0; it < iterations; ++it) {
            KernelSpectrum(k, n, *level);
            if (!SolveSharp(*level, lambda, darkWeight, cancel))
                return {};
            const double weight = UpdateKernel(*level, k, n, finest ? cut : plainCut);
            // At the finest level of a search of its own, the kernel's values are re-solved
            // on the path found (RefineKernel).
            if (cut.noiseScaled && finest) {
                if (unrefined && it + 1 == iterations)
                    *unrefined = k;
                RefineKernel(*level, k, n, weight);
            }
            lambda = std::max(lambda / kLambdaDecay, kLambdaFloor);
            ReportProgress(progress, progressFrom + (progressTo - progressFrom) *
                                                        (done + cost[l] * (it + 1) / iterations) /
                                                        totalCost);
        }
        done += cost[l];
    }
    return k;
}

}  // namespace

ShakeEstimate EstimateShakeKernel(const CImage& image, const Region& region,
                                  const ShakeEstimateOptions& options,
                                  const std::atomic<bool>* cancel, const MethodProgress* progress) {
    const int x = region.x, y = region.y, w = region.w, h = region.h;
    const int x0 = std::clamp(x, 0, image.width()), y0 = std::clamp(y, 0, image.height());
    const int x1 = std::clamp(x + w, x0, image.width()), y1 = std::clamp(y + h, y0, image.height());
    if (x1 - x0 < kMinSide || y1 - y0 < kMinSide || !image.pixels())
        return {};
    // The central part at most kMaxSide square.
    const int width = std::min(x1 - x0, kMaxSide), height = std::min(y1 - y0, kMaxSide);
    const int left = x0 + (x1 - x0 - width) / 2, top = y0 + (y1 - y0 - height) / 2;
    const int sectionBound = SectionShakeBound(width, height);
    const int maxSize = std::clamp(options.maxSize | 1, 3, sectionBound);

    std::vector<float> luminance = ReadLuminanceWindow(image, Region{left, top, width, height});
    // Scale to a range near 0 … 1 so that the prior's weight means the same on any exposure; a
    // range under a few levels of 8 bits is flat.
    {
        std::vector<float> sorted = luminance;
        const std::size_t lo = sorted.size() / 200, hi = sorted.size() - 1 - lo;
        std::nth_element(sorted.begin(), sorted.begin() + hi, sorted.end());
        const float top99 = sorted[hi];
        std::nth_element(sorted.begin(), sorted.begin() + lo, sorted.begin() + hi);
        const float bottom = sorted[lo];
        if (!(top99 - bottom > 0.004f))
            return {};
        for (float& v : luminance) v /= top99;
    }

    // The start kernel in the convolution's orientation (its point image), for every search.
    std::vector<float> startPicture;
    if (options.start) {
        const std::vector<double> picture = options.start->pointImage();
        startPicture.assign(picture.begin(), picture.end());
    }
    // The kernel (convolution's orientation) as an estimate with its confidence. The spectrum is
    // measured over 128 × 128 tiles: a smaller section is judged with the photograph around it.
    auto judge = [&](const std::vector<float>& k) {
        ShakeEstimate e;
        e.kernel = KernelImage::fromPointImage(int(std::lround(std::sqrt(double(k.size())))),
                                               std::vector<double>(k.begin(), k.end()));
        if (!e.kernel)
            return e;
        const int sw = std::max(width, 128), sh = std::max(height, 128);
        const int sx = left + width / 2 - sw / 2, sy = top + height / 2 - sh / 2;
        e.confidence =
            KernelSpectrumGain(image,
                               Region{std::clamp(sx, 0, std::max(0, image.width() - sw)),
                                      std::clamp(sy, 0, std::max(0, image.height() - sh)), sw, sh},
                               *e.kernel);
        return e;
    };
    // The coarse-to-fine search up to the size `bound`, with its kernel judged (an empty kernel
    // when stopped). The start kernel joins at the first level where it is more than a pixel or
    // two wide. Of the last kernel step's kernel before and after RefineKernel, the one that
    // explains the spectrum better is kept: re-solved on a wrong path, over a periodic texture,
    // the refinement can explain less.
    struct Found {
        std::vector<float> k;
        ShakeEstimate estimate;
        std::vector<float> finestStart;  // the kernel the finest level started from
    };
    // With `trailFrom`, the finest level alone from that kernel, its kernel steps keeping trails,
    // under kTrailLambda of the weight and kTrailIterations alternations.
    auto search = [&](int bound, double lambda, double darkWeight, double usefulTau,
                      double progressFrom, double progressTo,
                      const std::vector<float>* trailFrom = nullptr) -> Found {
        const std::vector<int> sizes = KernelSizes(bound);
        KernelCut cut = CutOf(darkWeight, options.start != nullptr);
        std::vector<float> start{0, 0.125f, 0, 0.125f, 0.5f, 0.125f, 0, 0.125f, 0};
        int startSize = 3;
        std::size_t firstLevel = 0;
        if (trailFrom) {
            firstLevel = sizes.size() - 1;
            start = *trailFrom;
            startSize = sizes.back();
            cut.trail = kTrailShare;
            lambda *= kTrailLambda;
        } else if (options.start) {
            const double r = options.start->radius();
            while (firstLevel + 1 < sizes.size() && r * sizes[firstLevel] / bound < 1.5)
                ++firstLevel;
            startSize = sizes[firstLevel];
            start = ScaleKernel(startPicture, options.start->size(), startSize,
                                double(sizes[firstLevel]) / bound, cut);
        }
        std::vector<float> unrefined, finestStart;
        std::vector<float> k =
            SearchKernel(luminance, width, height, sizes, firstLevel, std::move(start), startSize,
                         lambda, darkWeight, usefulTau, cut, cancel, progress, progressFrom,
                         progressTo, &unrefined, &finestStart);
        if (k.empty() || StopRequested(cancel))
            return {};
        ShakeEstimate e = judge(k);
        if (!unrefined.empty() && unrefined != k) {
            ShakeEstimate plain = judge(unrefined);
            if (plain.confidence > e.confidence)
                return {std::move(unrefined), std::move(plain), std::move(finestStart)};
        }
        return {std::move(k), std::move(e), std::move(finestStart)};
    };

    // Further starts when the first explains little. Which levels of the pyramid a kernel passes
    // through decides much of where the search ends: a shake nearly as wide as the square is cut
    // at its edges on the way and settles on a fragment, and even a shorter one sometimes drifts
    // towards a too small kernel over fine texture. Two starts on the useful edges alone come
    // first (UsefulEdges), in the same square and in a larger one. Then a start on all gradients
    // searches the larger square, which gives the kernel room and other levels; the last searches
    // it with a sparser sharp image, which keeps only the main edges but loses detail on short
    // shakes, so it comes last.
    // The kernel that explains the section's spectrum best is kept. The spectrum cannot see every
    // difference of shape: on aero's 23-pixel Bézier shake (score_sets.sh's further photographs)
    // the five starts' kernels, every start run, explain 0.52 to 0.57 of the misfit, and RL80 with
    // them gains 2.5 to 6.0 dB. The normalised sparsity of a regularised deconvolution's gradients
    // (ℓ1 / ℓ2, Krishnan, Tay & Fergus 2011) does not tell them apart either: with the true kernel
    // it is higher than with any of the estimates, on that shake and two others, as the sharper
    // result carries more noise. Over 54 shakes of 16 to 30 pixels (three models, score_sets.sh's
    // six further photographs, RL80 with the kernel), every start run, the spectrum's choice kept
    // 75 % of the true kernel's gain and the best start's kernel each time 81 %; choosing by the
    // L0 energy of a sharp image solved again with each kernel (residual plus λ times the count of
    // its gradients, λ from 1e-3 to 1.6e-2), by either part alone or by ℓ1 / ℓ2 of its gradients
    // kept 67 to 77 %. What the starts lose is mostly in the shape all of them find.
    // A sharp section is searched three times, or four where its noise left a trace: 2 to 11
    // seconds on two cores (sample photographs, 512 × 512) before it says no blur was found.
    // Progress: the first start to kUsefulFrom, the useful edges' to kFurtherFrom, the further
    // ones to kDarkFrom, the dark channel's start (when it runs) to kTrailFrom, the winning
    // search's run with trails the rest.
    constexpr double kUsefulFrom = 0.35, kFurtherFrom = 0.5, kDarkFrom = 0.7, kTrailFrom = 0.8;
    Found first = search(maxSize, kLambda, 0, 0, 0, options.retry ? kUsefulFrom : kTrailFrom);
    if (first.k.empty())
        return {};
    ShakeEstimate estimate = std::move(first.estimate);
    // The search that found `estimate`, to be run again with trails.
    struct Run {
        int bound;
        double lambda, darkWeight, usefulTau;
        std::vector<float> finestStart;
    } winner{maxSize, kLambda, 0, 0, std::move(first.finestStart)};
    const int secondBound = SecondShakeBound(maxSize, sectionBound);
    const double lambdas[] = {secondBound > maxSize ? kLambda : kSecondLambda, kSecondLambda};
    const int starts = !options.retry ? 0 : secondBound > maxSize ? 2 : 1;
    // Runs one more start and keeps its kernel if it explains more; false when stopped.
    int index = 1;
    auto startAgain = [&](int bound, double lambda, double darkWeight, double usefulTau,
                          double from, double to) {
        Found found = search(bound, lambda, darkWeight, usefulTau, from, to);
        if (found.k.empty())
            return false;
        ShakeEstimate next = std::move(found.estimate);
        LogDebug("shake kernel: start %d, confidence %.2f (so far %.2f)", ++index, next.confidence,
                 estimate.confidence);
        if (next.confidence > estimate.confidence) {
            estimate = std::move(next);
            winner = {bound, lambda, darkWeight, usefulTau, std::move(found.finestStart)};
        }
        return true;
    };
    // The useful edges' starts, in the first square and in the larger one, where the first start
    // found a blur but explains under kUsefulRetry of it: a sharp section is not searched twice
    // more, and over shake_quality's cases this condition lost none of their gain.
    if (options.retry && estimate.confidence >= kMinConfidence &&
        estimate.confidence < kUsefulRetry) {
        const double middle = (kUsefulFrom + kFurtherFrom) / 2;
        if (!startAgain(maxSize, kLambda, 0, kUsefulTau, kUsefulFrom, middle) ||
            (secondBound > maxSize &&
             !startAgain(secondBound, kLambda, 0, kUsefulTau, middle, kFurtherFrom)))
            return {};
    }
    // A first kernel that reaches its square's edge was cut off by it: the larger square is
    // searched too, however much that kernel explains. Of the 250 cases of shake_quality --click
    // (seeds 1, 2, 11, 12, 21, 22, 31, 32, and 41, 42 with --bezier) five long shakes gained 2.2
    // to 7.8 dB by it and none lost.
    const bool cutOff = secondBound > maxSize && ReachesEdge(first.k, maxSize);
    for (int s = 0; s < starts && (estimate.confidence < kRetry || (s == 0 && cutOff)); ++s) {
        const double part = (kDarkFrom - kFurtherFrom) / starts;
        if (!startAgain(secondBound, lambdas[s], 0, 0, kFurtherFrom + s * part,
                        kFurtherFrom + (s + 1) * part))
            return {};
    }
    // The dark channel's start only where the others found a trace of a blur too faint to report:
    // a sharp section (nothing explained at all) is not searched a fourth time, and where a kernel
    // was found the further prior won a few close calls by the spectrum and lost in the result.
    if (options.retry && estimate.confidence > 0 && estimate.confidence < kMinConfidence &&
        !startAgain(secondBound, kLambda, kDarkWeight, 0, kDarkFrom, kTrailFrom))
        return {};
    // A blur found: the winning search's finest level once more with trails kept (kTrailShare)
    // and a lighter L0 weight (kTrailLambda), whose kernel replaces the one found where it
    // explains more; then again from that kernel, up to kTrailRuns in all, while each explains
    // more than the last. Whether a blur is reported, and which start wins, stay the plain cut's
    // decisions.
    const double searched = estimate.confidence;
    if (!options.start && estimate.kernel && estimate.confidence >= kMinConfidence &&
        !winner.finestStart.empty()) {
        std::vector<float> from = std::move(winner.finestStart);
        const double part = (1 - kTrailFrom) / kTrailRuns;
        for (int run = 0; run < kTrailRuns; ++run) {
            Found trailed = search(winner.bound, winner.lambda, winner.darkWeight, winner.usefulTau,
                                   kTrailFrom + run * part, kTrailFrom + (run + 1) * part, &from);
            if (trailed.k.empty())
                return {};
            LogDebug("shake kernel: with trails, confidence %.2f (so far %.2f)",
                     trailed.estimate.confidence, estimate.confidence);
            if (!(trailed.estimate.confidence > estimate.confidence))
                break;
            estimate = std::move(trailed.estimate);
            from = std::move(trailed.k);
        }
    }
    estimate.searchConfidence = searched;
    LogDebug("shake kernel: radius %.1f, confidence %.2f",
             estimate.kernel ? estimate.kernel->radius() : 0.0, estimate.confidence);
    if (!estimate.kernel || estimate.kernel->radius() <= 1 || estimate.confidence < kMinConfidence)
        estimate.kernel = nullptr;
    else  // judged as found: the spectrum's fit does not depend on where the kernel is centred
        estimate.kernel = CentredExactly(*estimate.kernel);
    ReportProgress(progress, 1);
    return estimate;
}

std::int64_t EstimateShakeKernel_mem_usage(int w, int h, int maxSize) {
    // The second start's square is the larger.
    maxSize = SecondShakeBound(std::clamp(maxSize | 1, 3, kMaxBound));
    w = std::min(w, kMaxSide);
    h = std::min(h, kMaxSide);
    const std::int64_t padded =
        std::int64_t(PaddedSize(h, maxSize)) * (PaddedSize(w, maxSize) / 2 + 1) * 2;
    // The finest level: six real planes, eight spectra (a plane each), two half planes and the
    // useful edges' sums, and for the dark channel's start one plane and one spectrum more and
    // the opening's two planes; the luminance, its sorted copy, a resampled copy and its
    // intermediate; the confidence's spectra and the kernels (2 MiB).
    return 20 * padded * std::int64_t(sizeof(float)) + 4 * std::int64_t(w) * h * sizeof(float) +
           (std::int64_t(2) << 20);
}

}  // namespace velkaro
