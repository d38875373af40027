#include "ContactSheet.h"

#include <algorithm>
#include <cctype>

#include "Planar.h"

namespace velkaro {

namespace {

// 5 × 7 dot glyphs, one byte per row, bit 4 the leftmost dot.
struct Glyph {
    char c;
    std::uint8_t rows[7];
};
const Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x11, 0x1F, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'_', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
};

const Glyph* glyphFor(char c) {
    c = char(std::toupper(static_cast<unsigned char>(c)));
    for (const Glyph& g : kGlyphs)
        if (g.c == c)
            return &g;
    return nullptr;  // drawn as a space
}

constexpr int kGlyphAdvance = 6;  // 5 dots and one of spacing
constexpr int kLabelScale = 2;
constexpr int kGap = 4;  // between cells
constexpr int kMargin = 8;
const std::uint8_t kBackground[4] = {255, 38, 38, 38};
const std::uint8_t kCellBackground[4] = {255, 24, 24, 24};
const std::uint8_t kLabelColour[4] = {255, 210, 210, 210};
// Rank badges: gold, silver, bronze, then grey; the number in near-black.
const std::uint8_t kBadgeColours[4][4] = {
    {255, 255, 200, 40}, {255, 200, 200, 210}, {255, 215, 130, 60}, {255, 140, 140, 140}};
const std::uint8_t kBadgeText[4] = {255, 20, 20, 20};

void fill(Image& image, int x, int y, int w, int h, const std::uint8_t argb[4]) {
    for (int row = std::max(y, 0); row < std::min(y + h, image.height()); ++row)
        for (int col = std::max(x, 0); col < std::min(x + w, image.width()); ++col)
            std::copy(argb, argb + 4,
                      image.pixels() + (std::size_t(row) * image.width() + col) * 4);
}

}  // namespace

ImageRef CropImage(const Image& image, int x, int y, int w, int h) {
    x = std::clamp(x, 0, image.width());
    y = std::clamp(y, 0, image.height());
    w = std::clamp(w, 0, image.width() - x);
    h = std::clamp(h, 0, image.height() - y);
    ImageRef crop = Image::create(std::max(w, 1), std::max(h, 1));
    for (int row = 0; row < h; ++row) {
        const std::uint8_t* from = image.pixels() + (std::size_t(y + row) * image.width() + x) * 4;
        std::copy(from, from + std::size_t(w) * 4, crop->pixels() + std::size_t(row) * w * 4);
    }
    return crop;
}

ImageRef CropCentre(const Image& image, int size) {
    const int w = std::min(size, image.width()), h = std::min(size, image.height());
    return CropImage(image, (image.width() - w) / 2, (image.height() - h) / 2, w, h);
}

int LabelWidth(const std::string& text, int scale) {
    return text.empty() ? 0 : (int(text.size()) * kGlyphAdvance - 1) * scale;
}

int DrawLabel(Image& image, const std::string& text, int x, int y, int scale,
              const std::uint8_t argb[4]) {
    int penX = x;
    for (char c : text) {
        if (const Glyph* g = glyphFor(c)) {
            for (int row = 0; row < 7; ++row)
                for (int dot = 0; dot < 5; ++dot)
                    if (g->rows[row] & (0x10 >> dot))
                        fill(image, penX + dot * scale, y + row * scale, scale, scale, argb);
        }
        penX += kGlyphAdvance * scale;
    }
    return LabelWidth(text, scale);
}

