#pragma once

// The candidate grid as one picture: rows are radius steps labelled with the radius, columns are
// presets labelled with their short names, each cell a preview scaled to fit.

#include <string>
#include <vector>

#include "Image.h"

namespace velkaro {

struct ContactSheetCell {
    int row = 0, column = 0;
    ImageRef image;  // may be null: the cell stays empty
    int rank = 0;    // 1, 2, 3 …: a numbered badge in the cell's top-left corner; 0 none
};

// rowLabels.size() rows by columnLabels.size() columns of cellSize × cellSize pixels; row labels
// at the left, column labels along the bottom, as in the application's grid.
ImageRef MakeContactSheet(const std::vector<std::string>& rowLabels,
                          const std::vector<std::string>& columnLabels,
                          const std::vector<ContactSheetCell>& cells, int cellSize);

// The w × h pixels of `image` whose top-left corner is (x, y), clipped to the image.
ImageRef CropImage(const Image& image, int x, int y, int w, int h);
// The centre `size` × `size` pixels of `image` (all of a side shorter than `size`).
ImageRef CropCentre(const Image& image, int size);

// Draws `text` with the built-in 5 × 7 font at `scale` pixels per dot, top-left at (x, y); letters
// are shown in upper case. Returns the width drawn.
int DrawLabel(Image& image, const std::string& text, int x, int y, int scale,
              const std::uint8_t argb[4]);
int LabelWidth(const std::string& text, int scale);

}  // namespace velkaro
