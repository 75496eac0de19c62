#include "protocol/commands.h"

#include <cstdio>

#include "link/serial_device.h"
#include "protocol/frame.h"
#include "station/log.h"
#include "station/channel_sink.h"
#include "station/image_selection.h"

namespace {

// Builds one request in the cleared packet buffer and sends it under the send lock; 1 when sent.
int SendRequest(ChannelThreadParam* pParam, uint8_t byOpcode, uint8_t bySeq, uint32_t dwParam,
                uint32_t dwLength, const uint8_t* pbyPayload)
{
    CBufObj* pBuf = pParam->pnBufObj;
    pBuf->ClearPacket();
    int nLength = FLASH_DOWNLOADER_BuildRequest(pBuf->m_pPacket, byOpcode, bySeq, dwParam, dwLength,
                                                pbyPayload, 0);
    return FLASH_DOWNLOADER_SendRequest(pParam, static_cast<uint32_t>(nLength), SEND_NEW);
}

// A wait that ended without an answer because the channel was stopped is no answer at all.
bool Stopped(const ChannelThreadParam* pParam)
{
    return pParam->pState->m_bRun.load() == 0;
}

// Asks a question (sequence byte 0) until the phone answers it: the class of an
// acknowledgement or of a well-formed refusal, or 0 when it gave none after QUERY_ASKINGS
// askings, the send failed or the wait ended without a reply. Asking again is the same
// request again, so a late answer to the first asking still counts.
int Ask(ChannelThreadParam* pParam, uint8_t byOpcode, const uint8_t* pbyPayload, uint32_t dwLength)
{
    CBufObj* pBuf = pParam->pnBufObj;
    pBuf->ClearPacket();
    const int nBytes = FLASH_DOWNLOADER_BuildRequest(pBuf->m_pPacket, byOpcode, 0, 0, dwLength,
                                                     pbyPayload, 0);
    for (uint32_t dwAsked = 0; dwAsked < QUERY_ASKINGS; ++dwAsked) {
        if (!FLASH_DOWNLOADER_SendRequest(pParam, static_cast<uint32_t>(nBytes),
                                          dwAsked == 0 ? SEND_NEW : SEND_AGAIN))
            return 0;
        const int nClass = FLASH_DOWNLOADER_WaitQueryReply(pParam);
        if (nClass == REPLY_ACK || nClass == REPLY_NAK || nClass == REPLY_NAK_6 ||
            nClass == REPLY_NAK_7)
            return nClass;
        if (nClass == REPLY_NONE) return 0;
    }
    return 0;
}

// The answer of a yes-or-no question, with its log lines; no line for a stopped channel.
int Answer(ChannelThreadParam* pParam, int nClass, const char* szYes, const char* szNo,
           const char* szQuery)
{
    const int nCh = pParam->nCh;
    if (nClass == REPLY_ACK) {
        pParam->pSink->Log(nCh, szYes, nCh);
        return QUERY_YES;
    }
    if (nClass != 0) {
        pParam->pSink->Log(nCh, szNo, nCh);
        return QUERY_NO;
    }
    if (!Stopped(pParam) && !pParam->pState->m_bOutOfStep.load())
        pParam->pSink->Log(nCh, "[Channel %d] No clear answer to the %s query\r\n",
                 nCh, szQuery);
    return QUERY_UNANSWERED;
}

// The erase text of a kind; the callers pass only the kinds of this table. The length is
// printed unsigned: a range of 2 GiB or more must not show as a negative byte count.
const char* EraseFormat(int nKind)
{
    switch (nKind) {
    case 0: return " MIBIB ERASE %u Bytes";
    case 1: return " QCSBL ERASE %u Bytes";
    case 2: return " OEMSBL ERASE %u Bytes";
    case 3: return " AMSS ERASE %u Bytes";
    case 4: return " EFS2 ERASE %u Bytes";
    case 5: return " APPSBL ERASE %u Bytes";
    case 6: return " PDA ERASE %u Bytes";
    case 7: return " CARRIER ERASE %u Bytes";
    case 8: return " HIDDEN ERASE %u Bytes";
    case 11: return " EFS2 ERASE %u Bytes";
    case 12: return " FOTA ERASE %u Bytes";
    default: return " ERASE %u Bytes";
    }
}

int Erase(ChannelThreadParam* pParam, int nKind, uint8_t byOpcode)
{
    const int nCh = pParam->nCh;
    const REGION_INFO* pRegion = pParam->pState->g_pRegion;
    if (!pRegion) return 0;
    char szText[STATUS_TEXT_MAX + 1];
    std::snprintf(szText, sizeof(szText), EraseFormat(nKind), pRegion->EraseLength);
    pParam->pSink->Bar(nCh).ShowText(pParam->pSink->DisplayLock(), szText, 0);
    if (!SendRequest(pParam, byOpcode, g_aProtocol[nCh].g_bySeq, pRegion->StartAddr, pRegion->EraseLength,
                     nullptr))
        return 0;
    return FLASH_DOWNLOADER_WaitReply(pParam) == REPLY_ACK ? 1 : 0;
}

}  // namespace

