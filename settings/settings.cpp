#include "settings/settings.h"

namespace {
CSettings g_Settings;
}

CSettings& SETTINGS_Get() { return g_Settings; }

void SETTINGS_Reset() { g_Settings = CSettings{}; }
