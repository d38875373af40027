// Saving the composite, and exporting every cached full-size candidate into a directory.

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "AtomicFile.h"
#include "ImageIO.h"
#include "Log.h"
#include "Session.h"
#include "Timer.h"

namespace velkaro {

namespace fs = std::filesystem;

namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "deblurred_%s_%d.png", or the temporary file of an interrupted write of one.
bool isExportFileName(const std::string& name) {
    return (name.rfind("deblurred_", 0) == 0 && endsWith(name, ".png")) ||
           (name.rfind(".deblurred_", 0) == 0 && endsWith(name, ".tmp"));
}

// True when nothing is at `path`, or when it is a directory holding only the files of an earlier
// export (which may then be replaced). A user's file or folder is never removed.
bool mayReplaceExport(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec || status.type() == fs::file_type::not_found)
        return true;
    if (status.type() != fs::file_type::directory)
        return false;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file() || !isExportFileName(it->path().filename().string()))
            return false;
    }
    return !ec;
}

}  // namespace

bool Session::saveReconstructedImage(const std::string& path, const std::string& type,
                                     int quality) {
    ImageWriteOptions options;
    options.type = type;
    options.quality = quality;
    return saveReconstructedImage(path, options);
}

bool Session::saveReconstructedImage(const std::string& path, const ImageWriteOptions& options,
                                     WriteFailure* failure) {
    if (!mReconstructedImage)
        return false;
    return ImageIO::sharedInstance().writeImage(mReconstructedImage->asImage(), options, path,
                                                failure);
}

bool Session::saveDeblurredImages(const std::string& directoryPath) {
    // The packs and the newest result are shared: they are unpacked, encoded and written outside
    // the lock.
    DeblurredCache images;
    DeblurredEntry newestEntry;
    ImageRef newest;
    {
        std::lock_guard<Lock> guard(mLock);
        images = mDeblurredImages;
        newestEntry = mNewestEntry;
        newest = mNewestImage;
    }
    if (images.empty() && !newest)
        return false;

    const fs::path directory(directoryPath);
    if (!mayReplaceExport(directory)) {
        LogInfo("not exporting to %s: something other than an earlier export is there\n",
                directoryPath.c_str());
        return false;
    }
    std::error_code ec;
    fs::remove_all(directory, ec);
    if (!fs::create_directory(directory, ec) || ec)
        return false;

    Timer timer;
    timer.start();
    LogInfo("saving deblurred images...\n");
    auto save = [&](const DeblurredEntry& entry, const ImageRef& image) {
        char name[64];
        snprintf(name, sizeof name, "deblurred_%s_%d.png", DeblurTypeName(entry.deblurType),
                 entry.radiusStep);
        ByteBuffer png;
        if (ImageIO::sharedInstance().writeImage(image, png))
            WriteBytesAtomically((directory / name).string(), "[saveDeblurredImages]", png);
    };
    for (const auto& [entry, packed] : images) save(entry, packed->unpack());
    if (newest)
        save(newestEntry, newest);
    LogInfo("done! took %.2f seconds\n", timer.elapsed());
    return true;
}

}  // namespace velkaro
