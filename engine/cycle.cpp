#include "engine/cycle.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <sys/stat.h>

#include "engine/change_notice.h"
#include "engine/download_plan.h"
#include "engine/partition.h"
#include "engine/region_procedures.h"
#include "images/channel_image.h"
#include "images/image_select.h"
#include "images/model_table.h"
#include "link/serial_device.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "station/clock.h"
#include "station/log.h"
#include "station/model_ticks.h"
#include "station/station_core.h"

namespace {

// A quit cuts the wait short; the run flag does not, since the phone is already rebooting.
constexpr uint32_t REBOOT_WAIT_SLICE_MS = 100;

#define LOG(pParam, ...) \
    WriteLog((pParam)->pDlg, (pParam)->nCh, (pParam)->pDlg->m_csDisplay, __VA_ARGS__)

// The state one cycle keeps besides the channel's flags.
struct CYCLE {
    ChannelThreadParam* pParam;
    CVarnDLCore& core;
    int nCh;
    std::shared_ptr<const DOWNLOAD_PLAN> pPlan;
    bool bFail = false;

    bool Run() const { return core.m_aChannel[nCh].m_bRun != 0; }
    bool Changed() const { return core.m_aChannel[nCh].g_bPartitionChanged != 0; }
    // The phone refused a request that may have been taken as done.
    bool OutOfStep() const { return core.m_aChannel[nCh].m_bOutOfStep != 0; }
    // A region step runs while the channel runs and no step has failed, when its region is
    // selected or the phone was re-partitioned. After a re-partition the first failure still
    // ends the region phase: a later success must never hide it.
    bool Wanted(uint32_t bSelected) const
    {
        return Run() && !bFail && !OutOfStep() && (bSelected || Changed());
    }
    void Step(int nResult) { bFail = nResult == 0 || OutOfStep(); }
};

// The console stopped the channel because its phone went silent, or answered nothing that
// counts, for the whole stall time.
void ReportStall(CYCLE& c)
{
    CVarnDLCore& core = c.core;
    const int nCh = c.nCh;
    if (!core.m_aChannel[nCh].m_bStalled) return;
    const uint32_t dwSilentMs = CLOCK_Get().GetTickCount() - core.m_aChannel[nCh].m_dwAnswerTick;
    FLASH_REGION_ReportFailure(c.pParam, " Phone Stopped Answering!");
    LOG(c.pParam,
        "[Channel %d]  The phone stopped answering: nothing acknowledged for %u s, %u resends\r\n",
        nCh, dwSilentMs / 1000, core.m_aChannel[nCh].m_dwResends.load());
}

// A staged region the stop left erased: the phone will not start, whatever else went wrong.
void ReportLeftErased(CYCLE& c)
{
    const int nRegion = c.core.m_aChannel[c.nCh].m_nLeftErased;
    if (nRegion < 0) return;
    std::string strName = OUTCOME_RegionName(nRegion);
    for (char& ch : strName) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    char szText[STATUS_TEXT_MAX + 1];
    std::snprintf(szText, sizeof(szText), " %s ERASED! Flash the phone again", strName.c_str());
    FLASH_REGION_ReportDamage(c.pParam, szText);
}

// The cycle ends without a pass: its outcome is decided, shown and kept.
void EndWithoutPass(CYCLE& c)
{
    CVarnDLCore& core = c.core;
    const int nCh = c.nCh;
    core.m_aChannel[nCh].m_bStallWatch = 0;
    ReportStall(c);
    // Replies out of step with the requests after a refusal: some request may have been taken
    // as done that the phone refused, so nothing said of the phone's flash can be trusted.
    if (c.OutOfStep()) FLASH_REGION_ReportDamage(c.pParam, " Phone Replies Out Of Step!");
    ReportLeftErased(c);
    const CHANNEL_OUTCOME outcome = OUTCOME_Get(core, nCh);
    if (outcome.eKind == OUTCOME_RUNNING) {
        // A step that ended without a word of its own: a stop ended it, or it failed; then its
        // step names it.
        std::string strStep = outcome.strStep;
        for (char& ch : strStep) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        FLASH_REGION_ReportFailure(c.pParam, (" " + strStep + " Failed!").c_str());
    }
    FLASH_REGION_ShowOutcome(c.pParam);
    SERIAL_DEVICE_Close(nCh);
    ENGINE_CloseImage(nCh);
    core.View().OnPortText(nCh, "NONE");
}

// The step the cycle is in, for its outcome.
void Enter(CYCLE& c, const char* szStep) { OUTCOME_Step(c.core, c.nCh, szStep); }

// A file replaced or rewritten since Start: the data it gives are not the images chosen.
void ReportImageChanged(CYCLE& c, int nKind)
{
    const IMAGE_KIND_INFO* pInfo = IMAGE_KindInfo(nKind);
    const char* szCaption = pInfo ? pInfo->szCaption : "Unified";
    char szText[STATUS_TEXT_MAX + 1];
    std::snprintf(szText, sizeof(szText), " %s image file changed during download!", szCaption);
    FLASH_REGION_ReportFailure(c.pParam, szText);
    LOG(c.pParam, "[Channel %d]  %s image file changed during download: %s\r\n", c.nCh, szCaption,
        c.pPlan->astrImagePath[nKind].c_str());
    c.bFail = true;
}

// A file that cannot be opened fails the region steps that read it, with their own texts;
// those cannot say why, so the system's reason (too many open files, permission denied) goes to
// the log first.
void LogOpenFailure(CYCLE& c, const std::string& strPath)
{
    const int nError = errno;
    struct stat st;
    const bool bOther = ::stat(strPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    LOG(c.pParam, "[Channel %d]  Cannot open %s: %s\r\n", c.nCh, strPath.c_str(),
        bOther ? "not a regular file" : std::strerror(nError));
}

// Opens the image of a kind for the steps that follow, when it is chosen and the channel runs.
// One that is no longer the file stamped at Start fails the channel before a byte of it is sent.
void OpenIf(CYCLE& c, int nKind)
{
    if (!IMAGE_ValidFlag(c.core, nKind) || !c.Run()) return;
    const std::string& strPath = IMAGE_Path(c.core, nKind);
    if (!ENGINE_OpenImage(c.nCh, strPath.c_str())) LogOpenFailure(c, strPath);
    if (!c.bFail && g_fileImage[c.nCh] >= 0 && !c.pPlan->astrImagePath[nKind].empty() &&
        ENGINE_StampOpenImage(c.nCh) != c.pPlan->aImageStamp[nKind])
        ReportImageChanged(c, nKind);
}

// Every image file chosen at Start is still the one stamped then. A channel whose data may have
// come from a file replaced, rewritten or cut short meanwhile is not passed.
bool ImagesUnchanged(CYCLE& c)
{
    for (int k = 0; k < PLAN_IMAGE_KINDS; ++k) {
        const std::string& strPath = c.pPlan->astrImagePath[k];
        if (strPath.empty() || ENGINE_StampPath(strPath) == c.pPlan->aImageStamp[k]) continue;
        ReportImageChanged(c, k);
        return false;
    }
    return true;
}

void CscStep(CYCLE& c)
{
    CVarnDLCore& core = c.core;
    if (MODEL_AnnouncesCsc(core.m_nModel) && core.m_dwCscReserve != 0) {
        const int nAnswer = FLASH_DOWNLOADER_CheckCscReserve(c.pParam);
        if (nAnswer == QUERY_UNANSWERED) {
            FLASH_REGION_ReportFailure(c.pParam, " CSC RESERVE QUERY Failed!");
            c.bFail = true;
            return;
        }
        if (nAnswer == QUERY_NO) {
            // Too small a reserve skips only the CSC; the cycle can still pass.
            OUTCOME_Skipped(core, c.nCh, OUTCOME_RegionName(REGION_CARRIER),
                            "the phone's CSC reserve is too small");
            char szText[128];
            std::snprintf(szText, sizeof(szText),
                          "[Ch%d] CSC Reserve size is too small. Cannot download csc image.", c.nCh);
            core.View().ShowMessage(c.nCh, szText, core.m_aChannel[c.nCh].m_bRun);
            return;
        }
    }
    DEBUG_TRACE_Off("[Step Ch:%d] Download CSC \n", c.nCh);
    c.Step(FLASH_REGION_Carrier(c.pParam));
}

void RegionPhase(CYCLE& c)
{
    CVarnDLCore& core = c.core;
    const int nCh = c.nCh;
    const DOWN_SEL& sel = c.pPlan->g_DownSel;

    OpenIf(c, IMAGE_UNIFIED);
    OpenIf(c, IMAGE_PHONE);

    if (!core.m_aChannel[nCh].m_bMcci && c.Run()) {
        Enter(c, "mcci");
        DEBUG_TRACE_Off("[Step Ch:%d] Check MCCI \n", nCh);
        const int nAnswer = FLASH_DOWNLOADER_QueryMcci(c.pParam);
        if (nAnswer == QUERY_YES) {
            core.m_aChannel[nCh].m_bMcci = 1;
            LOG(c.pParam, "[Channel %d]  USB Mode : MCCI \r\n", nCh);
        } else if (nAnswer == QUERY_NO) {
            core.m_aChannel[nCh].m_bMcci = 0;
            LOG(c.pParam, "[Channel %d]  USB Mode : Older Version QC \r\n", nCh);
        } else {
            // No answer is no "no": the staged send would pace itself for the wrong mode.
            FLASH_REGION_ReportFailure(c.pParam, " MCCI QUERY Failed!");
            c.bFail = true;
        }
    }

    if (c.Wanted(sel.bQcsbl)) {
        Enter(c, "qcsbl");
        DEBUG_TRACE_Off("[Step Ch:%d] MIBIB_QCSBLL \n", nCh);
        c.Step(FLASH_REGION_Qcsbl(c.pParam));
    }
    if (c.Wanted(sel.bOemsbl)) {
        Enter(c, "oemsbl");
        DEBUG_TRACE_Off("[Step Ch:%d] OEMSBL  \n", nCh);
        c.Step(FLASH_REGION_Oemsbl(c.pParam));
    }
    if (c.Wanted(sel.bQcsbl) && !core.m_aChannel[nCh].m_bOlderVersion) {
        Enter(c, "mibib");
        DEBUG_TRACE_Off("[Step Ch:%d] MIBIB \n", nCh);
        c.Step(FLASH_REGION_Mibib(c.pParam));
    }
    if (c.Wanted(sel.byMibibMask)) {
        Enter(c, "mibib header");
        DEBUG_TRACE_Off("[Step Ch:%d] MIBIB Header \n", nCh);
        c.Step(FLASH_PARTITION_SendMibibHeader(c.pParam, *c.pPlan));
    }
    if (c.Wanted(sel.bAmss)) {
        Enter(c, "amss");
        DEBUG_TRACE_Off("[Step Ch:%d] Amss  \n", nCh);
        c.Step(FLASH_REGION_Amss(c.pParam));
    }
    // A re-partition keeps EFS2, so it never forces its erase.
    if (c.Run() && !c.bFail && sel.bEfs2) {
        Enter(c, "efs2");
        DEBUG_TRACE_Off("[Step Ch:%d] Erase EFS2  \n", nCh);
        c.Step(FLASH_REGION_EraseEfs2(c.pParam));
    }
    if (c.Wanted(sel.bFota)) {
        Enter(c, "fota");
        DEBUG_TRACE_Off("[Step Ch:%d] Download FOTA  \n", nCh);
        c.Step(FLASH_REGION_Fota(c.pParam));
    }

    ENGINE_CloseImage(nCh);
    OpenIf(c, IMAGE_EBOOT);
    if (c.Wanted(sel.bAppsbl)) {
        Enter(c, "appsbl");
        DEBUG_TRACE_Off("[Step Ch:%d] Download AppSBL  \n", nCh);
        c.Step(FLASH_REGION_Appsbl(c.pParam));
    }

    ENGINE_CloseImage(nCh);
    OpenIf(c, IMAGE_PDA);
    if (c.Wanted(sel.bPda)) {
        Enter(c, "pda");
        DEBUG_TRACE_Off("[Step Ch:%d] Download PDA \n", nCh);
        // The announcement's answer does not decide anything: the PDA goes on either way.
        if (MODEL_AnnouncesCsc(core.m_nModel) && core.m_dwCscSize != 0) FLASH_DOWNLOADER_WriteCscSize(c.pParam);
        c.Step(FLASH_REGION_Pda(c.pParam));
    }
    ENGINE_CloseImage(nCh);

    if (core.m_bCscImage && c.Run()) {
        OpenIf(c, IMAGE_CSC);
        if (c.Wanted(sel.bCsc)) {
            Enter(c, "carrier");
            CscStep(c);
        }
        ENGINE_CloseImage(nCh);
    }

    if (core.m_bHiddenImage && c.Run()) {
        OpenIf(c, IMAGE_HIDDEN);
        if (c.Wanted(MODEL_TICKS_HiddenTicked(core))) {
            Enter(c, "hidden");
            DEBUG_TRACE_Off("[Step Ch:%d] Download Hidden  \n", nCh);
            c.Step(FLASH_REGION_Hidden(c.pParam));
        }
        ENGINE_CloseImage(nCh);
    }
}

void RebootWait(CVarnDLCore& core, int nCh)
{
    const uint32_t dwWait = FLASH_CYCLE_RebootWaitMs(core);
    IClock& clock = CLOCK_Get();
    const uint32_t dwStart = clock.GetTickCount();
    // Minutes of an unchanging bar look like a hang: the bar counts the wait down.
    if (dwWait != 0) core.m_ctrlProgress[nCh].ShowWait(core.m_csDisplay, dwStart, dwWait);
    while (!core.m_bQuit) {
        const uint32_t dwDone = clock.GetTickCount() - dwStart;
        if (dwDone >= dwWait) break;
        const uint32_t dwLeft = dwWait - dwDone;
        clock.Sleep(dwLeft < REBOOT_WAIT_SLICE_MS ? dwLeft : REBOOT_WAIT_SLICE_MS);
    }
}

// true when the phone passed.
bool Finish(CYCLE& c)
{
    CVarnDLCore& core = c.core;
    const int nCh = c.nCh;
    ENGINE_CloseImage(nCh);
    if (c.bFail || !c.Run() || c.OutOfStep() || !ImagesUnchanged(c)) {
        EndWithoutPass(c);
        return false;
    }
    Enter(c, "lock");
    DEBUG_TRACE_Off("[Step Ch:%d] Lock  \n", nCh);
    const int nLocked = FLASH_DOWNLOADER_Lock(c.pParam);
    // The phone is rebooting now: the wait for it is no stall.
    core.m_aChannel[nCh].m_bStallWatch = 0;
    if (!nLocked) {
        // An unlocked phone has not been released to reboot: never report it as passed.
        FLASH_REGION_ReportFailure(c.pParam, " FLASH LOCK Fail !!!");
        if (OUTCOME_Get(core, nCh).eKind == OUTCOME_FAILED)
            LOG(c.pParam, "[Channel %d]  FLASH LOCK Fail !!! Phone not released\r\n", nCh);
        EndWithoutPass(c);
        return false;
    }
    // The delay flag goes up first, so that the console never takes the channel for a finished
    // one it may join while the phone is still rebooting.
    core.m_aChannel[nCh].m_bRebootWait = 1;
    core.m_aChannel[nCh].m_bDownloadDone = 1;
    Enter(c, "reboot wait");
    STATION_NotifyChange();
    RebootWait(core, nCh);
    core.m_aChannel[nCh].m_bRebootWait = 0;
    core.m_aChannel[nCh].g_dwEndTick = CLOCK_Get().GetTickCount();
    core.m_ctrlProgress[nCh].ShowStatus(nCh, core.m_csDisplay, nullptr, Pass, 100,
                                        core.m_aChannel[nCh].g_dwEndTick - core.m_aChannel[nCh].g_dwStartTick);
    OUTCOME_End(core, nCh, OUTCOME_PASSED, core.m_ctrlProgress[nCh].GetState().strText);
    core.m_aChannel[nCh].m_bDownloadDone = 1;
    core.m_aChannel[nCh].m_bCycleEnd = 1;
    return true;
}

}  // namespace

uint32_t FLASH_CYCLE_RebootWaitMs(const CVarnDLCore& core)
{
    if (core.m_nRebootWaitSec >= 0) return static_cast<uint32_t>(core.m_nRebootWaitSec) * 1000u;
    return MODEL_RebootWaitMs(core.m_nModel);
}

int FLASH_CYCLE_Run(ChannelThreadParam* pParam)
{
    CVarnDLCore& core = *pParam->pDlg;
    const int nCh = pParam->nCh;
    OUTCOME_Begin(core, nCh);

    DEBUG_TRACE_Off("[Thread%d] Enter TextProgress\n", nCh);
    core.m_ctrlProgress[nCh].ShowText(core.m_csDisplay, "Download Start !!!", 0);
    DEBUG_TRACE_Off("[Thread%d] Leave TextProgress\n", nCh);

    std::unique_ptr<CBufObj> pBuf(new (std::nothrow) CBufObj());
    if (!pBuf || !pBuf->IsValid()) {
        FLASH_REGION_ReportFailure(pParam, " Transfer Buffers Failed!");
        LOG(pParam, "[Channel %d]  No memory for the transfer buffers\r\n", nCh);
        core.View().OnPortText(nCh, "NONE");
        if (OUTCOME_Get(core, nCh).eKind == OUTCOME_FAILED)
            STATION_AskStop(core, STOP_REASON{STOP_CHANNEL_FAILED, nCh});
        core.m_bStopAll = 1;
        core.m_aChannel[nCh].m_bThreadStart = 0;
        STATION_NotifyChange();
        return 0;
    }
    pParam->pnBufObj = pBuf.get();
    core.m_aChannel[nCh].g_dwStartTick = CLOCK_Get().GetTickCount();
    core.m_aChannel[nCh].m_bThreadStart = 1;
    core.m_aChannel[nCh].m_bOlderVersion = 0;
    core.m_aChannel[nCh].m_bMcci = 0;
    core.m_aChannel[nCh].m_bStallWatch = 0;
    core.m_aChannel[nCh].m_nLeftErased = -1;

    static const DOWNLOAD_PLAN s_EmptyPlan{};
    CYCLE c{pParam, core, nCh, pParam->pPlan ? pParam->pPlan : ENGINE_GetDownloadPlan()};
    if (!c.pPlan) c.pPlan = std::shared_ptr<const DOWNLOAD_PLAN>(&s_EmptyPlan, [](const DOWNLOAD_PLAN*) {});

    DEBUG_TRACE_Off("[Step Ch:%d] Unlock  \n", nCh);
    Enter(c, "open");
    if (!SERIAL_DEVICE_Open(nCh)) {
        char szText[STATUS_TEXT_MAX + 1];
        std::snprintf(szText, sizeof(szText), " Open(COM%u) port Failed!", core.m_aChannel[nCh].m_nRunPort.load());
        FLASH_REGION_ReportFailure(pParam, szText);
        const std::string strWhy = SERIAL_DEVICE_LastOpenError(nCh);
        if (!strWhy.empty()) LOG(pParam, "[Channel %d]  %s\r\n", nCh, strWhy.c_str());
        c.bFail = true;
    } else {
        FLASH_DOWNLOADER_BeginSession(pParam);
        // Watched from the opening on: a phone that never answers its unlock is a stall too.
        core.m_aChannel[nCh].m_dwAnswerTick = CLOCK_Get().GetTickCount();
        core.m_aChannel[nCh].m_dwResends = 0;
        core.m_aChannel[nCh].m_bStallWatch = 1;
    }
    if (!c.bFail && c.Run()) {
        Enter(c, "unlock");
        DEBUG_TRACE_Off("[Step Ch:%d] TRY: FLASH_DOWNLOADER_Open  \n", nCh);
        if (FLASH_DOWNLOADER_Unlock(pParam)) {
            DEBUG_TRACE_Off("[Step Ch:%d] SUCCESS: FLASH_DOWNLOADER_Open  \n", nCh);
        } else {
            DEBUG_TRACE_Off("[Step Ch:%d] FAIL: FLASH_DOWNLOADER_Open  \n", nCh);
            FLASH_REGION_ReportFailure(pParam, " FLASH UNLOCK Fail !!!");
            if (OUTCOME_Get(core, nCh).eKind == OUTCOME_FAILED)
                LOG(pParam, "[Channel %d]  FLASH UNLOCK Fail !!!\r\n", nCh);
            c.bFail = true;
        }
    }
    if (!c.bFail && c.Run()) {
        Enter(c, "partition");
        DEBUG_TRACE_Off("[Step Ch:%d] SendPartition Info  \n", nCh);
        c.Step(FLASH_PARTITION_Check(pParam));
    }

    if (c.bFail) {
        // Failing before any region is written stops the whole station; a channel that was
        // itself stopped only ends.
        EndWithoutPass(c);
        pParam->pnBufObj = nullptr;
        pBuf.reset();
        if (OUTCOME_Get(core, nCh).eKind != OUTCOME_STOPPED) {
            STATION_AskStop(core, STOP_REASON{STOP_CHANNEL_FAILED, nCh});
            core.m_bStopAll = 1;
        }
        core.m_aChannel[nCh].m_bThreadStart = 0;
        STATION_NotifyChange();
        return 0;
    }

    RegionPhase(c);
    const bool bPassed = Finish(c);

    DEBUG_TRACE_Off("[Step Ch:%d] delete pnBufObj \n", nCh);
    pParam->pnBufObj = nullptr;
    pBuf.reset();
    DEBUG_TRACE_Off("[Step Ch:%d] Thread Start Flag Clear \n", nCh);
    core.m_aChannel[nCh].m_bThreadStart = 0;
    STATION_NotifyChange();
    return bPassed ? 1 : 0;
}
