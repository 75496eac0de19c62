// Writes image files of every kind for tests and demonstrations: Phone, Eboot, PDA, CSC and
// Hidden images with new (192-byte) or old (160-byte) descriptor blocks, Multi-CSC containers
// and marked single CSC files, from data files or seeded pseudo-random bytes; and describes the
// descriptor block of any file, or why the station would refuse it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "images/image_trailer.h"
#include "station/channel_context.h"

// Where a piece of an image file comes from. Later pieces paint over earlier ones; bytes no
// piece covers are 0.
enum IMAGE_FILL : int {
    FILL_SEEDED = 0,  // pseudo-random bytes from dwSeed, the same for the same seed and offset
    FILL_FILE = 1,    // the bytes of strPath from its start (0 past its end)
    FILL_BYTES = 2,   // aby, repeated as needed
};

struct IMAGE_PIECE {
    uint64_t qwOffset = 0;
    uint64_t qwLength = 0;
    IMAGE_FILL eFill = FILL_SEEDED;
    uint32_t dwSeed = 0;
    std::string strPath;
    std::vector<uint8_t> aby;
};

struct IMAGE_DESC {
    ImageKind eKind = IMAGE_PHONE;
    bool bOldFormat = false;
    bool bNoTrailer = false;  // a Hidden image carries none
    uint32_t dwHeadWord = 0;
    // Kind word and markers as written; 0xFFFFFFFF means the proper value for the kind/format.
    uint32_t dwKindWord = 0xFFFFFFFF;
    uint32_t dwStartMarker = 0xFFFFFFFF;
    uint32_t dwEndMarker = 0xFFFFFFFF;
    REGION_INFO aRegion[REGION_COUNT] = {};  // an old block keeps the first nine
    std::vector<IMAGE_PIECE> aPieces;
    uint64_t qwBodyLength = 0;  // bytes before the trailer; 0: the end of the last piece
};

// Writes the body and its descriptor block. false with a reason on failure.
bool IMAGE_BUILDER_Write(const std::string& strPath, const IMAGE_DESC& desc,
                         std::string* pstrError);
// The whole file in memory, for a test that edits bytes before writing them. false with a reason
// when a data file cannot be read.
bool IMAGE_BUILDER_Render(const IMAGE_DESC& desc, std::vector<uint8_t>* paby,
                          std::string* pstrError);
// The descriptor block alone, 192 or 160 bytes.
std::vector<uint8_t> IMAGE_BUILDER_Trailer(const IMAGE_DESC& desc);

enum CSC_FORM : int {
    CSC_PLAIN = 0,   // data with spare bytes, written page by page as they are
    CSC_MARKED = 1,  // marked single CSC: plain data from the first byte, spare bytes added
    CSC_MULTI = 2,   // Multi-CSC container of several entries
};

// Region data lengths (file bytes) and erase sizes of a standard image set. Lengths of PDA and
// CSC count file bytes; plain PDA/CSC data carry 8 spare bytes per 2,048 (2,056-byte slots).
struct IMAGE_SET_SIZES {
    uint32_t dwQcsbl = 0x28000;
    uint32_t dwOemsbl = 0x50000;
    uint32_t dwAmss = 0x180000;
    uint32_t dwFota = 0x30000;
    uint32_t dwAppsbl = 0x48000;
    uint32_t dwPda = 0x100000;
    uint32_t dwCsc = 0x40000;
    uint32_t dwEfs2Erase = 0x100000;
    uint32_t dwHiddenErase = 0x100000;  // 0: no Hidden image; else at least 0xA0000
    bool bOldFormat = false;            // old blocks: no Hidden and no CSC image
    CSC_FORM eCsc = CSC_PLAIN;
    uint32_t dwCscEntries = 3;          // of a container
    bool bCscSizeInPda = false;         // the PDA image announces the CSC size
    uint32_t dwCscSizeAnnounced = 0;    // the size it announces; 0: dwCsc
    // A region's erase length in place of what its data need (0: what they need). The next
    // region follows it in flash, so data longer than their erase run into their neighbour's
    // area. CARRIER counts as the station does: a plain CSC's block says 0x20000 less.
    uint32_t adwEraseLength[REGION_COUNT] = {};
};

struct IMAGE_SET {
    std::string strPhone, strEboot, strPda, strCsc, strHidden;  // "" when not written
    REGION_INFO aFlash[REGION_COUNT] = {};  // StartAddr and EraseLength of every region
    std::vector<uint8_t> abyPartitionTable;  // the 2,048 bytes at 0x44800 of the Phone image
    std::vector<std::string> astrCscNames;   // container entries, in container order
};

// Writes phone.bin, eboot.eb0, pda.pda, csc.csc (and hidden.hid) into strDir. The flash layout
// starts with MIBIB at 0 and then each region on a 128 KiB boundary; the Phone image keeps its
// MIBIB areas at 0 and 0x40000 (with the header blocks at 0x41800 and 0x42000 and the partition
// table at 0x44800 inside the second) and region data from 0x60000 on.
bool IMAGE_BUILDER_WriteStandardSet(const std::string& strDir, uint32_t dwSeed,
                                    const IMAGE_SET_SIZES& sizes, IMAGE_SET* pSet,
                                    std::string* pstrError);

// The partition table block a layout gets: deterministic, so equal layouts give equal tables.
std::vector<uint8_t> IMAGE_BUILDER_PartitionTable(const REGION_INFO (&aFlash)[REGION_COUNT]);

// Pseudo-random byte qwOffset of the stream of dwSeed.
uint8_t IMAGE_BUILDER_SeededByte(uint32_t dwSeed, uint64_t qwOffset);

// Multi-CSC container: entries with names and data (seeded when strPath is empty).
struct MULTICSC_ENTRY_PLAN {
    std::string strName;  // at most 32 bytes, Windows-1252; 32 fill the field with no NUL
    uint32_t dwLength = 0;
    uint32_t dwSeed = 0;
    std::string strPath;
    uint32_t dwCarrierErase = 0;  // the EraseLength of this entry's block; 0: the container's
};
// Every entry an embedded CSC image with its own old block; the container's own block (a CSC
// block, as the station first checks it as a plain CSC file) describes entry 0. Entries start
// on 2,048-byte boundaries.
bool IMAGE_BUILDER_MultiCscDesc(const std::vector<MULTICSC_ENTRY_PLAN>& aEntries,
                                uint32_t dwCarrierStart, uint32_t dwCarrierErase,
                                IMAGE_DESC* pDesc, std::string* pstrError);
bool IMAGE_BUILDER_WriteMultiCsc(const std::string& strPath,
                                 const std::vector<MULTICSC_ENTRY_PLAN>& aEntries,
                                 uint32_t dwCarrierStart, uint32_t dwCarrierErase,
                                 std::string* pstrError);
// Marked single CSC: dwLength data bytes (marked at 0 and 124) then an old CSC block.
bool IMAGE_BUILDER_WriteMarkedCsc(const std::string& strPath, uint32_t dwLength, uint32_t dwSeed,
                                  const std::string& strDataPath, uint32_t dwCarrierStart,
                                  uint32_t dwCarrierErase, std::string* pstrError);

// What --inspect prints: the descriptor block of the file, with the kind the station accepts it
// as, the container table if there is one, or the reason it is refused. false when refused.
bool IMAGE_BUILDER_Inspect(const std::string& strPath, std::string* pstrText);
