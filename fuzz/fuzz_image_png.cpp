// ImageIO::readFromFilePng: the libpng reader on a file, opaque or with its alpha kept (the
// input's last byte chooses).
#include "FuzzSupport.h"
#include "ImageIO.h"

using namespace velkaro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool forceOpaque = size == 0 || (data[size - 1] & 1) == 0;
    ImageRef image =
        ImageIO::sharedInstance().readFromFilePng(WriteFuzzFile(data, size), forceOpaque);
    if (image)
        CheckDecodedImage(*image, forceOpaque);
    return 0;
}
