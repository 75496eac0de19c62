// A whole station against virtual phones: the core with a recording view and a virtual clock,
// one phone per channel on its own pseudo-terminal, an image set from the sim's builder, and the
// same Start orchestration that the dialog and the headless station use.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/orchestration.h"
#include "sim/flash_verify.h"
#include "sim/image_builder.h"
#include "sim/virtual_phone.h"
#include "station/clock.h"
#include "station/station_core.h"
#include "support/channel_fixture.h"

// Image sizes for quick runs: region lengths that are no whole number of chunks (the padding
// shows), a 2 MiB Hidden area, small enough for eight phones under the sanitizers.
IMAGE_SET_SIZES E2E_Sizes();
// "" when the phone's flash holds the slice called strName ("PDA", "MIBIB 1", ...) of the
// images, else which slice and how it differs.
std::string E2E_CheckSlice(const CVirtualPhone& phone, const VERIFY_IMAGES& images,
                           const std::string& strName);

class CE2EStation {
public:
    explicit CE2EStation(int nPhones, const PHONE_CONFIG& cfg = {});
    ~CE2EStation();
    CE2EStation(const CE2EStation&) = delete;
    CE2EStation& operator=(const CE2EStation&) = delete;

    // Writes the image files into the station's scratch directory.
    bool BuildImages(const IMAGE_SET_SIZES& sizes = E2E_Sizes());
    // Takes the images, the ticks of the chosen model and validates the images as Start does.
    // strEntry: the Multi-CSC entry chosen ("" for the first in the list). The refusal
    // sentences, empty when every image was accepted.
    std::vector<std::string> Load(const MODEL_TICKS& ticks, int nModel = 4,
                                  const std::string& strEntry = "", bool bPriority = true);
    // Start: runs every channel to its end (the reboot waits included) and joins the workers.
    // dwStallTimeoutMs: the stall bound of the run (station clock), 0 none.
    int Run(uint32_t dwStallTimeoutMs = 0);
    // Stops the run from another thread once phone i has received nRequests requests.
    void StopAllAfter(int i, size_t nRequests);

    bool Passed(int i) const;
    std::string LastBarText(int i) const;
    bool Logged(const std::string& strLine) const;
    // "" when phone i's flash holds the image slice of the region, else the first difference.
    std::string CheckRegion(int i, int nRegion) const;
    // The MIBIB areas written by the staged MIBIB download or the direct MIBIB write.
    std::string CheckMibib(int i, bool bStaged) const;
    CVirtualPhone& Phone(int i) { return *m_apPhone[i]; }

    // The real time the run's stall watch sees (empty: the steady clock).
    std::function<uint64_t()> m_fnWallMs;
    CVirtualClock m_Clock;
    CClockScope m_ClockScope{m_Clock};
    std::unique_ptr<CVarnDLCore> m_pCore;
    std::unique_ptr<CRecordingView> m_pView;
    std::vector<std::unique_ptr<CVirtualPhone>> m_apPhone;
    STATION_THREADS m_Threads;
    IMAGE_SET m_Images;  // a path cleared before Load leaves that image out
    int m_nEntry = -1;   // the Multi-CSC entry used
    // What Load gave the station, as the verifier reads it (the chosen entry, the priority).
    VERIFY_IMAGES m_Verify;

private:
    std::string m_strDir;
    std::thread m_Stopper;
};
