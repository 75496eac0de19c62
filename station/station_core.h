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
#include "station/channel_sink.h"
#include "station/channel_state.h"
#include "station/image_selection.h"
#include "station/model_ticks.h"
#include "station/outcome.h"
#include "station/station_view.h"
#include "station/status.h"

class CVarnDLCore : public CImageSelection {
public:
    CVarnDLCore();
    CVarnDLCore(const CVarnDLCore&) = delete;
    CVarnDLCore& operator=(const CVarnDLCore&) = delete;

    void SetView(IStationView* pView) { m_pView = pView ? pView : &m_NullView; }
    IStationView& View() const { return *m_pView; }

    // The eight channels' shared state (station/channel_state.h).
    CHANNEL_STATE m_aChannel[MAX_CHANNEL];
    std::atomic<uint32_t> m_bStopAll{0};

    // Guards each channel's m_Outcome, and the stop asked of the station (station/outcome.h).
    mutable std::mutex m_csOutcome;
    STOP_REASON m_StopReason;

    // Serialises every bar update and every log line of all threads. Its holder never waits
    // for another thread.
    std::mutex m_csDisplay;
    // The eight bars (control 1011 + channel) and the last log line.
    CTextProgressState m_ctrlProgress[MAX_CHANNEL];
    std::string m_strLog;

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

    // What the floors below the engine are handed of the station (station/channel_sink.h).
    CChannelSink m_Sink{this};

private:
    CNullStationView m_NullView;
    IStationView* m_pView;
};

// Hands a worker's start record the station and its channel's part of it.
void STATION_BindParam(ChannelThreadParam& param, CVarnDLCore& core, int nCh);
