#include "Video.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "fieldfx/HostBackend.h"

namespace fieldfx {

namespace {

struct ChromaInfo {
    Chroma chroma;
    const char* name;
};

const ChromaInfo kChromaNames[] = {
    {Chroma::C420jpeg, "420jpeg"}, {Chroma::C420mpeg2, "420mpeg2"}, {Chroma::C420paldv, "420paldv"},
    {Chroma::C422, "422"},         {Chroma::C444, "444"},           {Chroma::C444alpha, "444alpha"},
};

// Doubles the samples of a line: replication for centred chroma, linear
// interpolation between neighbours for co-sited chroma. Down-sampling
// (below) undoes it exactly, so untouched pictures survive a round trip.
void upsampleLine(const uint8_t* src, ptrdiff_t srcStep, int srcCount, uint8_t* dst,
                  ptrdiff_t dstStep, int dstCount, Siting siting) {
    if (srcCount <= 0) return;
    const int phase = siting == Siting::CositedOdd ? 1 : 0;
    for (int i = 0; i < dstCount; ++i) {
        int value;
        if (siting == Siting::Centred) {
            value = src[std::min(i >> 1, srcCount - 1) * srcStep];
        } else {
            const int rel = i - phase;
            if (rel < 0) {
                value = src[0];
            } else {
                const int k = std::min(rel >> 1, srcCount - 1);
                if ((rel & 1) == 0 || k + 1 >= srcCount) {
                    value = src[k * srcStep];
                } else {
                    value = (src[k * srcStep] + src[(k + 1) * srcStep] + 1) >> 1;
                }
            }
        }
        dst[i * dstStep] = static_cast<uint8_t>(value);
    }
}

// Halves the samples of a line: pair average for centred chroma, the
// co-sited sample for co-sited chroma.
void downsampleLine(const uint8_t* src, ptrdiff_t srcStep, int srcCount, uint8_t* dst,
                    ptrdiff_t dstStep, int dstCount, Siting siting) {
    if (srcCount <= 0) return;
    for (int k = 0; k < dstCount; ++k) {
        int value;
        if (siting == Siting::Centred) {
            const int a = std::min(2 * k, srcCount - 1), b = std::min(2 * k + 1, srcCount - 1);
            value = (src[a * srcStep] + src[b * srcStep] + 1) >> 1;
        } else {
            const int phase = siting == Siting::CositedOdd ? 1 : 0;
            value = src[std::min(2 * k + phase, srcCount - 1) * srcStep];
        }
        dst[k * dstStep] = static_cast<uint8_t>(value);
    }
}

// The vertical passes run over groups of rows: the whole frame, or for
// interlaced 4:2:0 each field on its own (every second row from `first`).
struct RowGroup {
    int first;
    int step;
};

std::vector<RowGroup> rowGroups(const VideoFormat& f) {
    if (chromaShiftY(f.chroma) && f.interlace != Interlace::Progressive) return {{0, 2}, {1, 2}};
    return {{0, 1}};
}

}  // namespace

const char* chromaName(Chroma chroma) {
    for (const ChromaInfo& info : kChromaNames) {
        if (info.chroma == chroma) return info.name;
    }
    return "?";
}

bool parseChromaName(const std::string& text, Chroma& chroma) {
    if (text == "420") {
        chroma = Chroma::C420jpeg;
        return true;
    }
    for (const ChromaInfo& info : kChromaNames) {
        if (text == info.name) {
            chroma = info.chroma;
            return true;
        }
    }
    return false;
}

int chromaShiftX(Chroma chroma) { return chroma == Chroma::C444 || chroma == Chroma::C444alpha ? 0 : 1; }
int chromaShiftY(Chroma chroma) {
    return chroma == Chroma::C420jpeg || chroma == Chroma::C420mpeg2 || chroma == Chroma::C420paldv;
}
bool hasAlpha(Chroma chroma) { return chroma == Chroma::C444alpha; }

int chromaWidth(const VideoFormat& f) { return (f.width + chromaShiftX(f.chroma)) >> chromaShiftX(f.chroma); }
int chromaHeight(const VideoFormat& f) { return (f.height + chromaShiftY(f.chroma)) >> chromaShiftY(f.chroma); }

Siting horizontalSiting(Chroma chroma) {
    return chroma == Chroma::C420jpeg ? Siting::Centred : Siting::CositedEven;
}

// PAL DV keeps Cr on the even and Cb on the odd lines of each pair.
Siting verticalSiting(Chroma chroma, bool isCb) {
    if (chroma != Chroma::C420paldv) return Siting::Centred;
    return isCb ? Siting::CositedOdd : Siting::CositedEven;
}

size_t frameBytes(const VideoFormat& f) {
    const size_t luma = size_t(f.width) * size_t(f.height);
    const size_t chroma = size_t(chromaWidth(f)) * size_t(chromaHeight(f));
    return luma + 2 * chroma + (hasAlpha(f.chroma) ? luma : 0);
}

std::string formatProblem(const VideoFormat& f) {
    if (f.width <= 0 || f.height <= 0) return "the frame size must be positive";
    if (f.width > 32767 || f.height / 2 > 32767) return "frames wider than 32767 pixels or taller than 65535 lines are not supported";
    if (f.height % 2 != 0) return "the frame height must be even (two fields of equal height)";
    if (chromaShiftX(f.chroma) && f.width % 2 != 0) {
        return std::string("chroma ") + chromaName(f.chroma) + " needs an even width";
    }
    if (chromaShiftY(f.chroma) && f.interlace != Interlace::Progressive && f.height % 4 != 0) {
        return "interlaced 4:2:0 needs a height that is a multiple of 4";
    }
    if (!f.rate.known()) return "the frame rate must be positive";
    return "";
}

Rational rateFromNumber(double fps) {
    const double whole = std::round(fps);
    if (fps == whole) return Rational{int64_t(whole), 1};
    const double ntsc = std::round(fps * 1.001);
    if (std::fabs(fps - ntsc * 1000.0 / 1001.0) < 0.005) return Rational{int64_t(ntsc) * 1000, 1001};
    int64_t num = std::llround(fps * 1000.0), den = 1000;
    for (int64_t f : {2, 5}) {
        while (num % f == 0 && den % f == 0) {
            num /= f;
            den /= f;
        }
    }
    return Rational{std::max<int64_t>(num, 1), den};
}

bool isSixtyFields(const Rational& rate) {
    return rate.known() && (rate == Rational{30, 1} || rate == Rational{30000, 1001});
}

int16_t pixelAspectOf(const Rational& aspect) {
    if (!aspect.known()) return 1000;
    const int64_t thousandths = (1000 * aspect.den + aspect.num / 2) / aspect.num;
    return static_cast<int16_t>(std::clamp<int64_t>(thousandths, 1, 32767));
}

void Picture::resize(int w, int h) {
    width = w;
    height = h;
    const size_t n = size_t(w) * size_t(h);
    y.assign(n, 16);
    cb.assign(n, 128);
    cr.assign(n, 128);
    a.assign(n, 255);
}

Picture expandFrame(const VideoFormat& f, const Frame& frame) {
    Picture p;
    p.resize(f.width, f.height);
    const size_t luma = size_t(f.width) * size_t(f.height);
    const int cw = chromaWidth(f), ch = chromaHeight(f);
    const size_t chromaSize = size_t(cw) * size_t(ch);
    const uint8_t* planes = frame.data.data();
    std::memcpy(p.y.data(), planes, luma);
    if (hasAlpha(f.chroma)) std::memcpy(p.a.data(), planes + luma + 2 * chromaSize, luma);

    for (int c = 0; c < 2; ++c) {
        const bool isCb = c == 0;
        const uint8_t* src = planes + luma + size_t(c) * chromaSize;
        std::vector<uint8_t>& out = isCb ? p.cb : p.cr;
        // Horizontal: chroma rows to full width.
        std::vector<uint8_t> wide(size_t(f.width) * size_t(ch));
        for (int r = 0; r < ch; ++r) {
            uint8_t* dst = wide.data() + size_t(r) * f.width;
            if (chromaShiftX(f.chroma)) {
                upsampleLine(src + size_t(r) * cw, 1, cw, dst, 1, f.width, horizontalSiting(f.chroma));
            } else {
                std::memcpy(dst, src + size_t(r) * cw, size_t(cw));
            }
        }
        if (!chromaShiftY(f.chroma)) {
            out = std::move(wide);
            continue;
        }
        // Vertical, per row group.
        for (const RowGroup& g : rowGroups(f)) {
            const int srcRows = (ch - g.first + g.step - 1) / g.step;
            const int dstRows = (f.height - g.first + g.step - 1) / g.step;
            for (int x = 0; x < f.width; ++x) {
                upsampleLine(wide.data() + size_t(g.first) * f.width + x, ptrdiff_t(g.step) * f.width, srcRows,
                             out.data() + size_t(g.first) * f.width + x, ptrdiff_t(g.step) * f.width, dstRows,
                             verticalSiting(f.chroma, isCb));
            }
        }
    }
    return p;
}

Frame packFrame(const VideoFormat& f, const Picture& p) {
    Frame frame;
    frame.data.resize(frameBytes(f));
    const size_t luma = size_t(f.width) * size_t(f.height);
    const int cw = chromaWidth(f), ch = chromaHeight(f);
    const size_t chromaSize = size_t(cw) * size_t(ch);
    uint8_t* planes = frame.data.data();
    std::memcpy(planes, p.y.data(), luma);
    if (hasAlpha(f.chroma)) std::memcpy(planes + luma + 2 * chromaSize, p.a.data(), luma);

    for (int c = 0; c < 2; ++c) {
        const bool isCb = c == 0;
        const std::vector<uint8_t>& full = isCb ? p.cb : p.cr;
        uint8_t* dst = planes + luma + size_t(c) * chromaSize;
        // Vertical first, per row group, into full-width chroma rows.
        std::vector<uint8_t> tall;
        if (chromaShiftY(f.chroma)) {
            tall.resize(size_t(f.width) * size_t(ch));
            for (const RowGroup& g : rowGroups(f)) {
                const int srcRows = (f.height - g.first + g.step - 1) / g.step;
                const int dstRows = (ch - g.first + g.step - 1) / g.step;
                for (int x = 0; x < f.width; ++x) {
                    downsampleLine(full.data() + size_t(g.first) * f.width + x, ptrdiff_t(g.step) * f.width,
                                   srcRows, tall.data() + size_t(g.first) * f.width + x,
                                   ptrdiff_t(g.step) * f.width, dstRows, verticalSiting(f.chroma, isCb));
                }
            }
        } else {
            tall = full;
        }
        for (int r = 0; r < ch; ++r) {
            const uint8_t* src = tall.data() + size_t(r) * f.width;
            if (chromaShiftX(f.chroma)) {
                downsampleLine(src, 1, f.width, dst + size_t(r) * cw, 1, cw, horizontalSiting(f.chroma));
            } else {
                std::memcpy(dst + size_t(r) * cw, src, size_t(cw));
            }
        }
    }
    return frame;
}

FieldImage* fieldOf(const Picture& p, int field) {
    const int rows = p.height / 2;
    FieldImage* image = newFieldImage(p.width, rows, false);  // every pixel is set below
    if (image == nullptr) return nullptr;
    for (int r = 0; r < rows; ++r) {
        const size_t src = size_t(2 * r + field) * p.width;
        uint8_t* dst = image->pixels + size_t(r) * p.width * PIXEL_BYTES;
        for (int x = 0; x < p.width; ++x) {
            dst[4 * x + PIXEL_KEY] = p.a[src + x];
            dst[4 * x + PIXEL_CR] = p.cr[src + x];
            dst[4 * x + PIXEL_CB] = p.cb[src + x];
            dst[4 * x + PIXEL_LUMA] = p.y[src + x];
        }
    }
    return image;
}

void weaveField(Picture& p, int field, const FieldImage& image) {
    const int rows = std::min<int>(p.height / 2, image.height);
    const int width = std::min<int>(p.width, image.width);
    for (int r = 0; r < rows; ++r) {
        const size_t dst = size_t(2 * r + field) * p.width;
        const uint8_t* src = image.pixels + size_t(r) * image.width * PIXEL_BYTES;
        for (int x = 0; x < width; ++x) {
            p.a[dst + x] = src[4 * x + PIXEL_KEY];
            p.cr[dst + x] = src[4 * x + PIXEL_CR];
            p.cb[dst + x] = src[4 * x + PIXEL_CB];
            p.y[dst + x] = src[4 * x + PIXEL_LUMA];
        }
    }
}

const char* scanName(Interlace scan) {
    switch (scan) {
    case Interlace::TopFirst: return "top field first";
    case Interlace::BottomFirst: return "bottom field first";
    default: return "progressive";
    }
}

int fieldAt(Interlace order, int place) {
    return order == Interlace::BottomFirst ? 1 - place : place;
}

YCbCr rgbToYCbCr(int r, int g, int b) {
    auto clampByte = [](double v, int lo, int hi) {
        return static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(v)), lo, hi));
    };
    return YCbCr{
        clampByte(16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0, 16, 235),
        clampByte(128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0, 16, 240),
        clampByte(128.0 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0, 16, 240),
    };
}

