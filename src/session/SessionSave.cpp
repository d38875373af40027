// Saving the composite, and exporting every cached full-size candidate into a directory.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "ImageIO.h"
#include "Session.h"
#include "Timer.h"

namespace fs = std::filesystem;

namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "deblurred_%s_%d.png", or the temporary file of an interrupted write of one.
bool isExportFileName(const std::string& name) {
    return name.rfind("deblurred_", 0) == 0 && (endsWith(name, ".png") || endsWith(name, ".png.partial"));
}

// True when nothing is at `path`, or when it is a directory holding only the files of an earlier
// export (which may then be replaced). A user's file or folder is never removed.
bool mayReplaceExport(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec || status.type() == fs::file_type::not_found) return true;
    if (status.type() != fs::file_type::directory) return false;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file() || !isExportFileName(it->path().filename().string()))
            return false;
    }
    return !ec;
}

// Writes the bytes to a temporary file beside `path`, then renames it over `path`.
bool writeFileAtomically(const fs::path& path, const ByteBuffer& bytes) {
    fs::path temporary = path;
    temporary += ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ec;
            fs::remove(temporary, ec);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) fs::remove(temporary, ec);
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

bool Session::saveReconstructedImage(const std::string& path, const ImageWriteOptions& options) {
    if (!mReconstructedImage) return false;
    return ImageIO::sharedInstance().writeImage(mReconstructedImage->asImage(), options, path);
}

bool Session::saveDeblurredImages(const std::string& directoryPath) {
    DeblurredCache results;  // encoded outside the lock
    {
        std::lock_guard<Lock> guard(mLock);
        results = mDeblurredImages;
    }
    if (results.empty()) return false;

    const fs::path directory(directoryPath);
    if (!mayReplaceExport(directory)) {
        printf("not exporting to %s: something other than an earlier export is there\n",
               directoryPath.c_str());
        return false;
    }
    std::error_code ec;
    fs::remove_all(directory, ec);
    if (!fs::create_directory(directory, ec) || ec) return false;

    Timer timer;
    timer.start();
    printf("saving deblurred images...\n");
    for (const auto& [entry, packed] : results) {
        char name[64];
        snprintf(name, sizeof name, "deblurred_%s_%d.png", DeblurTypeName(entry.deblurType),
                 entry.radiusStep);
        ByteBuffer png;
        if (ImageIO::sharedInstance().writeImage(packed->unpack(), png))
            writeFileAtomically(directory / name, png);
    }
    printf("done! took %.2f seconds\n", timer.elapsed());
    return true;
}
