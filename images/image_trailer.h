// The descriptor block at the end of every image file: which kind of image it is and where each
// flash region's data lie in the file. New files carry 192 bytes with eleven regions, old files
// 160 bytes with nine; an old block is widened to the new shape before anything reads it.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "station/channel_context.h"

static_assert(std::endian::native == std::endian::little, "image files are read as host words");

enum ImageKind : int {
    IMAGE_UNIFIED = 0,
    IMAGE_PHONE = 1,
    IMAGE_EBOOT = 2,
    IMAGE_PDA = 3,
    IMAGE_CSC = 4,
    IMAGE_HIDDEN = 5,
    IMAGE_NONE = 6,
};

// The caption, file-dialog extension and location value of a kind; nullptr outside 1-5.
struct IMAGE_KIND_INFO {
    const char* szCaption;
    const char* szExtension;
    const char* szLocationValue;
};
const IMAGE_KIND_INFO* IMAGE_KindInfo(int nKind);

// "This File is not a <caption> Image File!!"
std::string IMAGE_RefusalText(int nKind);

constexpr uint32_t TRAILER_START_MARKER = 0x7E;
constexpr uint32_t TRAILER_END_MARKER = 0x7D;
constexpr uint32_t TRAILER_NEW_SIZE = 192;
constexpr uint32_t TRAILER_OLD_SIZE = 160;
constexpr uint32_t TRAILER_OLD_REGIONS = 9;
constexpr uint32_t TRAILER_OLD_END_OFFSET = 156;
constexpr uint32_t TRAILER_OLD_PHONE_KIND = 0x40;  // an old Phone kind word, accepted unmarked
constexpr uint32_t CSC_SIZE_MARKER = 0xACAC;        // PDA entry 7 StartAddr: FileOffset is the CSC size
constexpr uint32_t PARTITION_TABLE_OFFSET = 0x44800;

// Little-endian words; the layout is the file's.
struct IMAGE_TRAILER {
    uint32_t dwStartMarker;
    uint32_t dwKind;  // new: the ImageKind; old: 1 << ImageKind
    uint32_t dwHeadWord;
    REGION_INFO aRegion[REGION_COUNT];
    uint32_t dwEndMarker;  // offset 188 in the new shape
};
static_assert(sizeof(IMAGE_TRAILER) == TRAILER_NEW_SIZE);

// Widens a 160-byte old block: entries 9 and 10 zero, the end marker at offset 188.
inline IMAGE_TRAILER IMAGE_WidenOldTrailer(const uint8_t* pbyOld /* TRAILER_OLD_SIZE */)
{
    IMAGE_TRAILER t;
    std::memset(&t, 0, sizeof(t));
    std::memcpy(&t, pbyOld, TRAILER_OLD_SIZE);
    std::memset(reinterpret_cast<uint8_t*>(&t) + TRAILER_OLD_END_OFFSET, 0, 32);
    t.dwEndMarker = TRAILER_END_MARKER;
    return t;
}

inline uint32_t IMAGE_ReadWord(const uint8_t* pby)
{
    uint32_t dw;
    std::memcpy(&dw, pby, sizeof(dw));
    return dw;
}

enum TrailerFormat : int {
    TRAILER_REFUSED = 0,
    TRAILER_NEW = 1,
    TRAILER_OLD = 2,
};

// Judges the last 192 bytes of a file for the given kind (0-4): the new block first, then the old
// block in the last 160 of them. On acceptance *pTrailer holds the block in the 192-byte shape.
TrailerFormat IMAGE_ParseTrailer(const uint8_t* pbyTail /* TRAILER_NEW_SIZE */, int nKind,
                                 IMAGE_TRAILER* pTrailer);

// An old trailer of one of these kind words is a Phone (or Unified) image: it carries the
// partition table and forbids Hidden images.
inline bool IMAGE_OldKindCarriesPartition(uint32_t dwKind)
{
    return dwKind == 1 || dwKind == 2 || dwKind == TRAILER_OLD_PHONE_KIND;
}

// The DataLength of CARRIER and HIDDEN in a new Phone trailer: the erase area less 320 blocks
// of 2,048 bytes, each remaining block carrying 8 spare bytes. An area too small to hold those
// 320 blocks, or so large that the length no longer fits a word, gives 0 (no data) instead of a
// wrapped length that would send the wrong number of bytes.
inline uint32_t IMAGE_SpareDataLength(uint32_t dwEraseLength)
{
    const uint64_t qwGross = uint64_t(dwEraseLength) + uint64_t(dwEraseLength >> 11) * 8;
    constexpr uint64_t qwReserved = 657920;
    if (qwGross <= qwReserved || qwGross - qwReserved > 0xFFFFFFFFull) return 0;
    return uint32_t(qwGross - qwReserved);
}
