// ImageIO::readFromMemory: PNG streams held in memory (the detour of Qt's formats).
#include "FuzzSupport.h"
#include "ImageIO.h"

using namespace velkaro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ImageRef image = ImageIO::sharedInstance().readFromMemory(ByteBuffer(data, data + size));
    if (image)
        CheckDecodedImage(*image, true);
    return 0;
}
