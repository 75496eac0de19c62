// Request frames, reply classes, the five ways of waiting for a reply, and the CRC-32 whose
// value the CRC check command carries. Requests have a 12-byte little-endian header; replies
// are 7E, the echoed sequence byte, a type (02 ack, 03 nak), one byte, and a reason.
#pragma once

#include <cstdint>

#include "link/serial_device.h"
#include "station/channel_context.h"

// The opcodes of the requests: a frame names its command by one of them.
enum Opcode : uint8_t {
    CMD_FLASH_LOCK = 0x90,
    CMD_FLASH_UNLOCK = 0xA0,
    CMD_PARTITION_TABLE = 0xAA,
    CMD_MIBIB_HEADER = 0xC0,
    CMD_WRITE_FLASH = 0xDD,
    CMD_SEND_DATA = 0xE0,
    CMD_CHECK_CRC = 0xE1,
    CMD_FLASH_DATA = 0xE2,
    CMD_SAFE_DOWNLOAD = 0xE3,
    CMD_ERASE_FOR_FLASH = 0xE4,
    CMD_MCCI = 0xE6,
    CMD_CSC_SIZE = 0xE7,
    CMD_CSC_RESERVE = 0xE8,
    CMD_EFS_BACKUP = 0xEB,
    CMD_EFS_RESTORE = 0xEC,
    CMD_ERASE_FOR_WRITE = 0xEE,
};

enum ReplyClass : int {
    REPLY_ACK = 1,
    REPLY_NAK = 2,
    REPLY_SEQ_ERROR = 3,
    REPLY_NONE = 5,
    REPLY_INVALID = 6,
    REPLY_NAK_6 = 22,
    REPLY_NAK_7 = 23,
};

constexpr uint32_t FRAME_HEADER_SIZE = 12;
constexpr uint32_t FRAME_MAX_PAYLOAD = 0x8080;
constexpr uint8_t FRAME_FLAG_FULL_CHUNK = 0x51;  // dwLength is exactly 0x8000
constexpr uint32_t WAIT_BOUNDED_RECEIVES = 10002;
constexpr uint8_t REPLY_START = 0x7E;
constexpr uint32_t REPLY_SIZE = 5;
// A reply that has begun is complete within this; a phone's five bytes normally come together.
constexpr uint32_t REPLY_REST_MS = 1000;

// Little-endian 32-bit words, as every field of a frame is.
inline void FRAME_PutWord(uint8_t* pby, uint32_t dwValue)
{
    pby[0] = static_cast<uint8_t>(dwValue);
    pby[1] = static_cast<uint8_t>(dwValue >> 8);
    pby[2] = static_cast<uint8_t>(dwValue >> 16);
    pby[3] = static_cast<uint8_t>(dwValue >> 24);
}
inline uint32_t FRAME_GetWord(const uint8_t* pby)
{
    return pby[0] | pby[1] << 8 | pby[2] << 16 | static_cast<uint32_t>(pby[3]) << 24;
}

// How a channel's replies have matched its requests since its session began (its worker only).
//
// The phone answers every request once, but a late or repeated answer can arrive just ahead of
// the one that belongs to a request, and replies carry no more than a sequence byte that two
// requests in a row may share (the page loops send the percentage) or that nobody tests (the
// CRC check, the programming, the queries). Such an answer is taken for the request's own, and
// the phone's refusal behind it would answer the next request, or nothing. So every reply is
// counted against the sendings of its request, and a refusal is never thrown away unread: one
// that nobody takes as an answer, or surplus replies after a refusal was taken as one, mean
// that a request the phone refused may have been taken as done.
struct REPLY_TRACK {
    int nOwed = 0;              // replies the current request still has coming
    uint32_t dwSendings = 0;    // sendings of the current request
    bool bFirstReply = false;   // no reply to the current request has been read yet
    uint8_t bySeq = 0;          // the current request's sequence byte and opcode
    uint8_t byOpcode = 0;
    uint8_t byPrevSeq = 0;      // the sequence byte of the request before it
    // A refusal was taken as the answer to some request, and no reply since has shown that
    // answers and requests are in step: an acknowledgement with the sequence byte of a request
    // sent once, a byte its predecessor did not carry.
    bool bRefusalTaken = false;
    uint32_t dwRequests = 0;    // requests that went out in the session
};

// One channel's protocol state, kept by its worker: the sequence byte its requests carry, how
// its replies have matched them, and the buffer a reply is read into.
struct PROTOCOL_CHANNEL {
    uint8_t g_bySeq = 0;
    REPLY_TRACK g_Track;
    uint8_t g_abyReply[SERIAL_REPLY_BUFFER_SIZE] = {};
};
extern PROTOCOL_CHANNEL g_aProtocol[MAX_CHANNEL];

