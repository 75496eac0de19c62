// The station's long-lived state without any widget: the eight channels' flags, the region
// table, the image selection and the display lock. The dialog owns one and drives it; the
// headless station and the tests drive the same object.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "station/channel_context.h"
#include "station/model_ticks.h"
#include "station/outcome.h"
#include "station/station_view.h"
#include "station/status.h"

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

class CVarnDLCore {
public:
    CVarnDLCore();
    CVarnDLCore(const CVarnDLCore&) = delete;
    CVarnDLCore& operator=(const CVarnDLCore&) = delete;

    void SetView(IStationView* pView) { m_pView = pView ? pView : &m_NullView; }
    IStationView& View() const { return *m_pView; }

    // Per-channel fields; each has one writer at a time and the other side polls it.
    std::atomic<uint32_t> m_nComPort[MAX_CHANNEL];
    std::atomic<uint32_t> m_bThreadStart[MAX_CHANNEL];
    std::atomic<uint32_t> m_bRun[MAX_CHANNEL];
    std::atomic<uint32_t> m_bDownloadDone[MAX_CHANNEL];
    std::atomic<uint32_t> m_bCycleEnd[MAX_CHANNEL];
    std::atomic<uint32_t> m_bRebootWait[MAX_CHANNEL];
    std::atomic<uint32_t> m_bMcci[MAX_CHANNEL];
    std::atomic<uint32_t> m_bOlderVersion[MAX_CHANNEL];
    std::atomic<uint32_t> m_bStopAll;
    // PARKED_* above. The worker raises it to PARKED_EFS or PARKED_ERASED and lowers it; the
    // console only turns those into their _STOP state, so that the worker ends right after the
    // data are back in place.
    std::atomic<uint32_t> m_dwParked[MAX_CHANNEL];

    // The stall watch of a bounded run (STATION_LOOP_OPTIONS::dwStallTimeoutMs): from the port's
    // opening to the acknowledged lock the worker keeps m_bStallWatch up and notes the tick of
    // every acknowledged request and the resends since; the console stops a channel that has
    // gone too long without one, raising m_bStalled, and the worker then reports why it failed.
    std::atomic<uint32_t> m_bStallWatch[MAX_CHANNEL];
    std::atomic<uint32_t> m_dwAnswerTick[MAX_CHANNEL];
    std::atomic<uint32_t> m_dwResends[MAX_CHANNEL];
    std::atomic<uint32_t> m_bStalled[MAX_CHANNEL];
    // The phone's replies were found out of step with the requests while a refusal was among
    // them: some request was taken as answered that the phone refused. Set by the protocol, read
    // by the cycle, which never passes such a channel.
    std::atomic<uint32_t> m_bOutOfStep[MAX_CHANNEL];
    // The staged region (RegionIndex) a stopped cycle left erased because its programming did
    // not come through; -1 none. The bar's last word, for such a phone will not start.
    std::atomic<int32_t> m_nLeftErased[MAX_CHANNEL];
    // The port number the channel's latest run started on: the console may clear m_nComPort
    // (the phone pulled, another plugged in) while the worker still reports on that run.
    std::atomic<uint32_t> m_nRunPort[MAX_CHANNEL];

    // How each channel's latest run ended, and the stop asked of the station (station/outcome.h).
    mutable std::mutex m_csOutcome;
    CHANNEL_OUTCOME m_aOutcome[MAX_CHANNEL];
    STOP_REASON m_StopReason;

    // Serialises every bar update and every log line of all threads. Its holder never waits
    // for another thread.
    std::mutex m_csDisplay;
    // The eight bars (control 1011 + channel) and the last log line.
    CTextProgressState m_ctrlProgress[MAX_CHANNEL];
    std::string m_strLog;

    // Image selection: written by image selection and Start, read-only while workers run.
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

    // Saved selections per model and the "Download Mode" boxes as they stand. Workers change
    // them only after a partition change, so both sides take m_csTicks; a change bumps
    // m_dwTicksVersion so that the dialog knows to refresh its boxes and path fields.
    std::mutex m_csTicks;
    MODEL_TICKS m_aModelTicks[MODEL_COUNT];
    DOWNLOAD_TICKS m_CurrentTicks;
    std::atomic<uint32_t> m_dwTicksVersion{0};

    // Station-wide quit (Cancel, or the headless station interrupted): the only thing that
    // shortens a reboot wait, which the run flag does not.
    std::atomic<uint32_t> m_bQuit{0};
    // Seconds of the wait after a passed download; negative: the model's own wait.
    int m_nRebootWaitSec = -1;

private:
    CNullStationView m_NullView;
    IStationView* m_pView;
};
