// Start and the watch of its run, written once for the dialog and the headless station: a worker
// per ready channel, the engine prepared once, the channels watched, finished workers joined, and
// every worker stopped when one of them raises stop-all (a worker whose phone's EFS2 is parked
// in the PDA area, or whose staged region is erased and not yet programmed, only once the data
// are back in place). The watch is a step that never waits: the window runs it from its event
// loop, the headless station in a loop that sleeps until a worker reports a change.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>

#include "engine/change_notice.h"
#include "records/result_record.h"
#include "station/channel_context.h"
#include "station/outcome.h"

class CVarnDLCore;

// The workers of the station; lives as long as the station.
struct STATION_THREADS {
    std::thread m_hThread[MAX_CHANNEL];
    ChannelThreadParam m_aParam[MAX_CHANNEL];
    std::atomic<uint32_t> m_bEnded[MAX_CHANNEL] = {};  // the worker routine has returned
    // Workers started per channel: tells a wait that a nested Start replaced its worker.
    uint32_t m_dwStarted[MAX_CHANNEL] = {};
    // m_dwStarted when the channel's phone arrived: a worker started since then was this phone's.
    uint32_t m_dwStartedAtArrival[MAX_CHANNEL] = {};
    // The channel's latest run: its port and start set when the worker starts, the outcome
    // once m_bEnded is up. The result record of that run is queued as the worker ends.
    CHANNEL_END m_aEnd[MAX_CHANNEL];
    std::shared_ptr<RESULT_START> m_apRecord[MAX_CHANNEL];  // null: no records are kept
};

struct STATION_LOOP_OPTIONS {
    // Called once per pass of every wait (the dialog, whose run is stepped from its event loop,
    // dispatches its pending events here while Cancel waits for the workers).
    std::function<void()> fnProcessEvents;
    // Longest pause between two scans when nothing is reported.
    uint32_t dwPollMs = 5;
    // The dialog keeps watching a failed channel until its phone is pulled; the headless
    // station has nobody to pull it and ends once every started worker has ended or passed.
    bool bEndWhenWorkersEnd = false;
    // A channel whose phone has acknowledged no request for this long (station clock), counted
    // from its port's opening to its lock, is stopped and fails as stalled. 0: no bound, as the
    // dialog has it, where an operator watches the bars; the headless station has nobody.
    uint32_t dwStallTimeoutMs = 0;
    // Real time in milliseconds (steady clock when empty): tells the stall watch when the
    // station itself was away (stopped, held by a debugger) between two of its passes.
    std::function<uint64_t()> fnWallMs;
    // Longest real time a stop waits for a parked phone to take its EFS2 back before the channel
    // is given up; 0 waits while the phone stays attached (in the dialog an operator watches the
    // bar and can press Cancel, which has its own bound).
    uint32_t dwParkedBoundMs = 0;
};

enum StationRunResult : int {
    STATION_RUN_GOING = 0,
    STATION_RUN_FINISHED = 1,
    STATION_RUN_STOPPED = 2,
};

// One run as the station watches it. A Start pressed while it goes adds its channels to it: there
// is never more than one run, and nothing waits inside another wait.
struct STATION_RUN {
    bool bGoing = false;
    bool bStopped = false;  // a stop-all ended channels of this run
    // The port each channel had when it was taken into the run (0: not watched).
    uint32_t adwStartPort[MAX_CHANNEL] = {};
    // A parked channel whose stop waits for its data to be back in place, and until when
    // (none: while its phone stays attached).
    bool abDeferred[MAX_CHANNEL] = {};
    std::optional<std::chrono::steady_clock::time_point> aDeadline[MAX_CHANNEL];
};

// Start, without waiting: resets the serial layer for the channels without a running worker,
// starts a worker on every ready channel (preparing the engine from the current boxes before the
// first) and takes them into the run, a new one when none is going. While a stop-all is under
// way nothing new is started: the stop ends the run.
void STATION_StartRun(CVarnDLCore& core, STATION_THREADS& threads, STATION_RUN& run);
// One pass of the watch, which never waits for a worker: joins the workers that have ended,
// stops every worker when stop-all is raised (a parked one once its data are back in place) and
// ends the run when every channel it watches has finished or lost its phone. STATION_RUN_GOING
// while the run goes on, then how it ended.
int STATION_RunStep(CVarnDLCore& core, STATION_THREADS& threads, STATION_RUN& run,
                    const STATION_LOOP_OPTIONS& options);

// StartRun, then the watch until the run ends: a pass whenever a worker reports a change, at
// least every dwPollMs, each followed by the caller's events.
int STATION_Start(CVarnDLCore& core, STATION_THREADS& threads, const STATION_LOOP_OPTIONS& options);
// The same without resetting the serial layer first.
int STATION_StartChannels(CVarnDLCore& core, STATION_THREADS& threads,
                          const STATION_LOOP_OPTIONS& options);
// Waits for every worker, also those in their reboot wait, and joins them.
void STATION_JoinAll(CVarnDLCore& core, STATION_THREADS& threads, const STATION_LOOP_OPTIONS& options);
// Longest real time Cancel waits for a parked phone's data to be back in place before stopping it.
constexpr uint32_t STATION_EFS_RESTORE_BOUND_MS = 30000;

// Stops every parked channel without waiting any longer for its data to be back in place: each
// such worker sends the EFS write-back, or the erased region's programming, once more without
// waiting for the answer, and logs where the phone's data may be held. true when a channel was
// given up.
bool STATION_GiveUpParked(CVarnDLCore& core, const STATION_THREADS& threads);

// Cancel: asks the stop (with its cause, when a channel is still downloading), raises stop-all
// and quit, stops the unfinished workers and joins what ends within
// dwBoundMs of real time; true when every worker was joined. Workers left over are detached,
// for the program is about to end. A parked worker (EFS2 in the PDA area, a staged region
// erased) is first given up to dwEfsBoundMs to have the data back in place.
bool STATION_Cancel(CVarnDLCore& core, STATION_THREADS& threads, const STATION_LOOP_OPTIONS& options,
                    uint32_t dwBoundMs, uint32_t dwEfsBoundMs = STATION_EFS_RESTORE_BOUND_MS,
                    STOP_REASON reason = STOP_REASON{STOP_OPERATOR, 0});
