// The command set of the boot loader and the exchanges that carry one request and wait for one
// reply: unlock, lock, the capability queries, the CSC announcements and the two erases.
// Each returns 1 for success and 0 for failure and writes only its own log lines.
#pragma once

#include <cstdint>

#include "protocol/frame.h"
#include "station/channel_context.h"

// What the phone said to a question about itself (MCCI mode, Safe Download, the CSC reserve).
// Only an acknowledgement or a well-formed refusal is an answer; a garbled one is asked again,
// at most twice. A question the phone left unanswered (garbled three times, a failed send, a
// stop, a pulled phone) says nothing about it: taken for "no", it would send a Safe Download
// phone down the erase-then-write road.
constexpr int QUERY_YES = 1;
constexpr int QUERY_NO = 0;
constexpr int QUERY_UNANSWERED = -1;
constexpr uint32_t QUERY_ASKINGS = 3;

int FLASH_DOWNLOADER_Unlock(ChannelThreadParam* pParam);
int FLASH_DOWNLOADER_Lock(ChannelThreadParam* pParam);
// QUERY_* above.
int FLASH_DOWNLOADER_QueryMcci(ChannelThreadParam* pParam);
int FLASH_DOWNLOADER_QuerySafeDownload(ChannelThreadParam* pParam);
int FLASH_DOWNLOADER_WriteCscSize(ChannelThreadParam* pParam);
// QUERY_YES when the reserve is large enough (acknowledged, or refused with reason 6).
int FLASH_DOWNLOADER_CheckCscReserve(ChannelThreadParam* pParam);
int FLASH_DOWNLOADER_EraseForFlash(ChannelThreadParam* pParam, int nKind);
int FLASH_DOWNLOADER_EraseForWrite(ChannelThreadParam* pParam, int nKind);
