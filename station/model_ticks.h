// The ticks of the "Download Mode" boxes, saved per device model, and the boxes as they stand.
// The console persists the records; the engine reads the boxes at Start and at the Hidden step,
// and a forced full download after a partition change rewrites the records from a worker.
#pragma once

#include <cstdint>

#include "station/channel_context.h"

constexpr int MODEL_COUNT = 7;

// One model's saved selection: 32-bit words, 0 or 1.
struct MODEL_TICKS {
    uint32_t dwSelectAll = 0;
    uint32_t dwPBoot = 0;
    uint32_t dwPhone = 0;
    uint32_t dwEfs = 0;
    uint32_t dwEboot = 0;
    uint32_t dwPda = 0;
    uint32_t dwCarrier = 0;
    uint32_t dwHidden = 0;
    uint32_t dwClean = 0;
};

class CVarnDLCore;

// The check boxes as the saved selection of the current model puts them, filtered by which
// images are valid: nothing is ticked without a valid Phone image. Caller holds m_csTicks.
DOWNLOAD_TICKS MODEL_TICKS_Stored(const CVarnDLCore& core);
// Puts the current model's saved selection on the boxes (takes m_csTicks).
void MODEL_TICKS_ApplyStored(CVarnDLCore& core);
// A copy of the boxes as they stand now (takes m_csTicks).
DOWNLOAD_TICKS MODEL_TICKS_Current(CVarnDLCore& core);
// The "Hidden" box, as the worker reads it at the Hidden step (takes m_csTicks).
bool MODEL_TICKS_HiddenTicked(CVarnDLCore& core);
