#include "engine/region_procedures.h"

#include <cctype>
#include <cstdio>
#include <string>

#include <sys/stat.h>

#include "engine/change_notice.h"
#include "images/channel_image.h"
#include "images/region_fit.h"
#include "link/serial_device.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "protocol/transfer.h"
#include "station/log.h"
#include "station/station_core.h"

namespace {

CVarnDLCore& Core(ChannelThreadParam* pParam) { return *pParam->pDlg; }

#define LOG(pParam, ...) \
    WriteLog((pParam)->pDlg, (pParam)->nCh, (pParam)->pDlg->m_csDisplay, __VA_ARGS__)

const REGION_INFO* Entry(ChannelThreadParam* pParam, int nRegion)
{
    return &Core(pParam).m_RegionTable.aRegion[nRegion];
}

// The region is on the phone as its image has it: the outcome lists it.
void Written(ChannelThreadParam* pParam, const char* szName)
{
    std::string strName = szName;
    for (char& c : strName) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    OUTCOME_Written(Core(pParam), pParam->nCh, strName);
}

// Reports a failure; true when it is the channel's own (not the end of a stop, a stall or a
// pull), for only then do the step's failure lines belong in the log.
bool Fail(ChannelThreadParam* pParam, const char* szFormat, const char* szName)
{
    char szText[STATUS_TEXT_MAX + 1];
    std::snprintf(szText, sizeof(szText), szFormat, szName);
    FLASH_REGION_ReportFailure(pParam, szText);
    return OUTCOME_Get(Core(pParam), pParam->nCh).eKind == OUTCOME_FAILED;
}

// A data exchange hands back 1 when the console stopped the channel mid-region; the flow must
// not go on to claim the region as written.
bool Stopped(ChannelThreadParam* pParam) { return Core(pParam).m_aChannel[pParam->nCh].m_bRun == 0; }

void FailWrite(ChannelThreadParam* pParam, const char* szName)
{
    if (Fail(pParam, " %s WRITE FLASH Failed!", szName))
        LOG(pParam, "[Channel %d]  Write %s Data Fail!!!\r\n", pParam->nCh, szName);
}

void FailErase(ChannelThreadParam* pParam, const char* szName)
{
    if (Fail(pParam, " %s ERASE FLASH Failed!", szName))
        LOG(pParam, "[Channel %d]  Erase %s Region Fail!!!\r\n", pParam->nCh, szName);
}

void FailSend(ChannelThreadParam* pParam, int nRegion, const char* szName)
{
    if (!Fail(pParam, " %s Sending Partition Failed!", szName)) return;
    if (nRegion == REGION_AMSS)
        LOG(pParam, "[Channel %d]  Sending partition %s Data Fail!!!\r\n", pParam->nCh, szName);
    else
        LOG(pParam, "[Channel %d]  Sending %s Data Fail!!!\r\n", pParam->nCh, szName);
}

// The channel runs on: not stopped, its line not hung up, its replies in step.
bool Running(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    return Core(pParam).m_aChannel[nCh].m_bRun != 0 && !SERIAL_DEVICE_IsHungUp(nCh) &&
           Core(pParam).m_aChannel[nCh].m_bOutOfStep == 0;
}

// Leaves the parked state of an erased region; true when the console asked meanwhile to stop
// the channel, which then stops.
bool Unpark(ChannelThreadParam* pParam)
{
    const uint32_t dwWas = Core(pParam).m_aChannel[pParam->nCh].m_dwParked.exchange(PARKED_NONE);
    STATION_NotifyChange();
    return PARKED_StopDeferred(dwWas);
}

// Erases the staged region's flash range and programs it from the phone's memory. From the
// moment the erase goes out until the programming is answered, the region's data live only in
// the phone's memory and its flash may be blank: the channel is parked, so that a stop waits for
// the programming, and the programming goes out even to a channel stopped without waiting.
// A phone left without the region is said plainly, for it will not start.
int EraseAndProgram(ChannelThreadParam* pParam, int nRegion, int nKind, int nFlashKind,
                    const char* szName)
{
    CVarnDLCore& core = Core(pParam);
    const int nCh = pParam->nCh;
    LOG(pParam, "[Channel %d]  Erase %s Region\r\n", nCh, szName);
    const uint32_t dwSent = FLASH_DOWNLOADER_RequestsSent(nCh);
    core.m_aChannel[nCh].m_dwParked = PARKED_ERASED;
    if (!FLASH_DOWNLOADER_EraseForFlash(pParam, nKind)) {
        const bool bWentOut = FLASH_DOWNLOADER_RequestsSent(nCh) != dwSent;
        // Not sent, or refused by the phone: the range is as it was.
        if (!bWentOut || Running(pParam)) {
            if (Unpark(pParam))
                OUTCOME_End(core, nCh, OUTCOME_STOPPED, std::string());
            else if (Running(pParam))
                FailErase(pParam, szName);
            return 0;
        }
    }
    LOG(pParam, "[Channel %d]  Start Flashing Partition %s !\r\n", nCh, szName);
    const int nFlashed = FLASH_DOWNLOADER_FlashRegion(pParam, nFlashKind);
    const bool bStop = Unpark(pParam);
    if (!nFlashed) {
        if (!bStop && Running(pParam)) {
            if (Fail(pParam, " %s FLASHING Failed!", szName))
                LOG(pParam, "[Channel %d]  Flashing %s data Fail ! ! !\r\n", nCh, szName);
        } else {
            core.m_aChannel[nCh].m_nLeftErased = nRegion;
            LOG(pParam,
                "[Channel %d]  %s is erased and was not programmed again after the stop: the phone "
                "will not start until it is flashed again\r\n",
                nCh, szName);
            char szText[STATUS_TEXT_MAX + 1];
            std::snprintf(szText, sizeof(szText), " %s ERASED! Flash the phone again", szName);
            FLASH_REGION_ReportDamage(pParam, szText);
        }
        return 0;
    }
    if (bStop || !Running(pParam)) {
        LOG(pParam, "[Channel %d]  %s restored from the phone's memory before the stop\r\n", nCh,
            szName);
        OUTCOME_End(core, nCh, OUTCOME_STOPPED, std::string());
        return 0;
    }
    LOG(pParam, "[Channel %d]  Flashing %s Data Done.\r\n", nCh, szName);
    return 1;
}

// Send into the phone's memory, have the CRC checked, then erase and program: the flash is
// not touched until the whole region has arrived intact.
int StagedFlow(ChannelThreadParam* pParam, int nRegion, int nKind, int nFlashKind,
               const char* szName)
{
    const int nCh = pParam->nCh;
    pParam->pState->g_pRegion = Entry(pParam, nRegion);
    LOG(pParam, "[Channel %d]  Sending %s Data\r\n", nCh, szName);
    if (nRegion != REGION_OEMSBL) g_aProtocol[nCh].g_bySeq = 0;
    // The phone checks the CRC over the padded region, which must fit the staging buffer.
    const uint64_t qwPadded = (static_cast<uint64_t>(pParam->pState->g_pRegion->DataLength) + 0x7FFF) & ~0x7FFFull;
    if (!FLASH_REGION_Fits(pParam, *pParam->pState->g_pRegion, FORM_STAGED, szName) || qwPadded > CRC_REGION_LIMIT) {
        FailSend(pParam, nRegion, szName);
        return 0;
    }
    if (!FLASH_DOWNLOADER_SendRegion(pParam, nKind)) {
        FailSend(pParam, nRegion, szName);
        return 0;
    }
    if (Stopped(pParam)) return 0;
    LOG(pParam, "[Channel %d]  Check CRC %s Data\r\n", nCh, szName);
    if (!FLASH_DOWNLOADER_CheckCrc(pParam, nKind)) {
        if (Fail(pParam, " %s CRC CHECK Failed!", szName))
            LOG(pParam, "[Channel %d]  Check CRC %s Data Fail\r\n", nCh, szName);
        return 0;
    }
    LOG(pParam, "[Channel %d]  Check CRC OK !\r\n", nCh);
    if (!EraseAndProgram(pParam, nRegion, nKind, nFlashKind, szName)) return 0;
    LOG(pParam, "[Channel %d]  %s Download Success!!\r\n", nCh, szName);
    Written(pParam, szName);
    return 1;
}

// Erase, then write chunk by chunk. bSeqBeforeErase / bSeqAfterErase: where the flow resets
// the sequence byte.
int DirectFlow(ChannelThreadParam* pParam, int nRegion, int nKind, const char* szName,
               bool bSeqBeforeErase, bool bSeqAfterErase)
{
    const int nCh = pParam->nCh;
    pParam->pState->g_pRegion = Entry(pParam, nRegion);
    const REGION_INFO& region = *pParam->pState->g_pRegion;
    LOG(pParam, "[Channel %d]  Erase %s Region\r\n", nCh, szName);
    if (nRegion == REGION_APPSBL)
        LOG(pParam, "[Channel %d]  StartAddr:0x%08x , DataLength : 0x%08x, EraseLength : 0x%08x\r\n",
            nCh, region.StartAddr, region.DataLength, region.EraseLength);
    // A slice the image file does not hold, or one larger than its erase, would overwrite
    // neighbouring flash with whatever lies behind it; refuse it before the range is erased.
    if (!FLASH_REGION_Fits(pParam, region, FORM_CHUNKS, szName)) {
        FailWrite(pParam, szName);
        return 0;
    }
    if (bSeqBeforeErase) g_aProtocol[nCh].g_bySeq = 0;
    if (!FLASH_DOWNLOADER_EraseForWrite(pParam, nKind)) {
        FailErase(pParam, szName);
        return 0;
    }
    if (bSeqAfterErase) g_aProtocol[nCh].g_bySeq = 0;
    LOG(pParam, "[Channel %d]  Write %s Data\r\n", nCh, szName);
    if (!FLASH_DOWNLOADER_WriteRegion(pParam, nKind)) {
        FailWrite(pParam, szName);
        return 0;
    }
    if (Stopped(pParam)) return 0;
    LOG(pParam, "[Channel %d]  %s Download Success!!\r\n", nCh, szName);
    Written(pParam, szName);
    return 1;
}

// The MIBIB written directly, ahead of QCSBL, when the phone has no Safe Download.
int OlderMibibPart(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    pParam->pState->g_pRegion = Entry(pParam, REGION_MIBIB);
    LOG(pParam, "[Channel %d]  Erase %s Region \r\n", nCh, "MIBIB");
    if (!FLASH_DOWNLOADER_EraseForWrite(pParam, MibibDownloading)) {
        FailErase(pParam, "MIBIB");
        return 0;
    }
    g_aProtocol[nCh].g_bySeq = 0;
    if (!FLASH_DOWNLOADER_WriteMibib(pParam, MibibDownloading)) {
        FailWrite(pParam, "MIBIB");
        return 0;
    }
    if (Stopped(pParam)) return 0;
    LOG(pParam, "[Channel %d]  Download Success!!\r\n", nCh);
    Written(pParam, "MIBIB");
    return 1;
}

// PDA, CARRIER and HIDDEN: erase, then page writes with spare bytes.
int PageFlow(ChannelThreadParam* pParam, int nRegion, int nKind, const char* szName)
{
    CVarnDLCore& core = Core(pParam);
    const int nCh = pParam->nCh;
    const bool bPda = nRegion == REGION_PDA;
    pParam->pState->g_pRegion = Entry(pParam, nRegion);
    const REGION_INFO& region = *pParam->pState->g_pRegion;
    // Without a CSC image the CARRIER region is only erased.
    const bool bWrite = nRegion != REGION_CARRIER || core.m_bCscImage;

    if (bPda)
        LOG(pParam, "[Channel %d]  %s Erase Region\r\n", nCh, szName);
    else
        LOG(pParam, "[Channel %d]  Erase %s Region\r\n", nCh, szName);

    auto failWrite = [&]() {
        if (!Fail(pParam, " %s WRITE FLASH Failed!", szName)) return;
        if (bPda)
            LOG(pParam, "[Channel %d]  %s Write Data Fail!!!\r\n", nCh, szName);
        else
            LOG(pParam, "[Channel %d]  Write %s Data Fail!!!\r\n", nCh, szName);
    };
    // Packed CSC data carry no spare bytes; the write adds them, chunk for chunk.
    const int nForm = nRegion == REGION_CARRIER && core.m_bCscPacked ? FORM_CHUNKS : FORM_SPARE;
    if (bWrite && !FLASH_REGION_Fits(pParam, region, nForm, szName)) {
        failWrite();
        return 0;
    }
    if (!FLASH_DOWNLOADER_EraseForWrite(pParam, nKind)) {
        if (!Fail(pParam, " %s ERASE FLASH Failed!", szName)) return 0;
        if (bPda)
            LOG(pParam, "[Channel %d]  %s Erase Region Fail!!!\r\n", nCh, szName);
        else
            LOG(pParam, "[Channel %d]  Erase %s Region Fail!!!\r\n", nCh, szName);
        return 0;
    }
    g_aProtocol[nCh].g_bySeq = 0;
    if (!bWrite) return 1;

    if (bPda)
        LOG(pParam, "[Channel %d]  %s Write Data\r\n", nCh, szName);
    else
        LOG(pParam, "[Channel %d]  Write %s Data\r\n", nCh, szName);
    int nResult;
    if (nRegion == REGION_CARRIER && core.m_bCscPacked)
        nResult = FLASH_DOWNLOADER_WriteRegionAddSpare(pParam, nKind);
    else
        nResult = FLASH_DOWNLOADER_WriteRegionSpare(pParam, nKind);
    if (!nResult) {
        failWrite();
        return 0;
    }
    if (Stopped(pParam)) return 0;
    LOG(pParam, "[Channel %d]  %s Download Success!!\r\n", nCh, szName);
    Written(pParam, szName);
    return 1;
}

}  // namespace

