#include "protocol/transfer.h"

#include <algorithm>
#include <cstring>

#include "images/channel_image.h"
#include "link/serial_device.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "station/clock.h"
#include "station/log.h"
#include "station/channel_sink.h"
#include "station/image_selection.h"

namespace {

constexpr uint32_t CHUNK_SIZE = 0x8000;        // flash bytes per chunk, and the staged frame
constexpr uint32_t SPARE_CHUNK_SIZE = 0x8080;  // 16 pages of 2,048 bytes with 8 spare bytes each
constexpr uint32_t PAGE_SIZE = 2048;
constexpr uint32_t SPARE_PAGE_SIZE = 2056;
constexpr uint32_t PAGES_PER_CHUNK = 16;
constexpr uint32_t PRIORITY_OFFSET = 104;      // the CSC priority byte of the first page
constexpr uint32_t FLASH_STEP = 0x20000;
constexpr uint32_t MIBIB_AREA_OFFSET = 0x40000;
constexpr uint8_t SLOW_SEQUENCE = 0x7E;         // the phone needs a breather before this one
constexpr uint32_t SLOW_SEQUENCE_PAUSE_MS = 500;
constexpr uint32_t PAUSE_SLICE_MS = 100;
constexpr uint8_t MCCI_SEQUENCE_LIMIT = 112;

static_assert(PAGES_PER_CHUNK * PAGE_SIZE == CHUNK_SIZE);
static_assert(PAGES_PER_CHUNK * SPARE_PAGE_SIZE == SPARE_CHUNK_SIZE);
static_assert(SPARE_CHUNK_SIZE <= BUF_OBJ_SIZE);

bool IsRunning(const ChannelThreadParam* pParam)
{
    return pParam->pState->m_bRun.load() != 0;
}

// The channel runs on a line still attached, with its replies in step: a reply that did not
// come was withheld by the phone, not cut off by a stop.
bool Answering(const ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    return IsRunning(pParam) && !SERIAL_DEVICE_IsHungUp(nCh) &&
           pParam->pState->m_bOutOfStep.load() == 0;
}

// Leaves a parked state; true when the console asked meanwhile to stop the channel.
bool Unpark(ChannelThreadParam* pParam)
{
    return PARKED_StopDeferred(pParam->pState->m_dwParked.exchange(PARKED_NONE));
}

void Show(ChannelThreadParam* pParam, int nKind, int nPercent)
{
    pParam->pSink->Bar(pParam->nCh).ShowStatus(pParam->nCh, pParam->pSink->DisplayLock(), nullptr, nKind,
                                                 nPercent, 0);
}

void Position(ChannelThreadParam* pParam, int nPosition)
{
    pParam->pSink->Bar(pParam->nCh).SetPos(nPosition);
}

// The percentage of a chunk loop. A region shorter than 100 bytes is done by its first chunk.
uint32_t ChunkPercent(uint32_t dwDone, uint32_t dwDataLength)
{
    const uint32_t dwUnit = dwDataLength / 100;
    return dwUnit ? dwDone / dwUnit : 100;
}

// Builds a request in the cleared packet buffer; the frame length.
uint32_t Build(ChannelThreadParam* pParam, uint8_t byOpcode, uint8_t bySeq, uint32_t dwParam,
               uint32_t dwLength, const uint8_t* pbyPayload, int nKind)
{
    CBufObj* pBuf = pParam->pnBufObj;
    pBuf->ClearPacket();
    return static_cast<uint32_t>(FLASH_DOWNLOADER_BuildRequest(
        pBuf->m_pPacket, byOpcode, bySeq, dwParam, dwLength, pbyPayload,
        static_cast<uint8_t>(nKind & 0xFF)));
}

// A read that came back with fewer of the region's bytes than asked for: the image file was
// cut short or rewritten since Start checked it. Logged, so that the region's failure text has
// its reason.
bool ReadCovers(ChannelThreadParam* pParam, uint64_t qwAt, uint32_t dwRead, uint32_t dwNeeded)
{
    if (dwRead >= dwNeeded) return true;
    pParam->pSink->Log(pParam->nCh,              "[Channel %d]  Image file ends early: 0x%x of 0x%x bytes at offset 0x%llx\r\n",
             pParam->nCh, dwRead, dwNeeded, static_cast<unsigned long long>(qwAt));
    return false;
}

enum class Wait { Bounded, Unbounded };

struct SEND_RULE {
    bool bUnlocked;     // the 32,896-byte loops send without the send lock
    Wait eWait;
    bool bLogError;     // a failed resend leaves "ERROR"
    bool bSlowPause;    // the staged send pauses before waiting on sequence 0x7E
};

int SendFrame(ChannelThreadParam* pParam, const SEND_RULE& rule, uint32_t dwLength, uint32_t dwHow)
{
    return FLASH_DOWNLOADER_SendRequest(pParam, dwLength,
                                        rule.bUnlocked ? dwHow | SEND_UNLOCKED : dwHow);
}

// Sends the frame built in the packet buffer and sends it again after every reply that is not
// an acknowledgement, until one is, or the channel is stopped (which counts as done: the
// caller's loop test sees the stop). 0 only when a send fails.
int SendUntilAcknowledged(ChannelThreadParam* pParam, const SEND_RULE& rule, uint32_t dwLength)
{
    const int nCh = pParam->nCh;
    if (!SendFrame(pParam, rule, dwLength, SEND_NEW)) return 0;
    if (rule.bSlowPause && g_aProtocol[nCh].g_bySeq == SLOW_SEQUENCE && !pParam->pState->m_bMcci) {
        for (uint32_t dwSlept = 0; dwSlept < SLOW_SEQUENCE_PAUSE_MS && IsRunning(pParam);
             dwSlept += PAUSE_SLICE_MS)
            CLOCK_Get().Sleep(PAUSE_SLICE_MS);
    }
    for (;;) {
        int bAck = rule.eWait == Wait::Bounded ? FLASH_DOWNLOADER_WaitAckBounded(pParam)
                                               : FLASH_DOWNLOADER_WaitAck(pParam);
        if (bAck || !IsRunning(pParam)) return 1;
        if (!SendFrame(pParam, rule, dwLength, SEND_AGAIN)) {
            if (rule.bLogError) pParam->pSink->Log(nCh, "ERROR");
            return 0;
        }
    }
}

enum class Loop { Send, Write, WriteSpare, WriteAddSpare };

// The four chunk loops share one shape; only the per-variant rules differ.
int ChunkLoop(ChannelThreadParam* pParam, int nKind, Loop eLoop)
{
    const int nCh = pParam->nCh;
    CBufObj* pBuf = pParam->pnBufObj;
    const REGION_INFO* pRegion = pParam->pState->g_pRegion;
    if (!pRegion) return 0;
    const uint32_t dwDataLength = pRegion->DataLength;

    const bool bSpare = eLoop == Loop::WriteSpare || eLoop == Loop::WriteAddSpare;
    const uint32_t dwFileStep = eLoop == Loop::WriteSpare ? SPARE_CHUNK_SIZE : CHUNK_SIZE;
    const uint32_t dwFrameLength = bSpare ? SPARE_CHUNK_SIZE : CHUNK_SIZE;
    const uint8_t byOpcode = eLoop == Loop::Send ? CMD_SEND_DATA : CMD_WRITE_FLASH;
    SEND_RULE rule;
    rule.bUnlocked = bSpare;
    rule.eWait = bSpare ? Wait::Unbounded : Wait::Bounded;
    rule.bLogError = bSpare;
    rule.bSlowPause = eLoop == Loop::Send;

    if (eLoop == Loop::Send) g_aProtocol[nCh].g_bySeq = 1;

    uint32_t dwDone = 0;
    uint32_t dwChunk = 0;
    uint32_t dwLast = 0;
    while (dwDone < dwDataLength && IsRunning(pParam)) {
        if (bSpare)
            pBuf->FillData(0xFF);
        else
            pBuf->ClearData();
        // Past the region's end the file may hold anything or nothing; within it, every byte
        // must still be there, or the chunk would go out padded in place of the image's data.
        const uint64_t qwAt = static_cast<uint64_t>(pRegion->FileOffset) + dwDone;
        const uint32_t dwRead = ENGINE_ReadImage(nCh, qwAt, pBuf->m_pData, dwFileStep);
        if (!ReadCovers(pParam, qwAt, dwRead, std::min(dwFileStep, dwDataLength - dwDone))) return 0;

        if (bSpare && dwDataLength - dwDone < dwFileStep) {
            // Past the region's end the page holds erased flash, whatever the file holds there.
            const uint32_t dwEnd = dwDataLength - dwDone;
            std::memset(pBuf->m_pData + dwEnd, 0xFF, pBuf->m_dwDataSize - dwEnd);
        }
        if (eLoop == Loop::WriteAddSpare) {
            if (dwChunk == 0) pBuf->m_pData[PRIORITY_OFFSET] = static_cast<uint8_t>(pParam->pImages->m_bCscPriority);
            // Page k moves up by 8 bytes per page before it; from the top down, so no page is
            // overwritten before it has moved.
            for (int k = PAGES_PER_CHUNK - 1; k >= 0; --k) {
                uint8_t* pbySlot = pBuf->m_pData + k * SPARE_PAGE_SIZE;
                std::memmove(pbySlot, pBuf->m_pData + k * PAGE_SIZE, PAGE_SIZE);
                std::memset(pbySlot + PAGE_SIZE, 0xFF, SPARE_PAGE_SIZE - PAGE_SIZE);
            }
        }

        const uint32_t dwAddress = pRegion->StartAddr + dwChunk * CHUNK_SIZE;
        const uint32_t dwLength =
            Build(pParam, byOpcode, g_aProtocol[nCh].g_bySeq, dwAddress, dwFrameLength, pBuf->m_pData, nKind);
        if (!SendUntilAcknowledged(pParam, rule, dwLength)) return 0;

        dwDone += dwFileStep;
        ++dwChunk;
        if (eLoop == Loop::Send) {
            // In MCCI mode the sequence never reaches 0x7E; otherwise it skips 0 and 1.
            ++g_aProtocol[nCh].g_bySeq;
            if (pParam->pState->m_bMcci) {
                if (g_aProtocol[nCh].g_bySeq > MCCI_SEQUENCE_LIMIT) g_aProtocol[nCh].g_bySeq = 2;
            } else if (g_aProtocol[nCh].g_bySeq < 2) {
                g_aProtocol[nCh].g_bySeq = 2;
            }
        }

        uint32_t dwPercent = ChunkPercent(dwDone, dwDataLength);
        // The file step may overshoot the region on the last chunk: the staged send and the
        // plain write leave that to their closing 100, the spare loops, which have no closing
        // step, show 100 instead.
        if (bSpare && dwPercent > 100) dwPercent = 100;
        if (dwPercent != dwLast && dwPercent < 101) {
            dwLast = dwPercent;
            if (eLoop != Loop::Send) g_aProtocol[nCh].g_bySeq = static_cast<uint8_t>(dwPercent);
            Show(pParam, nKind, static_cast<int>(dwPercent));
            Position(pParam, static_cast<int>(dwPercent));
        }
    }

    // A stopped loop leaves the bar at the progress reached.
    if (!bSpare && IsRunning(pParam)) {
        Show(pParam, nKind, 100);
        Position(pParam, static_cast<int>(dwLast));
    }
    return 1;
}

}  // namespace

