// CSC files in packed form: a Multi-CSC container holding several named CSC images of which the
// operator picks one, and a marked single CSC whose data start at the file's first byte. Entry
// names are Windows-1252 text; the list shows them decoded, sorted as the operator sees them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "images/image_controls.h"
#include "images/image_trailer.h"
#include "station/channel_context.h"

class CImageSelection;


constexpr uint32_t MULTICSC_START_MARKER = 0xAAAAAAAA;
constexpr uint32_t MULTICSC_END_MARKER = 0xBBBBBBBB;
constexpr uint32_t MULTICSC_SINGLE_START = 0xCCCCCCCC;
constexpr uint32_t MULTICSC_SINGLE_END = 0xEEEEEEEE;
constexpr uint32_t MULTICSC_COUNT_OFFSET = 36;
constexpr uint32_t MULTICSC_END_OFFSET = 124;
constexpr uint32_t MULTICSC_ENTRY_BASE = 128;
constexpr uint32_t MULTICSC_ENTRY_SIZE = 128;
constexpr uint32_t MULTICSC_MAX_ENTRIES = 1023;  // the table must fit the 131,072-byte header
constexpr uint32_t MULTICSC_NAME_OFFSET = 4;
constexpr uint32_t MULTICSC_NAME_SIZE = 32;
constexpr uint32_t MULTICSC_SIZE_OFFSET = 36;
constexpr uint32_t MULTICSC_DATA_OFFSET = 44;
constexpr uint32_t CSC_RESERVE_EXTRA = 0x20000;  // a plain CSC erases this much beyond its trailer's

// Windows-1252 text, up to the first NUL or dwMax bytes, as UTF-8.
std::string MULTICSC_DecodeAnsi(const uint8_t* pby, uint32_t dwMax);

// The number of entries of the container header held in the core, or 0 when it is not a usable
// container (markers wrong, no entries or more than fit the header).
uint32_t MULTICSC_EntryCount(const CImageSelection& core);
// Entry i's decoded name; empty outside the table.
std::string MULTICSC_EntryName(const CImageSelection& core, uint32_t i);
// The list as the operator sees it: every entry name, sorted alphabetically (without regard to
// case, then by bytes); duplicates are kept.
std::vector<std::string> MULTICSC_ListItems(const CImageSelection& core);
// The first entry whose name equals the text exactly, -1 when none does.
int MULTICSC_FindEntry(const CImageSelection& core, const std::string& strName);

enum CscProbe : int {
    CSC_PROBE_REFUSED = -1,  // a container that cannot be used; the CSC file must be refused
    CSC_PROBE_PLAIN = 0,
    CSC_PROBE_PACKED = 1,
};
// Classifies an accepted CSC file, fills the list, label and packed flags, and for a marked
// single CSC rewrites region entry 9 and the CSC reserve. Called by SelectImage.
CscProbe MULTICSC_ProbeCscContainer(CImageSelection& core, IImageControls& controls,
                                    const std::string& strPath);

// Reads the 160-byte trailer of entry i of the container held in the core. The entry must lie
// inside the file and hold at least its trailer. On acceptance *pTrailer is in the 192-byte shape,
// with entry 8 counted from the container's start and its DataLength the entry's data size.
bool MULTICSC_CheckMultiCscEntry(const CImageSelection& core, const std::string& strPath, uint32_t i,
                                 IMAGE_TRAILER* pTrailer);

// Start's CSC check when a container is in use: entry i becomes the CARRIER region.
void MULTICSC_SelectMultiCscEntry(CImageSelection& core, uint32_t i);