void FLASH_REGION_ReportFailure(ChannelThreadParam* pParam, const char* szText)
{
    CVarnDLCore& core = Core(pParam);
    const int nCh = pParam->nCh;
    // A failure met once the phone was pulled, the stall bound hit or the run stopped is that
    // end's, not the phone's: an exchange ended by it fails whatever step it was in.
    if (SERIAL_DEVICE_IsHungUp(nCh)) {
        char szPulled[STATUS_TEXT_MAX + 1];
        std::snprintf(szPulled, sizeof(szPulled), " ERROR!! Disconnected COM%u Port",
                      core.m_aChannel[nCh].m_nRunPort.load());
        OUTCOME_End(core, nCh, OUTCOME_DISCONNECTED, szPulled);
    } else if (core.m_aChannel[nCh].m_bStalled) {
        OUTCOME_End(core, nCh, OUTCOME_STALLED, " Phone Stopped Answering!");
    } else if (core.m_aChannel[nCh].m_bRun == 0) {
        OUTCOME_End(core, nCh, OUTCOME_STOPPED, std::string());
    } else {
        OUTCOME_End(core, nCh, OUTCOME_FAILED, szText);
    }
    FLASH_REGION_ShowOutcome(pParam);
    g_aSerial[nCh].g_nComPort = 0;
}

