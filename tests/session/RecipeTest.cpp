// Recipes: the JSON form keeps every field, stays small, and refuses nonsense naming the field.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "Filter.h"
#include "RecipeFile.h"

using namespace velkaro;

namespace {

// Every kind of deblur, picture and operation once.
Recipe sampleRecipe() {
    Recipe r;
    r.source = RecipeSource{"photo.jpg", "/photos/photo.jpg", 64, 48, std::string(64, 'a')};
    r.save = RecipeSave{"JPEG", 87, false, true, 8};
    const KernelImageRef shake = KernelImage::fromWeights(3, {0, 0.1, 0, 0.2, 0.4, 0.1, 0, 0.2, 0});
    RecipeOperation stroke;
    stroke.size = 10;
    stroke.opacity = 0.7f;
    stroke.points = {{-5, 3}, {10, 12}, {68, 52}};  // written as -5, 3, 15, 9, 58, 40
    r.append(stroke, DeblurredEntry{DeblurRL40, 5, KernelAngleFromProtractor(30),
                                    MaskSettings{1, 2.5f, 0.8f, 0.3f}});
    RecipeOperation apply;
    apply.kind = RecipeOperation::Kind::ApplyAll;
    r.append(apply, DeblurredEntry{DeblurBlurSimulation, 30, -1, {}, shake, true});
    r.append(stroke, DeblurredEntry{DeblurRL40, 5, KernelAngleFromProtractor(30),
                                    MaskSettings{1, 2.5f, 0.8f, 0.3f}});
    stroke.picture = RecipePicture::Original;
    r.append(stroke);
    apply.picture = RecipePicture::Composite;
    r.append(apply);
    return r;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

}  // namespace

TEST(Recipe, JsonKeepsEveryFieldAndStaysSmall) {
    const Recipe r = sampleRecipe();
    ASSERT_EQ(r.deblurs.size(), 2u);  // the stroke's deblur listed once
    const std::string json = RecipeToJson(r);
    Recipe back;
    RecipeError error;
    ASSERT_TRUE(RecipeFromJson(back, json, error)) << error.text() << "\n" << json;
    EXPECT_EQ(RecipeToJson(back), json);
    ASSERT_EQ(back.operations.size(), 5u);
    EXPECT_EQ(back.operations[2].result, 0);
    EXPECT_EQ(back.operations[1].result, 1);
    EXPECT_EQ(back.operations[3].picture, RecipePicture::Original);
    EXPECT_EQ(back.operations[4].picture, RecipePicture::Composite);
    EXPECT_EQ(back.operations[0].points, r.operations[0].points);
    EXPECT_EQ(back.operations[0].opacity, 0.7f);
    for (int i : {0, 1}) EXPECT_TRUE(SameDeblurredEntry(back.deblurs[i].entry, r.deblurs[i].entry));
    EXPECT_EQ(back.deblurs[0].entry.angle, r.deblurs[0].entry.angle);
    EXPECT_EQ(back.deblurs[1].entry.kernel->weights(), r.deblurs[1].entry.kernel->weights());
    EXPECT_EQ(back.save.quality, 87);
    EXPECT_FALSE(back.save.compressTiff);
    EXPECT_TRUE(back.save.copyMetadata);
    EXPECT_NE(json.find("\"version\":1"), std::string::npos);

    // A hundred strokes of sixty dabs over a 6000 x 4000 photograph.
    Recipe large;
    large.source = RecipeSource{"big.jpg", "/photos/big.jpg", 6000, 4000, std::string(64, '0')};
    for (int s = 0; s < 100; ++s) {
        RecipeOperation stroke;
        stroke.size = 120;
        stroke.opacity = 0.35f;
        for (int i = 0; i < 60; ++i) stroke.points.push_back({5000 + 13 * i - s, 3000 + 7 * i + s});
        large.append(stroke, UnmaskedEntry(DeblurWF2, 4 + s % 3, BlurKernel()));
    }
    EXPECT_LT(RecipeToJson(large).size(), 40000u);
}

TEST(Recipe, NonsenseIsRefusedNamingTheField) {
    const std::string good = RecipeToJson(sampleRecipe());
    const struct {
        const char* what;
        std::string json;
        RecipeFailure failure;
        const char* field;
    } cases[] = {
        {"newer", replaced(good, "\"version\":1", "\"version\":2"), RecipeFailure::NewerVersion,
         "version"},
        {"version 0", replaced(good, "\"version\":1", "\"version\":0"), RecipeFailure::BadField,
         "version"},
        {"truncated", good.substr(0, good.size() / 2), RecipeFailure::NotJson, nullptr},
        {"NaN", replaced(good, "\"opacity\":0.7", "\"opacity\":NaN"), RecipeFailure::NotJson,
         "opacity"},
        {"not an object", "[1,2]", RecipeFailure::NotJson, ""},
        {"unknown preset", replaced(good, "\"RL40\"", "\"RL41\""), RecipeFailure::BadField,
         "deblurs[0].preset"},
        {"step 0", replaced(good, "\"step\":5", "\"step\":0"), RecipeFailure::BadField,
         "deblurs[0].step"},
        {"step 31", replaced(good, "\"step\":30", "\"step\":31"), RecipeFailure::BadField,
         "deblurs[1].step"},
        {"half step", replaced(good, "\"step\":5", "\"step\":5.5"), RecipeFailure::BadField,
         "deblurs[0].step"},
        {"angle", replaced(good, "\"angle\":30", "\"angle\":180"), RecipeFailure::BadField,
         "deblurs[0].kernel.angle"},
        {"shape", replaced(good, "\"motion\"", "\"spiral\""), RecipeFailure::BadField,
         "deblurs[0].kernel.shape"},
        {"weight", replaced(good, "[0,0.1,", "[0,-0.1,"), RecipeFailure::BadField,
         "deblurs[1].kernel.weights[1]"},
        {"mask", replaced(good, "\"type\":\"B\"", "\"type\":\"D\""), RecipeFailure::BadField,
         "deblurs[0].mask.type"},
        {"point outside", replaced(good, "[-5,3,", "[-7,3,"), RecipeFailure::BadField,
         "operations[0].points[0]"},
        {"offset outside", replaced(good, ",58,40]", ",65,40]"), RecipeFailure::BadField,
         "operations[0].points[2]"},
        {"point as text", replaced(good, "[-5,3,", "[\"a\",3,"), RecipeFailure::BadField,
         "operations[0].points[0]"},
        {"odd points", replaced(good, "[-5,3,", "[3,"), RecipeFailure::BadField,
         "operations[0].points"},
        {"hardness", replaced(good, "\"hardness\":1", "\"hardness\":0.5"), RecipeFailure::BadField,
         "operations[0].hardness"},
        {"result", replaced(good, "\"from\":1", "\"from\":2"), RecipeFailure::BadField,
         "operations[1].from"},
        {"operation", replaced(good, "\"applyAll\"", "\"smudge\""), RecipeFailure::BadField,
         "operations[1].op"},
        {"size", replaced(good, "\"size\":10", "\"size\":0"), RecipeFailure::BadField,
         "operations[0].size"},
        {"no source", replaced(good, "\"source\"", "\"sauce\""), RecipeFailure::BadField, "source"},
        {"width", replaced(good, "\"width\":64", "\"width\":-64"), RecipeFailure::BadField,
         "source.width"},
        {"hash", replaced(good, std::string(64, 'a'), "abc"), RecipeFailure::BadField,
         "source.sha256"},
        {"file type", replaced(good, "\"JPEG\"", "\"GIF\""), RecipeFailure::BadField, "save.type"},
        {"depth", replaced(good, "Metadata\":true,\"depth\":8", "Metadata\":true,\"depth\":12"),
         RecipeFailure::BadField, "save.depth"},
    };
    for (const auto& c : cases) {
        Recipe out;
        RecipeError error;
        EXPECT_FALSE(RecipeFromJson(out, c.json, error)) << c.what;
        EXPECT_EQ(error.failure, c.failure) << c.what << ": " << error.text();
        if (c.field) {
            EXPECT_EQ(error.field, c.field) << c.what << ": " << error.text();
        }
        EXPECT_FALSE(error.message.empty()) << c.what;
    }
}
