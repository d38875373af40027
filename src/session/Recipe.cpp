// Recording what was done to a photograph, and doing it again on a session.

#include "Recipe.h"

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>
#include <filesystem>

#include "Session.h"

namespace velkaro {

namespace fs = std::filesystem;

void Recipe::append(RecipeOperation operation, const DeblurredEntry& entry, int depth) {
    if (operation.picture == RecipePicture::Result) {
        const auto same = std::find_if(deblurs.begin(), deblurs.end(), [&](const RecipeDeblur& d) {
            return SameDeblurredEntry(d.entry, entry);
        });
        operation.result = int(same - deblurs.begin());
        if (same == deblurs.end())
            deblurs.push_back(RecipeDeblur{entry, depth});
    }
    operations.push_back(std::move(operation));
}

bool Recipe::hasStrokes() const {
    return std::any_of(operations.begin(), operations.end(), [](const RecipeOperation& op) {
        return op.kind == RecipeOperation::Kind::Stroke;
    });
}

std::string FileSha256(const std::string& path) {
    QFile file(QString::fromStdString(path));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return "";
    return hash.result().toHex().toStdString();
}

bool RecipeSourceOfFile(RecipeSource& out, const std::string& path, int width, int height) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    out = RecipeSource{absolute.filename().string(), absolute.string(), width, height,
                       FileSha256(path)};
    return !out.sha256.empty();
}

std::string RecipePathForImage(const std::string& imagePath) {
    fs::path path(imagePath);
    return (path.parent_path() / (path.stem().string() + ".velkaro.json")).string();
}

bool ReplayRecipeDeblurs(Session& session, const Recipe& recipe, std::string& message) {
    std::vector<bool> used(recipe.deblurs.size(), false);
    for (const RecipeOperation& operation : recipe.operations)
        if (operation.picture == RecipePicture::Result)
            used.at(operation.result) = true;
    for (std::size_t i = 0; i < recipe.deblurs.size(); ++i) {
        const DeblurredEntry& entry = recipe.deblurs[i].entry;
        if (!used[i] || session.deblurredImage(entry))
            continue;
        if (!session.fullDeblurFitsInMemory(entry, message))
            return false;
        session.deblur(entry);
        if (!session.deblurredImage(entry)) {
            message = std::string("the deblur ") + PresetLabel(entry.deblurType) + " radius " +
                      std::to_string(entry.radiusStep / 2) + (entry.radiusStep % 2 ? ".5" : "") +
                      " failed";
            return false;
        }
    }
    return true;
}

Rect ReplayRecipeOperation(Session& session, const Recipe& recipe,
                           const RecipeOperation& operation) {
    CImage* composite = session.reconstructed();
    if (!composite)
        return Rect{};
    ImageRef picture;
    switch (operation.picture) {
        case RecipePicture::Original:
            picture = session.original()->asImage();
            break;
        case RecipePicture::Composite:
            picture = composite->asImage();
            break;
        case RecipePicture::Result:
            picture = session.deblurredImage(recipe.deblurs.at(operation.result).entry);
            break;
    }
    if (!picture)
        return Rect{};
    if (operation.kind == RecipeOperation::Kind::ApplyAll) {
        session.applyAll(picture);
        return Rect{0, 0, double(composite->width()), double(composite->height())};
    }
    session.startBrush();
    double x0 = composite->width(), y0 = composite->height(), x1 = 0, y1 = 0;
    for (const RecipePoint& p : operation.points) {
        Rect changed;
        session.applyBrush(picture.get(), operation.size, operation.opacity, p.x, p.y, &changed);
        if (changed.width > 0 && changed.height > 0) {
            x0 = std::min(x0, changed.x), y0 = std::min(y0, changed.y);
            x1 = std::max(x1, changed.x + changed.width),
            y1 = std::max(y1, changed.y + changed.height);
        }
    }
    session.endBrush();
    return x1 > x0 && y1 > y0 ? Rect{x0, y0, x1 - x0, y1 - y0} : Rect{};
}

}  // namespace velkaro
