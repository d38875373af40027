#pragma once

#include <string>

#include "Filter.h"

namespace velkaro {

// Kernel images as files: grey pictures whose brightness is the kernel's weight (a point-spread
// function as photographers and other tools save it).

// The largest kernel picture accepted, in pixels a side.
constexpr int kMaxKernelFileSide = 127;

// Reads a PNG or TIFF (any depth; colour counts by its luminance) as a kernel: placed in an odd
// square, normalised to sum 1 and centred on its centroid. Null with `reason` ("not an image this
// tool can read", "larger than 127 × 127 pixels", "every pixel is black") when it is no kernel.
KernelImageRef ReadKernelFile(const std::string& path, std::string& reason);

// Writes the kernel as a 16-bit grey PNG, its largest weight at full scale, atomically.
bool WriteKernelFile(const std::string& path, const KernelImage& kernel);

}  // namespace velkaro
