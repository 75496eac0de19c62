// A full set of image files for end-to-end runs (Phone, Eboot, PDA, CSC plain or Multi-CSC,
// Hidden), laid out so that every region has its own place in the phone's flash, and the
// checks that compare what a phone holds with the image slices. Header-only: the station
// benchmark builds its images with it too.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "images/image_trailer.h"
#include "station/channel_context.h"

struct E2E_IMAGE_OPTIONS {
    uint32_t dwQcsbl = 0x9123;   // not a whole number of chunks: the padding shows
    uint32_t dwOemsbl = 0x12345;
    uint32_t dwAmss = 0x50321;
    uint32_t dwFota = 0x1004D;
    uint32_t dwAppsbl = 0x23456;
    uint32_t dwPda = 3 * 0x8080 + 0x1234;  // file bytes, spare bytes included
    uint32_t dwCsc = 2 * 0x8080 + 100;     // plain CSC, spare bytes included
    uint32_t dwCscEraseLength = 0x40000;   // the CSC trailer's own; the table adds 0x20000
    uint32_t dwCscSize = 0;                // announced by the PDA trailer (0: no marker)
    bool bEboot = true;
    bool bPda = true;
    bool bCsc = true;
    bool bHidden = true;
    // A Multi-CSC container instead of a plain CSC: entry names in container order.
    std::vector<std::string> astrCscEntries;
    uint32_t dwEntryData = 0x8000 + 0x321;  // data bytes of each entry (no spare bytes)
};

struct E2E_FILE {
    std::string strPath;
    std::vector<uint8_t> aby;
};

// The phone-side layout chosen for the Phone trailer (StartAddr, EraseLength of every entry).
struct E2E_IMAGE_SET {
    std::string strDir;
    E2E_FILE phone, eboot, pda, csc, hidden;
    REGION_INFO aLayout[REGION_COUNT] = {};
    std::vector<uint32_t> adwEntryOffset;  // Multi-CSC: where each entry's image starts

    E2E_IMAGE_SET() = default;
    E2E_IMAGE_SET(const E2E_IMAGE_SET&) = delete;
    E2E_IMAGE_SET& operator=(const E2E_IMAGE_SET&) = delete;
    E2E_IMAGE_SET(E2E_IMAGE_SET&&) = default;
    E2E_IMAGE_SET& operator=(E2E_IMAGE_SET&&) = default;
};

constexpr uint32_t E2E_HIDDEN_ERASE = 0x200000;
// What a new-format Phone trailer makes of the Hidden EraseLength: the Hidden file's length.
constexpr uint32_t E2E_HIDDEN_LENGTH = E2E_HIDDEN_ERASE + (E2E_HIDDEN_ERASE >> 11) * 8 - 657920;

inline uint32_t E2E_RoundUp(uint64_t qw, uint32_t dwUnit)
{
    return static_cast<uint32_t>((qw + dwUnit - 1) / dwUnit * dwUnit);
}

// Bytes that differ at every offset and between files, so a slice from the wrong place shows.
inline void E2E_Fill(uint8_t* pby, size_t n, uint32_t dwSeed)
{
    uint32_t x = dwSeed * 0x9E3779B9u + 0x7F4A7C15u;
    for (size_t k = 0; k < n; ++k) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        pby[k] = static_cast<uint8_t>(x >> 11);
    }
}

inline void E2E_Put32(std::vector<uint8_t>& aby, size_t nAt, uint32_t dw)
{
    std::memcpy(aby.data() + nAt, &dw, 4);
}

inline bool E2E_WriteFile(const E2E_FILE& file)
{
    FILE* f = std::fopen(file.strPath.c_str(), "wb");
    if (!f) return false;
    const bool bOk = std::fwrite(file.aby.data(), 1, file.aby.size(), f) == file.aby.size();
    return std::fclose(f) == 0 && bOk;
}

inline void E2E_AppendTrailer(std::vector<uint8_t>& aby, uint32_t dwKind, const REGION_INFO* pRegion)
{
    IMAGE_TRAILER t;
    std::memset(&t, 0, sizeof(t));
    t.dwStartMarker = TRAILER_START_MARKER;
    t.dwKind = dwKind;
    t.dwHeadWord = 0x00C0FFEE;
    std::memcpy(t.aRegion, pRegion, sizeof(t.aRegion));
    t.dwEndMarker = TRAILER_END_MARKER;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&t);
    aby.insert(aby.end(), p, p + sizeof(t));
}

// The 160-byte block of an embedded Multi-CSC entry (kind bit 16) with its data in entry 8.
inline void E2E_AppendOldCscTrailer(std::vector<uint8_t>& aby, uint32_t dwData, uint32_t dwErase)
{
    std::vector<uint8_t> t(TRAILER_OLD_SIZE, 0);
    E2E_Put32(t, 0, TRAILER_START_MARKER);
    E2E_Put32(t, 4, 1u << IMAGE_CSC);
    E2E_Put32(t, 12 + 16 * REGION_PDA + 8, dwData);
    E2E_Put32(t, 12 + 16 * REGION_PDA + 12, dwErase);
    E2E_Put32(t, 156, TRAILER_END_MARKER);
    aby.insert(aby.end(), t.begin(), t.end());
}

