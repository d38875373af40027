#pragma once

#include "Image.h"

// Sets byte 0 (alpha) of every pixel to 255, one row per task of a parallel loop.
void ForceOpaque(const ImageRef& image);