int FLASH_DOWNLOADER_SendRegion(ChannelThreadParam* pParam, int nKind)
{
    return ChunkLoop(pParam, nKind, Loop::Send);
}

int FLASH_DOWNLOADER_WriteRegion(ChannelThreadParam* pParam, int nKind)
{
    return ChunkLoop(pParam, nKind, Loop::Write);
}

int FLASH_DOWNLOADER_WriteRegionSpare(ChannelThreadParam* pParam, int nKind)
{
    return ChunkLoop(pParam, nKind, Loop::WriteSpare);
}

int FLASH_DOWNLOADER_WriteRegionAddSpare(ChannelThreadParam* pParam, int nKind)
{
    return ChunkLoop(pParam, nKind, Loop::WriteAddSpare);
}

int FLASH_DOWNLOADER_CheckCrc(ChannelThreadParam* pParam, int nKind)
{
    const int nCh = pParam->nCh;
    CBufObj* pBuf = pParam->pnBufObj;
    const REGION_INFO* pRegion = pParam->pState->g_pRegion;
    if (!pRegion) return 0;

    const uint64_t qwUnit = nKind == PdaDownloading ? SPARE_CHUNK_SIZE : CHUNK_SIZE;
    const uint64_t qwPadded = (pRegion->DataLength + qwUnit - 1) / qwUnit * qwUnit;
    if (qwPadded > CRC_REGION_LIMIT) {
        pParam->pSink->Log(nCh,                  "[Channel %d]  CRC Check refused: %llu padded bytes exceed %u\r\n", nCh,
                 static_cast<unsigned long long>(qwPadded), CRC_REGION_LIMIT);
        return 0;
    }

    // The value covers only the first eighth of the padded region, because the routine counts
    // bits. Those bytes are read piece by piece. The file must hold the region's own bytes among
    // them; past the region's end, bytes the file does not hold count as the zeros the phone
    // received, since the staged send clears its buffer before every read.
    const uint32_t dwBits = static_cast<uint32_t>(qwPadded);
    const uint32_t dwCovered = dwBits / 8;
    uint32_t dwCrc = 0;
    uint32_t dwOffset = 0;
    bool bEndOfFile = false;
    if (dwBits == 0) return 0;  // nothing to read is a read of 0 bytes
    while (dwOffset < dwCovered) {
        const uint32_t dwPiece = std::min(dwCovered - dwOffset, CHUNK_SIZE);
        const uint32_t dwInRegion = pRegion->DataLength > dwOffset ? pRegion->DataLength - dwOffset : 0;
        uint32_t dwRead = 0;
        if (!bEndOfFile) {
            const uint64_t qwAt = static_cast<uint64_t>(pRegion->FileOffset) + dwOffset;
            dwRead = ENGINE_ReadImage(nCh, qwAt, pBuf->m_pData, dwPiece);
            if (!ReadCovers(pParam, qwAt, dwRead, std::min(dwPiece, dwInRegion))) return 0;
            bEndOfFile = dwRead < dwPiece;
        }
        std::memset(pBuf->m_pData + dwRead, 0, dwPiece - dwRead);
        dwCrc = FLASH_DOWNLOADER_Crc32(pBuf->m_pData, dwPiece * 8, dwCrc);
        dwOffset += dwPiece;
    }

    g_aProtocol[nCh].g_bySeq = 0;
    uint8_t abyCrc[4];
    FRAME_PutWord(abyCrc, dwCrc);
    const uint32_t dwLength = Build(pParam, CMD_CHECK_CRC, 0, 0, sizeof(abyCrc), abyCrc, 0);
    if (!FLASH_DOWNLOADER_SendRequest(pParam, dwLength, SEND_NEW)) return 0;
    if (FLASH_DOWNLOADER_WaitAckAnySeq(pParam)) return 1;
    pParam->pSink->Log(nCh, "[Channel %d]  Fail to CRC Check \r\n", nCh);
    return 0;
}

