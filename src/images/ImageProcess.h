#pragma once

#include "Image.h"

namespace velkaro {

// Sets sample 0 (alpha) of every pixel to its largest value, one row per task of a parallel loop.
void ForceOpaque(const ImageRef& image);

// Blends `destination` (the deblurred w × h region x, y, w, h of `source`) back towards the source
// where the mask of the given type (0 and 1 edges, 2 local contrast) is weak, or, with opacity −1,
// replaces it by the mask as a grey picture. The rows run as a parallel loop on the high-priority
// queue when `highPriority` is non-zero.
void CreateMask(const ImageRef& source, const ImageRef& destination, int x, int y, int w, int h,
                int type, int highPriority, float radius, float opacity, float crudeness);

}  // namespace velkaro
