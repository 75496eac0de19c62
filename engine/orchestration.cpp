#include "engine/orchestration.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>

#include "engine/change_notice.h"
#include "engine/cycle.h"
#include "engine/download_plan.h"
#include "engine/region_procedures.h"
#include "link/port_table.h"
#include "link/serial_device.h"
#include "protocol/frame.h"
#include "station/clock.h"
#include "station/log.h"
#include "station/model_ticks.h"
#include "station/station_core.h"

namespace {

void ProcessEvents(const STATION_LOOP_OPTIONS& options)
{
    if (options.fnProcessEvents) options.fnProcessEvents();
}

// The last pass of the stall watch, in real time and in station time.
struct STALL_PASS {
    bool bSeen = false;
    uint64_t qwWallMs = 0;
    uint32_t dwTick = 0;
};
std::mutex g_csStallPass;
STALL_PASS g_StallPass;

uint64_t WallMs(const STATION_LOOP_OPTIONS& options)
{
    if (options.fnWallMs) return options.fnWallMs();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Time the station was not there to watch is not the phones' silence: when a pass of the watch
// comes much later than passes do (the process was stopped, a debugger held it), the time since
// the last pass is given back to every watched channel.
void ForgiveAbsence(CVarnDLCore& core, const STATION_LOOP_OPTIONS& options)
{
    const uint64_t qwWall = WallMs(options);
    const uint32_t dwTick = CLOCK_Get().GetTickCount();
    const uint32_t dwLateMs = std::min<uint32_t>(1000, std::max<uint32_t>(100, options.dwStallTimeoutMs / 2));
    std::lock_guard<std::mutex> lock(g_csStallPass);
    if (g_StallPass.bSeen && qwWall - g_StallPass.qwWallMs > dwLateMs) {
        const uint32_t dwAway = dwTick - g_StallPass.dwTick;
        for (int i = 0; i < MAX_CHANNEL; ++i) {
            uint32_t dwAnswer = core.m_aChannel[i].m_dwAnswerTick.load();
            // An answer noted while the watch was away counts from now; a worker that notes
            // one while this runs keeps its own tick.
            const uint32_t dwForgiven = dwTick - dwAnswer <= dwAway ? dwTick : dwAnswer + dwAway;
            core.m_aChannel[i].m_dwAnswerTick.compare_exchange_strong(dwAnswer, dwForgiven);
        }
    }
    g_StallPass = STALL_PASS{true, qwWall, dwTick};
}

// Stops every watched channel whose phone has been silent, or has answered nothing that counts,
// for the stall time: its waits and resends end with the run flag, as at any stop. Bytes the
// phone sent that wait unread on the port are no silence: the worker has yet to read them.
void StopStalled(CVarnDLCore& core, const STATION_LOOP_OPTIONS& options)
{
    if (options.dwStallTimeoutMs == 0) return;
    ForgiveAbsence(core, options);
    const uint32_t dwNow = CLOCK_Get().GetTickCount();
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        if (!core.m_aChannel[i].m_bStallWatch || !core.m_aChannel[i].m_bRun) continue;
        if (dwNow - core.m_aChannel[i].m_dwAnswerTick < options.dwStallTimeoutMs) continue;
        if (SERIAL_DEVICE_Waiting(i) != 0) continue;
        core.m_aChannel[i].m_bStalled = 1;
        core.m_aChannel[i].m_bRun = 0;
        STATION_NotifyChange();
    }
}

// One pass of any wait of the orchestration: the caller's events, then the stall watch.
void OnePass(CVarnDLCore& core, const STATION_LOOP_OPTIONS& options)
{
    ProcessEvents(options);
    StopStalled(core, options);
}

bool Busy(const STATION_THREADS& threads, int i)
{
    return threads.m_hThread[i].joinable() && !threads.m_bEnded[i];
}

// Joins without ever blocking the caller's events: wait a little, process events, repeat.
// Those events may hold a Cancel, which joins or lets go of the worker itself, or a Start, which
// may put a new worker on the channel once the old one has ended; either way the handle is no
// longer this wait's to join. False when a new worker now owns the channel.
bool Join(STATION_THREADS& threads, int i, const STATION_LOOP_OPTIONS& options)
{
    const uint32_t dwStarted = threads.m_dwStarted[i];
    for (;;) {
        const uint64_t qwSeen = STATION_ChangeCount();
        if (threads.m_dwStarted[i] != dwStarted) return false;
        if (!threads.m_hThread[i].joinable()) return true;
        if (threads.m_bEnded[i]) break;
        ProcessEvents(options);
        STATION_WaitForChange(qwSeen, options.dwPollMs);
    }
    threads.m_hThread[i].join();
    return true;
}

// The channel's phone has data only where a stop would lose them (its EFS2 parked in the PDA
// area, a staged region erased and not yet programmed), and nobody has stopped the channel yet.
// A phone pulled mid-cycle is not waited for: its worker cannot restore anything any more.
bool Parked(const CVarnDLCore& core, const STATION_THREADS& threads, int i)
{
    return core.m_aChannel[i].m_dwParked != PARKED_NONE && core.m_aChannel[i].m_bRun && Busy(threads, i) &&
           !(core.m_aChannel[i].m_bCycleEnd && !core.m_aChannel[i].m_bDownloadDone);
}

// Asks a parked channel to stop once its data are back in place instead of now; false when the
// channel is not parked and can be stopped at once.
bool DeferStop(CVarnDLCore& core, const STATION_THREADS& threads, int i)
{
    if (!Parked(core, threads, i)) return false;
    for (;;) {
        uint32_t dwState = core.m_aChannel[i].m_dwParked.load();
        if (dwState == PARKED_NONE) return false;  // the worker has just left it: stop at once
        if (PARKED_StopDeferred(dwState)) return true;  // already deferred by an outer wait or a Cancel
        if (!core.m_aChannel[i].m_dwParked.compare_exchange_strong(dwState, dwState + 1)) continue;
        WriteLog(&core, i, core.m_csDisplay,
                 dwState == PARKED_EFS
                     ? "[Channel %d]  Stop deferred: restoring EFS data first\r\n"
                     : "[Channel %d]  Stop deferred: programming the erased region from the phone's memory first\r\n",
                 i);
        return true;
    }
}

using DEADLINE = std::optional<std::chrono::steady_clock::time_point>;

DEADLINE After(uint32_t dwMs)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMs);
}

