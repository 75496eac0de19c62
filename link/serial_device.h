// The phones' serial ports: exclusive opening in raw 8N1, one open with its settle at a time,
// locked and unlocked sends, and reads that wait for a reply's first byte for as long as the
// channel runs. One set of state per channel, indexed 0..7.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "station/channel_context.h"
#include "station/channel_sink.h"
#include "station/channel_state.h"

typedef int SERIAL_HANDLE;  // a POSIX descriptor
constexpr SERIAL_HANDLE SERIAL_HANDLE_NONE = -1;

constexpr uint32_t SERIAL_REPLY_BUFFER_SIZE = 4096;
constexpr uint32_t SERIAL_READ_ATTEMPTS = 10;
constexpr uint32_t SERIAL_WRITE_TIMEOUT_MS = 5000;
constexpr uint32_t SERIAL_OPEN_SETTLE_MS = 500;
// A silent wait for the first byte looks at the run flag and the port this often.
constexpr int SERIAL_WAKE_INTERVAL_MS = 100;

// One channel's port as this layer keeps it.
struct SERIAL_CHANNEL {
    std::atomic<SERIAL_HANDLE> g_hComPort{SERIAL_HANDLE_NONE};
    std::atomic<uint32_t> g_nComPort{0};  // the port number the next open takes
    // Set when a read found the line hung up; a new open starts afresh.
    std::atomic<uint32_t> g_bHungUp{0};
    // Written by the channel's worker only; read when its channel has ended.
    std::atomic<uint64_t> g_qwBytesSent{0};
    std::string g_strOpenError;  // under the layer's own lock
};
extern SERIAL_CHANNEL g_aSerial[MAX_CHANNEL];

// Tests shorten the write time-out (real milliseconds); 0 restores SERIAL_WRITE_TIMEOUT_MS.
void SERIAL_DEVICE_SetWriteTimeout(uint32_t dwMs);
// Initialises the port locks (opening, sending); called once before any port is used
// (idempotent).
void SERIAL_DEVICE_CreateLock();
// Tells the serial layer whom to ask whether a channel still runs, so that a silent read ends
// once its channel is stopped. nullptr: reads wait until bytes or a port error.
void SERIAL_DEVICE_SetStopTest(const CChannelSink* pRunTest);
// At each Start, given the eight channels' states: for every channel without a running worker,
// lets go of the handle (a port left open is closed, so its node does not stay locked) and takes
// the console's port number. A channel whose worker runs keeps both.
int SERIAL_DEVICE_Init(const CHANNEL_STATE* pChannels);
// Stores the port number to open; 0 (storing nothing) while the channel's port is open.
int SERIAL_DEVICE_SetPort(int nCh, uint32_t nPort);
// Opens the channel's port unless it is open already; 1 when open after. Opens across the
// channels follow one another, each with its settle; sends meanwhile go on.
int SERIAL_DEVICE_Open(int nCh);
// Opens and configures a port (exclusive, raw 8N1, purged, then the settle); NONE on failure.
SERIAL_HANDLE SERIAL_DEVICE_OpenPort(int nCh, uint32_t nPort);
// Closes the channel's port if open; always 1. Takes no lock.
int SERIAL_DEVICE_Close(int nCh);
// Closes a handle of the channel without touching g_hComPort; a blocked read on it returns.
void SERIAL_DEVICE_ClosePort(int nCh, SERIAL_HANDLE hPort);
// Writes `dwCount` bytes from pbyBuffer + dwOffset within 5,000 ms: dwCount, or -1 on an error
// or when not every byte went out in time.
int SERIAL_DEVICE_Write(int nCh, SERIAL_HANDLE hPort, const uint8_t* pbyBuffer, uint32_t dwOffset,
                        uint32_t dwCount);
// Bytes the channel's port has taken since the count was last reset, frames cut short included.
uint64_t SERIAL_DEVICE_BytesSent(int nCh);
void SERIAL_DEVICE_ResetBytesSent(int nCh);
// Waits for the first byte (ten attempts; ends early when the run flag is cleared or the port is
// closed), then reads what is queued, at most dwMax bytes; the count, 0 when nothing was read.
int SERIAL_DEVICE_Read(int nCh, SERIAL_HANDLE hPort, uint8_t* pbyBuffer, uint32_t dwOffset,
                       uint32_t dwMax);
// Reads more of a reply whose first bytes a read returned: waits up to dwBoundMs of real time
// for dwWant more bytes, taking them as they come, and less when the channel is stopped or the
// port closed or hung up; the count read. Bytes beyond dwWant stay queued.
int SERIAL_DEVICE_ReadRest(int nCh, SERIAL_HANDLE hPort, uint8_t* pbyBuffer, uint32_t dwOffset,
                           uint32_t dwWant, uint32_t dwBoundMs);
// Reads what the channel's port has received and not yet been read, without waiting: at most
// dwMax bytes; the count, 0 when nothing is waiting.
int SERIAL_DEVICE_ReadWaiting(int nCh, uint8_t* pbyBuffer, uint32_t dwMax);
// Throws away whatever the channel's port has received and not yet been read.
void SERIAL_DEVICE_DiscardInput(int nCh);
// How many received bytes wait unread on the channel's port.
uint32_t SERIAL_DEVICE_Waiting(int nCh);
// 1 once a read or a write found the channel's line hung up (the phone is gone): no reply can
// come on it any more, so the reply waits stop waiting. Cleared when the channel opens a port
// again.
int SERIAL_DEVICE_IsHungUp(int nCh);
// Writes on the channel's port; 1 or 0. Locked sends of all channels follow one another, but the
// send lock is held only while the kernel takes bytes: a full line is waited on without it.
int SERIAL_DEVICE_Send(int nCh, const uint8_t* pbyData, uint32_t dwCount);
// The same without the send lock (the two 32,896-byte write loops only).
int SERIAL_DEVICE_SendUnlocked(int nCh, const uint8_t* pbyData, uint32_t dwCount);

// "COM9" below 10, "\\.\\COM10" from 10 on: the name traces show for a port number.
std::string SERIAL_DEVICE_PortName(uint32_t nPort);
// Why the channel's last open failed, for the operator (for example the dialout group hint).
std::string SERIAL_DEVICE_LastOpenError(int nCh);
