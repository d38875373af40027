#include "DeblurTypes.h"

#include <cctype>
#include <cstdint>
#include <map>
#include <tuple>
#include <utility>

#include "DeblurMethods.h"

namespace velkaro {

const char* DeblurTypeName(int type) {
    // The blur simulation's row has a method but no grid name.
    const char* name = PresetFor(type).name;
    return name ? name : "bad_deblur_type";
}

namespace {

bool sameIgnoringCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && !b[i];
}

}  // namespace

const char* PresetLabel(DeblurType type) {
    return type == DeblurBlurSimulation ? "blur" : DeblurTypeName(type);
}

bool ParsePreset(DeblurType& out, const std::string& name) {
    for (int t = 0; t <= DeblurNoType; ++t) {
        const DeblurType type = DeblurType(t);
        if (type == DeblurUnassigned || type == DeblurEffect || type == DeblurNoType)
            continue;
        if (sameIgnoringCase(name, PresetLabel(type))) {
            out = type;
            return true;
        }
    }
    return false;
}

const char* MaskTypeName(int type) {
    switch (type) {
        case 0:
            return "A";
        case 1:
            return "B";
        case 2:
            return "C";
        default:
            return "err";
    }
}

DeblurredEntry EmptyDeblurredEntry() {
    return DeblurredEntry{};
}

DeblurredEntry UnmaskedEntry(DeblurType type, int radiusStep, const BlurKernel& kernel,
                             bool brightnessOnly) {
    return DeblurredEntry{type,           radiusStep,   kernel.image ? -1 : kernel.angle,
                          MaskSettings{}, kernel.image, brightnessOnly};
}

bool operator<(const DeblurredEntry& a, const DeblurredEntry& b) {
    const MaskSettings& ma = a.maskSettings;
    const MaskSettings& mb = b.maskSettings;
    const auto kernelKey = [](const DeblurredEntry& e) {
        return std::pair(e.kernel != nullptr, e.blurKernel().imageFingerprint());
    };
    const auto ka =
        std::tuple(a.deblurType, a.radiusStep, a.angle, kernelKey(a), a.brightnessOnly, ma.type);
    const auto kb =
        std::tuple(b.deblurType, b.radiusStep, b.angle, kernelKey(b), b.brightnessOnly, mb.type);
    if (ka != kb)
        return ka < kb;
    if (ma.type == -1)  // no mask: its numbers play no part
        return false;
    // The first float that differs decides; a NaN differs from everything and compares as not
    // less, so it makes the two entries equivalent.
    if (ma.radius != mb.radius)
        return ma.radius < mb.radius;
    if (ma.opacity != mb.opacity)
        return ma.opacity < mb.opacity;
    if (ma.crudeness != mb.crudeness)
        return ma.crudeness < mb.crudeness;
    return false;
}

bool SameDeblurredEntry(const DeblurredEntry& a, const DeblurredEntry& b) {
    return !(a < b) && !(b < a);
}

DeblurType PlainVariant(DeblurType type) {
    const Preset& confined = PresetFor(type);
    if (confined.method != DeblurMethod::LucyRichardThreshold)
        return DeblurNoType;
    for (int t = 0; t < kGridDeblurTypes; ++t)
        if (kPresets[t].method == DeblurMethod::LucyRichard &&
            kPresets[t].parameter == confined.parameter)
            return DeblurType(t);
    return DeblurNoType;
}

std::vector<int> PlainVariantIndices(const std::vector<DeblurredEntry>& entries) {
    std::map<DeblurredEntry, int> index;
    for (std::size_t i = 0; i < entries.size(); ++i) index.emplace(entries[i], int(i));
    std::vector<int> plain(entries.size(), -1);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        DeblurredEntry variant = entries[i];
        variant.deblurType = PlainVariant(entries[i].deblurType);
        if (variant.deblurType == DeblurNoType)
            continue;
        if (const auto it = index.find(variant); it != index.end())
            plain[i] = it->second;
    }
    return plain;
}

}  // namespace velkaro