// When a stop that waits for parked phones gives up on them; none: it waits while they stay.
DEADLINE ParkedDeadline(const STATION_LOOP_OPTIONS& options)
{
    return options.dwParkedBoundMs != 0 ? After(options.dwParkedBoundMs) : DEADLINE();
}

// Waits, processing events, while the channel stays parked: a silent phone is waited for until
// it is pulled, somebody gives up on it, or the deadline (when there is one) has passed; then
// the channel is stopped, and its worker sends the write-back once more without waiting.
void WaitWhileParked(CVarnDLCore& core, STATION_THREADS& threads, int i,
                     const STATION_LOOP_OPTIONS& options, const DEADLINE& deadline)
{
    for (;;) {
        const uint64_t qwSeen = STATION_ChangeCount();
        if (!Parked(core, threads, i)) return;
        if (deadline && std::chrono::steady_clock::now() >= *deadline) break;
        OnePass(core, options);
        STATION_WaitForChange(qwSeen, options.dwPollMs);
    }
    core.m_aChannel[i].m_bRun = 0;
    STATION_NotifyChange();
}

// A worker that has ended is joined; one still running is left to a later pass.
bool TryJoin(STATION_THREADS& threads, int i)
{
    if (!threads.m_hThread[i].joinable()) return true;
    if (!threads.m_bEnded[i]) return false;
    threads.m_hThread[i].join();
    return true;
}

// Stops a channel of the run and joins its worker once it has ended. With bDefer a parked
// channel is stopped only once its data are back in place, or its deadline has passed. true
// once the worker is joined.
bool StopStep(CVarnDLCore& core, STATION_THREADS& threads, STATION_RUN& run, int i,
              const STATION_LOOP_OPTIONS& options, bool bDefer)
{
    if (bDefer && (run.abDeferred[i] || DeferStop(core, threads, i))) {
        if (!run.abDeferred[i]) {
            run.abDeferred[i] = true;
            run.aDeadline[i] = ParkedDeadline(options);
        }
        const bool bLate = run.aDeadline[i] && std::chrono::steady_clock::now() >= *run.aDeadline[i];
        if (Parked(core, threads, i) && !bLate) return false;
    }
    run.abDeferred[i] = false;
    run.aDeadline[i].reset();
    if (core.m_aChannel[i].m_bRun) {
        DEBUG_TRACE_Off("[DLG] 1 Thread End ch %d \n", i);
        core.m_aChannel[i].m_bRun = 0;
    }
    if (!TryJoin(threads, i)) return false;
    DEBUG_TRACE_Off("[DLG] 2 Thread End ch %d \n", i);
    return true;
}

