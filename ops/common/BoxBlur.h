// Box-filter kernels over one byte (`channel`, 0..3) of every pixel of an
// image of width x height four-byte pixels, rows back to back. The source is
// only read; of the destination only byte `channel` of each pixel is written.
// `window` is the row window length r; columns use r / 2.
#pragma once

#include <cstdint>

// The working memory of BlurBoth: a temporary image of one byte per pixel
// of a width x height image, taken from the heap when made and given back
// when it goes. A caller that must fail before it changes anything takes it
// first and passes it to BlurBoth.
class BlurMemory {
public:
    BlurMemory(int32_t width, int32_t height);
    ~BlurMemory();
    BlurMemory(const BlurMemory&) = delete;
    BlurMemory& operator=(const BlurMemory&) = delete;

    // Whether the memory could be had; an empty image needs none.
    bool taken() const { return taken_; }
    uint8_t* bytes() const { return bytes_; }

private:
    uint8_t* bytes_ = nullptr;
    bool taken_ = false;
};

// Column pass (r / 2) from the source into a temporary image, then row pass
// (r) into the destination. Without memory for the temporary image the
// destination is left as it was and the result is false.
bool BlurBoth(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
              int32_t window, int32_t channel);

// BlurBoth with memory taken beforehand for the same width and height
// (`memory.taken()` must hold).
void BlurBoth(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
              int32_t window, int32_t channel, const BlurMemory& memory);

// BlurBoth on bytes 1, 2 and 3 of every pixel (byte 0 of the destination is
// left as it was): the same bytes as three BlurBoth calls, one per byte,
// including where memory runs out, at about the cost of one; false where
// one of those calls would have been. Where both passes fit 16-bit lanes
// and the images are apart it needs no temporary image: each row is blurred
// along as soon as the column pass finishes it.
bool BlurBothPicture(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                     int32_t window);

// BlurBothPicture, then every byte of the destination mixed with the same
// byte of the source by strength s: d <- (d * s + source * (255 - s)) / 255,
// byte 0 too (s above 255 counts as 255; at 0 the destination becomes the
// source). Each row is mixed as soon as it is blurred. The mix reads the
// untouched source, so the two images must not share bytes. False, with
// the destination not mixed, where BlurBothPicture is.
bool BlurBothPictureMixed(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                          int32_t window, uint32_t strength);

// Column pass (r / 2) straight into the destination.
void BlurVertical(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                  int32_t window, int32_t channel);

// Row pass (r) straight into the destination.
void BlurHorizontal(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height,
                    int32_t window, int32_t channel);

// Test hook: while it is above 0, each BlurMemory (so each BlurBoth call
// that takes its own) counts it down by one and behaves as if the heap had
// no memory for it. 0 (the initial value) leaves them as they are. Only
// tests write it.
extern int32_t blurBothRefusedAllocations;

// Test hook: false keeps the 16-bit passes of BlurBothPicture to eight lanes
// (SSE2) where the processor has sixteen (AVX2), so that both are tested.
// Both give the same bytes.
extern bool boxBlurWideLanes;
