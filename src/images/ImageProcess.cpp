#include "ImageProcess.h"

#include "Check.h"
#include "Dispatch.h"

namespace velkaro {

void ForceOpaque(const ImageRef& i) {
    VK_CHECK(i);
    std::uint8_t* pixels = i->pixels();
    const std::size_t rowBytes = std::size_t(i->width()) * i->bytesPerPixel();
    if (i->depth() == 16) {
        dispatchApply(std::size_t(i->height()), [&](std::size_t y) {
            auto* row = reinterpret_cast<std::uint16_t*>(pixels + y * rowBytes);
            for (int x = 0; x < i->width(); ++x) row[4 * std::size_t(x)] = 65535;
        });
        return;
    }
    dispatchApply(std::size_t(i->height()), [&](std::size_t y) {
        std::uint8_t* row = pixels + y * rowBytes;
        for (std::size_t x = 0; x < rowBytes; x += 4) row[x] = 255;
    });
}

}  // namespace velkaro
