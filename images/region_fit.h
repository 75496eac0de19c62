// Whether a region's data fit where they go, judged before anything is sent: inside the image
// file that holds them, and within the flash their erase clears, counted by the write loop that
// carries them. Start refuses a selection that does not fit; the region procedures judge again
// on the file they have open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "station/channel_context.h"

class CImageSelection;

// How a region's data reach the flash, which fixes how much of it they cover.
enum REGION_FORM : int {
    FORM_STAGED = 0,  // sent to the phone's memory, then exactly DataLength bytes programmed
    FORM_CHUNKS = 1,  // written in 0x8000-byte chunks; the last one is a whole chunk too
    FORM_SPARE = 2,   // 0x8080 file bytes (16 pages with their spare bytes) per 0x8000 of flash
};

// Flash bytes that DataLength bytes of data cover from the region's StartAddr.
uint64_t IMAGE_FlashFootprint(uint32_t dwDataLength, int nForm);

// "" when the region fits; otherwise the sentence for the operator, naming the region and both
// lengths. qwFileLength is the length of the image file that holds the data, negative when that
// file cannot be read. A region without data always fits.
std::string IMAGE_RegionFitText(const char* szName, const REGION_INFO& region, int nForm,
                                int64_t qwFileLength);

// The regions the ticks select, each judged against its image file and its erase length, in the
// order the cycle writes them; one sentence per region that does not fit. QCSBL, OEMSBL and AMSS
// are judged by the direct write, the larger of their two footprints, because the phone only
// says at download time whether it takes them staged.
std::vector<std::string> IMAGE_CheckSelectedRegions(CImageSelection& core, const DOWNLOAD_TICKS& ticks);
