#pragma once

#include <string>

#include "Recipe.h"

namespace velkaro {

// The recipe file: one JSON object, "version": 1, documented in README.md ("Recipes"). Written
// compactly, through the atomic writer; read strictly: whatever replay could not do exactly as
// written is refused, naming the field.

constexpr int kRecipeVersion = 1;

// Why a recipe could not be read.
enum class RecipeFailure {
    None,
    Unreadable,    // the file cannot be read (missing, permission, a folder)
    NotJson,       // not JSON, or cut short
    NewerVersion,  // written by a newer Velkaro
    BadField,      // a field missing, of the wrong kind or out of range
};

struct RecipeError {
    RecipeFailure failure = RecipeFailure::None;
    std::string field;    // the field's path, "operations[3].points[7]"; empty when none
    std::string message;  // what is wrong with it, in words
    // "FIELD: MESSAGE", or the message alone.
    std::string text() const { return field.empty() ? message : field + ": " + message; }
};

std::string RecipeToJson(const Recipe& recipe);
bool RecipeFromJson(Recipe& out, const std::string& json, RecipeError& error);

bool WriteRecipeFile(const std::string& path, const Recipe& recipe,
                     WriteFailure* failure = nullptr);
bool ReadRecipeFile(Recipe& out, const std::string& path, RecipeError& error);

}  // namespace velkaro
