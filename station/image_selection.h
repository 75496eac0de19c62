// The image selection as the station holds it: the region table of the accepted images, the
// phone's partition table from the image, which image of each kind is chosen and where it lies,
// and the CSC's sizes. Written by image selection and Start, read-only while workers run. The
// station object is one; image selection is handed it as this and no more.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "station/channel_context.h"

class CVarnDLCore;

class CImageSelection {
public:
    explicit CImageSelection(CVarnDLCore* pStation);

    // What choosing an image asks of the station that holds the selection: a line in its log
    // (nCh -1: the station's own), whether any worker still uses the images, and the "Download
    // Mode" boxes as they stand.
    void Log(int nCh, const char* szFormat, ...) const __attribute__((format(printf, 3, 4)));
    bool AnyWorkerBusy() const;
    DOWNLOAD_TICKS CurrentTicks() const;

    REGION_TABLE m_RegionTable;
    uint8_t m_abyPartitionTable[PARTITION_TABLE_SIZE];
    uint32_t m_bUnifiedImage = 0;
    uint32_t m_bPhoneImage = 0;
    uint32_t m_bEbootImage = 0;
    uint32_t m_bPdaImage = 0;
    uint32_t m_bCscImage = 0;
    uint32_t m_bHiddenImage = 0;
    std::string m_strUnifiedPath;
    std::string m_strPhonePath;
    std::string m_strEbootPath;
    std::string m_strPdaPath;
    std::string m_strCscPath;
    std::string m_strHiddenPath;
    uint32_t m_bHiddenAllowed = 0;
    uint32_t m_bImageReady = 0;
    uint32_t m_dwCscSize = 0;
    uint32_t m_dwCscReserve = 0;
    uint32_t m_bCscPacked = 0;
    uint32_t m_bMultiCsc = 0;
    uint32_t m_bCscPriority = 1;
    std::vector<uint8_t> m_pMultiCscHeader;  // MULTICSC_HEADER_SIZE bytes, zero at first
    int m_nModel = 4;

private:
    CVarnDLCore* m_pStation;
};
