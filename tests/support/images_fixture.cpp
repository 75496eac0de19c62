#include "images_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "images/multi_csc.h"

CImagesTempDir::CImagesTempDir()
{
    std::string strTemplate = (std::filesystem::temp_directory_path() / "quillon-images-XXXXXX").string();
    if (!::mkdtemp(strTemplate.data())) throw std::runtime_error("mkdtemp failed");
    m_strPath = strTemplate;
}

CImagesTempDir::~CImagesTempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_strPath, ec);
}

IMAGE_TRAILER ImagesNewTrailer(uint32_t dwKind)
{
    IMAGE_TRAILER t;
    std::memset(&t, 0, sizeof(t));
    t.dwStartMarker = TRAILER_START_MARKER;
    t.dwKind = dwKind;
    t.dwEndMarker = TRAILER_END_MARKER;
    return t;
}

std::vector<uint8_t> ImagesOldTrailer(uint32_t dwKind, const REGION_INFO* pRegions, bool bMarked)
{
    std::vector<uint8_t> aby(TRAILER_OLD_SIZE, 0);
    const uint32_t adwHead[3] = {bMarked ? TRAILER_START_MARKER : 0u, dwKind, 0x12345678};
    std::memcpy(aby.data(), adwHead, sizeof(adwHead));
    if (pRegions) std::memcpy(aby.data() + 12, pRegions, TRAILER_OLD_REGIONS * sizeof(REGION_INFO));
    const uint32_t dwEnd = bMarked ? TRAILER_END_MARKER : 0u;
    std::memcpy(aby.data() + TRAILER_OLD_END_OFFSET, &dwEnd, 4);
    return aby;
}

std::vector<uint8_t> ImagesBytes(const IMAGE_TRAILER& t)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&t);
    return std::vector<uint8_t>(p, p + sizeof(t));
}

void ImagesWriteFile(const std::string& strPath, uint64_t qwBody, const std::vector<uint8_t>& abyTail)
{
    std::vector<uint8_t> aby(qwBody);
    for (uint64_t k = 0; k < qwBody; ++k) aby[k] = static_cast<uint8_t>(k);
    aby.insert(aby.end(), abyTail.begin(), abyTail.end());
    ImagesWriteBytes(strPath, aby);
}

void ImagesWriteBytes(const std::string& strPath, const std::vector<uint8_t>& aby)
{
    FILE* f = std::fopen(strPath.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + strPath);
    if (!aby.empty()) std::fwrite(aby.data(), 1, aby.size(), f);
    std::fclose(f);
}

namespace {
void PutWord(std::vector<uint8_t>& aby, size_t nAt, uint32_t dw) { std::memcpy(aby.data() + nAt, &dw, 4); }
}  // namespace

std::vector<uint8_t> ImagesContainer(const std::vector<IMAGES_ENTRY>& aEntries, uint32_t dwCountOverride)
{
    std::vector<uint8_t> aby(MULTICSC_HEADER_SIZE, 0);
    PutWord(aby, 0, MULTICSC_START_MARKER);
    PutWord(aby, MULTICSC_END_OFFSET, MULTICSC_END_MARKER);
    PutWord(aby, MULTICSC_COUNT_OFFSET, dwCountOverride != ~0u ? dwCountOverride : uint32_t(aEntries.size()));
    for (size_t i = 0; i < aEntries.size(); ++i) {
        const IMAGES_ENTRY& e = aEntries[i];
        const size_t nEntry = MULTICSC_ENTRY_BASE + MULTICSC_ENTRY_SIZE * i;
        std::memcpy(aby.data() + nEntry + MULTICSC_NAME_OFFSET, e.strName.data(),
                    std::min<size_t>(e.strName.size(), MULTICSC_NAME_SIZE));
        PutWord(aby, nEntry + MULTICSC_SIZE_OFFSET, e.dwDataSize + TRAILER_OLD_SIZE);
        PutWord(aby, nEntry + MULTICSC_DATA_OFFSET, uint32_t(aby.size()));
        // Each entry's data are filled with its index, so a test can tell them apart.
        aby.insert(aby.end(), e.dwDataSize, static_cast<uint8_t>(0xA0 + i));
        REGION_INFO aRegions[TRAILER_OLD_REGIONS] = {};
        aRegions[REGION_PDA] = {0, 0, e.dwDataSize, e.dwErase};
        const std::vector<uint8_t> abyTrailer = ImagesOldTrailer(1u << 4, aRegions);
        aby.insert(aby.end(), abyTrailer.begin(), abyTrailer.end());
    }
    // The container as a whole passes the ordinary CSC check.
    const std::vector<uint8_t> abyOwn = ImagesOldTrailer(1u << 4);
    aby.insert(aby.end(), abyOwn.begin(), abyOwn.end());
    return aby;
}

uint32_t ImagesEntryOffset(const std::vector<uint8_t>& abyContainer, uint32_t i)
{
    uint32_t dw;
    std::memcpy(&dw, abyContainer.data() + MULTICSC_ENTRY_BASE + MULTICSC_ENTRY_SIZE * i + MULTICSC_DATA_OFFSET, 4);
    return dw;
}
