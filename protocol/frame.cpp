#include "protocol/frame.h"

#include <array>
#include <atomic>
#include <cstring>

#include "link/serial_device.h"
#include "station/clock.h"
#include "station/log.h"
#include "station/channel_sink.h"
#include "station/image_selection.h"

PROTOCOL_CHANNEL g_aProtocol[MAX_CHANNEL];

namespace {
constexpr uint32_t CRC_POLYNOMIAL = 0x04C11DB7;

constexpr std::array<uint32_t, 256> MakeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t dwValue = i << 24;
        for (int nBit = 0; nBit < 8; ++nBit)
            dwValue = (dwValue & 0x80000000u) ? (dwValue << 1) ^ CRC_POLYNOMIAL : dwValue << 1;
        table[i] = dwValue;
    }
    return table;
}

constexpr std::array<uint32_t, 256> g_adwCrcTable = MakeCrcTable();
static_assert(g_adwCrcTable[1] == 0x04C11DB7);
static_assert(g_adwCrcTable[255] == 0xB1F740B4);

std::atomic<RECEIVE_SEAM> g_pfnReceiveSeam{nullptr};
std::atomic<void*> g_pReceiveSeamContext{nullptr};


// Reply frames found in bytes no wait takes as its answer.
struct STRAY_REPLIES {
    uint32_t dwReplies = 0;
    bool bRefusal = false;
    uint32_t dwPartial = 0;  // bytes of a last frame whose type has not arrived (0: none)
};

constexpr uint32_t REPLY_TYPE_OFFSET = 2;
constexpr uint8_t REPLY_TYPE_NAK = 0x03;
// Bytes found waiting before a request that are looked at; beyond that a flood is thrown away.
constexpr uint32_t STRAY_SCAN_LIMIT = 64 * 1024;

// Walks the bytes for reply frames: a start byte and the type behind it make a reply; bytes
// before a start byte are noise.
STRAY_REPLIES ScanReplies(const uint8_t* pby, uint32_t dwCount)
{
    STRAY_REPLIES stray;
    uint32_t i = 0;
    while (i < dwCount) {
        if (pby[i] != REPLY_START) {
            ++i;
            continue;
        }
        if (dwCount - i <= REPLY_TYPE_OFFSET) {
            stray.dwPartial = dwCount - i;
            break;
        }
        ++stray.dwReplies;
        if (pby[i + REPLY_TYPE_OFFSET] == REPLY_TYPE_NAK) stray.bRefusal = true;
        i += REPLY_SIZE;
    }
    return stray;
}

// Bytes pbyBuffer[0, dwCount) of the channel's port; a last frame whose type is missing is
// read on (within REPLY_REST_MS), for the refusal may be in the rest.
STRAY_REPLIES ScanWithRest(int nCh, uint8_t* pbyBuffer, uint32_t dwCount, uint32_t dwCapacity)
{
    STRAY_REPLIES stray = ScanReplies(pbyBuffer, dwCount);
    if (stray.dwPartial == 0 || dwCount + REPLY_SIZE > dwCapacity) return stray;
    const uint32_t dwAt = dwCount - stray.dwPartial;
    const uint32_t dwRest = static_cast<uint32_t>(SERIAL_DEVICE_ReadRest(
        nCh, g_aSerial[nCh].g_hComPort.load(), pbyBuffer, dwCount, REPLY_SIZE - stray.dwPartial, REPLY_REST_MS));
    const STRAY_REPLIES tail = ScanReplies(pbyBuffer + dwAt, stray.dwPartial + dwRest);
    stray.dwReplies += tail.dwReplies;
    stray.bRefusal = stray.bRefusal || tail.bRefusal;
    stray.dwPartial = 0;
    return stray;
}

