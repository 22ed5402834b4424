#pragma once

namespace osterveil::imaging {

// One run of pixels of one row, as four channel arrays of premultiplied values, changed in place.
// Pixel k of the run is the pixel (x + k, y) of the image (its centre at x + k + 0.5, y + 0.5).
struct PixelRow {
    float* r;
    float* g;
    float* b;
    float* a;
    int count;
    int x;
    int y;
};

// A per-pixel colour function. Kernels run concurrently on many rows and must not keep state between
// calls. Transparent pixels must stay transparent (the extent of the image does not grow), which the
// built-in kernels guarantee by working on unpremultiplied colour or by scaling any offset by alpha.
class ColorKernel {
public:
    virtual ~ColorKernel() = default;
    virtual void apply(const PixelRow& row) const = 0;
};

} // namespace osterveil::imaging