int FLASH_DOWNLOADER_FlashRegion(ChannelThreadParam* pParam, int nKind)
{
    const int nCh = pParam->nCh;
    const REGION_INFO* pRegion = pParam->pState->g_pRegion;
    if (!pRegion) return 0;

    g_aProtocol[nCh].g_bySeq = 0;
    const uint32_t dwTotal = pRegion->DataLength;
    if (dwTotal == 0) {
        // Nothing was sent, so nothing is programmed.
        Show(pParam, nKind, 100);
        Position(pParam, 100);
        return 1;
    }
    // The boot loaders program in one go; the others in 128 KiB steps. A region shorter than
    // a step is programmed in one request of its own length.
    uint32_t dwStep = (nKind == QcsblFlashing || nKind == OemsblFlashing || nKind == FotaFlashing)
                          ? dwTotal
                          : FLASH_STEP;
    if (dwStep > dwTotal) dwStep = dwTotal;
    uint32_t dwDone = 0;
    while (dwStep != 0) {
        const uint32_t dwLength =
            Build(pParam, CMD_FLASH_DATA, 0, pRegion->StartAddr + dwDone, dwStep, nullptr, 0);
        if (!FLASH_DOWNLOADER_SendRequest(pParam, dwLength, SEND_NEW)) return 0;
        if (!FLASH_DOWNLOADER_WaitAckAnySeq(pParam)) return 0;
        // In 64 bits: in 32 the product wraps for regions above 42,949,672 bytes and the bar
        // would jump back to small percentages.
        const int nPercent = static_cast<int>((static_cast<uint64_t>(dwDone) + dwStep) * 100 / dwTotal);
        Show(pParam, nKind, nPercent);
        Position(pParam, nPercent);
        dwDone += dwStep;
        if (dwTotal - dwDone <= dwStep) dwStep = dwTotal - dwDone;
    }
    return 1;
}

