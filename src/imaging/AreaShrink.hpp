#pragma once

#include "imaging/Image.hpp"

#include <cstddef>

// Shrinks a BGRA picture to width x height (neither larger than the source) with every new
// pixel the average of the source area it covers, in two passes (down, then across) with
// whole-number weights, so that no ratio of sizes can make them drift or overflow: the
// result is the exact average rounded, give or take float rounding far below one level,
// and a flat colour stays exact. Faster than a general-purpose scaler, because each source
// pixel is read once, a row at a time, and each pass is a plain multiply-add loop. Bands of
// rows are made on up to `threads` threads; the result does not depend on how many.
Image areaShrink(const Image& image, int width, int height, std::size_t threads);

// The area average behind thumbnails, exact up to rounding and with no size limits: each
// output pixel is the mean of the source it covers, partly covered source pixels weighted by
// the part covered. Slower than areaShrink, but it also enlarges along either side.
Image areaAverage(const Image& image, int width, int height);
