// The region procedures: each moves one flash region of the phone from its image file to the
// phone's flash by the exchanges its region and the download mode call for, and turns their
// results into log lines and, on failure, a red text on the channel's bar.
#pragma once

#include <cstdint>

#include "station/channel_context.h"

// A step failed with this red text. Unless the phone was pulled (the designed disconnect text),
// the stall bound hit (" Phone Stopped Answering!") or the run stopped (the bar keeps its
// progress text), the channel fails with it: the outcome is decided (station/outcome.h) and the
// bar shows it. The serial layer forgets the channel's port number until the next Start.
void FLASH_REGION_ReportFailure(ChannelThreadParam* pParam, const char* szText);
// The phone was left damaged (a region erased, replies out of step): the channel fails with this
// text whatever else ended it, for that is what the operator must know.
void FLASH_REGION_ReportDamage(ChannelThreadParam* pParam, const char* szText);
// Shows the channel's outcome on its bar when it has a text of its own (a failure, a stall, a
// pull); a stopped channel keeps its progress text.
void FLASH_REGION_ShowOutcome(ChannelThreadParam* pParam);

// 1 when the region's data lie inside the channel's open image and fit the flash its erase
// clears, by the footprint of nForm (REGION_FORM); otherwise logs why and returns 0. Start
// judges only the selected regions, on the files as they were then; a re-partition forces the
// others too, and a file may have changed since.
int FLASH_REGION_Fits(ChannelThreadParam* pParam, const REGION_INFO& region, int nForm,
                      const char* szName);

// Asks the phone whether it offers Safe Download and sets m_bOlderVersion from the answer; 1
// when it answered. A question left unanswered (a stop, a garbled reply three times) sets
// nothing, and a running channel fails with " SAFE DOWNLOAD QUERY Failed!".
int FLASH_REGION_QueryMode(ChannelThreadParam* pParam);

// One per flow; 1 on success, 0 on failure (after the flow's texts).
int FLASH_REGION_Qcsbl(ChannelThreadParam* pParam);  // starts with the mode query
int FLASH_REGION_Oemsbl(ChannelThreadParam* pParam);
int FLASH_REGION_Mibib(ChannelThreadParam* pParam);  // Safe Download only
int FLASH_REGION_Amss(ChannelThreadParam* pParam);
int FLASH_REGION_EraseEfs2(ChannelThreadParam* pParam);
int FLASH_REGION_Fota(ChannelThreadParam* pParam);
int FLASH_REGION_Appsbl(ChannelThreadParam* pParam);
int FLASH_REGION_Pda(ChannelThreadParam* pParam);
int FLASH_REGION_Carrier(ChannelThreadParam* pParam);
int FLASH_REGION_Hidden(ChannelThreadParam* pParam);
