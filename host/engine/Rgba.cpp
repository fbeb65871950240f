#include "Rgba.h"

namespace fieldfx {

Picture pictureFromRgba(const uint8_t* rgba, int width, int height) {
    Picture p;
    p.resize(width, height);
    for (size_t i = 0, n = size_t(width) * size_t(height); i < n; ++i) {
        const uint8_t* px = rgba + 4 * i;
        const YCbCr c = rgbToYCbCr(px[0], px[1], px[2]);
        p.y[i] = c.y;
        p.cb[i] = c.cb;
        p.cr[i] = c.cr;
        p.a[i] = px[3];
    }
    return p;
}

void rgbaFromPicture(const Picture& p, uint8_t* rgba) {
    for (size_t i = 0, n = size_t(p.width) * size_t(p.height); i < n; ++i) {
        yCbCrToRgb(p.y[i], p.cb[i], p.cr[i], rgba + 4 * i);
        rgba[4 * i + 3] = p.a[i];
    }
}

Picture pictureFromRgba(const RgbaImage& image) { return pictureFromRgba(image.rgba.data(), image.width, image.height); }

RgbaImage rgbaFromPicture(const Picture& p) {
    RgbaImage image;
    image.width = p.width;
    image.height = p.height;
    image.rgba.resize(size_t(p.width) * size_t(p.height) * 4);
    rgbaFromPicture(p, image.rgba.data());
    return image;
}

}  // namespace fieldfx