ImageRef MakeContactSheet(const std::vector<std::string>& rowLabels,
                          const std::vector<std::string>& columnLabels,
                          const std::vector<ContactSheetCell>& cells, int cellSize) {
    int rowLabelWidth = 0;
    for (const std::string& label : rowLabels)
        rowLabelWidth = std::max(rowLabelWidth, LabelWidth(label, kLabelScale));
    int columnLabelWidth = 0;
    for (const std::string& label : columnLabels)
        columnLabelWidth = std::max(columnLabelWidth, LabelWidth(label, kLabelScale));
    // Column labels stand under their column; a column is wide enough for its label.
    const int columnWidth = std::max(cellSize, columnLabelWidth);
    const int rows = int(rowLabels.size()), columns = int(columnLabels.size());
    const int left = kMargin + rowLabelWidth + kMargin;
    const int labelHeight = 7 * kLabelScale;
    const int width = left + columns * (columnWidth + kGap) - kGap + kMargin;
    const int height = kMargin + rows * (cellSize + kGap) - kGap + kMargin + labelHeight + kMargin;

    ImageRef sheet = Image::create(std::max(width, 1), std::max(height, 1));
    fill(*sheet, 0, 0, sheet->width(), sheet->height(), kBackground);
    auto cellX = [&](int c) {
        return left + c * (columnWidth + kGap) + (columnWidth - cellSize) / 2;
    };
    auto cellY = [&](int r) { return kMargin + r * (cellSize + kGap); };

    for (int r = 0; r < rows; ++r) {
        const int labelX = left - kMargin - LabelWidth(rowLabels[r], kLabelScale);  // right-aligned
        DrawLabel(*sheet, rowLabels[r], labelX, cellY(r) + (cellSize - labelHeight) / 2,
                  kLabelScale, kLabelColour);
        for (int c = 0; c < columns; ++c)
            fill(*sheet, cellX(c), cellY(r), cellSize, cellSize, kCellBackground);
    }
    const int labelsY = kMargin + rows * (cellSize + kGap) - kGap + kMargin;
    for (int c = 0; c < columns; ++c) {
        const int x = left + c * (columnWidth + kGap) +
                      (columnWidth - LabelWidth(columnLabels[c], kLabelScale)) / 2;
        DrawLabel(*sheet, columnLabels[c], x, labelsY, kLabelScale, kLabelColour);
    }

    for (const ContactSheetCell& cell : cells) {
        if (!cell.image || cell.row < 0 || cell.row >= rows || cell.column < 0 ||
            cell.column >= columns)
            continue;
        // Scaled to fit the cell (never enlarged), aspect kept, centred.
        const int sw = cell.image->width(), sh = cell.image->height();
        const double scale = std::min({double(cellSize) / sw, double(cellSize) / sh, 1.0});
        const int dw = std::max(1, int(sw * scale)), dh = std::max(1, int(sh * scale));
        // Pictures that fit (1:1 crops) are copied as they are.
        ImageRef scaled = cell.image;
        if (dw != sw || dh != sh) {
            scaled = Image::create(dw, dh);
            scaleARGB8888(cell.image->pixels(), sw, sh, std::size_t(sw) * 4, scaled->pixels(), dw,
                          dh, std::size_t(dw) * 4);
        }
        const int x0 = cellX(cell.column) + (cellSize - dw) / 2;
        const int y0 = cellY(cell.row) + (cellSize - dh) / 2;
        for (int row = 0; row < dh; ++row)
            std::copy(scaled->pixels() + std::size_t(row) * dw * 4,
                      scaled->pixels() + std::size_t(row + 1) * dw * 4,
                      sheet->pixels() + (std::size_t(y0 + row) * sheet->width() + x0) * 4);
    }

    for (const ContactSheetCell& cell : cells) {
        if (cell.rank <= 0 || cell.row < 0 || cell.row >= rows || cell.column < 0 ||
            cell.column >= columns)
            continue;
        const std::string number = std::to_string(cell.rank);
        const int pad = kLabelScale * 2;
        const int x = cellX(cell.column), y = cellY(cell.row);
        fill(*sheet, x, y, LabelWidth(number, kLabelScale) + 2 * pad, 7 * kLabelScale + 2 * pad,
             kBadgeColours[std::min(cell.rank, 4) - 1]);
        DrawLabel(*sheet, number, x + pad, y + pad, kLabelScale, kBadgeText);
    }
    return sheet;
}

}  // namespace velkaro
