#pragma once

#include "Image.h"
#include "Matrix.h"

namespace velkaro {

// m (w·h elements, w per image row) = channel `channel` of the w × h window of i whose top-left
// pixel is (x, y), in linear light 0 … 1. The window must lie inside the image (not checked).
void ImageToMatrix(Matrix& m, const CImage& i, int channel, int x, int y, int w, int h);

// Writes all of m into channel `channel` of o, pixel k from element k, encoded to sRGB (values
// are clamped to 0 … 1).
void MatrixToImage(CImage& o, int channel, const Matrix& m);

}  // namespace velkaro
