// The notice a worker gives when it changes a flag the watch looks at: the watch sleeps on it
// instead of polling, and the workers need not know who watches.
#pragma once

#include <cstdint>

// Wakes every wait of the orchestration; workers call it when they change a flag it watches.
void STATION_NotifyChange();
// The changes reported so far, and a wait until there are more than qwSeen, or dwMs have passed.
uint64_t STATION_ChangeCount();
void STATION_WaitForChange(uint64_t qwSeen, uint32_t dwMs);
