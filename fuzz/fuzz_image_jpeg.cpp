// ImageIO::readFromFileJpeg: the TurboJPEG reader on a file.
#include "FuzzSupport.h"
#include "ImageIO.h"

using namespace velkaro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ImageRef image = ImageIO::sharedInstance().readFromFileJpeg(WriteFuzzFile(data, size));
    if (image)
        CheckDecodedImage(*image, true);
    return 0;
}
