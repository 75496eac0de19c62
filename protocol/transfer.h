// The exchanges that move a region's data from its image file to the phone: the staged send,
// its CRC check and the programming from the phone's memory, the three direct write loops (two
// of them with NAND spare bytes) and the two forms of the MIBIB download.
#pragma once

#include <cstdint>

#include "station/channel_context.h"

// The largest padded region the CRC check accepts.
constexpr uint32_t CRC_REGION_LIMIT = 21000000;

int FLASH_DOWNLOADER_SendRegion(ChannelThreadParam* pParam, int nKind);
int FLASH_DOWNLOADER_CheckCrc(ChannelThreadParam* pParam, int nKind);
int FLASH_DOWNLOADER_FlashRegion(ChannelThreadParam* pParam, int nKind);
int FLASH_DOWNLOADER_WriteRegion(ChannelThreadParam* pParam, int nKind);
int FLASH_DOWNLOADER_WriteRegionSpare(ChannelThreadParam* pParam, int nKind);
int FLASH_DOWNLOADER_WriteRegionAddSpare(ChannelThreadParam* pParam, int nKind);
int FLASH_DOWNLOADER_SendMibib(ChannelThreadParam* pParam);
int FLASH_DOWNLOADER_WriteMibib(ChannelThreadParam* pParam, int nKind);
