#include "images_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "images/multi_csc.h"
#include "sim/image_builder.h"

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
    IMAGE_DESC desc;
    desc.dwKindWord = dwKind;
    const std::vector<uint8_t> aby = IMAGE_BUILDER_Trailer(desc);
    IMAGE_TRAILER t;
    std::memcpy(&t, aby.data(), sizeof(t));
    return t;
}

std::vector<uint8_t> ImagesOldTrailer(uint32_t dwKind, const REGION_INFO* pRegions, bool bMarked)
{
    IMAGE_DESC desc;
    desc.bOldFormat = true;
    desc.dwKindWord = dwKind;
    desc.dwHeadWord = 0x12345678;
    if (!bMarked) desc.dwStartMarker = desc.dwEndMarker = 0;
    if (pRegions) std::memcpy(desc.aRegion, pRegions, TRAILER_OLD_REGIONS * sizeof(REGION_INFO));
    return IMAGE_BUILDER_Trailer(desc);
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

std::vector<uint8_t> ImagesContainer(const std::vector<IMAGES_ENTRY>& aEntries, uint32_t dwCountOverride)
{
    std::vector<MULTICSC_ENTRY_PLAN> aSpecs;
    for (size_t i = 0; i < aEntries.size(); ++i) {
        const IMAGES_ENTRY& e = aEntries[i];
        MULTICSC_ENTRY_PLAN entry;
        entry.strName = e.strName.substr(0, MULTICSC_NAME_SIZE);
        entry.dwLength = e.dwDataSize;
        entry.dwSeed = ImagesEntrySeed(static_cast<uint32_t>(i));
        entry.dwCarrierErase = e.dwErase;
        aSpecs.push_back(entry);
    }
    IMAGE_DESC desc;
    std::vector<uint8_t> aby;
    std::string strError;
    if (!IMAGE_BUILDER_MultiCscDesc(aSpecs, 0, 0, &desc, &strError) ||
        !IMAGE_BUILDER_Render(desc, &aby, &strError))
        throw std::runtime_error(strError);
    if (dwCountOverride != ~0u) std::memcpy(aby.data() + MULTICSC_COUNT_OFFSET, &dwCountOverride, 4);
    return aby;
}

uint32_t ImagesEntryOffset(const std::vector<uint8_t>& abyContainer, uint32_t i)
{
    uint32_t dw;
    std::memcpy(&dw, abyContainer.data() + MULTICSC_ENTRY_BASE + MULTICSC_ENTRY_SIZE * i + MULTICSC_DATA_OFFSET, 4);
    return dw;
}
