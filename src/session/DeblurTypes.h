#pragma once

#include <string>
#include <vector>

#include "Filter.h"

namespace velkaro {

// The vocabulary of the processing session: the deblurring presets, the mask settings and the key
// under which every computed image is stored, reported and looked up.

// A preset: one method with fixed parameters. Values are contiguous from 0; 22 is unassigned and
// 26 marks the absence of a type (the empty entry). Other int values may travel in a DeblurType
// and are simply unknown presets.
enum DeblurType : int {
    DeblurUSM1 = 0,
    DeblurUSM2 = 1,
    DeblurUSM3 = 2,
    DeblurUSM4 = 3,
    DeblurUSM5 = 4,
    DeblurUSMF1 = 5,
    DeblurUSMF2 = 6,
    DeblurUSMF3 = 7,
    DeblurUSMF4 = 8,
    DeblurUSMF5 = 9,
    DeblurWF2 = 10,
    DeblurWF3 = 11,
    DeblurWI2 = 12,
    DeblurWI3 = 13,
    DeblurRL20 = 14,
    DeblurRL40 = 15,
    DeblurRL80 = 16,
    DeblurRT20 = 17,
    DeblurRT40 = 18,
    DeblurRT80 = 19,
    DeblurLA1 = 20,
    DeblurLA2 = 21,
    DeblurUnassigned = 22,
    DeblurFR = 23,
    DeblurEffect = 24,
    DeblurBlurSimulation = 25,
    DeblurNoType = 26,
};

// The presets of the candidate grid: columns 0 to kGridDeblurTypes - 1.
constexpr int kGridDeblurTypes = 22;

// Short display name of a preset ("USM1" ... "LA2", "FR", "effect"); every other value gives
// "bad_deblur_type".
const char* DeblurTypeName(int type);

// The name a preset is given on the command line and in recipes: the grid's short name, "FR",
// "blur" for the blur simulation.
const char* PresetLabel(DeblurType type);
// The preset named as PresetLabel names it, case ignored; false for any other name.
bool ParsePreset(DeblurType& out, const std::string& name);

// Display name of a mask kind: "A", "B", "C" for 0, 1, 2, "err" otherwise.
const char* MaskTypeName(int type);

struct MaskSettings {
    int type = -1;  // -1 no mask; 0, 1, 2 the mask kinds
    float radius = 0;
    float opacity = 0;
    float crudeness = 0;
};

struct DeblurredEntry {
    DeblurType deblurType = DeblurNoType;
    int radiusStep = 0;
    int angle = -1;
    MaskSettings maskSettings;
    // A kernel of its own shape (then `angle` is -1), scaled to the step's radius; null for the
    // disc and the line.
    KernelImageRef kernel = nullptr;
    // Deblurred on the linear-light luminance only, each pixel keeping its colour ratios.
    bool brightnessOnly = false;

    // The kernel of the result: the kernel image, the line at `angle`, or the disc.
    BlurKernel blurKernel() const { return kernel ? BlurKernel(kernel) : BlurKernel(angle); }
};

// The key of an unmasked result of a preset at a step with a kernel (its angle, or its image).
DeblurredEntry UnmaskedEntry(DeblurType type, int radiusStep, const BlurKernel& kernel,
                             bool brightnessOnly = false);

// Type 26, step 0, angle -1, mask type -1 with zero floats: travels with the image-loaded events.
DeblurredEntry EmptyDeblurredEntry();

// The strict weak order of the result maps: type, step and angle as signed ints, then the kernel
// image's fingerprint (none first), brightness only (off first), then the mask type; the mask
// floats (radius, opacity, crudeness) count only when both entries carry a mask.
bool operator<(const DeblurredEntry& a, const DeblurredEntry& b);

// Neither orders before the other: the two keys name the same result.
bool SameDeblurredEntry(const DeblurredEntry& a, const DeblurredEntry& b);

// The preset computing what `type` does without confining Richardson–Lucy to the detailed areas
// (RL20, RL40, RL80 for RT20, RT40, RT80); DeblurNoType for every other preset.
DeblurType PlainVariant(DeblurType type);
// For each entry, the index in `entries` of its plain variant's entry (the same key with the
// PlainVariant preset), or -1: what RankCandidates takes as plainVariants.
std::vector<int> PlainVariantIndices(const std::vector<DeblurredEntry>& entries);

}  // namespace velkaro
