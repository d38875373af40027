#pragma once

#include <cstdint>
#include <vector>

#include "Filter.h"
#include "Image.h"

namespace velkaro {

// Wiener deconvolution by a finite inverse filter designed in the spatial domain: the square
// filter of half-width matRadius (or the kernel's, if larger) with the eight symmetries of the
// square that minimises the expected squared error for an image whose pixel correlation at
// distance d is gamma^d and white noise of power `noise`, normalised to sum 1 and applied to the
// region by convolution.
void deconvolve_wiener_fir(const CImage& in, CImage& o, int channel, double radius, int matRadius,
                           double gamma, double noise, const BlurKernel& blur, int x, int y, int w,
                           int h);
std::int64_t deconvolve_wiener_fir_mem_usage(const CImage& in, CImage& o, int channel,
                                             double radius, int matRadius, double gamma,
                                             double noise, const BlurKernel& blur, int x, int y,
                                             int w, int h);

// The filter deconvolve_wiener_fir applies (normalised) or the raw solution of its normal
// equations (not normalised): size × size values, row-major, centre in the middle.
void wiener_fir_filter(std::vector<double>& g, int& size, double radius, int matRadius,
                       double gamma, double noise, const BlurKernel& blur, bool normalise);

}  // namespace velkaro