// Builds the files into strDir (which must exist); false when a file cannot be written.
inline bool E2E_BuildImages(const std::string& strDir, const E2E_IMAGE_OPTIONS& opt, E2E_IMAGE_SET& set)
{
    set.strDir = strDir;
    REGION_INFO* L = set.aLayout;
    std::memset(L, 0, sizeof(set.aLayout));

    // Phone image: the MIBIB areas (with the header blocks and the partition block inside),
    // then the data of QCSBL, OEMSBL, AMSS and FOTA one after another.
    uint64_t qwFile = 0x60000;
    auto place = [&](int nRegion, uint32_t dwData) {
        L[nRegion].FileOffset = static_cast<uint32_t>(qwFile);
        L[nRegion].DataLength = dwData;
        qwFile = E2E_RoundUp(qwFile + dwData, 0x1000);
    };
    L[REGION_MIBIB] = {0, 0, 0x8000, 0x60000};
    place(REGION_QCSBL, opt.dwQcsbl);
    place(REGION_OEMSBL, opt.dwOemsbl);
    place(REGION_AMSS, opt.dwAmss);
    place(REGION_FOTA, opt.dwFota);

    // Flash: every region in its own range, PDA, CARRIER and HIDDEN right behind APPSBL, as the
    // re-partition's last erase expects.
    uint64_t qwAddr = 0x100000;
    auto area = [&](int nRegion, uint64_t qwFootprint) {
        L[nRegion].StartAddr = static_cast<uint32_t>(qwAddr);
        L[nRegion].EraseLength = E2E_RoundUp(qwFootprint + 1, 0x40000);
        qwAddr += L[nRegion].EraseLength;
    };
    area(REGION_QCSBL, opt.dwQcsbl);
    area(REGION_OEMSBL, opt.dwOemsbl);
    area(REGION_AMSS, opt.dwAmss);
    area(REGION_EFS2, 0x40000);
    area(REGION_FOTA, opt.dwFota);
    area(REGION_APPSBL, opt.dwAppsbl);
    area(REGION_PDA, static_cast<uint64_t>(E2E_RoundUp(opt.dwPda, 0x8080)) / 0x8080 * 0x8000);
    // The CARRIER EraseLength is the CSC's: a plain trailer's plus 0x20000, an entry's as it is.
    const bool bMulti = !opt.astrCscEntries.empty();
    const uint32_t dwCscFootprint = bMulti ? E2E_RoundUp(opt.dwEntryData, 0x8000)
                                           : E2E_RoundUp(opt.dwCsc, 0x8080) / 0x8080 * 0x8000;
    const uint32_t dwCscTrailerErase =
        std::max(bMulti ? 0u : opt.dwCscEraseLength, E2E_RoundUp(dwCscFootprint, 0x40000));
    L[REGION_CARRIER].StartAddr = static_cast<uint32_t>(qwAddr);
    L[REGION_CARRIER].EraseLength = dwCscTrailerErase + (bMulti ? 0 : 0x20000);
    qwAddr += L[REGION_CARRIER].EraseLength;
    L[REGION_HIDDEN].StartAddr = static_cast<uint32_t>(qwAddr);
    L[REGION_HIDDEN].EraseLength = E2E_HIDDEN_ERASE;
    L[REGION_HIDDEN].DataLength = E2E_HIDDEN_LENGTH;

    REGION_INFO aPhone[REGION_COUNT];
    std::memcpy(aPhone, L, sizeof(aPhone));
    set.phone.strPath = strDir + "/phone.bin";
    set.phone.aby.assign(qwFile, 0);
    E2E_Fill(set.phone.aby.data(), set.phone.aby.size(), 1);
    E2E_AppendTrailer(set.phone.aby, IMAGE_PHONE, aPhone);
    if (!E2E_WriteFile(set.phone)) return false;

    if (opt.bEboot) {
        // Header blocks 2 and 3 at 0 and 0x800, the APPSBL data behind them.
        L[REGION_APPSBL].FileOffset = 0x1000;
        L[REGION_APPSBL].DataLength = opt.dwAppsbl;
        REGION_INFO aEboot[REGION_COUNT] = {};
        aEboot[REGION_APPSBL] = L[REGION_APPSBL];
        set.eboot.strPath = strDir + "/eboot.eb0";
        set.eboot.aby.assign(0x1000 + opt.dwAppsbl, 0);
        E2E_Fill(set.eboot.aby.data(), set.eboot.aby.size(), 2);
        E2E_AppendTrailer(set.eboot.aby, IMAGE_EBOOT, aEboot);
        if (!E2E_WriteFile(set.eboot)) return false;
    }
    if (opt.bPda) {
        L[REGION_PDA].FileOffset = 0x800;
        L[REGION_PDA].DataLength = opt.dwPda;
        REGION_INFO aPda[REGION_COUNT] = {};
        aPda[REGION_PDA] = L[REGION_PDA];
        if (opt.dwCscSize) aPda[REGION_RESERVED] = {CSC_SIZE_MARKER, opt.dwCscSize, 0, 0};
        set.pda.strPath = strDir + "/pda.pda";
        set.pda.aby.assign(0x800 + opt.dwPda, 0);
        E2E_Fill(set.pda.aby.data(), set.pda.aby.size(), 3);
        E2E_AppendTrailer(set.pda.aby, IMAGE_PDA, aPda);
        if (!E2E_WriteFile(set.pda)) return false;
    }
    if (opt.bCsc && opt.astrCscEntries.empty()) {
        REGION_INFO aCsc[REGION_COUNT] = {};
        aCsc[REGION_PDA] = {0, 0x400, opt.dwCsc, dwCscTrailerErase};
        L[REGION_CARRIER].FileOffset = 0x400;
        L[REGION_CARRIER].DataLength = opt.dwCsc;
        set.csc.strPath = strDir + "/carrier.csc";
        set.csc.aby.assign(0x400 + opt.dwCsc, 0);
        E2E_Fill(set.csc.aby.data(), set.csc.aby.size(), 4);
        E2E_AppendTrailer(set.csc.aby, IMAGE_CSC, aCsc);
        if (!E2E_WriteFile(set.csc)) return false;
    } else if (opt.bCsc) {
        // Header, the entries' images (data, then an old-format trailer), the container's own
        // CSC trailer.
        std::vector<uint8_t>& aby = set.csc.aby;
        aby.assign(0x20000, 0);
        E2E_Put32(aby, 0, 0xAAAAAAAA);
        E2E_Put32(aby, 36, static_cast<uint32_t>(opt.astrCscEntries.size()));
        E2E_Put32(aby, 124, 0xBBBBBBBB);
        for (size_t i = 0; i < opt.astrCscEntries.size(); ++i) {
            const size_t nEntry = 128 + 128 * i;
            std::memcpy(aby.data() + nEntry + 4, opt.astrCscEntries[i].data(),
                        std::min<size_t>(opt.astrCscEntries[i].size(), 31));
            E2E_Put32(aby, nEntry + 36, opt.dwEntryData + TRAILER_OLD_SIZE);
            E2E_Put32(aby, nEntry + 44, static_cast<uint32_t>(aby.size()));
            set.adwEntryOffset.push_back(static_cast<uint32_t>(aby.size()));
            const size_t nData = aby.size();
            aby.resize(nData + opt.dwEntryData);
            E2E_Fill(aby.data() + nData, opt.dwEntryData, 40 + static_cast<uint32_t>(i));
            E2E_AppendOldCscTrailer(aby, opt.dwEntryData, dwCscTrailerErase);
        }
        REGION_INFO aOwn[REGION_COUNT] = {};
        aOwn[REGION_PDA] = {0, 0, 0x1000, 0x40000};
        E2E_AppendTrailer(aby, IMAGE_CSC, aOwn);
        set.csc.strPath = strDir + "/multi.csc";
        if (!E2E_WriteFile(set.csc)) return false;
    }
    if (opt.bHidden) {
        set.hidden.strPath = strDir + "/hidden.hid";
        set.hidden.aby.assign(E2E_HIDDEN_LENGTH, 0);
        E2E_Fill(set.hidden.aby.data(), set.hidden.aby.size(), 5);
        if (!E2E_WriteFile(set.hidden)) return false;
    }
    return true;
}

