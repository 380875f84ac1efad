#pragma once

#include "imaging/Image.hpp"

#include <cstddef>

// Resizes a BGRA picture to width x height (both at least 1) when at least one side grows,
// where an area average alone would make blocks. Each axis is treated on its own, in two
// passes through one intermediate picture: an axis that grows is interpolated bicubically
// (the Keys kernel with a = -0.5, sample centres aligned, edge pixels repeated); an axis that
// shrinks takes the area average of the source it covers, as areaAverage does; an axis that
// keeps its size is copied. Weights are whole numbers that add up to exactly one, so a flat
// colour stays exact; the four bytes of a pixel are treated alike, and each result is rounded
// and held to 0..255. Bands of rows are made on up to `threads` threads; the result does not
// depend on how many.
Image resizeEnlarging(const Image& image, int width, int height, std::size_t threads);
