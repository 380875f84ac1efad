#pragma once

#include "platform/Image.hpp"

// Shrinks a BGRA picture to width x height (neither larger than the source) with every new
// pixel the average of the source area it covers, in two passes (across, then down) with
// 14-bit fixed-point weights: the result is within one level of the exact average, and a
// flat colour stays exact. Several times faster than a general-purpose scaler, because each
// source pixel is read once and each pass is a plain multiply-add loop the compiler
// vectorises.
Image areaShrink(const Image& image, int width, int height);
