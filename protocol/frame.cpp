#include "protocol/frame.h"

#include <array>
#include <atomic>
#include <cstring>

#include "link/serial_device.h"
#include "protocol/commands.h"
#include "station/clock.h"
#include "station/station_core.h"

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

// Whether a silent wait should go on: the channel runs and its line has not hung up. A pulled
// phone never answers again, so waiting on would only spin until the console stops the channel.
bool IsRunning(const ChannelThreadParam* pParam)
{
    return pParam->pDlg->m_bRun[pParam->nCh].load() != 0 && !SERIAL_DEVICE_IsHungUp(pParam->nCh);
}

// One receive. An acknowledgement is the phone's sign of life that a bounded run watches for.
int ReceiveOnce(ChannelThreadParam* pParam, bool bAnySeq)
{
    const int nClass = FLASH_DOWNLOADER_Receive(pParam->nCh, bAnySeq);
    if (nClass == REPLY_ACK) {
        CVarnDLCore& core = *pParam->pDlg;
        core.m_dwAnswerTick[pParam->nCh] = CLOCK_Get().GetTickCount();
        core.m_dwResends[pParam->nCh] = 0;
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
    const CVarnDLCore& core = *pParam->pDlg;
    const int nCh = pParam->nCh;
    const uint8_t* pbyPacket = pParam->pnBufObj->m_pPacket;
    // A stopped channel sends nothing more, whatever the flow it is in: the next frame could be
    // an erase. Only the write-back of an EFS2 parked in the PDA area still goes out, since the
    // parked copy may be all that is left of the phone's file system.
    const bool bWriteBack =
        pbyPacket[1] == CMD_EFS_RESTORE && core.m_dwEfsParked[nCh].load() != EFS_NOT_PARKED;
    if (core.m_bRun[nCh].load() == 0 && !bWriteBack) return 0;
    if (dwHow & SEND_AGAIN)
        ++pParam->pDlg->m_dwResends[nCh];
    else
        SERIAL_DEVICE_DiscardInput(nCh);
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
    if (!bAnySeq && pbyReply[1] != g_bySeq[nCh]) return REPLY_SEQ_ERROR;
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
    if (RECEIVE_SEAM pfnSeam = g_pfnReceiveSeam.load())
        return pfnSeam(nCh, bAnySeq, g_pReceiveSeamContext.load());
    uint8_t* pbyReply = g_abyReply[nCh];
    std::memset(pbyReply, 0, SERIAL_REPLY_BUFFER_SIZE);
    const SERIAL_HANDLE hPort = g_hComPort[nCh].load();
    int nCount = SERIAL_DEVICE_Read(nCh, hPort, pbyReply, 0, SERIAL_REPLY_BUFFER_SIZE);
    if (nCount <= 0) return REPLY_NONE;
    // Classified on its first piece, a reply would leave its rest to be taken for the answer to
    // the next request, and every answer from then on would be one behind.
    if (static_cast<uint32_t>(nCount) < REPLY_SIZE && pbyReply[0] == REPLY_START)
        nCount += SERIAL_DEVICE_ReadRest(nCh, hPort, pbyReply, static_cast<uint32_t>(nCount),
                                         REPLY_SIZE - static_cast<uint32_t>(nCount), REPLY_REST_MS);
    return FLASH_DOWNLOADER_ClassifyReply(nCh, pbyReply, bAnySeq);
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
