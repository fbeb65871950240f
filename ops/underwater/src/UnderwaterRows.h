// Underwater's row mover: every pixel of a row of the region taken from its
// source column, the same columns in every row of a field. Plain code moves
// the pixels word by word; on x86 most are moved in blocks with whole-
// register loads and permutes (AVX2) or byte shuffles (SSSE3), as the
// instruction-set level allows. The bytes moved are the same either way.
#pragma once

#include <cstdint>

// A region is at most 32767 pixels wide.
inline constexpr int32_t kMaxRowPixels = 32768;
inline constexpr int32_t kMaxRowBlocks = kMaxRowPixels / 4;

// How the rows of one field are moved, planned once per field from its
// source columns.
struct RowMover {
    enum class Kind { Words, Permute, Shuffle };
    Kind kind = Kind::Words;
    const int32_t* sourceColumn = nullptr;  // column c reads sourceColumn[c]
    int32_t width = 0;
    // Per block: the first source pixel of its loads (-1: none cover it)
    // and its pattern, eight word indices (AVX2) or two byte shuffles
    // (SSSE3).
    int32_t blockStart[kMaxRowBlocks];
    alignas(32) uint8_t blockPattern[kMaxRowBlocks][32];
    // The AVX2 blocks whose sources spread too wide for the loads.
    int32_t looseBlocks[kMaxRowBlocks];
    int32_t looseCount = 0;
};

// Plans the moves of rows `width` pixels wide whose column c reads column
// sourceColumn[c] (0 <= sourceColumn[c] < width); the columns must stay as
// they are while the plan is used.
void planRowMoves(RowMover& mover, const int32_t* sourceColumn, int32_t width);

// dst[c] = src[sourceColumn[c]] for every pixel c of the row; `src` and `dst`
// are different rows.
void moveRow(const RowMover& mover, const uint8_t* src, uint8_t* dst);