// The channel's run has ended (on its worker's thread): its record from its outcome, and the
// view is told.
void EndChannel(CVarnDLCore& core, STATION_THREADS& threads, int i)
{
    CHANNEL_END& end = threads.m_aEnd[i];
    end.outcome = OUTCOME_Get(core, i);
    end.dwElapsedMs = CLOCK_Get().GetTickCount() - end.dwStartTick;
    end.qwBytesSent = SERIAL_DEVICE_BytesSent(i);
    RESULT_RECORD_ChannelEnded(threads.m_apRecord[i], i, end);
    threads.m_apRecord[i].reset();
    core.View().OnChannelEnded(i);
}

// A worker that cannot be had (no address space left for its stack, too many threads) fails
// its channel the way missing transfer buffers do, instead of ending the program.
void FailStart(CVarnDLCore& core, STATION_THREADS& threads, int i, const std::system_error& error)
{
    OUTCOME_Begin(core, i);
    FLASH_REGION_ReportFailure(&threads.m_aParam[i], " Start Thread Failed!");
    WriteLog(&core, i, core.m_csDisplay,
             "[Channel %d]  Cannot start the channel's worker: %s\r\n", i,
             error.code().message().c_str());
    EndChannel(core, threads, i);
    threads.m_bEnded[i] = 1;
    core.m_aChannel[i].m_bRun = 0;
    core.View().OnPortText(i, "NONE");
    core.m_aChannel[i].m_bThreadStart = 0;
    STATION_AskStop(core, STOP_REASON{STOP_CHANNEL_FAILED, i});
    core.m_bStopAll = 1;
    STATION_NotifyChange();
}

void StartWorker(CVarnDLCore& core, STATION_THREADS& threads, int i,
                 const std::shared_ptr<RESULT_START>& pRecord)
{
    // A worker of an earlier run that has ended by itself is still to be joined.
    if (threads.m_hThread[i].joinable()) threads.m_hThread[i].join();
    ChannelThreadParam& param = threads.m_aParam[i];
    STATION_BindParam(param, core, i);
    param.pnBufObj = nullptr;
    // The plan of this Start, even when a nested one swaps in another before the worker runs.
    param.pPlan = ENGINE_GetDownloadPlan();
    CHANNEL_END& end = threads.m_aEnd[i];
    end = CHANNEL_END{};
    end.nPort = core.m_aChannel[i].m_nComPort;
    core.m_aChannel[i].m_nRunPort = end.nPort;
    end.strDevNode = PORT_TABLE_DevNode(end.nPort);
    if (pRecord) end.identity = RESULT_RECORD_Identify(end.strDevNode);
    end.dwStartTick = CLOCK_Get().GetTickCount();
    threads.m_apRecord[i] = pRecord;
    SERIAL_DEVICE_ResetBytesSent(i);
    core.m_aChannel[i].m_bRun = 1;
    core.m_aChannel[i].m_bStalled = 0;
    core.m_aChannel[i].m_bDownloadDone = 0;
    // Busy from this moment, not only once the worker has its buffers: a nested Start in
    // between must neither start the channel again nor reset its serial state.
    core.m_aChannel[i].m_bThreadStart = 1;
    threads.m_bEnded[i] = 0;
    ++threads.m_dwStarted[i];
    try {
        threads.m_hThread[i] = std::thread([&threads, &param, i] {
            FLASH_CYCLE_Run(&param);
            EndChannel(*param.pDlg, threads, i);
            threads.m_bEnded[i] = 1;
            STATION_NotifyChange();
        });
    } catch (const std::system_error& error) {
        FailStart(core, threads, i, error);
        return;
    }
    DEBUG_TRACE_Off("[DLG] CreateThread %d 0x%x\n", i, static_cast<unsigned>(i));
}

}  // namespace

