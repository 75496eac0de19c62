#include "engine/download_plan.h"

#include <cstring>
#include <mutex>
#include <string>

#include "images/channel_image.h"
#include "images/image_file.h"
#include "station/station_core.h"

namespace {
std::mutex g_csPlan;
std::shared_ptr<const DOWNLOAD_PLAN> g_pPlan;

// Reads one block at a fixed offset; what the file does not hold stays zero. Only a regular file
// is read: the name may point elsewhere since it was chosen, and a FIFO would block Start.
void ReadBlock(const std::string& strPath, uint64_t qwOffset, uint8_t* pbyBlock)
{
    CImageFile file;
    if (file.Open(strPath)) file.ReadSome(qwOffset, pbyBlock, HEADER_BLOCK_SIZE);
}
}  // namespace

std::shared_ptr<const DOWNLOAD_PLAN> ENGINE_GetDownloadPlan()
{
    std::lock_guard<std::mutex> lock(g_csPlan);
    return g_pPlan;
}

void ENGINE_SetDownloadPlan(std::shared_ptr<const DOWNLOAD_PLAN> pPlan)
{
    std::lock_guard<std::mutex> lock(g_csPlan);
    g_pPlan = std::move(pPlan);
}

DOWN_SEL ENGINE_ComputeSelection(const DOWNLOAD_TICKS& ticks)
{
    DOWN_SEL sel;
    if (ticks.bPhoneBoot) {
        sel.bQcsbl = sel.bOemsbl = sel.bFota = 1;
        sel.byMibibMask |= 0x01 | 0x10;
    }
    if (ticks.bPhone) {
        sel.bAmss = 1;
        sel.byMibibMask |= 0x02;
    }
    if (ticks.bEfsClear) sel.bEfs2 = 1;
    if (ticks.bEboot) {
        sel.bAppsbl = 1;
        sel.byMibibMask |= 0x04 | 0x08;
    }
    if (ticks.bPda) sel.bPda = 1;
    if (ticks.bCsc) sel.bCsc = 1;
    return sel;
}

void ENGINE_ReadHeaderBlocks(const CVarnDLCore& core, uint8_t* pbyHeader)
{
    std::memset(pbyHeader, 0, HEADER_BLOCK_TOTAL);
    if (core.m_bUnifiedImage) {
        static const uint64_t aOffset[4] = {0x41800, 0x42000, 0x42800, 0x42FE2};
        for (int i = 0; i < 4; ++i)
            ReadBlock(core.m_strUnifiedPath, aOffset[i], pbyHeader + i * HEADER_BLOCK_SIZE);
        return;
    }
    if (core.m_bPhoneImage) {
        ReadBlock(core.m_strPhonePath, 0x41800, pbyHeader);
        ReadBlock(core.m_strPhonePath, 0x42000, pbyHeader + HEADER_BLOCK_SIZE);
    }
    if (core.m_bEbootImage) {
        ReadBlock(core.m_strEbootPath, 0, pbyHeader + 2 * HEADER_BLOCK_SIZE);
        ReadBlock(core.m_strEbootPath, 0x800, pbyHeader + 3 * HEADER_BLOCK_SIZE);
    }
}

void ENGINE_PrepareStart(CVarnDLCore& core, const DOWNLOAD_TICKS& ticks)
{
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        if (!core.m_aChannel[i].m_bThreadStart && !core.m_aChannel[i].m_bRebootWait) core.m_aChannel[i].g_bPartitionChanged = 0;
    }
    auto pPlan = std::make_shared<DOWNLOAD_PLAN>();
    pPlan->g_DownSel = ENGINE_ComputeSelection(ticks);
    ENGINE_ReadHeaderBlocks(core, pPlan->g_abyHeaderBlock);
    // The image files as they are now: a worker fails rather than pass a phone whose data came
    // from a file that changed meanwhile.
    const uint32_t abChosen[PLAN_IMAGE_KINDS] = {core.m_bUnifiedImage, core.m_bPhoneImage, core.m_bEbootImage,
                                                 core.m_bPdaImage,     core.m_bCscImage,   core.m_bHiddenImage};
    const std::string* apstrPath[PLAN_IMAGE_KINDS] = {&core.m_strUnifiedPath, &core.m_strPhonePath,
                                                      &core.m_strEbootPath,   &core.m_strPdaPath,
                                                      &core.m_strCscPath,     &core.m_strHiddenPath};
    for (int k = 0; k < PLAN_IMAGE_KINDS; ++k) {
        if (!abChosen[k]) continue;
        pPlan->astrImagePath[k] = *apstrPath[k];
        pPlan->aImageStamp[k] = ENGINE_StampPath(*apstrPath[k]);
    }
    ENGINE_SetDownloadPlan(std::move(pPlan));
}
