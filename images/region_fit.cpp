#include "images/region_fit.h"

#include <cinttypes>
#include <cstdio>

#include "images/image_file.h"
#include "images/image_paths.h"
#include "images/image_trailer.h"
#include "station/image_selection.h"

namespace {

constexpr uint64_t CHUNK_BYTES = 0x8000;
constexpr uint64_t SPARE_CHUNK_BYTES = 0x8080;

uint64_t RoundUpChunks(uint64_t qwBytes, uint64_t qwUnit) { return (qwBytes + qwUnit - 1) / qwUnit; }

int64_t FileLength(const std::string& strPath)
{
    CImageFile file;
    if (!file.Open(strPath)) return -1;
    return static_cast<int64_t>(file.Length());
}

}  // namespace

uint64_t IMAGE_FlashFootprint(uint32_t dwDataLength, int nForm)
{
    switch (nForm) {
    case FORM_STAGED: return dwDataLength;
    case FORM_SPARE: return RoundUpChunks(dwDataLength, SPARE_CHUNK_BYTES) * CHUNK_BYTES;
    default: return RoundUpChunks(dwDataLength, CHUNK_BYTES) * CHUNK_BYTES;
    }
}

std::string IMAGE_RegionFitText(const char* szName, const REGION_INFO& region, int nForm,
                                int64_t qwFileLength)
{
    if (region.DataLength == 0) return "";
    char sz[256];
    if (qwFileLength < 0) {
        std::snprintf(sz, sizeof(sz), "%s cannot be checked: its image file cannot be read.", szName);
        return sz;
    }
    const uint64_t qwEnd = uint64_t(region.FileOffset) + region.DataLength;
    if (qwEnd > static_cast<uint64_t>(qwFileLength)) {
        std::snprintf(sz, sizeof(sz),
                      "%s lies beyond the end of its image file: its data end at byte 0x%08" PRIx64
                      ", the file holds 0x%08" PRIx64 " bytes.",
                      szName, qwEnd, static_cast<uint64_t>(qwFileLength));
        return sz;
    }
    const uint64_t qwFootprint = IMAGE_FlashFootprint(region.DataLength, nForm);
    if (qwFootprint > region.EraseLength) {
        std::snprintf(sz, sizeof(sz),
                      "%s does not fit its flash area: its data need 0x%08" PRIx64
                      " bytes of flash, its erase length is 0x%08x.",
                      szName, qwFootprint, region.EraseLength);
        return sz;
    }
    return "";
}

std::vector<std::string> IMAGE_CheckSelectedRegions(CImageSelection& core, const DOWNLOAD_TICKS& ticks)
{
    // The cycle reads the Phone regions from the Phone image, or from the Unified one.
    const int nPhoneKind = core.m_bPhoneImage || !core.m_bUnifiedImage ? IMAGE_PHONE : IMAGE_UNIFIED;
    const struct {
        bool bSelected;
        int nRegion;
        const char* szName;
        int nForm;
        int nImage;
    } aCheck[] = {
        {ticks.bPhoneBoot, REGION_QCSBL, "QCSBL", FORM_CHUNKS, nPhoneKind},
        {ticks.bPhoneBoot, REGION_OEMSBL, "OEMSBL", FORM_CHUNKS, nPhoneKind},
        {ticks.bPhone, REGION_AMSS, "AMSS", FORM_CHUNKS, nPhoneKind},
        {ticks.bPhoneBoot, REGION_FOTA, "FOTA", FORM_CHUNKS, nPhoneKind},
        {ticks.bEboot, REGION_APPSBL, "APPSBL", FORM_CHUNKS, IMAGE_EBOOT},
        {ticks.bPda, REGION_PDA, "PDA", FORM_SPARE, IMAGE_PDA},
        // Packed CSC data carry no spare bytes; the station adds them, chunk for chunk.
        {ticks.bCsc && core.m_bCscImage, REGION_CARRIER, "CARRIER",
         core.m_bCscPacked ? FORM_CHUNKS : FORM_SPARE, IMAGE_CSC},
        {ticks.bHidden && core.m_bHiddenImage, REGION_HIDDEN, "HIDDEN", FORM_SPARE, IMAGE_HIDDEN},
    };
    std::vector<std::string> astrUnfit;
    for (const auto& check : aCheck) {
        if (!check.bSelected) continue;
        const REGION_INFO& region = core.m_RegionTable.aRegion[check.nRegion];
        const int64_t qwFileLength = region.DataLength ? FileLength(IMAGE_Path(core, check.nImage)) : 0;
        std::string strWhy = IMAGE_RegionFitText(check.szName, region, check.nForm, qwFileLength);
        if (!strWhy.empty()) astrUnfit.push_back(std::move(strWhy));
    }
    return astrUnfit;
}
