// Arbitrary Multi-CSC containers and marked single CSC files: the probe, the sorted list, the
// entry lookup at Start and the entry check must neither crash nor accept an entry that does not
// lie inside the file.
//
// Input: a 4-byte little-endian header length H, then the first H bytes of the 131,072-byte
// header (the rest of it is zero), then everything that follows the header in the file. Small
// inputs thus make whole containers. An input under 4 bytes is the file itself.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "images/image_select.h"
#include "images/multi_csc.h"
#include "station/station_core.h"

namespace {

void Require(bool bHolds, const char* szWhat)
{
    if (bHolds) return;
    std::fprintf(stderr, "broken: %s\n", szWhat);
    std::abort();
}

constexpr uint32_t ENTRIES_CHECKED = 24;  // enough to reach past the first few; the last one too

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t nSize)
{
    static const int fd = ::memfd_create("csc", MFD_CLOEXEC);
    static const std::string strPath = "/proc/self/fd/" + std::to_string(fd);
    static CVarnDLCore* pCore = new CVarnDLCore;
    static std::vector<uint8_t>* pFile = new std::vector<uint8_t>;
    CVarnDLCore& core = *pCore;
    std::vector<uint8_t>& file = *pFile;
    CNullImageControls controls;

    file.clear();
    if (nSize < 4) {
        file.assign(pbyData, pbyData + nSize);
    } else {
        uint32_t dwHead;
        std::memcpy(&dwHead, pbyData, 4);
        const size_t nHead = std::min<size_t>({size_t(dwHead), nSize - 4, size_t(MULTICSC_HEADER_SIZE)});
        file.assign(MULTICSC_HEADER_SIZE, 0);
        std::memcpy(file.data(), pbyData + 4, nHead);
        file.insert(file.end(), pbyData + 4 + nHead, pbyData + nSize);
    }
    if (fd < 0 || ::ftruncate(fd, 0) != 0) return 0;
    if (!file.empty() && ::pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size())) return 0;

    core.m_bCscPacked = core.m_bMultiCsc = 0;
    core.m_strCscPath = strPath;
    IMAGE_SelectImage(core, controls, IMAGE_CSC, false);
    if (core.m_bCscImage && core.m_bCscPacked && !core.m_bMultiCsc) {
        const REGION_INFO& carrier = core.m_RegionTable.aRegion[REGION_CARRIER];
        Require(carrier.FileOffset == 0 && carrier.DataLength + uint64_t(TRAILER_OLD_SIZE) == file.size(),
                "marked single CSC");
    }
    if (!core.m_bMultiCsc) return 0;

    const uint32_t dwCount = MULTICSC_EntryCount(core);
    Require(dwCount >= 1 && dwCount <= MULTICSC_MAX_ENTRIES, "entry count");
    const std::vector<std::string> astrList = MULTICSC_ListItems(core);
    Require(astrList.size() == dwCount, "list size");

    for (uint32_t i = 0; i < dwCount; i = (i + 1 == ENTRIES_CHECKED && dwCount > i + 2) ? dwCount - 1 : i + 1) {
        IMAGE_TRAILER t;
        if (!MULTICSC_CheckMultiCscEntry(core, strPath, i, &t)) continue;
        const uint8_t* pbyEntry = core.m_pMultiCscHeader.data() + MULTICSC_ENTRY_BASE + MULTICSC_ENTRY_SIZE * i;
        uint32_t dwSize, dwOffset;
        std::memcpy(&dwSize, pbyEntry + MULTICSC_SIZE_OFFSET, 4);
        std::memcpy(&dwOffset, pbyEntry + MULTICSC_DATA_OFFSET, 4);
        Require(dwSize >= TRAILER_OLD_SIZE && uint64_t(dwOffset) + dwSize <= file.size(), "entry inside file");
        Require(t.aRegion[REGION_PDA].DataLength == dwSize - TRAILER_OLD_SIZE, "entry data length");
        Require(t.aRegion[REGION_PDA].FileOffset >= dwOffset, "entry data offset");
    }

    // Start with the preselected item and with the last one.
    for (const std::string* pstr : {&astrList.front(), &astrList.back()}) {
        core.m_strCscPath = strPath;
        IMAGE_START_INPUT input;
        input.bHasSelection = true;
        input.strSelected = *pstr;
        const IMAGE_START_RESULT result = IMAGE_ValidateForStart(core, controls, input);
        Require(result.bGoOn && result.nEntry >= 0 && MULTICSC_EntryName(core, result.nEntry) == *pstr,
                "entry lookup");
    }
    return 0;
}
