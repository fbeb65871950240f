#include "Png.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Error.h"

namespace fieldfx {

bool pngHasAlpha(const std::string& path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    const bool alpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    png_image_free(&image);
    return alpha;
}

RgbaImage readPng(const std::string& path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        const std::string why = image.message;
        png_image_free(&image);
        throw UserError(path, "cannot read PNG: " + why);
    }
    if (image.width > 32767 || image.height > 65534) {
        png_image_free(&image);
        throw UserError(path, "PNG too large (at most 32767 x 65534)");
    }
    image.format = PNG_FORMAT_RGBA;
    RgbaImage out;
    out.width = int(image.width);
    out.height = int(image.height);
    out.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) {
        const std::string why = image.message;
        png_image_free(&image);
        throw UserError(path, "cannot read PNG: " + why);
    }
    return out;
}

void writePng(const std::string& path, const RgbaImage& rgba, bool withAlpha) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw UserError(path, std::string("cannot write PNG: ") + std::strerror(errno));
    try {
        writePng(file, path, rgba, withAlpha);
    } catch (...) {
        std::fclose(file);
        throw;
    }
    if (std::fclose(file) != 0) throw UserError(path, std::string("cannot write PNG: ") + std::strerror(errno));
}

void writePng(FILE* file, const std::string& path, const RgbaImage& rgba, bool withAlpha) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(rgba.width);
    image.height = png_uint_32(rgba.height);
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgb;
    const void* data = rgba.rgba.data();
    if (!withAlpha) {
        image.format = PNG_FORMAT_RGB;
        rgb.resize(size_t(rgba.width) * size_t(rgba.height) * 3);
        for (size_t i = 0, n = size_t(rgba.width) * size_t(rgba.height); i < n; ++i) {
            std::memcpy(&rgb[3 * i], &rgba.rgba[4 * i], 3);
        }
        data = rgb.data();
    }
    if (!png_image_write_to_stdio(&image, file, 0, data, 0, nullptr)) {
        const std::string why = image.message;
        png_image_free(&image);
        throw UserError(path, "cannot write PNG: " + why);
    }
}

bool looksLikePng(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    uint8_t signature[8] = {};
    const bool ok = std::fread(signature, 1, 8, f) == 8 && png_sig_cmp(signature, 0, 8) == 0;
    std::fclose(f);
    return ok;
}

}  // namespace fieldfx
