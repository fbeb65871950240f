#include "Rgba.h"

namespace fieldfx {

PlaneRow pictureRow(Picture& p, int row) {
    const size_t at = size_t(row) * size_t(p.width);
    return PlaneRow{p.y.data() + at, p.cb.data() + at, p.cr.data() + at, p.a.data() + at};
}

ConstPlaneRow pictureRow(const Picture& p, int row) {
    const size_t at = size_t(row) * size_t(p.width);
    return ConstPlaneRow{p.y.data() + at, p.cb.data() + at, p.cr.data() + at, p.a.data() + at};
}

Picture pictureFromRgba(const uint8_t* rgba, int width, int height) {
    Picture p;
    p.resize(width, height);
    for (int row = 0; row < height; ++row) rgbaToPlanes(rgba + size_t(row) * size_t(width) * 4, pictureRow(p, row), width);
    return p;
}

void rgbaFromPicture(const Picture& p, uint8_t* rgba) {
    for (int row = 0; row < p.height; ++row) {
        planesToRgba(pictureRow(p, row), rgba + size_t(row) * size_t(p.width) * 4, p.width);
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