void yCbCrToRgb(int y, int cb, int cr, uint8_t rgb[3]) {
    const double l = 1.164383562 * (y - 16);
    const double values[3] = {
        l + 1.596026786 * (cr - 128),
        l - 0.391762290 * (cb - 128) - 0.812967647 * (cr - 128),
        l + 2.017232143 * (cb - 128),
    };
    for (int i = 0; i < 3; ++i) rgb[i] = static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(values[i])), 0, 255));
}

FieldImage* scaleField(const FieldImage& source, int width, int height) {
    FieldImage* image = newFieldImage(width, height, false);  // every pixel is set below
    if (image == nullptr) return nullptr;
    const int sw = source.width, sh = source.height;
    for (int ty = 0; ty < height; ++ty) {
        const int y0 = int(int64_t(ty) * sh / height), y1 = std::max(y0 + 1, int(int64_t(ty + 1) * sh / height));
        for (int tx = 0; tx < width; ++tx) {
            const int x0 = int(int64_t(tx) * sw / width), x1 = std::max(x0 + 1, int(int64_t(tx + 1) * sw / width));
            uint32_t sum[4] = {0, 0, 0, 0};
            for (int y = y0; y < y1; ++y) {
                const uint8_t* row = source.pixels + (size_t(y) * sw + x0) * PIXEL_BYTES;
                for (int x = x0; x < x1; ++x, row += PIXEL_BYTES) {
                    for (int c = 0; c < 4; ++c) sum[c] += row[c];
                }
            }
            const uint32_t count = uint32_t(y1 - y0) * uint32_t(x1 - x0);
            uint8_t* dst = image->pixels + (size_t(ty) * width + tx) * PIXEL_BYTES;
            for (int c = 0; c < 4; ++c) dst[c] = static_cast<uint8_t>((sum[c] + count / 2) / count);
        }
    }
    auto scaleX = [&](int v) { return int(int64_t(v) * width / std::max(sw, 1)); };
    auto scaleY = [&](int v) { return int(int64_t(v) * height / std::max(sh, 1)); };
    image->regionLeft = static_cast<int16_t>(scaleX(source.regionLeft));
    image->regionTop = static_cast<int16_t>(scaleY(source.regionTop));
    image->regionWidth = static_cast<int16_t>(scaleX(source.regionLeft + source.regionWidth) - image->regionLeft);
    image->regionHeight = static_cast<int16_t>(scaleY(source.regionTop + source.regionHeight) - image->regionTop);
    return image;
}

}  // namespace fieldfx
