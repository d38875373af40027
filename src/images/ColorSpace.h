#pragma once

#include <cstdint>

#include "Image.h"

namespace velkaro {

// One colour channel between 8-bit sRGB pixels and linear light 0 … 1. `count` pixels, stepping
// 4 bytes, touching only the byte at offset `channel` (1 red, 2 green, 3 blue).
void ReadChannelFloat(const std::uint8_t* pixels, float* out, int count, int channel);
void ReadChannelDouble(const std::uint8_t* pixels, double* out, int count, int channel);
void WriteChannelFloat(const float* in, std::uint8_t* pixels, int count, int channel);
void WriteChannelDouble(const double* in, std::uint8_t* pixels, int count, int channel);

// The same between 16-bit sRGB samples (native order, 4 words a pixel) and linear light; a linear
// value is written as the nearest 16-bit level of its sRGB encoding.
void ReadChannelFloat(const std::uint16_t* pixels, float* out, int count, int channel);
void ReadChannelDouble(const std::uint16_t* pixels, double* out, int count, int channel);
void WriteChannelFloat(const float* in, std::uint16_t* pixels, int count, int channel);
void WriteChannelDouble(const double* in, std::uint16_t* pixels, int count, int channel);

// One channel of `count` pixels of `image` along its row from pixel x, y, at the image's depth:
// what the numerical code reads and writes, so that it never looks at the samples' width.
void ReadImageChannel(const CImage& image, int x, int y, float* out, int count, int channel);
void ReadImageChannel(const CImage& image, int x, int y, double* out, int count, int channel);
void WriteImageChannel(const float* in, const CImage& image, int x, int y, int count, int channel);
void WriteImageChannel(const double* in, const CImage& image, int x, int y, int count, int channel);

// Colour-space conversions between sRGB-encoded 0 … 1 values, CIE XYZ and CIE L*a*b* (D65).
void Rgb2Xyz(double* X, double* Y, double* Z, double r, double g, double b);
void Xyz2Rgb(double* r, double* g, double* b, double X, double Y, double Z);
void Xyz2Lab(double* L, double* a, double* b, double X, double Y, double Z);
void Lab2Xyz(double* X, double* Y, double* Z, double L, double a, double b);
void Rgb2Lab(double* L, double* a, double* b, double r, double g, double bl);
void Lab2Rgb(double* r, double* g, double* b, double L, double a, double bl);

}  // namespace velkaro
