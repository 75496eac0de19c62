// Checks what a virtual phone's flash holds against the image files it was flashed from: each
// region's flash range against its slice of the image, in the layout the region was written in.
// Also derives those slices from a set of image files, reading their descriptor blocks the way
// the station fills its region table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/flash_model.h"

enum SLICE_LAYOUT : int {
    SLICE_PLAIN = 0,      // file bytes are main bytes, one for one
    SLICE_SPARE = 1,      // file holds 2,056-byte slots (page + spare); 0x8080 file bytes per 0x8000
    SLICE_ADD_SPARE = 2,  // file holds page data only; the spare bytes are 0xFF
};

struct FLASH_SLICE {
    std::string strName;
    uint32_t dwFlashAddr = 0;
    std::string strPath;
    uint64_t qwFileOffset = 0;
    uint32_t dwLength = 0;  // file bytes
    SLICE_LAYOUT eLayout = SLICE_PLAIN;
    int nPriorityByte = -1;  // SLICE_ADD_SPARE: main byte 104 holds this instead of the file's
};

enum VERIFY_STATUS : int {
    VERIFY_OK = 0,
    VERIFY_NOT_WRITTEN = 1,  // nothing was programmed in the slice's flash range
    VERIFY_MISMATCH = 2,
    VERIFY_NO_FILE = 3,      // the image could not be read
};

struct VERIFY_RESULT {
    FLASH_SLICE slice;
    VERIFY_STATUS eStatus = VERIFY_OK;
    uint64_t qwFirstBad = 0;  // file-relative offset of the first differing byte
    uint64_t qwBadBytes = 0;
};

// The flash bytes a slice occupies: [start, end).
std::pair<uint32_t, uint64_t> FLASH_VERIFY_Footprint(const FLASH_SLICE& slice);
VERIFY_RESULT FLASH_VERIFY_Slice(const CFlashModel& flash, const FLASH_SLICE& slice);
std::vector<VERIFY_RESULT> FLASH_VERIFY_Slices(const CFlashModel& flash,
                                               const std::vector<FLASH_SLICE>& aSlices);
const char* FLASH_VERIFY_StatusText(VERIFY_STATUS e);
// "PDA MISMATCH (3 bytes differ, first at +0x10)": the slice's name, status and first difference.
std::string FLASH_VERIFY_ResultText(const VERIFY_RESULT& result);

struct VERIFY_IMAGES {
    std::string strPhone, strEboot, strPda, strCsc, strHidden;
    std::string strCscEntry;  // container entry by name; "" for the list's first (sorted) name
    int nCscPriority = 1;     // the "CSC Priority Bit" the packed CSC went out with
};
// The slices the station writes from these images (a missing path contributes nothing).
bool FLASH_VERIFY_SlicesFromImages(const VERIFY_IMAGES& images, std::vector<FLASH_SLICE>* paSlices,
                                   std::string* pstrError);
