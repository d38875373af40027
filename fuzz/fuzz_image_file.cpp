// ImageIO::readFromFile: the whole route a photograph takes when opened (JPEG, then PNG, then
// Qt's readers and the detour through PNG in memory), with TIFF, GIF and the other formats Qt
// reads in the seed corpus.
#include <string>

#include "FuzzSupport.h"
#include "ImageIO.h"

using namespace velkaro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string format;
    ImageRef image = ImageIO::sharedInstance().readFromFile(WriteFuzzFile(data, size), format);
    if (image) {
        CheckDecodedImage(*image, true);
        if (format.empty())
            std::abort();
    }
    return 0;
}
