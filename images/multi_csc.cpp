#include "images/multi_csc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "images/image_file.h"
#include "station/image_selection.h"

namespace {

// Windows-1252 0x80-0x9F; the five unassigned bytes stay the C1 controls of the same number.
const uint16_t g_awCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void AppendUtf8(std::string& str, uint32_t dwCode)
{
    if (dwCode < 0x80) {
        str += static_cast<char>(dwCode);
    } else if (dwCode < 0x800) {
        str += static_cast<char>(0xC0 | (dwCode >> 6));
        str += static_cast<char>(0x80 | (dwCode & 0x3F));
    } else {
        str += static_cast<char>(0xE0 | (dwCode >> 12));
        str += static_cast<char>(0x80 | ((dwCode >> 6) & 0x3F));
        str += static_cast<char>(0x80 | (dwCode & 0x3F));
    }
}

bool HeaderUsable(const std::vector<uint8_t>& header)
{
    return header.size() >= MULTICSC_HEADER_SIZE && IMAGE_ReadWord(header.data()) == MULTICSC_START_MARKER &&
           IMAGE_ReadWord(header.data() + MULTICSC_END_OFFSET) == MULTICSC_END_MARKER;
}

const uint8_t* EntryAt(const CImageSelection& core, uint32_t i)
{
    return core.m_pMultiCscHeader.data() + MULTICSC_ENTRY_BASE + MULTICSC_ENTRY_SIZE * i;
}

// The operator's alphabetical order: letters compare without regard to case.
bool ListOrder(const std::string& a, const std::string& b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t k = 0; k < n; ++k) {
        unsigned char ca = static_cast<unsigned char>(a[k]), cb = static_cast<unsigned char>(b[k]);
        if (ca >= 'a' && ca <= 'z') ca = static_cast<unsigned char>(ca - 'a' + 'A');
        if (cb >= 'a' && cb <= 'z') cb = static_cast<unsigned char>(cb - 'a' + 'A');
        if (ca != cb) return ca < cb;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

void ShowNoList(CImageSelection& core, IImageControls& controls, const char* szLabel, uint32_t bPacked)
{
    controls.SetMultiCscList({}, -1, false);
    controls.SetMultiCscLabel(szLabel);
    core.m_bCscPacked = bPacked;
    core.m_bMultiCsc = 0;
}

}  // namespace

std::string MULTICSC_DecodeAnsi(const uint8_t* pby, uint32_t dwMax)
{
    std::string str;
    for (uint32_t k = 0; k < dwMax && pby[k] != 0; ++k) {
        const uint8_t by = pby[k];
        AppendUtf8(str, by >= 0x80 && by < 0xA0 ? g_awCp1252High[by - 0x80] : by);
    }
    return str;
}

uint32_t MULTICSC_EntryCount(const CImageSelection& core)
{
    if (!HeaderUsable(core.m_pMultiCscHeader)) return 0;
    const uint32_t dwCount = IMAGE_ReadWord(core.m_pMultiCscHeader.data() + MULTICSC_COUNT_OFFSET);
    return dwCount <= MULTICSC_MAX_ENTRIES ? dwCount : 0;
}

std::string MULTICSC_EntryName(const CImageSelection& core, uint32_t i)
{
    if (i >= MULTICSC_EntryCount(core)) return std::string();
    // The name field is 32 bytes; a name without its NUL ends there instead of running on into
    // the entry's size and offset words.
    return MULTICSC_DecodeAnsi(EntryAt(core, i) + MULTICSC_NAME_OFFSET, MULTICSC_NAME_SIZE);
}

std::vector<std::string> MULTICSC_ListItems(const CImageSelection& core)
{
    const uint32_t dwCount = MULTICSC_EntryCount(core);
    std::vector<std::string> astrItems;
    astrItems.reserve(dwCount);
    for (uint32_t i = 0; i < dwCount; ++i) astrItems.push_back(MULTICSC_EntryName(core, i));
    std::stable_sort(astrItems.begin(), astrItems.end(), ListOrder);
    return astrItems;
}

int MULTICSC_FindEntry(const CImageSelection& core, const std::string& strName)
{
    const uint32_t dwCount = MULTICSC_EntryCount(core);
    for (uint32_t i = 0; i < dwCount; ++i)
        if (MULTICSC_EntryName(core, i) == strName) return static_cast<int>(i);
    return -1;
}

CscProbe MULTICSC_ProbeCscContainer(CImageSelection& core, IImageControls& controls, const std::string& strPath)
{
    std::unique_ptr<uint8_t[]> pbyHeader(new (std::nothrow) uint8_t[MULTICSC_HEADER_SIZE]);
    if (!pbyHeader) {
        controls.ShowMessage("Cannot allocate memory");
        core.m_bCscPacked = core.m_bMultiCsc = 0;
        return CSC_PROBE_PLAIN;
    }
    CImageFile file;
    if (!file.Open(strPath) || !file.ReadExact(0, pbyHeader.get(), MULTICSC_HEADER_SIZE)) {
        // Too short to be packed; the list stays as the previous file left it.
        core.m_bCscPacked = core.m_bMultiCsc = 0;
        return CSC_PROBE_PLAIN;
    }
    const uint32_t dwFirst = IMAGE_ReadWord(pbyHeader.get());
    const uint32_t dwMarker = IMAGE_ReadWord(pbyHeader.get() + MULTICSC_END_OFFSET);

    if (dwFirst == MULTICSC_START_MARKER && dwMarker == MULTICSC_END_MARKER) {
        const uint32_t dwCount = IMAGE_ReadWord(pbyHeader.get() + MULTICSC_COUNT_OFFSET);
        if (dwCount == 0 || dwCount > MULTICSC_MAX_ENTRIES) {
            // No entry to offer, or a table running past its header: nothing here can be trusted.
            ShowNoList(core, controls, " ", 0);
            char szText[160];
            std::snprintf(szText, sizeof(szText),
                          "Multi CSC file refused: it lists %u entries, but a Multi CSC file holds 1 to %u.",
                          dwCount, MULTICSC_MAX_ENTRIES);
            controls.ShowMessage(szText);
            return CSC_PROBE_REFUSED;
        }
        core.m_pMultiCscHeader.assign(pbyHeader.get(), pbyHeader.get() + MULTICSC_HEADER_SIZE);
        controls.SetMultiCscList(MULTICSC_ListItems(core), 0, true);
        controls.SetMultiCscLabel("Multi CSC");
        core.m_bCscPacked = core.m_bMultiCsc = 1;
        return CSC_PROBE_PACKED;
    }

    if (dwFirst == MULTICSC_SINGLE_START && dwMarker == MULTICSC_SINGLE_END) {
        uint8_t abyOld[TRAILER_OLD_SIZE];
        const uint64_t qwData = file.Length() - TRAILER_OLD_SIZE;
        // The data length must fit the region table's word.
        if (qwData > 0xFFFFFFFFull || !file.ReadExact(qwData, abyOld, sizeof(abyOld))) {
            ShowNoList(core, controls, " ", 0);
            controls.ShowMessage("CSC file refused: it is too large for the CSC region.");
            return CSC_PROBE_REFUSED;
        }
        const IMAGE_TRAILER t = IMAGE_WidenOldTrailer(abyOld);
        REGION_INFO& carrier = core.m_RegionTable.aRegion[REGION_CARRIER];
        carrier.FileOffset = 0;
        carrier.DataLength = static_cast<uint32_t>(qwData);
        carrier.EraseLength = t.aRegion[REGION_PDA].EraseLength;
        core.m_dwCscReserve = carrier.EraseLength;
        ShowNoList(core, controls, "Single CSC", 1);
        return CSC_PROBE_PACKED;
    }

    ShowNoList(core, controls, "Single CSC", 0);
    return CSC_PROBE_PLAIN;
}

bool MULTICSC_CheckMultiCscEntry(const CImageSelection& core, const std::string& strPath, uint32_t i,
                                 IMAGE_TRAILER* pTrailer)
{
    if (i >= MULTICSC_EntryCount(core)) return false;
    CImageFile file;
    if (!file.Open(strPath) || file.Length() <= TRAILER_NEW_SIZE) return false;

    const uint8_t* pbyEntry = EntryAt(core, i);
    const uint32_t dwSize = IMAGE_ReadWord(pbyEntry + MULTICSC_SIZE_OFFSET);
    const uint32_t dwOffset = IMAGE_ReadWord(pbyEntry + MULTICSC_DATA_OFFSET);
    // The entry must hold its own trailer and lie inside the file.
    if (dwSize < TRAILER_OLD_SIZE || uint64_t(dwOffset) + dwSize > file.Length()) return false;

    uint8_t abyOld[TRAILER_OLD_SIZE];
    if (!file.ReadExact(uint64_t(dwOffset) + dwSize - TRAILER_OLD_SIZE, abyOld, sizeof(abyOld))) return false;
    if (IMAGE_ReadWord(abyOld) != TRAILER_START_MARKER ||
        IMAGE_ReadWord(abyOld + TRAILER_OLD_END_OFFSET) != TRAILER_END_MARKER ||
        IMAGE_ReadWord(abyOld + 4) != (1u << IMAGE_CSC))
        return false;

    IMAGE_TRAILER t = IMAGE_WidenOldTrailer(abyOld);
    // Counted from the container's start, the data must still be addressable by a word.
    const uint64_t qwOffset = uint64_t(t.aRegion[REGION_PDA].FileOffset) + dwOffset;
    if (qwOffset > 0xFFFFFFFFull) return false;
    t.aRegion[REGION_PDA].FileOffset = static_cast<uint32_t>(qwOffset);
    t.aRegion[REGION_PDA].DataLength = dwSize - TRAILER_OLD_SIZE;
    *pTrailer = t;
    return true;
}

void MULTICSC_SelectMultiCscEntry(CImageSelection& core, uint32_t i)
{
    if (core.m_strCscPath.empty()) {
        core.m_bCscImage = 0;
        return;
    }
    core.m_dwCscReserve = 0;
    IMAGE_TRAILER t;
    if (!MULTICSC_CheckMultiCscEntry(core, core.m_strCscPath, i, &t)) {
        core.m_strCscPath = IMAGE_RefusalText(IMAGE_CSC);
        core.Log(-1, "%s\r\n", core.m_strCscPath.c_str());
        core.m_bCscImage = 0;
        return;
    }
    // Packed CSC data carry their own reserve: nothing is added to the erase length.
    REGION_INFO& carrier = core.m_RegionTable.aRegion[REGION_CARRIER];
    carrier.FileOffset = t.aRegion[REGION_PDA].FileOffset;
    carrier.DataLength = t.aRegion[REGION_PDA].DataLength;
    carrier.EraseLength = t.aRegion[REGION_PDA].EraseLength;
    core.m_dwCscReserve = carrier.EraseLength;
    core.Log(-1, "Open %s image at : %s\r\n", "CSC", core.m_strCscPath.c_str());
    core.m_bCscImage = 1;
    core.m_RegionTable.dwHeadWord = t.dwHeadWord;
}
