#include "engine/partition.h"

#include <cstring>
#include <mutex>

#include "engine/change_notice.h"
#include "engine/region_procedures.h"
#include "images/model_table.h"
#include "link/serial_device.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "station/log.h"
#include "station/model_ticks.h"
#include "station/station_core.h"

namespace {

#define LOG(pParam, ...) \
    WriteLog((pParam)->pDlg, (pParam)->nCh, (pParam)->pDlg->m_csDisplay, __VA_ARGS__)

// The failure just reported is the channel's own, not the end of a stop, a stall or a pull.
bool OwnFailure(ChannelThreadParam* pParam)
{
    return OUTCOME_Get(*pParam->pDlg, pParam->nCh).eKind == OUTCOME_FAILED;
}

void ShowText(ChannelThreadParam* pParam, const char* szText)
{
    CVarnDLCore& core = *pParam->pDlg;
    core.m_ctrlProgress[pParam->nCh].ShowText(core.m_csDisplay, szText, 0);
}

// One request without data; the reply class, or 0 when the send failed.
int Exchange(ChannelThreadParam* pParam, uint8_t byOpcode, uint8_t bySeq, uint32_t dwParam,
             uint32_t dwLength, const uint8_t* pbyPayload)
{
    CBufObj& buf = *pParam->pnBufObj;
    buf.ClearPacket();
    const int nBytes = FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, byOpcode, bySeq, dwParam,
                                                     dwLength, pbyPayload, 0);
    if (!FLASH_DOWNLOADER_SendRequest(pParam, static_cast<uint32_t>(nBytes), SEND_NEW)) return 0;
    return FLASH_DOWNLOADER_WaitReply(pParam);
}

// The forced full download needs the whole image set; the fields of the missing kinds tell
// the operator what to open.
bool HaveFullImageSet(CVarnDLCore& core)
{
    if (core.m_bUnifiedImage) return true;
    if (core.m_bEbootImage && core.m_bPdaImage && core.m_bPhoneImage) return true;
    std::lock_guard<std::mutex> lock(core.m_csTicks);
    if (!core.m_bEbootImage) core.m_strEbootPath = "Please open Eboot Image File";
    if (!core.m_bPdaImage) core.m_strPdaPath = "Please open PDA Image File";
    if (!core.m_bPhoneImage) core.m_strPhonePath = "Please open Phone Image File";
    core.m_strUnifiedPath = "Please open Unified Image File";
    ++core.m_dwTicksVersion;
    return false;
}

// Lowers the channel's parked state once its write-back has been answered, or can no longer
// be; true when the console asked meanwhile to stop the channel, which then writes nothing more.
bool UnparkEfs(CVarnDLCore& core, int nCh)
{
    const bool bStop = core.m_aChannel[nCh].m_dwParked.exchange(PARKED_NONE) == PARKED_EFS_STOP;
    STATION_NotifyChange();
    return bStop;
}

// Has the phone copy EFS2 back from the PDA area; the reply class, 0 when it was not sent.
// Whatever comes back, the parked state ends here. *pbStop: the console is waiting to stop.
int RestoreEfs(ChannelThreadParam* pParam, bool* pbStop)
{
    CVarnDLCore& core = *pParam->pDlg;
    const int nCh = pParam->nCh;
    const REGION_INFO* aRegion = core.m_RegionTable.aRegion;

    pParam->pState->g_pRegion = &aRegion[REGION_EFS2];
    g_aProtocol[nCh].g_bySeq = 0;
    LOG(pParam, "[Channel %d]  Write EFS Data\r\n", nCh);
    ShowText(pParam, "   Write EFS Data!!");
    ++g_aProtocol[nCh].g_bySeq;
    const int nClass =
        Exchange(pParam, CMD_EFS_RESTORE, g_aProtocol[nCh].g_bySeq, aRegion[REGION_PDA].StartAddr, 0, nullptr);
    *pbStop = UnparkEfs(core, nCh);
    // Unanswered (a silent phone given up on, a refusal): the phone may have erased its own EFS2
    // and hold the only copy in the PDA area. Another re-partition would not bring it back, for
    // it erases that area before it backs EFS2 up; the operator has to know before the phone
    // leaves the station.
    if (nClass != REPLY_ACK)
        LOG(pParam,
            "[Channel %d]  EFS data NOT restored: the phone's EFS2 may be held only in its PDA area "
            "at 0x%X. Keep the phone aside: any new download erases that area first.\r\n",
            nCh, aRegion[REGION_PDA].StartAddr);
    return nClass;
}