namespace {

// Starts a worker on every ready channel and takes the channels into the run.
void TakeIntoRun(CVarnDLCore& core, STATION_THREADS& threads, STATION_RUN& run)
{
    // A Start while a stop-all is under way: the stop ends the run, and would stop at once what
    // is started now.
    const bool bStopping = run.bGoing && core.m_bStopAll;
    if (!run.bGoing) {
        run = STATION_RUN{};
        run.bGoing = true;
        // A new run: the watch's last pass belongs to another one, perhaps on another clock.
        std::lock_guard<std::mutex> lock(g_csStallPass);
        g_StallPass = STALL_PASS{};
    }
    bool bPrepared = false;
    std::shared_ptr<RESULT_START> pRecord;
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        // A worker just created has not yet raised its busy flag; its handle says it all.
        if (!bStopping && core.m_aChannel[i].m_nComPort != 0 && !core.m_aChannel[i].m_bRebootWait &&
            !core.m_aChannel[i].m_bThreadStart && !Busy(threads, i)) {
            if (!bPrepared) {
                const DOWNLOAD_TICKS ticks = MODEL_TICKS_Current(core);
                ENGINE_PrepareStart(core, ticks);
                // The images are hashed in the background while the first frames go out.
                pRecord = RESULT_RECORD_BeginStart(core, ENGINE_GetDownloadPlan(), ticks);
                bPrepared = true;
            }
            StartWorker(core, threads, i, pRecord);
            run.adwStartPort[i] = core.m_aChannel[i].m_nComPort;
        } else if (run.adwStartPort[i] == 0) {
            // A phone that stays plugged in after failing keeps the run going until it is pulled.
            run.adwStartPort[i] = core.m_aChannel[i].m_nComPort;
        }
    }
}

int EndRun(STATION_RUN& run, int nResult)
{
    run.bGoing = false;
    return nResult;
}

// The run watched until it ends, one pass whenever a worker reports a change. The caller's
// events come right after each pass, so that they meet a stop the pass has just asked for.
int Watch(CVarnDLCore& core, STATION_THREADS& threads, STATION_RUN& run,
          const STATION_LOOP_OPTIONS& options)
{
    for (;;) {
        const uint64_t qwSeen = STATION_ChangeCount();
        const int nResult = STATION_RunStep(core, threads, run, options);
        ProcessEvents(options);
        if (nResult != STATION_RUN_GOING) return nResult;
        STATION_WaitForChange(qwSeen, options.dwPollMs);
    }
}

}  // namespace

void STATION_StartRun(CVarnDLCore& core, STATION_THREADS& threads, STATION_RUN& run)
{
    SERIAL_DEVICE_CreateLock();
    SERIAL_DEVICE_SetStopTest(&core.m_Sink);
    SERIAL_DEVICE_Init(core.m_aChannel);
    FLASH_DOWNLOADER_Init(core.m_aChannel);
    TakeIntoRun(core, threads, run);
}

int STATION_RunStep(CVarnDLCore& core, STATION_THREADS& threads, STATION_RUN& run,
                    const STATION_LOOP_OPTIONS& options)
{
    if (!run.bGoing) return run.bStopped ? STATION_RUN_STOPPED : STATION_RUN_FINISHED;
    StopStalled(core, options);
    const bool bQuit = core.m_bQuit != 0;
    bool bStopping = false;  // a stopped worker has yet to end
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        const bool bReplaced = run.adwStartPort[i] != core.m_aChannel[i].m_nComPort && core.m_aChannel[i].m_bDownloadDone;
        if (bReplaced || core.m_bStopAll || bQuit) {
            // Cancel has already given parked channels their time.
            if (!core.m_aChannel[i].m_bRebootWait && threads.m_hThread[i].joinable() &&
                !StopStep(core, threads, run, i, options, !bQuit))
                bStopping = true;
        } else if (!core.m_aChannel[i].m_bDownloadDone && core.m_aChannel[i].m_bCycleEnd && !core.m_aChannel[i].m_bRebootWait) {
            // The phone was pulled mid-cycle: the port is closed only once no worker can be
            // using it.
            if (threads.m_hThread[i].joinable()) {
                DEBUG_TRACE_Off("[DLG] 3 Thread End ch %d \n", i);
                core.m_aChannel[i].m_bRun = 0;
                if (!TryJoin(threads, i)) continue;
                DEBUG_TRACE_Off("[DLG] 4 Thread End ch %d \n", i);
            }
            SERIAL_DEVICE_Close(i);
            core.m_aChannel[i].m_bCycleEnd = 0;
            core.m_aChannel[i].m_bThreadStart = 0;
        }
    }
    if (core.m_bStopAll) {
        if (bStopping) return STATION_RUN_GOING;
        // Every channel the stop ended has ended: the next stop has a cause of its own.
        core.m_bStopAll = 0;
        STATION_ClearStop(core);
        run.bStopped = true;
    }
    if (bQuit) return bStopping ? STATION_RUN_GOING : EndRun(run, STATION_RUN_STOPPED);

    bool bFinished = true;
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        const uint32_t dwPort = run.adwStartPort[i];
        if (dwPort == 0 || dwPort != core.m_aChannel[i].m_nComPort) continue;
        if (core.m_aChannel[i].m_bDownloadDone == 1) continue;
        if (options.bEndWhenWorkersEnd && !Busy(threads, i)) continue;
        bFinished = false;
        break;
    }
    if (bFinished) {
        bool bLeft = false;
        for (int i = 0; i < MAX_CHANNEL; ++i)
            if (threads.m_hThread[i].joinable() && !core.m_aChannel[i].m_bRebootWait &&
                !StopStep(core, threads, run, i, options, true))
                bLeft = true;
        if (bLeft) return STATION_RUN_GOING;
        // A run that a worker stopped reports so, even when nothing is left to watch.
        return EndRun(run, run.bStopped ? STATION_RUN_STOPPED : STATION_RUN_FINISHED);
    }
    return run.bStopped ? EndRun(run, STATION_RUN_STOPPED) : STATION_RUN_GOING;
}

