#include "Demo.h"

#include <algorithm>
#include <cmath>

#include "Font.h"
#include "Rgba.h"

namespace fieldfx {

namespace {

struct Rgb {
    int r, g, b;
};

// Seven bars at 75 %: white, yellow, cyan, green, magenta, red, blue.
const Rgb kBars[] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                     {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};

Rgb hue(double h) {
    h -= std::floor(h);
    const double x = h * 6.0;
    const int sector = int(x) % 6;
    const double f = x - std::floor(x);
    const int up = int(40 + 180 * f), down = int(220 - 180 * f);
    switch (sector) {
    case 0: return {220, up, 40};
    case 1: return {down, 220, 40};
    case 2: return {40, 220, up};
    case 3: return {40, down, 220};
    case 4: return {up, 40, 220};
    default: return {220, 40, down};
    }
}

Rgb clip0(int x, int y, double t, int w, int h) {
    Rgb c;
    if (y < h * 3 / 8) {
        c = kBars[std::min(6, x * 7 / w)];
    } else if (y < h * 5 / 8) {
        c = hue(double(x) / w + t * 0.02);
        const double shade = 0.55 + 0.45 * double(y - h * 3 / 8) / (h / 4);
        c = {int(c.r * shade), int(c.g * shade), int(c.b * shade)};
    } else if (y < h * 13 / 16) {
        // Fine detail: lines one and two pixels wide, and a fine checkerboard.
        const bool on = x < w / 3 ? (x & 1) : x < 2 * w / 3 ? ((x >> 1) & 1) : ((x ^ y) & 1);
        c = on ? Rgb{235, 235, 235} : Rgb{20, 20, 20};
    } else {
        const int v = int(16 + 219.0 * x / (w - 1));
        c = {v, v, v};
    }
    // A bright disc crossing from left to right and back along a shallow arc.
    const double phase = std::fmod(t / 50.0, 2.0);
    const double cx = (phase < 1.0 ? phase : 2.0 - phase) * (w - 160) + 80;
    const double cy = h * 0.5 + std::sin(t * 0.12) * h * 0.18;
    const double dx = x - cx, dy = y - cy;
    const double d2 = dx * dx + dy * dy;
    if (d2 < 70.0 * 70.0) {
        const double k = std::min(1.0, (70.0 - std::sqrt(d2)) / 6.0);
        c = {int(c.r + (255 - c.r) * k), int(c.g + (250 - c.g) * k), int(c.b + (200 - c.b) * k)};
    }
    return c;
}

Rgb clip1(int x, int y, double t, int w, int h) {
    const double stripe = std::sin((x + y) * 0.05 - t * 0.3);
    Rgb c = stripe > 0 ? Rgb{30, 60, int(150 + 60 * stripe)} : Rgb{int(200 - 100 * stripe), 120, 30};
    const int cell = 48;
    const int ox = int(t * 3) % (2 * cell);
    if (y > h / 4 && y < 3 * h / 4 && x > w / 4 && x < 3 * w / 4) {
        const bool dark = (((x + ox) / cell) + (y / cell)) & 1;
        c = dark ? Rgb{40, 40, 40} : Rgb{230, 230, 230};
    }
    return c;
}

}  // namespace

VideoFormat demoFormat() {
    VideoFormat f;
    f.width = 720;
    f.height = 576;
    f.chroma = Chroma::C420jpeg;
    f.interlace = Interlace::TopFirst;
    f.rate = Rational{25, 1};
    f.aspect = Rational{16, 15};
    return f;
}

Picture demoFrame(int clip, int frame, const VideoFormat& format) {
    Picture p;
    p.resize(format.width, format.height);
    std::vector<uint8_t> rgba(size_t(format.width) * 4, 255);  // opaque
    for (int y = 0; y < format.height; ++y) {
        const int field = y & 1;
        const int place = format.interlace == Interlace::BottomFirst ? 1 - field : field;
        const double t = 2.0 * frame + place;  // time in fields
        for (int x = 0; x < format.width; ++x) {
            const Rgb c = clip == 0 ? clip0(x, y, t, format.width, format.height) : clip1(x, y, t, format.width, format.height);
            rgba[4 * size_t(x)] = uint8_t(std::clamp(c.r, 0, 255));
            rgba[4 * size_t(x) + 1] = uint8_t(std::clamp(c.g, 0, 255));
            rgba[4 * size_t(x) + 2] = uint8_t(std::clamp(c.b, 0, 255));
        }
        rgbaToPlanes(rgba.data(), pictureRow(p, y), format.width);
    }
    return p;
}

RgbaImage thumbnail(const Picture& picture, int width, int height) {
    const RgbaImage full = rgbaFromPicture(picture);
    RgbaImage out;
    out.width = width;
    out.height = height;
    out.rgba.assign(size_t(width) * size_t(height) * 4, 255);
    for (int ty = 0; ty < height; ++ty) {
        const int y0 = ty * full.height / height, y1 = std::max(y0 + 1, (ty + 1) * full.height / height);
        for (int tx = 0; tx < width; ++tx) {
            const int x0 = tx * full.width / width, x1 = std::max(x0 + 1, (tx + 1) * full.width / width);
            int sum[3] = {0, 0, 0};
            for (int y = y0; y < y1; ++y) {
                for (int x = x0; x < x1; ++x) {
                    for (int c = 0; c < 3; ++c) sum[c] += full.rgba[(size_t(y) * full.width + x) * 4 + c];
                }
            }
            const int n = (y1 - y0) * (x1 - x0);
            for (int c = 0; c < 3; ++c) out.rgba[(size_t(ty) * width + tx) * 4 + c] = uint8_t(sum[c] / n);
        }
    }
    return out;
}

RgbaImage contactSheet(const std::vector<std::string>& headings, const std::vector<SheetRow>& rows) {
    constexpr int kScale = 2, kGap = 6, kLabelWidth = 150, kHeading = 28;
    int thumbW = 0, thumbH = 0;
    size_t columns = headings.size();
    for (const SheetRow& r : rows) {
        columns = std::max(columns, r.thumbnails.size());
        if (!r.thumbnails.empty()) {
            thumbW = r.thumbnails[0].width;
            thumbH = r.thumbnails[0].height;
        }
    }
    RgbaImage sheet;
    sheet.width = kLabelWidth + int(columns) * (thumbW + kGap) + kGap;
    sheet.height = kHeading + int(rows.size()) * (thumbH + kGap) + kGap;
    sheet.rgba.assign(size_t(sheet.width) * size_t(sheet.height) * 4, 0);
    for (size_t i = 0; i < sheet.rgba.size(); i += 4) {
        sheet.rgba[i] = sheet.rgba[i + 1] = sheet.rgba[i + 2] = 32;
        sheet.rgba[i + 3] = 255;
    }
    const uint8_t white[3] = {235, 235, 235}, grey[3] = {160, 160, 160};
    for (size_t c = 0; c < headings.size(); ++c) {
        const int x = kLabelWidth + int(c) * (thumbW + kGap) + kGap;
        drawText(sheet, x + (thumbW - textWidth(headings[c], kScale)) / 2, 8, headings[c], kScale, grey);
    }
    for (size_t r = 0; r < rows.size(); ++r) {
        const int top = kHeading + int(r) * (thumbH + kGap) + kGap;
        drawText(sheet, 10, top + (thumbH - kGlyphHeight * kScale) / 2, rows[r].label, kScale, white);
        for (size_t c = 0; c < rows[r].thumbnails.size(); ++c) {
            const RgbaImage& t = rows[r].thumbnails[c];
            const int left = kLabelWidth + int(c) * (thumbW + kGap) + kGap;
            for (int y = 0; y < t.height && top + y < sheet.height; ++y) {
                for (int x = 0; x < t.width && left + x < sheet.width; ++x) {
                    for (int k = 0; k < 3; ++k) {
                        sheet.rgba[(size_t(top + y) * sheet.width + left + x) * 4 + k] =
                            t.rgba[(size_t(y) * t.width + x) * 4 + k];
                    }
                }
            }
        }
    }
    return sheet;
}

}  // namespace fieldfx
