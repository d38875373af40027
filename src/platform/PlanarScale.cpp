#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "Check.h"
#include "Planar.h"

namespace velkaro {

void scaleARGB8888(const std::uint8_t* src, int srcWidth, int srcHeight, std::size_t srcRowBytes,
                   std::uint8_t* dest, int destWidth, int destHeight, std::size_t destRowBytes) {
    VK_CHECK(srcWidth > 0 && srcHeight > 0 && destWidth > 0 && destHeight > 0);
    const cv::Mat in(srcHeight, srcWidth, CV_8UC4, const_cast<std::uint8_t*>(src), srcRowBytes);
    cv::Mat out(destHeight, destWidth, CV_8UC4, dest, destRowBytes);
    if (destWidth == srcWidth && destHeight == srcHeight) {
        in.copyTo(out);
        return;
    }
    const bool shrinking = destWidth <= srcWidth && destHeight <= srcHeight;
    cv::Mat result;
    cv::resize(in, result, cv::Size(destWidth, destHeight), 0, 0,
               shrinking ? cv::INTER_AREA : cv::INTER_LANCZOS4);
    result.copyTo(out);
}

}  // namespace velkaro
