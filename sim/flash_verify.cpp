#include "sim/flash_verify.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "images/image_trailer.h"

namespace {

constexpr uint32_t SPARE_CHUNK = 0x8080;
constexpr uint32_t PRIORITY_OFFSET = 104;

uint64_t FileLength(const std::string& strPath)
{
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool ReadAt(const std::string& strPath, uint64_t qwOffset, void* pOut, size_t nCount)
{
    std::ifstream in(strPath, std::ios::binary);
    if (!in) return false;
    in.seekg(static_cast<std::streamoff>(qwOffset));
    in.read(static_cast<char*>(pOut), static_cast<std::streamsize>(nCount));
    return static_cast<size_t>(in.gcount()) == nCount;
}

uint32_t Word(const uint8_t* pby)
{
    uint32_t dw;
    std::memcpy(&dw, pby, 4);
    return dw;
}

// The accepted block of a file for a kind, in the 192-byte shape.
bool ReadTrailer(const std::string& strPath, int nKind, IMAGE_TRAILER* pTrailer, bool* pbNew)
{
    const uint64_t qwLength = FileLength(strPath);
    uint8_t abyTail[TRAILER_NEW_SIZE];
    if (qwLength <= TRAILER_NEW_SIZE ||
        !ReadAt(strPath, qwLength - TRAILER_NEW_SIZE, abyTail, sizeof(abyTail))) {
        return false;
    }
    const TrailerFormat e = IMAGE_ParseTrailer(abyTail, nKind, pTrailer);
    if (pbNew) *pbNew = e == TRAILER_NEW;
    return e != TRAILER_REFUSED;
}

// The operator's list order: alphabetical without regard to case, then by bytes.
bool ListsBefore(const std::string& a, const std::string& b)
{
    auto lower = [](std::string s) {
        for (char& c : s) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return s;
    };
    const std::string la = lower(a), lb = lower(b);
    return la != lb ? la < lb : a < b;
}

}  // namespace

const char* FLASH_VERIFY_StatusText(VERIFY_STATUS e)
{
    switch (e) {
    case VERIFY_OK: return "ok";
    case VERIFY_NOT_WRITTEN: return "not written";
    case VERIFY_MISMATCH: return "MISMATCH";
    default: return "image unreadable";
    }
}

std::string FLASH_VERIFY_ResultText(const VERIFY_RESULT& result)
{
    std::string str = result.slice.strName + " " + FLASH_VERIFY_StatusText(result.eStatus);
    if (result.eStatus == VERIFY_MISMATCH) {
        char sz[96];
        std::snprintf(sz, sizeof(sz), " (%llu bytes differ, first at +0x%llX)",
                      static_cast<unsigned long long>(result.qwBadBytes),
                      static_cast<unsigned long long>(result.qwFirstBad));
        str += sz;
    }
    return str;
}

std::pair<uint32_t, uint64_t> FLASH_VERIFY_Footprint(const FLASH_SLICE& slice)
{
    uint64_t qwBytes = slice.dwLength;
    if (slice.eLayout == SLICE_SPARE) {
        const uint64_t qwChunks = slice.dwLength / SPARE_CHUNK;
        const uint64_t qwRest = slice.dwLength % SPARE_CHUNK;
        const uint64_t qwPages = (qwRest + FLASH_SLOT_SIZE - 1) / FLASH_SLOT_SIZE;
        qwBytes = qwChunks * FLASH_CHUNK_SIZE + qwPages * FLASH_PAGE_SIZE;
    }
    return {slice.dwFlashAddr, slice.dwFlashAddr + qwBytes};
}

VERIFY_RESULT FLASH_VERIFY_Slice(const CFlashModel& flash, const FLASH_SLICE& slice)
{
    VERIFY_RESULT result;
    result.slice = slice;
    const auto [dwStart, qwEnd] = FLASH_VERIFY_Footprint(slice);
    bool bTouched = false;
    for (const auto& [dwFrom, qwTo] : flash.WrittenExtents()) {
        if (dwFrom < qwEnd && qwTo > dwStart) {
            bTouched = true;
            break;
        }
    }
    if (!bTouched) {
        result.eStatus = VERIFY_NOT_WRITTEN;
        return result;
    }
    std::ifstream in(slice.strPath, std::ios::binary);
    if (!in) {
        result.eStatus = VERIFY_NO_FILE;
        return result;
    }
    in.seekg(static_cast<std::streamoff>(slice.qwFileOffset));

    constexpr uint32_t STEP = SPARE_CHUNK * 32;  // whole slot chunks per read
    std::vector<uint8_t> abyFile(STEP);
    std::vector<uint8_t> abyMain(STEP);
    uint8_t abySpare[FLASH_SPARE_SIZE];
    auto bad = [&](uint64_t qwAt) {
        if (result.qwBadBytes++ == 0) result.qwFirstBad = qwAt;
    };
    for (uint64_t qwDone = 0; qwDone < slice.dwLength; qwDone += STEP) {
        const uint32_t dwCount = static_cast<uint32_t>(std::min<uint64_t>(STEP, slice.dwLength - qwDone));
        std::fill(abyFile.begin(), abyFile.end(), 0);
        in.read(reinterpret_cast<char*>(abyFile.data()), dwCount);
        if (static_cast<uint32_t>(in.gcount()) != dwCount) {
            result.eStatus = VERIFY_NO_FILE;
            return result;
        }
        if (slice.eLayout != SLICE_SPARE) {
            flash.Read(static_cast<uint32_t>(slice.dwFlashAddr + qwDone), abyMain.data(), dwCount);
            for (uint32_t i = 0; i < dwCount; ++i) {
                uint8_t byWant = abyFile[i];
                if (slice.eLayout == SLICE_ADD_SPARE && slice.nPriorityByte >= 0 &&
                    qwDone + i == PRIORITY_OFFSET) {
                    byWant = static_cast<uint8_t>(slice.nPriorityByte);
                }
                if (abyMain[i] != byWant) bad(qwDone + i);
            }
            if (slice.eLayout == SLICE_ADD_SPARE) {
                const uint32_t dwFirstPage = static_cast<uint32_t>((slice.dwFlashAddr + qwDone) / FLASH_PAGE_SIZE);
                const uint32_t dwPages = (dwCount + FLASH_PAGE_SIZE - 1) / FLASH_PAGE_SIZE;
                for (uint32_t p = 0; p < dwPages; ++p) {
                    flash.ReadSpare(dwFirstPage + p, abySpare);
                    for (uint8_t by : abySpare) {
                        if (by != 0xFF) bad(qwDone + p * FLASH_PAGE_SIZE);
                    }
                }
            }
            continue;
        }
        // Slots: chunk c of the file (0x8080 bytes) lies at flash + c * 0x8000.
        const uint64_t qwChunk0 = qwDone / SPARE_CHUNK;
        for (uint32_t dwOff = 0; dwOff < dwCount; dwOff += FLASH_SLOT_SIZE) {
            const uint64_t qwFileAt = qwDone + dwOff;
            const uint64_t qwChunk = qwChunk0 + dwOff / SPARE_CHUNK;
            const uint32_t dwSlot = (dwOff % SPARE_CHUNK) / FLASH_SLOT_SIZE;
            const uint32_t dwPageAddr = static_cast<uint32_t>(
                slice.dwFlashAddr + qwChunk * FLASH_CHUNK_SIZE + dwSlot * FLASH_PAGE_SIZE);
            const uint32_t dwInSlot = std::min<uint32_t>(FLASH_SLOT_SIZE, dwCount - dwOff);
            flash.Read(dwPageAddr, abyMain.data(), FLASH_PAGE_SIZE);
            flash.ReadSpare(dwPageAddr / FLASH_PAGE_SIZE, abySpare);
            for (uint32_t j = 0; j < dwInSlot; ++j) {
                const uint8_t byHave = j < FLASH_PAGE_SIZE ? abyMain[j] : abySpare[j - FLASH_PAGE_SIZE];
                if (byHave != abyFile[dwOff + j]) bad(qwFileAt + j);
            }
        }
    }
    result.eStatus = result.qwBadBytes == 0 ? VERIFY_OK : VERIFY_MISMATCH;
    return result;
}

std::vector<VERIFY_RESULT> FLASH_VERIFY_Slices(const CFlashModel& flash,
                                               const std::vector<FLASH_SLICE>& aSlices)
{
    std::vector<VERIFY_RESULT> aResults;
    for (const auto& slice : aSlices) {
        aResults.push_back(FLASH_VERIFY_Slice(flash, slice));
    }
    return aResults;
}

bool FLASH_VERIFY_SlicesFromImages(const VERIFY_IMAGES& images, std::vector<FLASH_SLICE>* paSlices,
                                   std::string* pstrError)
{
    auto fail = [&](const std::string& str) {
        if (pstrError) *pstrError = str;
        return false;
    };
    paSlices->clear();
    if (images.strPhone.empty()) {
        return fail("the Phone image is needed: it places every region");
    }
    IMAGE_TRAILER phone{};
    bool bNew = false;
    if (!ReadTrailer(images.strPhone, IMAGE_PHONE, &phone, &bNew)) {
        return fail(images.strPhone + " is not a Phone image");
    }
    const REGION_INFO* aR = phone.aRegion;
    // MIBIB areas: the staged flow sends all of 0x40000-0x5FFFF, the direct one its first chunk.
    paSlices->push_back({"MIBIB 0", aR[REGION_MIBIB].FileOffset, images.strPhone,
                         aR[REGION_MIBIB].FileOffset, FLASH_CHUNK_SIZE, SLICE_PLAIN, -1});
    paSlices->push_back({"MIBIB 1", 0x40000, images.strPhone, 0x40000, FLASH_CHUNK_SIZE,
                         SLICE_PLAIN, -1});
    paSlices->push_back({"MIBIB 1 rest", 0x48000, images.strPhone, 0x48000, 0x18000, SLICE_PLAIN,
                         -1});
    const std::pair<int, const char*> aPhoneRegions[] = {
        {REGION_QCSBL, "QCSBL"}, {REGION_OEMSBL, "OEMSBL"}, {REGION_AMSS, "AMSS"},
        {REGION_FOTA, "FOTA"}};
    for (const auto& [nIndex, szName] : aPhoneRegions) {
        if (aR[nIndex].DataLength != 0) {
            paSlices->push_back({szName, aR[nIndex].StartAddr, images.strPhone,
                                 aR[nIndex].FileOffset, aR[nIndex].DataLength, SLICE_PLAIN, -1});
        }
    }
    if (!images.strEboot.empty()) {
        IMAGE_TRAILER eboot{};
        if (!ReadTrailer(images.strEboot, IMAGE_EBOOT, &eboot, nullptr)) {
            return fail(images.strEboot + " is not an Eboot image");
        }
        const REGION_INFO& r = eboot.aRegion[REGION_APPSBL];
        paSlices->push_back({"APPSBL", aR[REGION_APPSBL].StartAddr, images.strEboot, r.FileOffset,
                             r.DataLength, SLICE_PLAIN, -1});
    }
    if (!images.strPda.empty()) {
        IMAGE_TRAILER pda{};
        if (!ReadTrailer(images.strPda, IMAGE_PDA, &pda, nullptr)) {
            return fail(images.strPda + " is not a PDA image");
        }
        const REGION_INFO& r = pda.aRegion[REGION_PDA];
        paSlices->push_back({"PDA", aR[REGION_PDA].StartAddr, images.strPda, r.FileOffset,
                             r.DataLength, SLICE_SPARE, -1});
    }
    if (!images.strCsc.empty()) {
        IMAGE_TRAILER csc{};
        if (!ReadTrailer(images.strCsc, IMAGE_CSC, &csc, nullptr)) {
            return fail(images.strCsc + " is not a CSC image");
        }
        // An old Phone block has no CARRIER area: the station puts CSC data at the PDA start.
        const uint32_t dwCarrier = bNew ? aR[REGION_CARRIER].StartAddr : aR[REGION_PDA].StartAddr;
        const uint64_t qwLength = FileLength(images.strCsc);
        std::vector<uint8_t> abyHead(0x20000, 0);
        const bool bHead = ReadAt(images.strCsc, 0, abyHead.data(), abyHead.size());
        const uint32_t dwFirst = Word(abyHead.data());
        const uint32_t dwMark = Word(abyHead.data() + 124);
        if (bHead && dwFirst == 0xAAAAAAAA && dwMark == 0xBBBBBBBB) {
            const uint32_t dwCount = Word(abyHead.data() + 36);
            if (dwCount == 0 || dwCount > 1023) {
                return fail(images.strCsc + ": the container's entry count is unusable");
            }
            // The operator's list is sorted; without a name the first list item is used, and a
            // name always resolves to the earliest entry carrying it.
            int nChosen = -1;
            std::string strBest;
            for (uint32_t i = 0; i < dwCount; ++i) {
                char szName[33] = {};
                std::memcpy(szName, abyHead.data() + 128 + 128 * i + 4, 32);
                const std::string strName = szName;
                if (!images.strCscEntry.empty()) {
                    if (strName == images.strCscEntry) {
                        nChosen = static_cast<int>(i);
                        break;
                    }
                } else if (nChosen < 0 || ListsBefore(strName, strBest)) {
                    nChosen = static_cast<int>(i);
                    strBest = strName;
                }
            }
            if (nChosen < 0) {
                return fail(images.strCsc + ": no entry named " + images.strCscEntry);
            }
            const uint8_t* pby = abyHead.data() + 128 + 128 * nChosen;
            const uint32_t dwSize = Word(pby + 36);
            const uint32_t dwOffset = Word(pby + 44);
            if (dwSize < TRAILER_OLD_SIZE || uint64_t(dwOffset) + dwSize > qwLength) {
                return fail(images.strCsc + ": the chosen entry lies outside the file");
            }
            uint8_t abyOld[TRAILER_OLD_SIZE];
            ReadAt(images.strCsc, uint64_t(dwOffset) + dwSize - TRAILER_OLD_SIZE, abyOld,
                   sizeof(abyOld));
            const IMAGE_TRAILER entry = IMAGE_WidenOldTrailer(abyOld);
            paSlices->push_back({"CARRIER", dwCarrier, images.strCsc,
                                 uint64_t(entry.aRegion[REGION_PDA].FileOffset) + dwOffset,
                                 dwSize - TRAILER_OLD_SIZE, SLICE_ADD_SPARE, images.nCscPriority});
        } else if (bHead && dwFirst == 0xCCCCCCCC && dwMark == 0xEEEEEEEE) {
            paSlices->push_back({"CARRIER", dwCarrier, images.strCsc, 0,
                                 static_cast<uint32_t>(qwLength - TRAILER_OLD_SIZE),
                                 SLICE_ADD_SPARE, images.nCscPriority});
        } else {
            const REGION_INFO& r = csc.aRegion[REGION_PDA];
            paSlices->push_back({"CARRIER", dwCarrier, images.strCsc, r.FileOffset, r.DataLength,
                                 SLICE_SPARE, -1});
        }
    }
    if (!images.strHidden.empty() && bNew) {
        paSlices->push_back({"HIDDEN", aR[REGION_HIDDEN].StartAddr, images.strHidden, 0,
                             static_cast<uint32_t>(FileLength(images.strHidden)), SLICE_SPARE, -1});
    }
    return true;
}