// Erase the PDA area, park EFS2 there, erase everything below it, bring EFS2 back.
int Repartition(ChannelThreadParam* pParam)
{
    CVarnDLCore& core = *pParam->pDlg;
    const int nCh = pParam->nCh;
    const REGION_INFO& pda = core.m_RegionTable.aRegion[REGION_PDA];

    ShowText(pParam, "   Erase PDA Region and Backup EFS Data!!");
    LOG(pParam, "[Channel %d]  Erase PDA Region\r\n", nCh);
    pParam->pState->g_pRegion = &pda;
    if (!FLASH_DOWNLOADER_EraseForWrite(pParam, PdaDownloading)) {
        FLASH_REGION_ReportFailure(pParam, " PDA ERASE FLASH Failed!");
        if (OwnFailure(pParam)) LOG(pParam, "[Channel %d]  Erase PDA Region Fail!!!\r\n", nCh);
        return -1;  // its own red text already shown
    }

    LOG(pParam, "[Channel %d]  EFS data BackUp!!!\r\n", nCh);
    ShowText(pParam, "   EFS data BackUp!!!");
    ++g_aProtocol[nCh].g_bySeq;
    if (Exchange(pParam, CMD_EFS_BACKUP, g_aProtocol[nCh].g_bySeq, pda.StartAddr, 0, nullptr) != REPLY_ACK)
        return 0;

    ShowText(pParam, "   Erase Phone Region!!");
    LOG(pParam, "[Channel %d]  Erase Phone Region\r\n", nCh);
    // Parked from just before the phone erase goes out: once the phone may have acted on it,
    // the copy in the PDA area can be the only EFS2 left. Until then the phone's own EFS2 is
    // whole (the backup only copies it), so a stop before this point loses nothing.
    core.m_aChannel[nCh].m_dwParked = PARKED_EFS;
    const int nErase = Exchange(pParam, CMD_ERASE_FOR_WRITE, g_aProtocol[nCh].g_bySeq, 0, pda.StartAddr, nullptr);
    if (nErase != REPLY_ACK) {
        // Refused, garbled or abandoned: the phone may have erased all the same, and then only
        // the parked copy is left. Copying it back does no harm when nothing was erased.
        bool bStop = false;
        RestoreEfs(pParam, &bStop);
        return 0;
    }
    LOG(pParam, "[Channel %d]  Erase Phone Region success!!\r\n", nCh);
    core.m_aChannel[nCh].g_bPartitionChanged = 1;

    return FLASH_PARTITION_WriteBackEfs(pParam);
}

}  // namespace

int FLASH_PARTITION_Check(ChannelThreadParam* pParam)
{
    CVarnDLCore& core = *pParam->pDlg;
    const int nCh = pParam->nCh;

    pParam->pState->g_pRegion = &core.m_RegionTable.aRegion[REGION_EFS2];
    ShowText(pParam, "   Send Partition Table");
    LOG(pParam, "[Channel %d]  Send Partition Table\r\n", nCh);

    ++g_aProtocol[nCh].g_bySeq;
    const int nClass = Exchange(pParam, CMD_PARTITION_TABLE, g_aProtocol[nCh].g_bySeq, 0,
                                PARTITION_TABLE_SIZE, core.m_abyPartitionTable);
    if (nClass == 0) return 0;  // not sent: no text

    bool bOk = false;
    if (nClass == REPLY_ACK) {
        bOk = true;
    } else if (nClass == REPLY_NAK || nClass == REPLY_NAK_7) {
        const int nAnswer = core.View().AskYesNo(nCh, PARTITION_PROMPT_CAPTION,
                                                 PARTITION_PROMPT_TEXT, core.m_aChannel[nCh].m_bRun);
        if (nAnswer == IDNO) {
            FLASH_REGION_ReportFailure(pParam, "Stopped by user : check partition once again\r\n");
            if (OwnFailure(pParam)) LOG(pParam, "[Channel %d]  Download stopped....\r\n", nCh);
            return 0;
        }
        if (nAnswer == IDYES) {
            core.m_aChannel[nCh].m_bOlderVersion = 1;
            if (!HaveFullImageSet(core)) {
                ShowText(pParam, "   Please select all image files and try again!!");
                LOG(pParam, "[Channel %d]  Please select All image and Try again\r\n", nCh);
            } else {
                MODEL_TICKS_ForceFullDownload(core);
                const int nResult = Repartition(pParam);
                if (nResult < 0) return 0;
                bOk = nResult == 1;
            }
        }
    }
    if (!bOk) {
        FLASH_REGION_ReportFailure(pParam, " Send Partition Table Fail!");
        return 0;
    }
    LOG(pParam, "[Channel %d]  Partition Table is correct\r\n", nCh);
    return 1;
}