int FLASH_DOWNLOADER_SendMibib(ChannelThreadParam* pParam)
{
    const int nCh = pParam->nCh;
    CBufObj* pBuf = pParam->pnBufObj;
    const SEND_RULE rule{false, Wait::Bounded, false, false};
    struct AREA {
        uint32_t dwStart;
        uint32_t dwChunks;
    };
    static const AREA aArea[2] = {{MIBIB_AREA_OFFSET, 4}, {0, 1}};

    for (int k = 0; k < 2; ++k) {
        const AREA& area = aArea[k];
        g_aProtocol[nCh].g_bySeq = 1;
        for (uint32_t i = 0; i < area.dwChunks; ++i) {
            const uint32_t dwOffset = area.dwStart + i * CHUNK_SIZE;
            pBuf->ClearData();
            if (ENGINE_ReadImage(nCh, dwOffset, pBuf->m_pData, CHUNK_SIZE) == 0) return 0;
            const uint32_t dwLength = Build(pParam, CMD_SEND_DATA, g_aProtocol[nCh].g_bySeq, dwOffset,
                                            CHUNK_SIZE, pBuf->m_pData, 0);
            if (!SendUntilAcknowledged(pParam, rule, dwLength)) return 0;
            // A stopped channel sends nothing more; the area is not programmed.
            if (!IsRunning(pParam)) return 0;
            ++g_aProtocol[nCh].g_bySeq;
        }
        // From the erase on, the area's data live only in the phone's memory until they are
        // programmed: parked, as the other staged regions are.
        const uint32_t dwAreaLength = area.dwChunks * CHUNK_SIZE;
        const uint32_t dwSent = FLASH_DOWNLOADER_RequestsSent(nCh);
        pParam->pState->m_dwParked = PARKED_ERASED;
        uint32_t dwLength =
            Build(pParam, CMD_ERASE_FOR_FLASH, g_aProtocol[nCh].g_bySeq, area.dwStart, dwAreaLength, nullptr, 0);
        const bool bErased = FLASH_DOWNLOADER_SendRequest(pParam, dwLength, SEND_NEW) &&
                             FLASH_DOWNLOADER_WaitReply(pParam) == REPLY_ACK;
        if (!bErased && (FLASH_DOWNLOADER_RequestsSent(nCh) == dwSent || Answering(pParam))) {
            Unpark(pParam);
            return 0;
        }
        dwLength = Build(pParam, CMD_FLASH_DATA, 0, area.dwStart, dwAreaLength, nullptr, 0);
        const bool bProgrammed = FLASH_DOWNLOADER_SendRequest(pParam, dwLength, SEND_NEW) &&
                                 FLASH_DOWNLOADER_WaitAckAnySeq(pParam);
        const bool bStop = Unpark(pParam) || !Answering(pParam);
        if (bStop && bProgrammed) {
            pParam->pSink->Log(nCh,                      "[Channel %d]  MIBIB restored from the phone's memory before the stop\r\n", nCh);
            pParam->pSink->End(nCh, OUTCOME_STOPPED, std::string());
            return 0;
        }
        if (bStop) {
            pParam->pState->m_nLeftErased = REGION_MIBIB;
            pParam->pSink->Log(nCh,                      "[Channel %d]  MIBIB is erased and was not programmed again after the stop: the "
                     "phone will not start until it is flashed again\r\n",
                     nCh);
        }
        if (!bProgrammed) return 0;
        Show(pParam, MibibDownloading, k * 25);
        Position(pParam, k * 25);
    }
    Show(pParam, MibibDownloading, 100);
    Position(pParam, 100);
    return 1;
}

