#pragma once

#include "imaging/Image.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

// Shrinks a BGRA picture to width x height (neither larger than the source) with every new
// pixel the average of the source area it covers, in two passes (down, then across) with
// whole-number weights, so that no ratio of sizes can make them drift or overflow: the
// result is the exact average rounded, give or take float rounding far below one level,
// and a flat colour stays exact. Faster than a general-purpose scaler, because each source
// pixel is read once, a row at a time, and each pass is a plain multiply-add loop. Bands of
// rows are made on up to `threads` threads; the result does not depend on how many.
Image areaShrink(const Image& image, int width, int height, std::size_t threads);

// Remakes the rows of `result`, a shrink of `image` to its own size, that `rows` marks (one
// entry per row of `result`, non-zero to make it; empty: every row). Each row made is
// exactly what areaShrink gives for it, so a picture kept from an earlier source is brought
// up to date by remaking the rows that read a source row that changed.
void areaShrinkRows(const Image& image, Image& result, const std::vector<std::uint8_t>& rows, std::size_t threads);

// Which rows of a shrink from `sourceHeight` rows to `height` read a source row marked in
// `changed` (one entry per source row). An output row reads every source row it covers, in
// part or whole, so a change on the edge between two output rows marks both.
std::vector<std::uint8_t> areaShrinkRowsReading(int sourceHeight, int height, const std::vector<std::uint8_t>& changed);

// The area average behind thumbnails, exact up to rounding and with no size limits: each
// output pixel is the mean of the source it covers, partly covered source pixels weighted by
// the part covered. Slower than areaShrink, but it also enlarges along either side.
Image areaAverage(const Image& image, int width, int height);
