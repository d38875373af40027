#include "KernelFile.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "PlatformImage.h"

namespace velkaro {

KernelImageRef ReadKernelFile(const std::string& path, std::string& reason) {
    std::vector<std::uint16_t> levels;
    int width = 0, height = 0;
    bool tooLarge = false;
    if (!PlatformReadGrey16(levels, width, height, path, kMaxKernelFileSide, &tooLarge)) {
        reason = tooLarge ? "larger than " + std::to_string(kMaxKernelFileSide) + " × " +
                                std::to_string(kMaxKernelFileSide) + " pixels"
                          : "not an image this tool can read";
        return nullptr;
    }
    // An even or oblong picture is placed in the middle of an odd square.
    const int size = std::max(width, height) | 1;
    const int ox = (size - width) / 2, oy = (size - height) / 2;
    std::vector<double> weights(std::size_t(size) * size, 0.0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            weights[std::size_t(y + oy) * size + x + ox] = levels[std::size_t(y) * width + x];
    KernelImageRef kernel = KernelImage::fromPointImage(size, weights);
    if (!kernel)
        reason = "every pixel is black";
    return kernel;
}

bool WriteKernelFile(const std::string& path, const KernelImage& kernel) {
    const std::vector<double> w = kernel.pointImage();
    const double peak = *std::max_element(w.begin(), w.end());
    std::vector<std::uint16_t> levels(w.size());
    for (std::size_t i = 0; i < w.size(); ++i)
        levels[i] = std::uint16_t(std::lround(w[i] / peak * 65535.0));
    return PlatformWriteGrey16Png(path, levels, kernel.size(), kernel.size());
}

}  // namespace velkaro
