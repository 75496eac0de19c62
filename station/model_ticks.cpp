#include "station/model_ticks.h"

#include <mutex>

#include "station/station_core.h"

DOWNLOAD_TICKS MODEL_TICKS_Stored(const CVarnDLCore& core)
{
    DOWNLOAD_TICKS ticks;
    const int nModel = (core.m_nModel >= 0 && core.m_nModel < MODEL_COUNT) ? core.m_nModel : 4;
    const MODEL_TICKS& r = core.m_aModelTicks[nModel];
    const bool bP = core.m_bPhoneImage != 0;
    ticks.bPhoneBoot = bP && r.dwPBoot;
    ticks.bPhone = bP && r.dwPhone;
    ticks.bEfsClear = bP && r.dwEfs;
    ticks.bEboot = bP && core.m_bEbootImage && r.dwEboot;
    ticks.bPda = bP && core.m_bPdaImage && r.dwPda;
    ticks.bCsc = bP && core.m_bCscImage && r.dwCarrier;
    ticks.bHidden = bP && core.m_bHiddenImage && r.dwHidden && core.m_bHiddenAllowed;
    return ticks;
}

void MODEL_TICKS_ApplyStored(CVarnDLCore& core)
{
    std::lock_guard<std::mutex> lock(core.m_csTicks);
    core.m_CurrentTicks = MODEL_TICKS_Stored(core);
    ++core.m_dwTicksVersion;
}

DOWNLOAD_TICKS MODEL_TICKS_Current(CVarnDLCore& core)
{
    std::lock_guard<std::mutex> lock(core.m_csTicks);
    return core.m_CurrentTicks;
}

bool MODEL_TICKS_HiddenTicked(CVarnDLCore& core)
{
    std::lock_guard<std::mutex> lock(core.m_csTicks);
    return core.m_CurrentTicks.bHidden;
}
