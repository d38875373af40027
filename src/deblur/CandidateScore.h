#pragma once

// How good one deblurred candidate of a preview section is, judged from the original section and
// the candidate alone (no sharp truth is known): how much real detail it restores against how much
// it invents. The score is built from a few measurable parts, each explained where it is computed:
//
//   consistency  re-blurring the candidate with the cell's kernel should give back the original;
//                the residual's RMS in linear light scaled to 0–255 (the methods' own space), the
//                original's own noise included
//   detail       gain in edge sharpness: RMS gradient of the candidate over RMS gradient of the
//                original around the original's edges, minus one (+0.18 = 18 % sharper)
//   halo         overshoot beyond the original's local minimum/maximum near edges (ringing, halos),
//                mean in grey levels
//   noise        fine-scale energy the candidate adds in the original's flat areas (amplified
//                noise, oscillation), RMS in grey levels
//   edge noise   the same around the edges, times the share of it the section's noise explains:
//                on strong edges it is sharpness, on texture as faint as the noise it is noise
//   estimate     how far the cell's kernel is from the section's blur estimate (the same shape
//                only): radius difference over the estimated radius, times the estimate's
//                confidence; where the estimate found no blur, a share of the radius itself
//
// The original section itself, judged as a candidate, adds no detail, halo or noise; only its
// re-blur residual counts against it. A grid in which no candidate scores above the original
// has little to gain: the blur takes less from the section than deblurring adds to it (a smooth
// and noisy section, as of a fundus photograph). Its cells are then ranked as those of a section
// without blur, the gentle ones first (RankingTotal).
//
// The other parts are measured on the luma of the sRGB bytes (as the eye judges them). All of them
// leave out the section's border strip, where the methods themselves lack neighbours. A larger
// total is better. Halo, noise and the edge zone are measured on every other pixel of every other
// row, the gradients and the re-blur on the full-size pixels (sampled). What depends on the
// original and the kernel alone (its planes, edges, local ranges and its share of the sums) is
// measured once in a ScoreBasis and shared by every candidate of that section and kernel.

#include <memory>
#include <string>
#include <vector>

#include "BlurEstimate.h"
#include "Image.h"

namespace velkaro {

struct CandidateScore {
    double total = 0;
    double detail = 0;            // relative gain in edge sharpness
    double halo = 0;              // grey levels
    double noise = 0;             // grey levels
    double edgeNoise = 0;         // grey levels
    double consistency = 0;       // re-blur residual, grey levels
    double edgeShare = 0;         // share of the judged area within reach of an edge, 0–1
    double estimateGap = 0;       // relative radius difference × confidence
    double radius = 0;            // of the cell's kernel, pixels
    double originalResidual = 0;  // the original's own re-blur residual, grey levels
};

// The weights of the total: a detail gain d counts as d / (1 + 4d), the penalties linearly; detail,
// halo and edge noise are weighed by the edge share of the section, noise by the flat share
// (`noise`) and once more over the whole section (`noiseEverywhere`): a textured section has few
// flat pixels to measure noise on, but the noise a method amplifies is everywhere.
struct ScoreWeights {
    double detail, halo, noise, consistency, noiseEverywhere, estimate, edgeNoise;
};
// The calibrated weights the score uses.
extern const ScoreWeights kScoreWeights;
double ScoreTotal(const CandidateScore& parts, const ScoreWeights& weights);

// The total of the original section itself against the basis `parts` was scored with.
double OriginalTotal(const CandidateScore& parts, const ScoreWeights& weights);
// The candidate whose kernel gives the original section its best OriginalTotal (0 for an empty
// grid): where the grid has little to gain, the original ranks first at that candidate's row.
std::size_t OriginalBasis(const std::vector<CandidateScore>& grid,
                          const ScoreWeights& weights = kScoreWeights);
// Whether a grid of these candidates has little to gain: none scores above the original section
// itself (its best total over the grid's kernels). The section is then best left as it is, and the
// original ranks above every candidate.
bool LittleToGain(const std::vector<CandidateScore>& grid,
                  const ScoreWeights& weights = kScoreWeights);
// The total a candidate ranks by: its own, or where its grid has little to gain, the total it
// would have in a section without blur.
double RankingTotal(const CandidateScore& parts, bool littleToGain,
                    const ScoreWeights& weights = kScoreWeights);
// The order of a grid's candidates, best first by RankingTotal; equal totals keep their order.
// `plainVariants`, when given, holds for each candidate the index of its plain variant or -1: for
// a result of Richardson–Lucy confined to the detailed areas (the RT presets), plain
// Richardson–Lucy's with the same iterations at the same radius. A confined candidate ranked
// above its plain variant swaps places with it unless its total is higher by kConfinedMargin.
std::vector<std::size_t> RankCandidates(const std::vector<CandidateScore>& grid,
                                        const ScoreWeights& weights = kScoreWeights,
                                        const std::vector<int>& plainVariants = {});
// How much more a confined (RT) candidate must score than its plain variant to rank above it.
extern const double kConfinedMargin;

// How much the score trusts a kernel image's own size as the section's blur.
extern const double kKernelImageConfidence;
// The blur estimate the rows of `kernel` are judged against: for a kernel image (estimated from
// the photograph or chosen for it) its own size, as an estimate of that shape would say, with
// kKernelImageConfidence; for the disc and the line the section's own estimate.
BlurEstimate ScoredBlurEstimate(const BlurEstimate& section, const BlurKernel& kernel);

// What the score needs of one original section and one kernel (GenerateFilter's for `radius` and
// `angle`; angle < 0: the disc), with the section's blur estimate (EstimateBlur's, made once per
// section; None, the default, says no blur was found): about 1 MB for a 512 × 512 section.
// Immutable once made, so any number of threads may score candidates against it at once.
class ScoreBasis {
  public:
    ScoreBasis(const CImage& original, double radius, const BlurKernel& blur,
               const BlurEstimate& sectionBlur = {});
    ~ScoreBasis();
    ScoreBasis(const ScoreBasis&) = delete;
    ScoreBasis& operator=(const ScoreBasis&) = delete;

    int width() const;
    int height() const;

    struct Planes;
    const Planes& planes() const { return *mPlanes; }

  private:
    std::unique_ptr<Planes> mPlanes;
};

// `candidate` has the basis's size.
CandidateScore ScoreCandidate(const ScoreBasis& basis, const CImage& candidate);
// The same for a single candidate: `original` and `candidate` have the same size.
CandidateScore ScoreCandidate(const CImage& original, const CImage& candidate, double radius,
                              const BlurKernel& blur);

// The parts in words for the user: "detail +18 %, halos low, noise medium" (the noise in flat
// areas or near edges, whichever is larger).
std::string DescribeScore(const CandidateScore& score);

// The candidate, in grey, tinted where it rings or haloes (red) and where it amplifies noise
// (blue), per pixel, with the same terms as the score; the strength of the tint follows the
// artefact's size.
ImageRef ArtefactMap(const CImage& original, const CImage& candidate, double radius,
                     const BlurKernel& blur);

}  // namespace velkaro