// The channel is failed: told once, and from now on nothing goes out on it but what a parked
// phone needs back, and no reply counts as an acknowledgement.
void MarkOutOfStep(ChannelThreadParam* pParam, const char* szWhy)
{
    const int nCh = pParam->nCh;
    if (pParam->pState->m_bOutOfStep.exchange(1) != 0) return;
    pParam->pSink->Log(nCh,              "[Channel %d]  The phone's replies were out of step with the requests: %s (request "
             "%02X)\r\n",
             nCh, szWhy, g_aProtocol[nCh].g_Track.byOpcode);
}

// Replies beyond the one a wait took: counted against the current request.
void NoteStray(ChannelThreadParam* pParam, const STRAY_REPLIES& stray)
{
    REPLY_TRACK& track = g_aProtocol[pParam->nCh].g_Track;
    track.nOwed -= static_cast<int>(stray.dwReplies);
    if (stray.bRefusal)
        MarkOutOfStep(pParam, "a refusal came that no request was waiting for");
    else if (track.nOwed < 0 && track.bRefusalTaken)
        MarkOutOfStep(pParam, "more replies came than requests, after a refusal was taken as an answer");
}

// Looks at what arrived after the last answer was taken, before a new request goes out.
void ScanWaiting(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    uint8_t* pbyBuffer = g_aProtocol[nCh].g_abyReply;
    uint32_t dwSeen = 0;
    for (;;) {
        const int nCount = SERIAL_DEVICE_ReadWaiting(nCh, pbyBuffer, SERIAL_REPLY_BUFFER_SIZE - REPLY_SIZE);
        if (nCount <= 0) return;
        NoteStray(pParam, ScanWithRest(nCh, pbyBuffer, static_cast<uint32_t>(nCount),
                                       SERIAL_REPLY_BUFFER_SIZE));
        dwSeen += static_cast<uint32_t>(nCount);
        if (dwSeen >= STRAY_SCAN_LIMIT) {
            SERIAL_DEVICE_DiscardInput(nCh);
            return;
        }
    }
}

void NoteSending(const ChannelThreadParam* pParam, uint32_t dwHow)
{
    REPLY_TRACK& track = g_aProtocol[pParam->nCh].g_Track;
    ++track.dwRequests;
    if (dwHow & SEND_AGAIN) {
        ++track.nOwed;
        ++track.dwSendings;
        return;
    }
    const uint8_t* pbyPacket = pParam->pnBufObj->m_pPacket;
    track.byPrevSeq = track.bySeq;
    track.bySeq = pbyPacket[0];
    track.byOpcode = pbyPacket[1];
    track.nOwed = 1;
    track.dwSendings = 1;
    track.bFirstReply = true;
}

// Whether a silent wait should go on: the channel runs and its line has not hung up. A pulled
// phone never answers again, so waiting on would only spin until the console stops the channel.
bool IsRunning(const ChannelThreadParam* pParam)
{
    return pParam->pState->m_bRun.load() != 0 && !SERIAL_DEVICE_IsHungUp(pParam->nCh);
}

// One read of the channel's reply buffer: the class of its first reply, the replies behind it.
int ReceiveReply(int nCh, bool bAnySeq, STRAY_REPLIES* pStray, bool* pbRefusal)
{
    if (RECEIVE_SEAM pfnSeam = g_pfnReceiveSeam.load())
        return pfnSeam(nCh, bAnySeq, g_pReceiveSeamContext.load());
    uint8_t* pbyReply = g_aProtocol[nCh].g_abyReply;
    std::memset(pbyReply, 0, SERIAL_REPLY_BUFFER_SIZE);
    const SERIAL_HANDLE hPort = g_aSerial[nCh].g_hComPort.load();
    // Room is kept behind what is read for the rest of a last reply that came in part.
    int nCount = SERIAL_DEVICE_Read(nCh, hPort, pbyReply, 0, SERIAL_REPLY_BUFFER_SIZE - REPLY_SIZE);
    if (nCount <= 0) return REPLY_NONE;
    // Classified on its first piece, a reply would leave its rest to be taken for the answer to
    // the next request, and every answer from then on would be one behind.
    if (static_cast<uint32_t>(nCount) < REPLY_SIZE && pbyReply[0] == REPLY_START)
        nCount += SERIAL_DEVICE_ReadRest(nCh, hPort, pbyReply, static_cast<uint32_t>(nCount),
                                         REPLY_SIZE - static_cast<uint32_t>(nCount), REPLY_REST_MS);
    *pbRefusal = pbyReply[0] == REPLY_START && pbyReply[REPLY_TYPE_OFFSET] == REPLY_TYPE_NAK;
    if (static_cast<uint32_t>(nCount) > REPLY_SIZE)
        *pStray = ScanWithRest(nCh, pbyReply + REPLY_SIZE, static_cast<uint32_t>(nCount) - REPLY_SIZE,
                               SERIAL_REPLY_BUFFER_SIZE - REPLY_SIZE);
    return FLASH_DOWNLOADER_ClassifyReply(nCh, pbyReply, bAnySeq);
}

