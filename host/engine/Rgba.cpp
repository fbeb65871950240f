#include "Rgba.h"

#include <algorithm>

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

void rgbaToFields(const uint8_t* rgba, int width, int height, FieldImage* const fields[2]) {
    const size_t rowBytes = size_t(width) * 4;
    for (int field = 0; field < 2; ++field) {
        for (int r = 0; r < fields[field]->height; ++r) {
            const int line = std::min(2 * r + field, height - 1);
            rgbaToPixels(rgba + size_t(line) * rowBytes, fields[field]->pixels + size_t(r) * rowBytes, width);
        }
    }
}

void fieldsToRgba(const FieldImage* const fields[2], int width, int height, uint8_t* rgba) {
    const size_t rowBytes = size_t(width) * 4;
    for (int line = 0; line < height; ++line) {
        pixelsToRgba(fields[line % 2]->pixels + size_t(line / 2) * rowBytes, rgba + size_t(line) * rowBytes, width);
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