int FLASH_DOWNLOADER_WriteMibib(ChannelThreadParam* pParam, int nKind)
{
    const int nCh = pParam->nCh;
    CBufObj* pBuf = pParam->pnBufObj;
    const REGION_INFO* pRegion = pParam->pState->g_pRegion;
    if (!pRegion) return 0;
    const SEND_RULE rule{false, Wait::Bounded, false, false};

    // Both pages carry the same sequence byte; the file offset serves as the flash address.
    const uint32_t adwOffset[2] = {pRegion->FileOffset, MIBIB_AREA_OFFSET};
    for (int nPage = 0; nPage < 2; ++nPage) {
        pBuf->ClearData();
        if (ENGINE_ReadImage(nCh, adwOffset[nPage], pBuf->m_pData, CHUNK_SIZE) == 0) return 0;
        if (nPage == 0) ++g_aProtocol[nCh].g_bySeq;
        const uint32_t dwLength = Build(pParam, CMD_WRITE_FLASH, g_aProtocol[nCh].g_bySeq, adwOffset[nPage],
                                        CHUNK_SIZE, pBuf->m_pData, 0);
        if (!SendUntilAcknowledged(pParam, rule, dwLength)) return 0;
        // Stopped: like the chunk loops, leave without another frame; the caller sees the stop.
        if (!IsRunning(pParam)) return 1;
        Show(pParam, nKind, nPage == 0 ? 50 : 100);
        Position(pParam, 0);
    }
    return 1;
}