void FLASH_REGION_ReportDamage(ChannelThreadParam* pParam, const char* szText)
{
    OUTCOME_Damage(Core(pParam), pParam->nCh, szText);
    FLASH_REGION_ShowOutcome(pParam);
    g_aSerial[pParam->nCh].g_nComPort = 0;
}

void FLASH_REGION_ShowOutcome(ChannelThreadParam* pParam)
{
    CVarnDLCore& core = Core(pParam);
    const int nCh = pParam->nCh;
    const CHANNEL_OUTCOME outcome = OUTCOME_Get(core, nCh);
    // A stopped channel keeps the last progress text it showed.
    if (outcome.eKind == OUTCOME_RUNNING || outcome.eKind == OUTCOME_STOPPED) return;
    if (outcome.eKind == OUTCOME_PASSED) return;
    const BAR_STATE bar = core.m_ctrlProgress[nCh].GetState();
    if (bar.strText == outcome.strText && bar.byRed == 255 && bar.byGreen == 0) return;
    core.m_ctrlProgress[nCh].ShowStatus(nCh, core.m_csDisplay, outcome.strText.c_str(), Error, 0, 0);
}

int FLASH_REGION_Fits(ChannelThreadParam* pParam, const REGION_INFO& region, int nForm,
                      const char* szName)
{
    const int nCh = pParam->nCh;
    struct stat st;
    const int64_t qwFileLength =
        g_fileImage[nCh] >= 0 && ::fstat(g_fileImage[nCh], &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    const std::string strWhy = IMAGE_RegionFitText(szName, region, nForm, qwFileLength);
    if (strWhy.empty()) return 1;
    LOG(pParam, "[Channel %d]  %s\r\n", nCh, strWhy.c_str());
    return 0;
}

int FLASH_REGION_QueryMode(ChannelThreadParam* pParam)
{
    CVarnDLCore& core = Core(pParam);
    const int nCh = pParam->nCh;
    const int nAnswer = FLASH_DOWNLOADER_QuerySafeDownload(pParam);
    if (nAnswer == QUERY_YES) {
        core.m_aChannel[nCh].m_bOlderVersion = 0;
        LOG(pParam, "[Channel %d]  Download Mode : Safe Download \r\n", nCh);
        return 1;
    }
    if (nAnswer == QUERY_NO) {
        core.m_aChannel[nCh].m_bOlderVersion = 1;
        LOG(pParam, "[Channel %d]  Download Mode : Older Version Update \r\n", nCh);
        return 1;
    }
    // No answer is no "no": taken for a phone without Safe Download, a garbled reply would have
    // the MIBIB erased and written unstaged next.
    if (Running(pParam)) FLASH_REGION_ReportFailure(pParam, " SAFE DOWNLOAD QUERY Failed!");
    return 0;
}

int FLASH_REGION_Qcsbl(ChannelThreadParam* pParam)
{
    CVarnDLCore& core = Core(pParam);
    const int nCh = pParam->nCh;
    // After the operator's Yes to a re-partition the mode is fixed and no query is made.
    if (!core.m_aChannel[nCh].m_bOlderVersion && !FLASH_REGION_QueryMode(pParam)) return 0;
    if (Stopped(pParam)) return 0;
    if (!core.m_aChannel[nCh].m_bOlderVersion)
        return StagedFlow(pParam, REGION_QCSBL, QcsblDownloading, QcsblFlashing, "QCSBL");
    if (!OlderMibibPart(pParam)) return 0;
    return DirectFlow(pParam, REGION_QCSBL, QcsblDownloading, "QCSBL", false, false);
}

int FLASH_REGION_Oemsbl(ChannelThreadParam* pParam)
{
    if (!Core(pParam).m_aChannel[pParam->nCh].m_bOlderVersion)
        return StagedFlow(pParam, REGION_OEMSBL, OemsblDownloading, OemsblFlashing, "OEMSBL");
    return DirectFlow(pParam, REGION_OEMSBL, OemsblDownloading, "OEMSBL", false, false);
}

int FLASH_REGION_Mibib(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    pParam->pState->g_pRegion = Entry(pParam, REGION_MIBIB);
    if (!FLASH_DOWNLOADER_SendMibib(pParam)) {
        // The request that failed tells which part of the download did.
        switch (FLASH_DOWNLOADER_LastRequest(nCh)) {
        case CMD_ERASE_FOR_FLASH: FailErase(pParam, "MIBIB"); break;
        case CMD_FLASH_DATA:
            if (Fail(pParam, " %s FLASHING Failed!", "MIBIB"))
                LOG(pParam, "[Channel %d]  Flashing %s data Fail ! ! !\r\n", nCh, "MIBIB");
            break;
        default: FailSend(pParam, REGION_MIBIB, "MIBIB"); break;
        }
        return 0;
    }
    if (Stopped(pParam)) return 0;
    LOG(pParam, "[Channel %d]  %s Download Success!!\r\n", nCh, "MIBIB");
    Written(pParam, "MIBIB");
    return 1;
}

int FLASH_REGION_Amss(ChannelThreadParam* pParam)
{
    if (!Core(pParam).m_aChannel[pParam->nCh].m_bOlderVersion)
        return StagedFlow(pParam, REGION_AMSS, AmssDownloading, AmssFlashing, "AMSS");
    return DirectFlow(pParam, REGION_AMSS, AmssDownloading, "AMSS", true, false);
}

int FLASH_REGION_EraseEfs2(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    pParam->pState->g_pRegion = Entry(pParam, REGION_EFS2);
    LOG(pParam, "[Channel %d]  Erase EFS2 Region\r\n", nCh);
    if (!FLASH_DOWNLOADER_EraseForWrite(pParam, EfsErasing)) {
        if (Fail(pParam, " %s ERASE FLASH Failed!", "EFS2"))
            LOG(pParam, "[Channel %d]  Erase EFS2 Region Fail!!!\r\n", nCh);
        return 0;
    }
    LOG(pParam, "[Channel %d]  EFS2 Download Success!!\r\n", nCh);
    Written(pParam, "EFS2");
    return 1;
}

int FLASH_REGION_Fota(ChannelThreadParam* pParam)
{
    return DirectFlow(pParam, REGION_FOTA, FotaDownloading, "FOTA", false, false);
}

int FLASH_REGION_Appsbl(ChannelThreadParam* pParam)
{
    return DirectFlow(pParam, REGION_APPSBL, AppsblDownloading, "APPSBL", false, true);
}

int FLASH_REGION_Pda(ChannelThreadParam* pParam)
{
    return PageFlow(pParam, REGION_PDA, PdaDownloading, "PDA");
}

int FLASH_REGION_Carrier(ChannelThreadParam* pParam)
{
    return PageFlow(pParam, REGION_CARRIER, CarrierDownloading, "CARRIER");
}

int FLASH_REGION_Hidden(ChannelThreadParam* pParam)
{
    return PageFlow(pParam, REGION_HIDDEN, HiddenDownloading, "HIDDEN");
}