int FLASH_DOWNLOADER_Unlock(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    pParam->pSink->Bar(nCh).ShowText(pParam->pSink->DisplayLock(), "   FLASH UNLOCK", 0);
    pParam->pSink->Log(nCh, "[Channel %d]  FLASH UNLOCK\r\n", nCh);
    if (!SendRequest(pParam, CMD_FLASH_UNLOCK, g_aProtocol[nCh].g_bySeq, 0, 0, nullptr)) return 0;
    if (FLASH_DOWNLOADER_WaitReply(pParam) != REPLY_ACK) return 0;
    pParam->pSink->Log(nCh, "[Channel %d]  FLASH UNLOCK Success!!!\r\n", nCh);
    return 1;
}

int FLASH_DOWNLOADER_Lock(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    pParam->pSink->Log(nCh, "[Channel %d]  FLASH LOCK \r\n", nCh);
    pParam->pSink->Bar(nCh).ShowText(pParam->pSink->DisplayLock(), "   Varn Reboot", 0);
    ++g_aProtocol[nCh].g_bySeq;
    FLASH_DOWNLOADER_AwaitOwedReplies(pParam);
    if (!SendRequest(pParam, CMD_FLASH_LOCK, g_aProtocol[nCh].g_bySeq, 0, 0, nullptr)) return 0;
    // A phone that refuses the lock keeps its port: the caller decides what follows.
    if (FLASH_DOWNLOADER_WaitReply(pParam) != REPLY_ACK) return 0;
    SERIAL_DEVICE_Close(nCh);
    g_aSerial[nCh].g_nComPort = 0;
    pParam->pSink->Log(nCh, "[Channel %d]  FLASH LOCK Success!!!\r\n", nCh);
    return 1;
}

int FLASH_DOWNLOADER_QueryMcci(ChannelThreadParam* pParam)
{
    return Answer(pParam, Ask(pParam, CMD_MCCI, nullptr, 0), "[Channel %d] MCCI - Enabled\r\n",
                  "[Channel %d] MCCI Download - Disabled ! ! ! !\r\n", "MCCI");
}

int FLASH_DOWNLOADER_QuerySafeDownload(ChannelThreadParam* pParam)
{
    return Answer(pParam, Ask(pParam, CMD_SAFE_DOWNLOAD, nullptr, 0),
                  "[Channel %d] SafeDownload - Enabled\r\n",
                  "[Channel %d] Older Version Download - Enabled\r\n", "Safe Download");
}

int FLASH_DOWNLOADER_WriteCscSize(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    uint8_t abySize[4];
    FRAME_PutWord(abySize, pParam->pImages->m_dwCscSize);
    if (!SendRequest(pParam, CMD_CSC_SIZE, 0, 0, sizeof(abySize), abySize)) return 0;
    if (FLASH_DOWNLOADER_WaitResult(pParam, nullptr)) {
        pParam->pSink->Log(nCh, "[Channel %d] Write CSC Size\r\n", nCh);
        return 1;
    }
    pParam->pSink->Log(nCh, "[Channel %d] ERROR: Write CSCSize !\r\n", nCh);
    return 0;
}

int FLASH_DOWNLOADER_CheckCscReserve(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    uint8_t abyReserve[4];
    FRAME_PutWord(abyReserve, pParam->pImages->m_dwCscReserve);
    const int nClass = Ask(pParam, CMD_CSC_RESERVE, abyReserve, sizeof(abyReserve));
    // The phone answers class 22 when the reserve is large enough but not its preferred one.
    if (nClass == REPLY_ACK || nClass == REPLY_NAK_6) return QUERY_YES;
    if (nClass != 0) return QUERY_NO;
    if (!Stopped(pParam) && !pParam->pState->m_bOutOfStep.load())
        pParam->pSink->Log(nCh,                  "[Channel %d] No clear answer to the CSC reserve query\r\n", nCh);
    return QUERY_UNANSWERED;
}

int FLASH_DOWNLOADER_EraseForFlash(ChannelThreadParam* pParam, int nKind)
{
    return Erase(pParam, nKind, CMD_ERASE_FOR_FLASH);
}

int FLASH_DOWNLOADER_EraseForWrite(ChannelThreadParam* pParam, int nKind)
{
    return Erase(pParam, nKind, CMD_ERASE_FOR_WRITE);
}