// Builds a request in the caller's cleared packet buffer; returns the bytes to send:
// 12 + dwLength with a payload, 12 without (dwLength then names a range).
int FLASH_DOWNLOADER_BuildRequest(uint8_t* pbyPacket, uint8_t byOpcode, uint8_t bySeq,
                                  uint32_t dwParam, uint32_t dwLength, const uint8_t* pbyPayload,
                                  uint8_t byKind);
// How a request goes out.
enum SendHow : uint32_t {
    // A new request: whatever an earlier exchange left unread is thrown away first, so that it
    // is never taken for this request's reply.
    SEND_NEW = 0,
    // The same request once more: an answer to the first sending that arrives late still counts.
    SEND_AGAIN = 1,
    // Without the send lock (the two 32,896-byte write loops only).
    SEND_UNLOCKED = 2,
};

// Sends the request built in the channel's packet buffer (dwCount bytes); 1 when it went out.
// Every request goes out here. Before a new request, whatever the phone sent after the last
// answer was taken is read and looked at: a refusal among it, or surplus replies after a
// refusal was taken as an answer, put the channel's replies out of step (m_bOutOfStep). Once
// the channel's run flag is cleared, or its replies are out of step, nothing goes out (0) but
// what puts a parked phone's data back in place: the EFS restore of an EFS2 parked in the PDA
// area, the programming of a staged region whose flash range is erased.
int FLASH_DOWNLOADER_SendRequest(ChannelThreadParam* pParam, uint32_t dwCount, uint32_t dwHow);
// A new session on the channel's port (the worker calls it once the port is open): no request
// is owed an answer, and the replies are in step.
void FLASH_DOWNLOADER_BeginSession(ChannelThreadParam* pParam);
// Before a request that cannot be taken back (the lock lets the phone go): when a refusal was
// taken as an answer and nothing since has shown the replies in step, a reply still on its way
// is given REPLY_REST_MS to arrive and be looked at.
void FLASH_DOWNLOADER_AwaitOwedReplies(ChannelThreadParam* pParam);
// At each Start, given the eight channels' states: a channel without a running worker begins
// its next session at sequence byte 0.
void FLASH_DOWNLOADER_Init(const CHANNEL_STATE* pChannels);
// Requests (sendings again included) that went out on the channel in its session: tells a caller
// whether a request it made reached the line.
uint32_t FLASH_DOWNLOADER_RequestsSent(int nCh);
// The opcode of the last new request that went out on the channel (0 before any).
uint8_t FLASH_DOWNLOADER_LastRequest(int nCh);

// Reduces a reply to its class; bytes that did not arrive read as 0.
int FLASH_DOWNLOADER_ClassifyReply(int nCh, const uint8_t* pbyReply, bool bAnySeq);
// One read of the channel's reply buffer, classified; REPLY_NONE when nothing was read. A reply
// whose first bytes came alone is completed (within REPLY_REST_MS) before it is classified.
// The waits read through it and also look at every reply behind the first: once the channel's
// replies are out of step, what they read is REPLY_INVALID.
int FLASH_DOWNLOADER_Receive(int nCh, bool bAnySeq);

// Replaces the read behind FLASH_DOWNLOADER_Receive (tests script reply classes with it);
// nullptr restores the serial port.
typedef int (*RECEIVE_SEAM)(int nCh, bool bAnySeq, void* pContext);
void FLASH_DOWNLOADER_SetReceiveSeam(RECEIVE_SEAM pfnReceive, void* pContext);

// The waits repeat only on REPLY_NONE and only while the channel's run flag is set.
uint16_t FLASH_DOWNLOADER_WaitReply(ChannelThreadParam* pParam);
int FLASH_DOWNLOADER_WaitAck(ChannelThreadParam* pParam);
int FLASH_DOWNLOADER_WaitAckBounded(ChannelThreadParam* pParam);
// Without the sequence test; *pnClass becomes 1, 2, 22 or 23, and is left alone otherwise.
int FLASH_DOWNLOADER_WaitResult(ChannelThreadParam* pParam, int* pnClass);
int FLASH_DOWNLOADER_WaitAckAnySeq(ChannelThreadParam* pParam);
// The answer to a query (sequence byte 0): any acknowledgement, whatever byte it echoes, but a
// refusal only when it echoes 0; a refusal echoing another byte is REPLY_SEQ_ERROR.
int FLASH_DOWNLOADER_WaitQueryReply(ChannelThreadParam* pParam);

// CRC-32, polynomial 0x04C11DB7, MSB first, no reflection and no final XOR; dwBits counts bits.
uint32_t FLASH_DOWNLOADER_Crc32(const uint8_t* pbyData, uint32_t dwBits, uint32_t dwInitial);
