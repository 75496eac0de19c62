// One channel's state as its worker and the console share it: the flags each side raises and
// polls, how its latest run ended, and the cycle's own per-channel values. The station keeps
// eight of them; the floors below the engine are handed their channel's one, never the station.
#pragma once

#include <atomic>
#include <cstdint>

#include "station/channel_context.h"
#include "station/outcome.h"

// States of m_dwParked: moments when a stop would leave the phone worse off than going on a
// little. During a re-partition the phone's EFS2 may exist only as the copy parked in its PDA
// area; during a staged region's erase and programming the region's data exist only in the
// phone's memory, and its flash range may be erased. A channel in either state is not stopped
// until the data are back in place.
constexpr uint32_t PARKED_NONE = 0;
constexpr uint32_t PARKED_EFS = 1;          // the phone erase is out; the write-back is not answered
constexpr uint32_t PARKED_EFS_STOP = 2;     // so, and the console waits to stop the channel
constexpr uint32_t PARKED_ERASED = 3;       // a staged region's erase is out; its programming is not done
constexpr uint32_t PARKED_ERASED_STOP = 4;  // so, and the console waits to stop the channel

// The console asked to stop a channel in a parked state; the worker stops once it is left.
inline bool PARKED_StopDeferred(uint32_t dwParked)
{
    return dwParked == PARKED_EFS_STOP || dwParked == PARKED_ERASED_STOP;
}

// Each field has one writer at a time and the other side polls it.
struct CHANNEL_STATE {
    std::atomic<uint32_t> m_nComPort{0};
    std::atomic<uint32_t> m_bThreadStart{0};
    std::atomic<uint32_t> m_bRun{0};
    std::atomic<uint32_t> m_bDownloadDone{0};
    std::atomic<uint32_t> m_bCycleEnd{0};
    std::atomic<uint32_t> m_bRebootWait{0};
    std::atomic<uint32_t> m_bMcci{0};
    std::atomic<uint32_t> m_bOlderVersion{0};
    // PARKED_* above. The worker raises it to PARKED_EFS or PARKED_ERASED and lowers it; the
    // console only turns those into their _STOP state, so that the worker ends right after the
    // data are back in place.
    std::atomic<uint32_t> m_dwParked{PARKED_NONE};

    // The stall watch of a bounded run (STATION_LOOP_OPTIONS::dwStallTimeoutMs): from the port's
    // opening to the acknowledged lock the worker keeps m_bStallWatch up and notes the tick of
    // every acknowledged request and the resends since; the console stops a channel that has
    // gone too long without one, raising m_bStalled, and the worker then reports why it failed.
    std::atomic<uint32_t> m_bStallWatch{0};
    std::atomic<uint32_t> m_dwAnswerTick{0};
    std::atomic<uint32_t> m_dwResends{0};
    std::atomic<uint32_t> m_bStalled{0};
    // The phone's replies were found out of step with the requests while a refusal was among
    // them: some request was taken as answered that the phone refused. Set by the protocol, read
    // by the cycle, which never passes such a channel.
    std::atomic<uint32_t> m_bOutOfStep{0};
    // The staged region (RegionIndex) a stopped cycle left erased because its programming did
    // not come through; -1 none. The bar's last word, for such a phone will not start.
    std::atomic<int32_t> m_nLeftErased{-1};
    // The port number the channel's latest run started on: the console may clear m_nComPort
    // (the phone pulled, another plugged in) while the worker still reports on that run.
    std::atomic<uint32_t> m_nRunPort{0};

    // How the latest run ended; read and written under the station's m_csOutcome only.
    CHANNEL_OUTCOME m_Outcome;

    // The cycle's own, written by the worker only: the region being sent, the run's first and
    // last tick, and whether its partition table changed (read by the console after the end).
    const REGION_INFO* g_pRegion = nullptr;
    uint32_t g_dwStartTick = 0;
    uint32_t g_dwEndTick = 0;
    std::atomic<uint32_t> g_bPartitionChanged{0};
};

// No worker runs on the channel, nor waits for its phone's reboot.
inline bool CHANNEL_Idle(const CHANNEL_STATE& state)
{
    return !state.m_bThreadStart.load() && !state.m_bRebootWait.load();
}