// One receive, counted against the current request. An acknowledgement is the phone's sign of
// life that a bounded run watches for. Once the replies are out of step nothing is one.
int ReceiveOnce(ChannelThreadParam* pParam, bool bAnySeq)
{
    const int nCh = pParam->nCh;
    STRAY_REPLIES stray;
    bool bRefusal = false;
    int nClass = ReceiveReply(nCh, bAnySeq, &stray, &bRefusal);
    if (nClass != REPLY_NONE) {
        REPLY_TRACK& track = g_aProtocol[nCh].g_Track;
        --track.nOwed;
        if (track.bFirstReply && track.dwSendings == 1 && !bAnySeq && nClass == REPLY_ACK &&
            track.bySeq != track.byPrevSeq)
            track.bRefusalTaken = false;
        if (bRefusal) track.bRefusalTaken = true;
        track.bFirstReply = false;
        NoteStray(pParam, stray);
    }
    if (pParam->pState->m_bOutOfStep.load() != 0) return nClass == REPLY_NONE ? REPLY_NONE : REPLY_INVALID;
    if (nClass == REPLY_ACK) {
        pParam->pState->m_dwAnswerTick = CLOCK_Get().GetTickCount();
        pParam->pState->m_dwResends = 0;
    }
    return nClass;
}

// Receives until something arrives or the channel stops; the last class. A reply already queued
// is still taken after the stop, because the read returns queued bytes without waiting.
int ReceiveUntilAnswer(ChannelThreadParam* pParam, bool bAnySeq)
{
    int nClass;
    do {
        nClass = ReceiveOnce(pParam, bAnySeq);
    } while (nClass == REPLY_NONE && IsRunning(pParam));
    return nClass;
}
}  // namespace

int FLASH_DOWNLOADER_SendRequest(ChannelThreadParam* pParam, uint32_t dwCount, uint32_t dwHow)
{
    const int nCh = pParam->nCh;
    const uint8_t* pbyPacket = pParam->pnBufObj->m_pPacket;
    // A stopped channel sends nothing more, whatever the flow it is in: the next frame could be
    // an erase. Only the write-back of an EFS2 parked in the PDA area still goes out, since the
    // parked copy may be all that is left of the phone's file system.
    // Nor a channel whose replies are out of step. Only what puts a parked phone's data back
    // in place still goes out: the write-back of its EFS2, the programming of an erased region
    // from the phone's memory.
    const uint32_t dwParked = pParam->pState->m_dwParked.load();
    const bool bRestore =
        (pbyPacket[1] == CMD_EFS_RESTORE && (dwParked == PARKED_EFS || dwParked == PARKED_EFS_STOP)) ||
        (pbyPacket[1] == CMD_FLASH_DATA && (dwParked == PARKED_ERASED || dwParked == PARKED_ERASED_STOP));
    // Whatever came after the last answer was taken is looked at before a new request, never
    // before the same one again, whose late first answer still counts.
    if (!(dwHow & SEND_AGAIN) && !bRestore) ScanWaiting(pParam);
    if ((pParam->pState->m_bRun.load() == 0 || pParam->pState->m_bOutOfStep.load() != 0) && !bRestore) return 0;
    if (dwHow & SEND_AGAIN) ++pParam->pState->m_dwResends;
    NoteSending(pParam, dwHow);
    return (dwHow & SEND_UNLOCKED) ? SERIAL_DEVICE_SendUnlocked(nCh, pbyPacket, dwCount)
                                   : SERIAL_DEVICE_Send(nCh, pbyPacket, dwCount);
}

