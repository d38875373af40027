#include "DeblurTypes.h"

#include "DeblurMethods.h"

namespace velkaro {

const char* DeblurTypeName(int type) {
    // The blur simulation's row has a method but no grid name.
    const char* name = PresetFor(type).name;
    return name ? name : "bad_deblur_type";
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

bool operator<(const DeblurredEntry& a, const DeblurredEntry& b) {
    if (a.deblurType != b.deblurType)
        return a.deblurType < b.deblurType;
    if (a.radiusStep != b.radiusStep)
        return a.radiusStep < b.radiusStep;
    if (a.angle != b.angle)
        return a.angle < b.angle;
    const MaskSettings& ma = a.maskSettings;
    const MaskSettings& mb = b.maskSettings;
    if (ma.type != mb.type)
        return ma.type < mb.type;
    if (ma.type == -1)
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

}  // namespace velkaro
