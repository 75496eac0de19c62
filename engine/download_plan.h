// The download plan of a Start: the selection the ticks give, the MIBIB header blocks read from
// the chosen images and those images' stamps, built aside and swapped in at once, so that every
// worker of one Start reads the same plan whatever a later Start does.
#pragma once

#include <cstdint>
#include <memory>

#include "station/channel_context.h"

class CVarnDLCore;

// The plan of the current run (null before the first Start).
std::shared_ptr<const DOWNLOAD_PLAN> ENGINE_GetDownloadPlan();
void ENGINE_SetDownloadPlan(std::shared_ptr<const DOWNLOAD_PLAN> pPlan);

// Computes the selection from the ticks.
DOWN_SEL ENGINE_ComputeSelection(const DOWNLOAD_TICKS& ticks);

// Reads the four header blocks from the chosen images at their fixed offsets; a block whose
// image is not chosen, or which the file does not hold, stays zero.
void ENGINE_ReadHeaderBlocks(const CVarnDLCore& core, uint8_t* pbyHeader /* HEADER_BLOCK_TOTAL */);

// Start's preparation before the first worker: forgets the partition-changed flag of every idle
// channel, builds the plan aside (stamping every chosen image file) and swaps it in.
void ENGINE_PrepareStart(CVarnDLCore& core, const DOWNLOAD_TICKS& ticks);
