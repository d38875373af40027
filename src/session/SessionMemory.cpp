// Whether a full deblur can be afforded: a photograph too large for the memory left is refused
// before the deblur starts rather than have the process killed by the kernel with the user's
// unsaved composite.

#include <cstdio>
#include <string>

#include "MemoryLimits.h"
#include "Session.h"

namespace velkaro {

namespace {

double gigabytes(std::int64_t bytes) {
    return double(bytes) / (1024.0 * 1024.0 * 1024.0);
}

}  // namespace

bool Session::fullDeblurFitsInMemory(const DeblurredEntry& entry, std::string& message) {
    const int radiusStep = entry.radiusStep;
    const DeblurType deblurType = entry.deblurType;
    message.clear();
    if (!mOriginalImage)
        return true;
    // The estimates count the methods' arrays; the images around them (composite, result, its
    // PNG stream) add about a fifth more: a 24-megapixel LA1 peaked at 6.2 GiB against an
    // estimate of 5.3 GiB.
    const std::int64_t needed =
        memoryUsageForDeblurType(radiusStep, deblurType, entry.brightnessOnly, entry.blurKernel()) /
        4 * 5;
    const std::int64_t available = mAvailableMemory ? mAvailableMemory() : AvailableMemory();
    if (available < 0 || needed <= available)
        return true;
    char text[256];
    std::snprintf(text, sizeof text,
                  "Not enough memory for %s at radius %.1f on this %dx%d photograph: it needs "
                  "about %.1f GiB and %.1f GiB are available.",
                  DeblurTypeName(deblurType), radiusStep * 0.5, mOriginalImage->width(),
                  mOriginalImage->height(), gigabytes(needed), gigabytes(available));
    message = text;
    return false;
}

}  // namespace velkaro
