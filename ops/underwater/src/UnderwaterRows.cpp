#include "UnderwaterRows.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "OperatorSupport.h"

namespace {

// Pixels from..to-1 of a row, each from its source column, as 32-bit words.
void gatherWords(const uint8_t* __restrict src, uint8_t* __restrict dst, const int32_t* __restrict columns,
                 int32_t from, int32_t to) {
    for (int32_t c = from; c < to; ++c) {
        uint32_t word;
        std::memcpy(&word, src + static_cast<size_t>(columns[c]) * PIXEL_BYTES, sizeof word);
        std::memcpy(dst + static_cast<size_t>(c) * PIXEL_BYTES, &word, sizeof word);
    }
}

#if defined(__x86_64__) || defined(__i386__)
// Most blocks of neighbouring output pixels take their sources from a few
// neighbouring source pixels, since a gentle wave moves neighbouring columns
// alike. Such a block is moved with whole-register loads and permutes instead
// of word by word. The sources are the same in every row, so every block's
// first source pixel and permute pattern are worked out once per field. The
// pixels after the last whole block are gathered word by word, and so is a
// block whose sources spread wider than the loads reach.
//
// With AVX2, a block is eight output pixels from within sixteen source
// pixels: two 32-byte loads, each permuted by the same word indices, and a
// blend that takes each pixel from the first or the second load by bit 31 of
// its index, which the permute ignores. Without AVX2 but with SSSE3, it is
// four output pixels from within eight source pixels: two 16-byte loads, a
// byte shuffle of each (a pattern byte of 0x80 gives 0) and their union.

const bool kCanPermute = isaAllows(IsaLevel::Avx2);
const bool kCanShuffle = isaAllows(IsaLevel::Ssse3);

const int32_t kWideBlock = 8;
const int32_t kWideReach = 16;
const int32_t kNarrowBlock = 4;
const int32_t kNarrowReach = 8;

// The first source pixel of loads reaching `reach` pixels that cover the
// sources of the block of `block` output pixels starting at column `first`,
// kept inside the row; -1 where no such loads exist.
int32_t blockLoadStart(const int32_t* sourceColumn, int32_t first, int32_t block, int32_t reach, int32_t width) {
    const int32_t* sources = sourceColumn + first;
    int32_t low = sources[0];
    int32_t high = sources[0];
    for (int32_t k = 1; k < block; ++k) {
        low = sources[k] < low ? sources[k] : low;
        high = sources[k] > high ? sources[k] : high;
    }
    const int32_t start = low < width - reach ? low : width - reach;
    if (start < 0 || high - start >= reach) return -1;
    return start;
}

// The AVX2 blocks whose sources spread too wide are listed apart: the
// permute loop moves every block without a test, and these are then
// gathered again word by word over the permute's bytes.
void planWideBlocks(RowMover& m) {
    m.looseCount = 0;
    for (int32_t b = 0; b < m.width / kWideBlock; ++b) {
        int32_t start = blockLoadStart(m.sourceColumn, b * kWideBlock, kWideBlock, kWideReach, m.width);
        if (start < 0) {
            m.looseBlocks[m.looseCount++] = b;
            start = 0;  // loads inside the row (of at least kWideReach pixels); the bytes are replaced
        }
        m.blockStart[b] = start;
        for (int32_t k = 0; k < kWideBlock; ++k) {
            const uint32_t from = static_cast<uint32_t>(m.sourceColumn[b * kWideBlock + k] - start);
            const uint32_t index = (from & 7u) | (from >= 8 ? 0x80000000u : 0u);
            std::memcpy(m.blockPattern[b] + k * 4, &index, 4);
        }
    }
}

void planNarrowBlocks(RowMover& m) {
    for (int32_t b = 0; b < m.width / kNarrowBlock; ++b) {
        const int32_t start = blockLoadStart(m.sourceColumn, b * kNarrowBlock, kNarrowBlock, kNarrowReach, m.width);
        m.blockStart[b] = start;
        if (start < 0) continue;
        const int32_t* sources = m.sourceColumn + b * kNarrowBlock;
        for (int32_t k = 0; k < kNarrowBlock; ++k) {
            for (int32_t byte = 0; byte < PIXEL_BYTES; ++byte) {
                const int32_t from = (sources[k] - start) * PIXEL_BYTES + byte;
                const int32_t to = k * PIXEL_BYTES + byte;
                m.blockPattern[b][to] = static_cast<uint8_t>(from < 16 ? from : 0x80);
                m.blockPattern[b][16 + to] = static_cast<uint8_t>(from < 16 ? 0x80 : from - 16);
            }
        }
    }
}

__attribute__((target("avx2")))
void permuteRow(const RowMover& m, const uint8_t* __restrict src, uint8_t* __restrict dst) {
    const int32_t* const columns = m.sourceColumn;
    const int32_t width = m.width;
    const int32_t blocks = width / kWideBlock;
    for (int32_t b = 0; b < blocks; ++b) {
        const uint8_t* from = src + static_cast<size_t>(m.blockStart[b]) * PIXEL_BYTES;
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32));
        const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(m.blockPattern[b]));
        const __m256 picked = _mm256_blendv_ps(_mm256_castsi256_ps(_mm256_permutevar8x32_epi32(first, index)),
                                               _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(second, index)),
                                               _mm256_castsi256_ps(index));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + static_cast<size_t>(b) * kWideBlock * PIXEL_BYTES),
                            _mm256_castps_si256(picked));
    }
    for (int32_t i = 0; i < m.looseCount; ++i) {
        const int32_t first = m.looseBlocks[i] * kWideBlock;
        gatherWords(src, dst, columns, first, first + kWideBlock);
    }
    gatherWords(src, dst, columns, blocks * kWideBlock, width);
}

