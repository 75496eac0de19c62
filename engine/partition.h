// The partition table check at the start of a cycle, with the operator's consent to erase and
// re-partition the phone while its EFS2 file system is parked in the PDA area, and the MIBIB
// header exchange that tells the phone which regions the download brings.
#pragma once

#include "station/channel_context.h"

class CVarnDLCore;

constexpr const char* PARTITION_PROMPT_CAPTION = "Partition Information Exception";
constexpr const char* PARTITION_PROMPT_TEXT =
    "Given partition information is different from target's. Do you want to continue?\r\n"
    "If you select 'Yes', all partition data will be erased and re-programmed regardless of the "
    "current download mode selection.";

// 1: go on with the region phase (also after a re-partition); 0: the cycle ends early. From the
// phone erase until the write-back is answered the channel's m_dwParked is up, and a stop
// the console held back meanwhile ends the step right after the write-back.
int FLASH_PARTITION_Check(ChannelThreadParam* pParam);
// Has the phone copy its EFS2 back from the PDA area and clears the areas behind APPSBL.
int FLASH_PARTITION_WriteBackEfs(ChannelThreadParam* pParam);
// Sends the four header blocks with the mask of the regions being downloaded; resends until
// the phone acknowledges or the channel is stopped.
int FLASH_PARTITION_SendMibibHeader(ChannelThreadParam* pParam, const DOWNLOAD_PLAN& plan);
// After the operator agreed to re-partition: every region of the current model is ticked (CSC
// and Hidden as far as their images are chosen), models 0 and 1 lose CSC and Hidden, and the
// boxes show the current model's selection again (takes m_csTicks).
void MODEL_TICKS_ForceFullDownload(CVarnDLCore& core);