// Compares a phone's flash with an image slice; "" when equal, else where they first differ.
// Plain regions hold the slice as it is; page-written regions (PDA, plain CSC, Hidden) hold
// each 2,056-byte slot's first 2,048 bytes, the spare bytes apart.
inline std::string E2E_Compare(const std::vector<uint8_t>& abyFlash, const uint8_t* pbySlice,
                               uint32_t dwLength, bool bPaged)
{
    uint64_t qwFlash = 0;
    for (uint32_t k = 0; k < dwLength; ++k) {
        if (bPaged && k % 2056 >= 2048) continue;
        if (qwFlash >= abyFlash.size() || abyFlash[qwFlash] != pbySlice[k]) {
            char sz[160];
            std::snprintf(sz, sizeof(sz), "image byte %u (flash +0x%llx): flash %02x, image %02x",
                          k, static_cast<unsigned long long>(qwFlash),
                          qwFlash < abyFlash.size() ? abyFlash[qwFlash] : 0, pbySlice[k]);
            return sz;
        }
        ++qwFlash;
    }
    return "";
}

// How many flash bytes a slice of dwLength file bytes fills.
inline uint32_t E2E_FlashBytes(uint32_t dwLength, bool bPaged)
{
    return bPaged ? dwLength / 2056 * 2048 + std::min<uint32_t>(dwLength % 2056, 2048) : dwLength;
}