int FLASH_PARTITION_WriteBackEfs(ChannelThreadParam* pParam)
{
    CVarnDLCore& core = *pParam->pDlg;
    const int nCh = pParam->nCh;
    const REGION_INFO* aRegion = core.m_RegionTable.aRegion;

    bool bStop = false;
    if (RestoreEfs(pParam, &bStop) != REPLY_ACK) return 0;
    // A stop held back while EFS2 was parked takes effect now, before anything else is written.
    if (bStop) {
        OUTCOME_End(core, nCh, OUTCOME_STOPPED, std::string());
        return 0;
    }

    ShowText(pParam, "   Erase PDA Region!!");
    LOG(pParam, "[Channel %d]  Erase PDA Region\r\n", nCh);
    const uint32_t dwAddr = aRegion[REGION_APPSBL].StartAddr + aRegion[REGION_APPSBL].EraseLength;
    const uint32_t dwLength = aRegion[REGION_PDA].EraseLength + aRegion[REGION_HIDDEN].EraseLength +
                              aRegion[REGION_CARRIER].EraseLength;
    if (Exchange(pParam, CMD_ERASE_FOR_WRITE, g_aProtocol[nCh].g_bySeq, dwAddr, dwLength, nullptr) != REPLY_ACK)
        return 0;
    LOG(pParam, "[Channel %d]  Erase PDA Region success!!\r\n", nCh);
    LOG(pParam, "[Channel %d]  EFS Download Success!!\r\n", nCh);
    return 1;
}

int FLASH_PARTITION_SendMibibHeader(ChannelThreadParam* pParam, const DOWNLOAD_PLAN& plan)
{
    CVarnDLCore& core = *pParam->pDlg;
    const int nCh = pParam->nCh;
    const uint8_t byMask = plan.g_DownSel.byMibibMask;
    CBufObj& buf = *pParam->pnBufObj;

    LOG(pParam, "[Channel %d]  Send MIBIB Header Data  %x !!!\r\n", nCh, byMask);
    ShowText(pParam, "   Send MIBIB Header Data!!!");
    buf.ClearPacket();
    buf.ClearData();
    std::memcpy(buf.m_pData, plan.g_abyHeaderBlock, HEADER_BLOCK_TOTAL);
    ++g_aProtocol[nCh].g_bySeq;
    const int nBytes = FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, CMD_MIBIB_HEADER, g_aProtocol[nCh].g_bySeq,
                                                     byMask, FRAME_MAX_PAYLOAD, buf.m_pData, 0);
    for (uint32_t dwHow = SEND_NEW;; dwHow = SEND_AGAIN) {
        if (!FLASH_DOWNLOADER_SendRequest(pParam, static_cast<uint32_t>(nBytes), dwHow)) {
            FLASH_REGION_ReportFailure(pParam, " Send MIBIB Header Data Failed!");
            if (OwnFailure(pParam))
                LOG(pParam, "[Channel %d]  Tx Send MIBIB Header Data Fail!!!\r\n", nCh);
            return 0;
        }
        if (FLASH_DOWNLOADER_WaitReply(pParam) == REPLY_ACK) break;
        // The phone may refuse the header any number of times; only the console ends the
        // resends, by stopping the channel.
        if (!core.m_aChannel[nCh].m_bRun) return 0;
    }
    LOG(pParam, "[Channel %d]  Send MIBIB Header Data Success!!!\r\n", nCh);
    return 1;
}

void MODEL_TICKS_ForceFullDownload(CVarnDLCore& core)
{
    std::lock_guard<std::mutex> lock(core.m_csTicks);
    const int nModel = (core.m_nModel >= 0 && core.m_nModel < MODEL_COUNT) ? core.m_nModel : 4;
    MODEL_TICKS& r = core.m_aModelTicks[nModel];
    r.dwPBoot = r.dwPhone = r.dwEboot = r.dwPda = 1;
    r.dwCarrier = core.m_bCscImage ? 1 : 0;
    r.dwHidden = core.m_bHiddenImage ? 1 : 0;
    // Some compact models have no CSC or Hidden boxes to show these ticks.
    for (int m = 0; m < MODEL_COUNT; ++m) MODEL_ApplyForcedDownloadRules(m, core.m_aModelTicks[m]);
    core.m_CurrentTicks = MODEL_TICKS_Stored(core);
    ++core.m_dwTicksVersion;
}