int FLASH_DOWNLOADER_BuildRequest(uint8_t* pbyPacket, uint8_t byOpcode, uint8_t bySeq,
                                  uint32_t dwParam, uint32_t dwLength, const uint8_t* pbyPayload,
                                  uint8_t byKind)
{
    pbyPacket[0] = bySeq;
    pbyPacket[1] = byOpcode;
    if (dwLength == 0x8000) pbyPacket[2] = FRAME_FLAG_FULL_CHUNK;
    pbyPacket[3] = byKind;
    FRAME_PutWord(pbyPacket + 4, dwParam);
    FRAME_PutWord(pbyPacket + 8, dwLength);
    if (!pbyPayload) return static_cast<int>(FRAME_HEADER_SIZE);
    // The packet buffer holds at most the largest payload; a longer length is a caller's
    // mistake and must not write past it.
    if (dwLength > FRAME_MAX_PAYLOAD) dwLength = FRAME_MAX_PAYLOAD;
    if (pbyPayload != pbyPacket + FRAME_HEADER_SIZE)
        std::memmove(pbyPacket + FRAME_HEADER_SIZE, pbyPayload, dwLength);
    return static_cast<int>(FRAME_HEADER_SIZE + dwLength);
}

int FLASH_DOWNLOADER_ClassifyReply(int nCh, const uint8_t* pbyReply, bool bAnySeq)
{
    if (pbyReply[0] != 0x7E) return REPLY_INVALID;
    if (!bAnySeq && pbyReply[1] != g_aProtocol[nCh].g_bySeq) return REPLY_SEQ_ERROR;
    if (pbyReply[2] == 0x02) return REPLY_ACK;
    if (pbyReply[2] == 0x03) {
        if (pbyReply[4] == 0x06) return REPLY_NAK_6;
        if (pbyReply[4] == 0x07) return REPLY_NAK_7;
        return REPLY_NAK;
    }
    return REPLY_INVALID;
}

void FLASH_DOWNLOADER_SetReceiveSeam(RECEIVE_SEAM pfnReceive, void* pContext)
{
    g_pReceiveSeamContext = pContext;
    g_pfnReceiveSeam = pfnReceive;
}

int FLASH_DOWNLOADER_Receive(int nCh, bool bAnySeq)
{
    STRAY_REPLIES stray;
    bool bRefusal = false;
    return ReceiveReply(nCh, bAnySeq, &stray, &bRefusal);
}

void FLASH_DOWNLOADER_AwaitOwedReplies(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    if (!g_aProtocol[nCh].g_Track.bRefusalTaken || g_pfnReceiveSeam.load() != nullptr) return;
    uint8_t* pbyBuffer = g_aProtocol[nCh].g_abyReply;
    const int nCount = SERIAL_DEVICE_ReadRest(nCh, g_aSerial[nCh].g_hComPort.load(), pbyBuffer, 0, REPLY_SIZE,
                                              REPLY_REST_MS);
    if (nCount > 0)
        NoteStray(pParam, ScanWithRest(nCh, pbyBuffer, static_cast<uint32_t>(nCount),
                                       SERIAL_REPLY_BUFFER_SIZE));
}

