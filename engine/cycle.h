// One channel's download cycle, run by its own worker thread: open the port, unlock, check the
// partition table, the region steps in fixed order, lock, wait for the phone to reboot, PASS.
// The console learns how it went through the channel's flags and its outcome.
#pragma once

#include <cstdint>

#include "station/channel_context.h"

class CVarnDLCore;

// The worker routine; the record must outlive it. 1 when the phone passed.
int FLASH_CYCLE_Run(ChannelThreadParam* pParam);

// Milliseconds a passed phone is given to reboot: the station's override, else the model's.
uint32_t FLASH_CYCLE_RebootWaitMs(const CVarnDLCore& core);
