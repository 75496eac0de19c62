// The image file each channel's worker reads from, and the stamps that tell one version of a
// file from another, so that a phone is never passed on data from a file that changed meanwhile.
#pragma once

#include <cstdint>
#include <string>

#include "station/channel_context.h"

extern int g_fileImage[MAX_CHANNEL];  // read-only descriptor of the image being sent, -1 = none

// The stamp of the file a path names now (bExists false when there is none), of an open
// descriptor, and of the channel's open image.
FILE_STAMP ENGINE_StampPath(const std::string& strPath);
FILE_STAMP ENGINE_StampDescriptor(int fd);
FILE_STAMP ENGINE_StampOpenImage(int nCh);

// Opens `szPath` read-only on the channel's g_fileImage (closing what was open); 1 on success.
int ENGINE_OpenImage(int nCh, const char* szPath);
// Closes the channel's g_fileImage if open.
void ENGINE_CloseImage(int nCh);
// Reads up to `dwCount` bytes at `qwOffset` of the channel's image; the count read, 0 at the end
// of the file or on an error.
uint32_t ENGINE_ReadImage(int nCh, uint64_t qwOffset, void* pBuffer, uint32_t dwCount);
