#pragma once

#include <string>
#include <vector>

#include "DeblurTypes.h"
#include "Image.h"

namespace velkaro {

class Session;
enum class WriteFailure;  // AtomicFile.h

// A recipe: what was done to one photograph, in order, so that it can be done again on the same
// pixels or on another rendering of the same picture. It is saved beside the result as
// NAME.velkaro.json (RecipeFile) and replayed by the command line and the window.

// The photograph the recipe was made on.
struct RecipeSource {
    std::string name;  // the file name, without its folder
    std::string path;  // the absolute path when recorded
    int width = 0;
    int height = 0;
    std::string sha256;  // of the file's bytes, 64 lower-case hex digits
};

// A full deblur the operations paint with; `entry` is the session's key of the result.
struct RecipeDeblur {
    DeblurredEntry entry;
    int depth = 8;  // bits per channel the result was computed at: the photograph's
};

// Where a stroke or an Apply to all takes its pixels from.
enum class RecipePicture { Result, Original, Composite };

struct RecipePoint {
    int x = 0;
    int y = 0;
    bool operator==(const RecipePoint&) const = default;
};

// One change of the composite: a brush stroke (its dabs in order) or an Apply to all.
struct RecipeOperation {
    enum class Kind { Stroke, ApplyAll };
    Kind kind = Kind::Stroke;
    RecipePicture picture = RecipePicture::Result;
    int result = -1;  // index into Recipe::deblurs when `picture` is Result
    // Strokes only: the dab's diameter in pixels, its opacity and the edge's hardness (the brush
    // has one profile, a disc with a smoothed rim: hardness 1).
    float size = 0;
    float opacity = 0;
    float hardness = 1;
    std::vector<RecipePoint> points;
};

// How the result was saved.
struct RecipeSave {
    std::string type = "PNG";  // PNG, JPEG or TIFF
    int quality = 90;
    bool compressTiff = true;
    bool copyMetadata = false;
    int depth = 8;
};

struct Recipe {
    RecipeSource source;
    std::vector<RecipeDeblur> deblurs;  // in the order the operations first use them
    std::vector<RecipeOperation> operations;
    RecipeSave save;

    // Appends `operation`, painting with the full result `entry`, computed at `depth` bits, when
    // its picture is Result (the deblur is listed once, the first time it is used).
    void append(RecipeOperation operation, const DeblurredEntry& entry = {}, int depth = 8);
    bool hasStrokes() const;
};

// The source fields of the photograph at `path` decoded as `width` × `height` pixels; false when
// its bytes cannot be read for the hash.
bool RecipeSourceOfFile(RecipeSource& out, const std::string& path, int width, int height);
// The SHA-256 of a file's bytes in hex; empty when it cannot be read.
std::string FileSha256(const std::string& path);

// NAME.velkaro.json beside NAME.EXT.
std::string RecipePathForImage(const std::string& imagePath);

// --- replay on a session holding the photograph ---

// Computes every full deblur that the recipe's operations use and the session does not hold
// yet, on the calling thread; false with a message when one would not fit in memory or its method
// failed.
bool ReplayRecipeDeblurs(Session& session, const Recipe& recipe, std::string& message);
// Applies one operation to the composite (the deblurs it uses must be computed); the rectangle
// it changed. Strokes outside the photograph paint only what falls inside.
Rect ReplayRecipeOperation(Session& session, const Recipe& recipe,
                           const RecipeOperation& operation);

}  // namespace velkaro
