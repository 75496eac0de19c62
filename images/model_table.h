// The seven phone models the station serves, as data: each model's name, dialog layout,
// whether the Multi-CSC controls show, how its saved ticks are forced at load and after a forced
// full download, how long a channel waits after PASS and whether the cycle announces CSC sizes.
#pragma once

#include <cstdint>

#include "station/model_ticks.h"

enum ModelLayout : int {
    LAYOUT_COMPACT = 0,        // no CSC, Hidden or Unified rows; 400 pixels high
    LAYOUT_FULL = 1,           // every image row, no Multi-CSC controls; 550 pixels high
    LAYOUT_FULL_MULTICSC = 2,  // everything; 550 pixels high
};

// Bits naming the saved ticks of a model's selection.
enum ModelTick : uint32_t {
    TICK_SELECTALL = 0x001,
    TICK_PBOOT = 0x002,
    TICK_PHONE = 0x004,
    TICK_EFS = 0x008,
    TICK_EBOOT = 0x010,
    TICK_PDA = 0x020,
    TICK_CARRIER = 0x040,
    TICK_HIDDEN = 0x080,
    TICK_CLEAN = 0x100,
};

// Reset for every model when the saved selections are loaded: these ticks must be chosen again
// in every session.
constexpr uint32_t MODEL_TICKS_RESET_AT_LOAD = TICK_HIDDEN | TICK_CLEAN | TICK_EFS;

struct MODEL_INFO {
    const char* szName;
    ModelLayout eLayout;
    bool bMultiCscShown;
    int nDialogHeight;
    uint32_t dwTicksZeroAtLoad;       // forced to 0 after the saved selections are read
    uint32_t dwTicksOneAtLoad;        // forced to 1 after the saved selections are read
    uint32_t dwTicksClearedOnForced;  // cleared in this model's record by a forced full download
    uint32_t dwRebootWaitMs;          // wait after a passed download
    bool bAnnounceCsc;                // CSC size before PDA, CSC reserve before CARRIER
};

// Indexed by m_nModel; the combo box lists them in this order, unsorted.
extern const MODEL_INFO g_aModelTable[MODEL_COUNT];

// The model's entry; an index outside 0-6 gets a neutral entry (no name, full layout, 120 s,
// no announcements) so that a damaged index never reads outside the table.
const MODEL_INFO& MODEL_Get(int nModel);
uint32_t MODEL_RebootWaitMs(int nModel);
bool MODEL_AnnouncesCsc(int nModel);
// The saved selection after load: the reset ticks and the model's forced ticks applied.
void MODEL_ApplyLoadRules(int nModel, MODEL_TICKS& ticks);
// The model's record after a forced full download elsewhere: its listed ticks cleared.
void MODEL_ApplyForcedDownloadRules(int nModel, MODEL_TICKS& ticks);