void FLASH_DOWNLOADER_Init(const CHANNEL_STATE* pChannels)
{
    if (pChannels == nullptr) return;
    for (int nCh = 0; nCh < MAX_CHANNEL; ++nCh)
        if (CHANNEL_Idle(pChannels[nCh])) g_aProtocol[nCh].g_bySeq = 0;
}

uint8_t FLASH_DOWNLOADER_LastRequest(int nCh)
{
    return nCh >= 0 && nCh < MAX_CHANNEL ? g_aProtocol[nCh].g_Track.byOpcode : 0;
}

uint32_t FLASH_DOWNLOADER_RequestsSent(int nCh)
{
    return nCh >= 0 && nCh < MAX_CHANNEL ? g_aProtocol[nCh].g_Track.dwRequests : 0;
}

void FLASH_DOWNLOADER_BeginSession(ChannelThreadParam* pParam)
{
    g_aProtocol[pParam->nCh].g_Track = REPLY_TRACK{};
    pParam->pState->m_bOutOfStep = 0;
}

int FLASH_DOWNLOADER_WaitQueryReply(ChannelThreadParam* pParam)
{
    const int nClass = ReceiveUntilAnswer(pParam, true);
    const bool bRefused = nClass == REPLY_NAK || nClass == REPLY_NAK_6 || nClass == REPLY_NAK_7;
    // A refusal that echoes another sequence byte may answer something else: no answer.
    if (bRefused && g_pfnReceiveSeam.load() == nullptr && g_aProtocol[pParam->nCh].g_abyReply[1] != 0)
        return REPLY_SEQ_ERROR;
    return nClass;
}

uint16_t FLASH_DOWNLOADER_WaitReply(ChannelThreadParam* pParam)
{
    return static_cast<uint16_t>(ReceiveUntilAnswer(pParam, false));
}

int FLASH_DOWNLOADER_WaitAck(ChannelThreadParam* pParam)
{
    return ReceiveUntilAnswer(pParam, false) == REPLY_ACK ? 1 : 0;
}

int FLASH_DOWNLOADER_WaitAckBounded(ChannelThreadParam* pParam)
{
    int nClass;
    uint32_t dwReceives = 0;
    do {
        nClass = ReceiveOnce(pParam, false);
        ++dwReceives;
    } while (nClass == REPLY_NONE && IsRunning(pParam) && dwReceives < WAIT_BOUNDED_RECEIVES);
    return nClass == REPLY_ACK ? 1 : 0;
}

int FLASH_DOWNLOADER_WaitResult(ChannelThreadParam* pParam, int* pnClass)
{
    int nClass = ReceiveUntilAnswer(pParam, true);
    if (pnClass && (nClass == REPLY_ACK || nClass == REPLY_NAK || nClass == REPLY_NAK_6 ||
                    nClass == REPLY_NAK_7))
        *pnClass = nClass;
    return nClass == REPLY_ACK ? 1 : 0;
}

int FLASH_DOWNLOADER_WaitAckAnySeq(ChannelThreadParam* pParam)
{
    return ReceiveUntilAnswer(pParam, true) == REPLY_ACK ? 1 : 0;
}

uint32_t FLASH_DOWNLOADER_Crc32(const uint8_t* pbyData, uint32_t dwBits, uint32_t dwInitial)
{
    uint32_t dwCrc = dwInitial;
    while (dwBits >= 8) {
        dwCrc = (dwCrc << 8) ^ g_adwCrcTable[((dwCrc >> 24) ^ *pbyData++) & 0xFF];
        dwBits -= 8;
    }
    if (dwBits > 0) {
        uint32_t dwWord = static_cast<uint32_t>(*pbyData) << 24;
        while (dwBits-- > 0) {
            dwCrc = ((dwCrc ^ dwWord) & 0x80000000u) ? (dwCrc << 1) ^ CRC_POLYNOMIAL : dwCrc << 1;
            dwWord <<= 1;
        }
    }
    return dwCrc;
}
