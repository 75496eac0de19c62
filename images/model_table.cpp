#include "images/model_table.h"

namespace {

constexpr uint32_t WAIT_DEFAULT_MS = 120000;

const MODEL_INFO g_NeutralModel = {"", LAYOUT_FULL, false, 550, 0, 0, 0, WAIT_DEFAULT_MS, false};

void SetTicks(MODEL_TICKS& ticks, uint32_t dwMask, uint32_t dwValue)
{
    if (dwMask & TICK_SELECTALL) ticks.dwSelectAll = dwValue;
    if (dwMask & TICK_PBOOT) ticks.dwPBoot = dwValue;
    if (dwMask & TICK_PHONE) ticks.dwPhone = dwValue;
    if (dwMask & TICK_EFS) ticks.dwEfs = dwValue;
    if (dwMask & TICK_EBOOT) ticks.dwEboot = dwValue;
    if (dwMask & TICK_PDA) ticks.dwPda = dwValue;
    if (dwMask & TICK_CARRIER) ticks.dwCarrier = dwValue;
    if (dwMask & TICK_HIDDEN) ticks.dwHidden = dwValue;
    if (dwMask & TICK_CLEAN) ticks.dwClean = dwValue;
}

}  // namespace

const MODEL_INFO g_aModelTable[MODEL_COUNT] = {
    {"PX-410", LAYOUT_COMPACT, false, 400, TICK_CARRIER, 0, TICK_CARRIER | TICK_HIDDEN, WAIT_DEFAULT_MS, false},
    {"PX-420", LAYOUT_COMPACT, false, 400, TICK_CARRIER, 0, TICK_CARRIER | TICK_HIDDEN, WAIT_DEFAULT_MS, false},
    {"TR-640L", LAYOUT_COMPACT, false, 400, TICK_CARRIER, 0, 0, WAIT_DEFAULT_MS, false},
    {"TR-640", LAYOUT_FULL, false, 550, 0, 0, 0, WAIT_DEFAULT_MS, false},
    {"TR-650", LAYOUT_FULL_MULTICSC, true, 550, 0, 0, 0, 240000, true},
    {"PX-900SC", LAYOUT_FULL, false, 550, 0, TICK_PBOOT | TICK_PHONE | TICK_EBOOT | TICK_PDA | TICK_CARRIER, 0,
     160000, false},
    {"TR-640L.(CSC Support)", LAYOUT_FULL, false, 550, 0, 0, 0, WAIT_DEFAULT_MS, false},
};

const MODEL_INFO& MODEL_Get(int nModel)
{
    if (nModel < 0 || nModel >= MODEL_COUNT) return g_NeutralModel;
    return g_aModelTable[nModel];
}

uint32_t MODEL_RebootWaitMs(int nModel) { return MODEL_Get(nModel).dwRebootWaitMs; }

bool MODEL_AnnouncesCsc(int nModel) { return MODEL_Get(nModel).bAnnounceCsc; }

void MODEL_ApplyLoadRules(int nModel, MODEL_TICKS& ticks)
{
    const MODEL_INFO& info = MODEL_Get(nModel);
    SetTicks(ticks, MODEL_TICKS_RESET_AT_LOAD | info.dwTicksZeroAtLoad, 0);
    SetTicks(ticks, info.dwTicksOneAtLoad, 1);
}

void MODEL_ApplyForcedDownloadRules(int nModel, MODEL_TICKS& ticks)
{
    SetTicks(ticks, MODEL_Get(nModel).dwTicksClearedOnForced, 0);
}