int STATION_Start(CVarnDLCore& core, STATION_THREADS& threads, const STATION_LOOP_OPTIONS& options)
{
    STATION_RUN run;
    STATION_StartRun(core, threads, run);
    return Watch(core, threads, run, options);
}

int STATION_StartChannels(CVarnDLCore& core, STATION_THREADS& threads,
                          const STATION_LOOP_OPTIONS& options)
{
    STATION_RUN run;
    TakeIntoRun(core, threads, run);
    return Watch(core, threads, run, options);
}

void STATION_JoinAll(CVarnDLCore& /*core*/, STATION_THREADS& threads,
                     const STATION_LOOP_OPTIONS& options)
{
    for (int i = 0; i < MAX_CHANNEL; ++i) Join(threads, i, options);
}

bool STATION_GiveUpParked(CVarnDLCore& core, const STATION_THREADS& threads)
{
    bool bAny = false;
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        if (!Parked(core, threads, i)) continue;
        core.m_aChannel[i].m_bRun = 0;
        bAny = true;
    }
    if (bAny) STATION_NotifyChange();
    return bAny;
}

bool STATION_Cancel(CVarnDLCore& core, STATION_THREADS& threads, const STATION_LOOP_OPTIONS& options,
                    uint32_t dwBoundMs, uint32_t dwEfsBoundMs, STOP_REASON reason)
{
    bool bRunning = false;
    for (int i = 0; i < MAX_CHANNEL; ++i)
        if (Busy(threads, i) && !core.m_aChannel[i].m_bDownloadDone) bRunning = true;
    if (bRunning) STATION_AskStop(core, reason);
    core.m_bStopAll = 1;
    core.m_bQuit = 1;
    bool abDeferred[MAX_CHANNEL] = {};
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        if (!Busy(threads, i) || core.m_aChannel[i].m_bDownloadDone) continue;
        if (DeferStop(core, threads, i))
            abDeferred[i] = true;
        else
            core.m_aChannel[i].m_bRun = 0;
    }
    STATION_NotifyChange();
    // Parked phones get their EFS2 back first, but a silent one must not keep the program open.
    const DEADLINE efsDeadline = After(dwEfsBoundMs);
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        if (!abDeferred[i]) continue;
        WaitWhileParked(core, threads, i, options, efsDeadline);
        core.m_aChannel[i].m_bRun = 0;
    }
    STATION_NotifyChange();
    const auto deadline = *After(dwBoundMs);
    bool bAll = true;
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        if (!threads.m_hThread[i].joinable()) continue;
        for (;;) {
            const uint64_t qwSeen = STATION_ChangeCount();
            if (!threads.m_hThread[i].joinable()) break;  // joined by an event handled meanwhile
            if (threads.m_bEnded[i] || std::chrono::steady_clock::now() >= deadline) break;
            ProcessEvents(options);
            STATION_WaitForChange(qwSeen, options.dwPollMs);
        }
        if (!threads.m_hThread[i].joinable()) continue;
        if (threads.m_bEnded[i]) {
            threads.m_hThread[i].join();
        } else {
            threads.m_hThread[i].detach();
            bAll = false;
        }
    }
    return bAll;
}