__attribute__((target("ssse3")))
void shuffleRow(const RowMover& m, const uint8_t* __restrict src, uint8_t* __restrict dst) {
    const int32_t* const columns = m.sourceColumn;
    const int32_t width = m.width;
    const int32_t blocks = width / kNarrowBlock;
    for (int32_t b = 0; b < blocks; ++b) {
        const int32_t start = m.blockStart[b];
        if (start < 0) {
            gatherWords(src, dst, columns, b * kNarrowBlock, b * kNarrowBlock + kNarrowBlock);
            continue;
        }
        const uint8_t* from = src + static_cast<size_t>(start) * PIXEL_BYTES;
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16));
        const __m128i pattern0 = _mm_load_si128(reinterpret_cast<const __m128i*>(m.blockPattern[b]));
        const __m128i pattern1 = _mm_load_si128(reinterpret_cast<const __m128i*>(m.blockPattern[b] + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + static_cast<size_t>(b) * kNarrowBlock * PIXEL_BYTES),
                         _mm_or_si128(_mm_shuffle_epi8(first, pattern0), _mm_shuffle_epi8(second, pattern1)));
    }
    gatherWords(src, dst, columns, blocks * kNarrowBlock, width);
}
#endif

}  // namespace

// The permute loop loads sixteen pixels from every block's start, so it
// needs rows at least that wide.
void planRowMoves(RowMover& mover, const int32_t* sourceColumn, int32_t width) {
    mover.sourceColumn = sourceColumn;
    mover.width = width;
    mover.kind = RowMover::Kind::Words;
#if defined(__x86_64__) || defined(__i386__)
    if (kCanPermute && width >= kWideReach) {
        planWideBlocks(mover);
        mover.kind = RowMover::Kind::Permute;
    } else if (kCanShuffle) {
        planNarrowBlocks(mover);
        mover.kind = RowMover::Kind::Shuffle;
    }
#endif
}

void moveRow(const RowMover& mover, const uint8_t* src, uint8_t* dst) {
    switch (mover.kind) {
#if defined(__x86_64__) || defined(__i386__)
        case RowMover::Kind::Permute: permuteRow(mover, src, dst); break;
        case RowMover::Kind::Shuffle: shuffleRow(mover, src, dst); break;
#endif
        default: gatherWords(src, dst, mover.sourceColumn, 0, mover.width); break;
    }
}
