// The window's recipes: what the history's steps did, saved beside a photograph, and opened again
// with the photograph so that the work goes on from where it was.

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "Controller.h"
#include "Dialogs.h"
#include "Log.h"
#include "MainWindow.h"
#include "RecipeFile.h"
#include "SplitView.h"

namespace velkaro {

namespace {

std::string localPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

}  // namespace

bool Controller::writesRecipe() const {
    return mWriteRecipe->isChecked();
}

Recipe Controller::currentRecipe() const {
    Recipe recipe;
    recipe.source.name = QFileInfo(mOpenedImagePath).fileName().toStdString();
    recipe.source.path = localPath(mOpenedImagePath);
    if (const CImage* original = mSession->original()) {
        recipe.source.width = original->width();
        recipe.source.height = original->height();
    }
    // The results are computed at the photograph's depth; the save may choose another.
    const int depth = mSession->original() ? mSession->original()->depth() : 8;
    for (const HistoryOperation& done : mHistory.doneOperations())
        recipe.append(done.operation, done.entry, depth);
    return recipe;
}

void Controller::openRecipe() {
    mDialogs.beginOpenPanel(mMainWindow, {"json"}, panelFolder(), [this](const QString& path) {
        if (!path.isEmpty())
            later([this, path] { openRecipeAtPath(path); });
    });
}

void Controller::openRecipeAtPath(const QString& path) {
    Recipe recipe;
    RecipeError error;
    if (!ReadRecipeFile(recipe, localPath(path), error)) {
        showFailure(tr("The recipe could not be opened."), path,
                    QString::fromStdString(error.text()));
        emit recipeReplayed(false);
        return;
    }
    // Where it was recorded, else beside the recipe (a folder moved or copied as a whole).
    QString source = QFile::decodeName(QByteArray::fromStdString(recipe.source.path));
    if (source.isEmpty() || !QFileInfo(source).isFile())
        source = QFileInfo(path).dir().filePath(QString::fromStdString(recipe.source.name));
    if (!QFileInfo(source).isFile()) {
        showFailure(tr("The recipe could not be opened."), path,
                    tr("Its photograph %1 is neither where it was nor beside the recipe.")
                        .arg(QString::fromStdString(recipe.source.name)));
        emit recipeReplayed(false);
        return;
    }
    rememberFolderOf(path);
    mPendingRecipe = std::move(recipe);
    mPendingRecipeSource = QDir::cleanPath(QFileInfo(source).absoluteFilePath());
    maybeOpenImageAtPath(mPendingRecipeSource);
}

void Controller::replayRecipe(const Recipe& recipe) {
    const CImage* original = mSession->original();
    if (!original) {
        emit recipeReplayed(false);
        return;
    }
    const int W = original->width(), H = original->height();
    if ((W != recipe.source.width || H != recipe.source.height) && recipe.hasStrokes()) {
        showFailure(tr("The recipe could not be replayed."), mOpenedImagePath,
                    tr("Its strokes were painted on a %1 × %2 photograph; this one is %3 × %4.")
                        .arg(recipe.source.width)
                        .arg(recipe.source.height)
                        .arg(W)
                        .arg(H));
        emit recipeReplayed(false);
        return;
    }
    auto message = std::make_shared<std::string>();
    auto computed = std::make_shared<bool>(false);
    runOnWorker(
        tr("Replaying the recipe"),
        [this, recipe, message, computed] {
            *computed = ReplayRecipeDeblurs(*mSession, recipe, *message);
        },
        [this, recipe, message, computed, W, H] {
            if (!*computed) {
                showFailure(tr("The recipe could not be replayed."), mOpenedImagePath,
                            QString::fromStdString(*message));
                emit recipeReplayed(false);
                return;
            }
            // Each operation becomes a step of the history holding the rectangle it changed.
            CImage* composite = mSession->reconstructed();
            const CImage previous = CropImage(*composite, 0, 0, W, H);
            for (const RecipeOperation& operation : recipe.operations) {
                const Rect r = ReplayRecipeOperation(*mSession, recipe, operation);
                if (r.width < 1 || r.height < 1)
                    continue;
                const int x = int(r.x), y = int(r.y), w = int(r.width), h = int(r.height);
                const CImage after = CropImage(*composite, x, y, w, h);
                const bool stroke = operation.kind == RecipeOperation::Kind::Stroke;
                HistoryOperation done{operation, {}};
                if (operation.picture == RecipePicture::Result)
                    done.entry = recipe.deblurs[operation.result].entry;
                mHistory.record(stroke ? tr("Brush Stroke") : tr("Apply to All"), x, y,
                                CropImage(previous, x, y, w, h), after, done);
                PasteImage(after, previous, x, y);
            }
            mSplitView->reloadRefocusedImageInRect(Rect{0, 0, double(W), double(H)});
            composited();
            refreshReconstructedRow();
            LogInfo("replayed a recipe of %zu operations\n", recipe.operations.size());
            emit recipeReplayed(true);
        });
}

}  // namespace velkaro
