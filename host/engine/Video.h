// Frames as they are stored in files (planar Y'CbCr with subsampled chroma),
// full-resolution pictures, and the fields that operators work on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "OperatorApi.h"
#include "fieldfx/HostBackend.h"

namespace fieldfx {

enum class Chroma { C420jpeg, C420mpeg2, C420paldv, C422, C444, C444alpha };
enum class Interlace { Progressive, TopFirst, BottomFirst };

struct Rational {
    int64_t num = 0;
    int64_t den = 0;
    bool known() const { return num > 0 && den > 0; }
    // Cross products in 128 bits: a stream's header may give terms of up to
    // twelve digits, whose products overflow 64.
    bool operator==(const Rational& o) const {
        return static_cast<__int128>(num) * o.den == static_cast<__int128>(o.num) * den;
    }
};

struct VideoFormat {
    int width = 0;
    int height = 0;
    Chroma chroma = Chroma::C420jpeg;
    Interlace interlace = Interlace::Progressive;
    Rational rate{25, 1};
    Rational aspect{0, 0};  // pixel aspect ratio, width:height; 0:0 when unknown
};

const char* chromaName(Chroma chroma);
bool parseChromaName(const std::string& text, Chroma& chroma);
int chromaShiftX(Chroma chroma);  // 1 when chroma has half the columns
int chromaShiftY(Chroma chroma);  // 1 when chroma has half the rows
bool hasAlpha(Chroma chroma);
int chromaWidth(const VideoFormat& format);   // columns of a chroma plane
int chromaHeight(const VideoFormat& format);  // rows of a chroma plane

// Where chroma samples sit relative to the luma samples along one direction.
enum class Siting {
    Centred,      // between luma samples 2k and 2k+1
    CositedEven,  // on luma sample 2k
    CositedOdd,   // on luma sample 2k+1
};
Siting horizontalSiting(Chroma chroma);
Siting verticalSiting(Chroma chroma, bool isCb);

// Bytes of one stored frame: Y, Cb, Cr (and A) planes one after another.
size_t frameBytes(const VideoFormat& format);

// Why a format cannot be handled (odd sizes for the chroma layout, too
// large for a field image, ...), or an empty string when it can.
std::string formatProblem(const VideoFormat& format);

// A rate given as a number of frames a second: whole numbers exactly, a
// number within 0.005 of N * 1000/1001 as that fraction (29.97 is
// 30000/1001), anything else to a thousandth. `framesPerSecond` must be
// positive and at most 1000000.
Rational rateFromNumber(double framesPerSecond);

// Request flags and pixel aspect that follow from the format.
bool isSixtyFields(const Rational& rate);
int16_t pixelAspectOf(const Rational& aspect);

// A frame as stored: planes of the format's chroma layout.
// The allocator of the large buffers a run takes for every frame: field
// memory (see keepFieldMemory), and no zeroing when a buffer grows, since
// every such buffer is written whole before it is read.
template <class T>
struct FieldBufferAllocator {
    using value_type = T;
    FieldBufferAllocator() = default;
    template <class U>
    FieldBufferAllocator(const FieldBufferAllocator<U>&) {}
    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* p = newFieldBuffer(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) { deleteFieldBuffer(p); }
    template <class U>
    void construct(U* p) {
        ::new (static_cast<void*>(p)) U;  // left uninitialised
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const FieldBufferAllocator<U>&) const { return true; }
};

// Bytes of a frame buffer: resize() leaves new bytes unwritten.
using FrameBytes = std::vector<uint8_t, FieldBufferAllocator<uint8_t>>;

struct Frame {
    FrameBytes data;  // frameBytes(format) bytes
};

// Full-resolution planes of one frame; alpha 255 when the source has none.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> y, cb, cr, a;
    void resize(int w, int h);
};

// Chroma conversion between the stored layout and full resolution. Chroma
// of interlaced 4:2:0 is resampled within each field, never across the two.
Picture expandFrame(const VideoFormat& format, const Frame& frame);
Frame packFrame(const VideoFormat& format, const Picture& picture);

// Field at index `field` (0 = the even lines, 1 = the odd lines) of a picture
// as a field image in operator pixel order: key, Cr, Cb, Y'.
FieldImage* fieldOf(const Picture& picture, int field);
void weaveField(Picture& picture, int field, const FieldImage& image);

// "progressive", "top field first" or "bottom field first", for messages.
const char* scanName(Interlace scan);

// Field index (0 top, 1 bottom) shown at the first and second place of a frame.
int fieldAt(Interlace order, int place);

// BT.601 limited range conversions of one colour.
struct YCbCr {
    uint8_t y, cb, cr;
};
YCbCr rgbToYCbCr(int r, int g, int b);
void yCbCrToRgb(int y, int cb, int cr, uint8_t rgb[3]);

// Scales a field down to the given size by averaging the source pixels that
// fall on each target pixel; the valid region is scaled with it.
FieldImage* scaleField(const FieldImage& source, int width, int height);

}  // namespace fieldfx
