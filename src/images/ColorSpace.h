#pragma once

#include <cstdint>

namespace velkaro {

// One colour channel between 8-bit sRGB pixels and linear light 0 … 1. `count` pixels, stepping
// 4 bytes, touching only the byte at offset `channel` (1 red, 2 green, 3 blue).
void ReadChannelFloat(const std::uint8_t* pixels, float* out, int count, int channel);
void ReadChannelDouble(const std::uint8_t* pixels, double* out, int count, int channel);
void WriteChannelFloat(const float* in, std::uint8_t* pixels, int count, int channel);
void WriteChannelDouble(const double* in, std::uint8_t* pixels, int count, int channel);

// Colour-space conversions between sRGB-encoded 0 … 1 values, CIE XYZ and CIE L*a*b* (D65).
void Rgb2Xyz(double* X, double* Y, double* Z, double r, double g, double b);
void Xyz2Rgb(double* r, double* g, double* b, double X, double Y, double Z);
void Xyz2Lab(double* L, double* a, double* b, double X, double Y, double Z);
void Lab2Xyz(double* X, double* Y, double* Z, double L, double a, double b);
void Rgb2Lab(double* L, double* a, double* b, double r, double g, double bl);
void Lab2Rgb(double* r, double* g, double* b, double L, double a, double bl);

}  // namespace velkaro
