#pragma once

#include "imaging/Image.hpp"

// Made-up screens for the imaging benchmark, the same on every run.

// A desktop with a photograph on it: smooth colour fields with grain, a window with flat
// panels, and rows of dark glyph-like strokes on white. Compresses like a photograph.
Image photoLikeScreen(int width, int height);

// An editor beside a web page: a title bar, a side bar, a status bar and grey boxes, flat,
// with rows of anti-aliased letters in a few colours. The letters come from one small
// made-up font and the words from a small vocabulary, so they repeat as text does.
Image textScreen(int width, int height);
