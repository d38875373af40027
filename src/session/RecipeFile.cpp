// The recipe's JSON form: written compactly (a stroke's points are one flat array), read strictly.

#include "RecipeFile.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <optional>

#include "AtomicFile.h"
#include "Filter.h"

namespace velkaro {

namespace {

// A float as the shortest decimal that reads back as the same float, when the double nearest
// that decimal converts back to it (almost always); else the float's exact double.
QJsonValue floatValue(float value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    *end = '\0';
    const double shortest = std::strtod(text, nullptr);
    return float(shortest) == value ? shortest : double(value);
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QJsonObject kernelToJson(const DeblurredEntry& entry) {
    QJsonObject kernel;
    if (entry.kernel) {
        kernel["shape"] = "kernel";
        kernel["size"] = entry.kernel->size();
        QJsonArray weights;
        for (double w : entry.kernel->weights()) weights.append(w);
        kernel["weights"] = weights;
    } else if (entry.angle >= 0) {
        kernel["shape"] = "motion";
        kernel["angle"] = ProtractorAngleFromKernel(entry.angle);
    } else {
        kernel["shape"] = "disc";
    }
    return kernel;
}

QString pictureName(const RecipeOperation& operation) {
    return operation.picture == RecipePicture::Original ? "original" : "composite";
}

// The field names of a JSON object under `path`, and strict readers of its members that set the
// error (naming the field) when they fail.
class Fields {
  public:
    Fields(const QJsonObject& object, std::string path, RecipeError& error)
        : mObject(object), mPath(std::move(path)), mError(error) {}

    std::string at(const std::string& key) const { return mPath.empty() ? key : mPath + "." + key; }
    bool has(const char* key) const { return mObject.contains(key); }
    bool fail(const std::string& key, const std::string& message) const {
        mError = RecipeError{RecipeFailure::BadField, at(key), message};
        return false;
    }
    // A present, non-null member, or the message that it is missing.
    bool value(QJsonValue& out, const char* key) const {
        out = mObject.value(key);
        return !out.isUndefined() && !out.isNull() ? true : fail(key, "missing");
    }
    bool integer(int& out, const char* key, int lo, int hi,
                 std::optional<int> fallback = std::nullopt) const {
        if (fallback && !has(key))
            return out = *fallback, true;
        QJsonValue v;
        if (!value(v, key))
            return false;
        const double d = v.toDouble(std::nan(""));
        if (!v.isDouble() || d != std::floor(d) || d < lo || d > hi)
            return fail(key, "must be a whole number from " + std::to_string(lo) + " to " +
                                 std::to_string(hi));
        out = int(d);
        return true;
    }
    bool number(float& out, const char* key, float lo, float hi,
                std::optional<float> fallback = std::nullopt) const {
        if (fallback && !has(key))
            return out = *fallback, true;
        QJsonValue v;
        if (!value(v, key))
            return false;
        const double d = v.toDouble(std::nan(""));
        if (!v.isDouble() || !std::isfinite(d) || d < lo || d > hi)
            return fail(key, "must be a number from " + Number(lo) + " to " + Number(hi));
        out = float(d);
        return true;
    }
    bool text(std::string& out, const char* key,
              std::optional<std::string> fallback = std::nullopt) const {
        if (fallback && !has(key))
            return out = *fallback, true;
        QJsonValue v;
        if (!typed(v, key, &QJsonValue::isString, "a string"))
            return false;
        out = v.toString().toStdString();
        return true;
    }
    bool boolean(bool& out, const char* key, bool fallback) const {
        if (!has(key))
            return out = fallback, true;
        if (!mObject.value(key).isBool())
            return fail(key, "must be true or false");
        out = mObject.value(key).toBool();
        return true;
    }
    // The member object `key` read under this object's path; none (the error set) when it is
    // missing or not an object.
    std::optional<Fields> nested(const char* key) const {
        QJsonValue v;
        if (!typed(v, key, &QJsonValue::isObject, "an object"))
            return std::nullopt;
        return child(v.toObject(), key);
    }
    bool array(QJsonArray& out, const char* key) const {
        QJsonValue v;
        const bool ok = typed(v, key, &QJsonValue::isArray, "an array");
        out = v.toArray();
        return ok;
    }
    // A present member of the kind `is` tests for, or the message that it must be `kind`.
    bool typed(QJsonValue& out, const char* key, bool (QJsonValue::*is)() const,
               const char* kind) const {
        if (!value(out, key))
            return false;
        return (out.*is)() ? true : fail(key, std::string("must be ") + kind);
    }

    // The member `key` (an object, or an element of an array) read under this object's path.
    Fields child(const QJsonObject& object, const std::string& key) const {
        return Fields(object, at(key), mError);
    }

    static std::string Number(double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        return text;
    }

  private:
    QJsonObject mObject;
    std::string mPath;
    RecipeError& mError;
};

std::string indexed(const std::string& path, int i) {
    return path + "[" + std::to_string(i) + "]";
}

// The preset of a recipe: the grid's names, FR, or "blur" for the blur simulation.
bool readPreset(DeblurType& out, const Fields& fields) {
    std::string name;
    if (!fields.text(name, "preset"))
        return false;
    if (!ParsePreset(out, name))
        return fields.fail("preset", "unknown preset '" + name + "'");
    return true;
}

bool readKernel(DeblurredEntry& entry, const Fields& parent) {
    const std::optional<Fields> found = parent.nested("kernel");
    if (!found)
        return false;
    const Fields& kernel = *found;
    std::string shape;
    if (!kernel.text(shape, "shape"))
        return false;
    entry.angle = -1;
    entry.kernel = nullptr;
    if (shape == "disc")
        return true;
    if (shape == "motion") {
        int angle = 0;
        if (!kernel.integer(angle, "angle", 0, 179))
            return false;
        entry.angle = KernelAngleFromProtractor(angle);
        return true;
    }
    if (shape != "kernel")
        return kernel.fail("shape", "must be disc, motion or kernel, got '" + shape + "'");
    int size = 0;
    QJsonArray weights;
    if (!kernel.integer(size, "size", 1, 127) || !kernel.array(weights, "weights"))
        return false;
    if (weights.size() != size * size)
        return kernel.fail("weights",
                           "must hold size x size = " + std::to_string(size * size) + " numbers");
    std::vector<double> values;
    for (const QJsonValue& w : weights) {
        if (!w.isDouble() || !(w.toDouble() >= 0))
            return kernel.fail(indexed("weights", int(values.size())),
                               "must be a number of at least 0");
        values.push_back(w.toDouble());
    }
    entry.kernel = KernelImage::fromWeights(size, values);
    return entry.kernel ? true : kernel.fail("weights", "has no weight above 0");
}

bool readMask(MaskSettings& mask, const Fields& parent) {
    mask = MaskSettings{};
    if (!parent.has("mask"))
        return true;
    const std::optional<Fields> found = parent.nested("mask");
    if (!found)
        return false;
    const Fields& fields = *found;
    std::string type;
    if (!fields.text(type, "type"))
        return false;
    if (type != "A" && type != "B" && type != "C")
        return fields.fail("type", "must be A, B or C, got '" + type + "'");
    mask.type = type[0] - 'A';
    if (!fields.number(mask.radius, "radius", 0.5f, 100.0f) ||
        !fields.number(mask.opacity, "opacity", -1.0f, 1.0f) ||
        !fields.number(mask.crudeness, "crudeness", 0.0f, 1.0f))
        return false;
    if (mask.opacity < 0 && mask.opacity != -1.0f)
        return fields.fail("opacity", "must be from 0 to 1, or -1 for the mask itself");
    return true;
}

// Bits per channel: 8 when absent.
bool readDepth(int& depth, const Fields& fields) {
    if (!fields.integer(depth, "depth", 8, 16, 8))
        return false;
    return depth == 8 || depth == 16 ? true : fields.fail("depth", "must be 8 or 16");
}

// Runs `read` on each element of the array `key`, each of which must be an object.
bool readEachObject(const Fields& top, const char* key,
                    const std::function<bool(const Fields&, const QJsonObject&)>& read) {
    QJsonArray array;
    if (!top.array(array, key))
        return false;
    for (int i = 0; i < array.size(); ++i) {
        const std::string name = indexed(key, i);
        if (!array[i].isObject())
            return top.fail(name, "must be an object");
        if (!read(top.child(array[i].toObject(), name), array[i].toObject()))
            return false;
    }
    return true;
}

bool readDeblurs(Recipe& out, const Fields& top) {
    return readEachObject(top, "deblurs", [&](const Fields& fields, const QJsonObject&) {
        RecipeDeblur deblur;
        DeblurredEntry& entry = deblur.entry;
        if (!readPreset(entry.deblurType, fields) ||
            !fields.integer(entry.radiusStep, "step", 1, 30) || !readKernel(entry, fields) ||
            !readMask(entry.maskSettings, fields) ||
            !fields.boolean(entry.brightnessOnly, "brightnessOnly", false) ||
            !readDepth(deblur.depth, fields))
            return false;
        out.deblurs.push_back(std::move(deblur));
        return true;
    });
}

// A dab counts as inside when it reaches the photograph.
bool readStroke(RecipeOperation& op, const Fields& fields, const RecipeSource& source) {
    if (!fields.number(op.size, "size", 1.0f, 1000.0f) ||
        !fields.number(op.opacity, "opacity", 0.0f, 1.0f) ||
        !fields.number(op.hardness, "hardness", 0.0f, 1.0f, 1.0f))
        return false;
    if (op.hardness != 1.0f)
        return fields.fail("hardness", "must be 1 (the one brush profile of version 1)");
    QJsonArray points;
    if (!fields.array(points, "points"))
        return false;
    if (points.isEmpty() || points.size() % 2 != 0)
        return fields.fail("points",
                           "must be x, y pairs (the first dab, then offsets), at least one");
    const double reach = op.size * 0.5 + 1;
    double x = 0, y = 0;
    for (int i = 0; i < points.size(); i += 2) {
        const double dx = points[i].toDouble(std::nan("")),
                     dy = points[i + 1].toDouble(std::nan(""));
        const std::string name = indexed("points", i / 2);
        if (dx != std::floor(dx) || dy != std::floor(dy))
            return fields.fail(name, "must be two whole numbers");
        x += dx, y += dy;
        if (x <= -reach || y <= -reach || x >= source.width + reach || y >= source.height + reach)
            return fields.fail(name, "(" + Fields::Number(x) + ", " + Fields::Number(y) +
                                         ") lies outside the " + std::to_string(source.width) +
                                         " x " + std::to_string(source.height) + " photograph");
        op.points.push_back(RecipePoint{int(x), int(y)});
    }
    return true;
}

bool readOperations(Recipe& out, const Fields& top) {
    return readEachObject(top, "operations", [&](const Fields& fields, const QJsonObject& object) {
        RecipeOperation op;
        std::string kind;
        if (!fields.text(kind, "op"))
            return false;
        if (kind != "stroke" && kind != "applyAll")
            return fields.fail("op", "must be stroke or applyAll, got '" + kind + "'");
        op.kind =
            kind == "stroke" ? RecipeOperation::Kind::Stroke : RecipeOperation::Kind::ApplyAll;
        const QJsonValue from = object.value("from");
        if (from == QJsonValue("original")) {
            op.picture = RecipePicture::Original;
        } else if (from == QJsonValue("composite")) {
            op.picture = RecipePicture::Composite;
        } else if (!fields.integer(op.result, "from", 0, int(out.deblurs.size()) - 1)) {
            return fields.fail("from",
                               "must be \"original\", \"composite\" or a deblur's index "
                               "(0 to " +
                                   std::to_string(int(out.deblurs.size()) - 1) + ")");
        }
        if (op.kind == RecipeOperation::Kind::Stroke && !readStroke(op, fields, out.source))
            return false;
        out.operations.push_back(std::move(op));
        return true;
    });
}

bool readSave(RecipeSave& save, const Fields& top) {
    const std::optional<Fields> found = top.nested("save");
    if (!found)
        return false;
    const Fields& fields = *found;
    std::string compression;
    if (!fields.text(save.type, "type") || !fields.integer(save.quality, "quality", 1, 100, 90) ||
        !fields.text(compression, "tiffCompression", std::string("deflate")) ||
        !fields.boolean(save.copyMetadata, "copyMetadata", false) || !readDepth(save.depth, fields))
        return false;
    if (save.type != "PNG" && save.type != "JPEG" && save.type != "TIFF")
        return fields.fail("type", "must be PNG, JPEG or TIFF, got '" + save.type + "'");
    if (compression != "deflate" && compression != "none")
        return fields.fail("tiffCompression", "must be deflate or none");
    save.compressTiff = compression == "deflate";
    return true;
}

// The key closest before `offset` ("radius" for `"radius": nan`), for a message about JSON that
// does not parse.
std::string keyBefore(const std::string& json, std::size_t offset) {
    std::size_t colon = json.rfind(':', std::min(offset, json.size()));
    while (colon != std::string::npos && colon > 0) {
        std::size_t end = json.find_last_not_of(" \t\r\n", colon - 1);
        if (end != std::string::npos && json[end] == '"') {
            const std::size_t start = json.rfind('"', end - 1);
            if (start != std::string::npos)
                return json.substr(start + 1, end - start - 1);
        }
        colon = colon > 0 ? json.rfind(':', colon - 1) : std::string::npos;
    }
    return "";
}

}  // namespace

std::string RecipeToJson(const Recipe& recipe) {
    QJsonObject top;
    top["version"] = kRecipeVersion;
    top["source"] = QJsonObject{{"name", qs(recipe.source.name)},
                                {"path", qs(recipe.source.path)},
                                {"width", recipe.source.width},
                                {"height", recipe.source.height},
                                {"sha256", qs(recipe.source.sha256)}};
    QJsonArray deblurs;
    for (const RecipeDeblur& deblur : recipe.deblurs) {
        const DeblurredEntry& e = deblur.entry;
        QJsonObject object{{"preset", PresetLabel(e.deblurType)},
                           {"step", e.radiusStep},
                           {"kernel", kernelToJson(e)},
                           {"brightnessOnly", e.brightnessOnly},
                           {"depth", deblur.depth}};
        if (e.maskSettings.type >= 0)
            object["mask"] = QJsonObject{{"type", MaskTypeName(e.maskSettings.type)},
                                         {"radius", floatValue(e.maskSettings.radius)},
                                         {"opacity", floatValue(e.maskSettings.opacity)},
                                         {"crudeness", floatValue(e.maskSettings.crudeness)}};
        deblurs.append(object);
    }
    top["deblurs"] = deblurs;
    QJsonArray operations;
    for (const RecipeOperation& op : recipe.operations) {
        QJsonObject object;
        const bool stroke = op.kind == RecipeOperation::Kind::Stroke;
        object["op"] = stroke ? "stroke" : "applyAll";
        object["from"] =
            op.picture == RecipePicture::Result ? QJsonValue(op.result) : pictureName(op);
        if (stroke) {
            object["size"] = floatValue(op.size);
            object["opacity"] = floatValue(op.opacity);
            object["hardness"] = floatValue(op.hardness);
            // The first dab, then each dab's offset from the one before: short numbers.
            QJsonArray points;
            RecipePoint last{0, 0};
            for (const RecipePoint& p : op.points) {
                points.append(p.x - last.x), points.append(p.y - last.y);
                last = p;
            }
            object["points"] = points;
        }
        operations.append(object);
    }
    top["operations"] = operations;
    const RecipeSave& save = recipe.save;
    top["save"] = QJsonObject{{"type", qs(save.type)},
                              {"quality", save.quality},
                              {"tiffCompression", save.compressTiff ? "deflate" : "none"},
                              {"copyMetadata", save.copyMetadata},
                              {"depth", save.depth}};
    return QJsonDocument(top).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

bool RecipeFromJson(Recipe& out, const std::string& json, RecipeError& error) {
    out = Recipe{};
    error = RecipeError{};
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &parse);
    if (parse.error != QJsonParseError::NoError) {
        const std::string near = keyBefore(json, std::size_t(parse.offset));
        error = RecipeError{RecipeFailure::NotJson, near,
                            "not valid JSON at character " + std::to_string(parse.offset) + ": " +
                                parse.errorString().toStdString()};
        return false;
    }
    if (!document.isObject()) {
        error = RecipeError{RecipeFailure::NotJson, "", "not a JSON object"};
        return false;
    }
    const Fields top(document.object(), "", error);
    int version = 0;
    if (!top.integer(version, "version", 1, 1 << 30))
        return false;
    if (version > kRecipeVersion) {
        error = RecipeError{RecipeFailure::NewerVersion, "version",
                            "written by a newer Velkaro (version " + std::to_string(version) +
                                "; this one reads version " + std::to_string(kRecipeVersion) + ")"};
        return false;
    }
    const std::optional<Fields> found = top.nested("source");
    if (!found)
        return false;
    const Fields& src = *found;
    RecipeSource& s = out.source;
    if (!src.text(s.name, "name") || !src.text(s.path, "path", std::string()) ||
        !src.integer(s.width, "width", 1, 1 << 20) ||
        !src.integer(s.height, "height", 1, 1 << 20) || !src.text(s.sha256, "sha256"))
        return false;
    if (s.sha256.size() != 64 ||
        s.sha256.find_first_not_of("0123456789abcdef") != std::string::npos)
        return src.fail("sha256", "must be 64 lower-case hexadecimal digits");
    return readDeblurs(out, top) && readOperations(out, top) && readSave(out.save, top);
}

bool WriteRecipeFile(const std::string& path, const Recipe& recipe, WriteFailure* failure) {
    const std::string json = RecipeToJson(recipe);
    return WriteBytesAtomically(path, "[recipe]",
                                std::vector<std::uint8_t>(json.begin(), json.end()), failure);
}

bool ReadRecipeFile(Recipe& out, const std::string& path, RecipeError& error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        error = RecipeError{RecipeFailure::Unreadable, "",
                            "cannot read '" + path + "': " + file.errorString().toStdString()};
        return false;
    }
    return RecipeFromJson(out, file.readAll().toStdString(), error);
}

}  // namespace velkaro
