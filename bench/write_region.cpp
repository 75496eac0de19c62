// How close the paged direct write (WriteRegionSpare) and the staged send (SendRegion) come to
// what the pseudo-terminal allows. The limit is a bare loop that sends the same frames and reads
// each 5-byte reply, with no image reads and no frame building; it and the exchange both talk to
// a minimal responder (a thread that reads one frame and acknowledges it, nothing more), so the
// ratio measures the exchange alone. Limit and exchange rounds alternate, so that both see the
// same load; the ratio printed is the median of the pairs, with its spread and the load average.
// The virtual phone's own throughput, which includes its flash bookkeeping, follows for
// information.
//
// Usage: bench_write_region [--pairs N (at least 7, default 15)] [--region-mib N (default 32)]

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_common.h"
#include "images/channel_image.h"
#include "link/port_table.h"
#include "link/serial_device.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "protocol/transfer.h"
#include "sim/virtual_phone.h"
#include "station/channel_context.h"
#include "station/station_core.h"

namespace {

constexpr uint32_t START_ADDR = 0x00100000;
constexpr int CH_RESPONDER = 0;
constexpr int CH_PHONE = 1;
constexpr int PHONE_ROUNDS = 3;
constexpr double MIB = 1024.0 * 1024.0;

// The far end of the limit: reads a frame (its header, then the payload the opcode carries) and
// answers 7E seq 02 00 00. No flash, no records, no pacing.
class CMinimalResponder {
public:
    ~CMinimalResponder() { Stop(); }

    bool Start()
    {
        char szName[PATH_MAX] = {};
        if (openpty(&m_fdMaster, &m_fdSlave, szName, nullptr, nullptr) != 0) return false;
        // Raw, as the virtual phone keeps its side; the slave stays open so that the master
        // reads do not fail before the station opens the port.
        termios tio{};
        tcgetattr(m_fdSlave, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_fdSlave, TCSANOW, &tio);
        m_strSlave = szName;
        m_thread = std::thread([this] { Serve(); });
        return true;
    }
    void Stop()
    {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_fdMaster >= 0) ::close(m_fdMaster);
        if (m_fdSlave >= 0) ::close(m_fdSlave);
        m_fdMaster = m_fdSlave = -1;
    }
    const std::string& SlavePath() const { return m_strSlave; }

private:
    void Serve()
    {
        std::vector<uint8_t> abyFrame(FRAME_HEADER_SIZE + FRAME_MAX_PAYLOAD);
        size_t nHave = 0;
        size_t nNeed = FRAME_HEADER_SIZE;
        while (!m_bStop) {
            pollfd pfd{m_fdMaster, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0) continue;
            const ssize_t n = ::read(m_fdMaster, abyFrame.data() + nHave, nNeed - nHave);
            if (n <= 0) continue;
            nHave += static_cast<size_t>(n);
            if (nHave == FRAME_HEADER_SIZE && VIRTUAL_PHONE_HasPayload(abyFrame[1]))
                nNeed += std::min(FRAME_GetWord(abyFrame.data() + 8), FRAME_MAX_PAYLOAD);
            if (nHave < nNeed) continue;
            const uint8_t abyReply[5] = {0x7E, abyFrame[0], 0x02, 0x00, 0x00};
            size_t nDone = 0;
            while (nDone < sizeof(abyReply) && !m_bStop) {
                const ssize_t w = ::write(m_fdMaster, abyReply + nDone, sizeof(abyReply) - nDone);
                if (w > 0) nDone += static_cast<size_t>(w);
            }
            nHave = 0;
            nNeed = FRAME_HEADER_SIZE;
        }
    }

    int m_fdMaster = -1;
    int m_fdSlave = -1;
    std::string m_strSlave;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

struct LOOP {
    const char* szName;
    uint8_t byOpcode;
    uint32_t dwFrameLength;  // payload bytes of every frame
    uint32_t dwFileStep;     // image bytes each frame carries
    bool bUnlocked;          // the spare loop sends without the send lock, as the exchange does
    int (*pfnExchange)(ChannelThreadParam*, int);
    int nKind;
};

double SecondsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The limit: the exchange's frames and reply reads, without the exchange. Seconds, or -1 when a
// frame was not acknowledged.
double TimeLimit(CVarnDLCore& core, const LOOP& loop, uint32_t dwRegion)
{
    const uint32_t dwFrames = (dwRegion + loop.dwFileStep - 1) / loop.dwFileStep;
    std::vector<uint8_t> abyFrame(FRAME_HEADER_SIZE + loop.dwFrameLength, 0x5A);
    std::vector<uint8_t> abyReply(SERIAL_REPLY_BUFFER_SIZE);
    const auto t0 = std::chrono::steady_clock::now();
    uint8_t bySeq = 2;
    for (uint32_t i = 0; i < dwFrames; ++i) {
        FLASH_DOWNLOADER_BuildRequest(abyFrame.data(), loop.byOpcode, bySeq, START_ADDR + i * 0x8000,
                                      loop.dwFrameLength, abyFrame.data() + FRAME_HEADER_SIZE, 0);
        const uint32_t dwSize = static_cast<uint32_t>(abyFrame.size());
        const int nSent = loop.bUnlocked ? SERIAL_DEVICE_SendUnlocked(CH_RESPONDER, abyFrame.data(), dwSize)
                                         : SERIAL_DEVICE_Send(CH_RESPONDER, abyFrame.data(), dwSize);
        if (nSent != 1) return -1;
        uint32_t dwHave = 0;
        while (dwHave < 5) {  // a reply may come in pieces
            const int n = SERIAL_DEVICE_Read(CH_RESPONDER, g_aSerial[CH_RESPONDER].g_hComPort.load(), abyReply.data(),
                                             dwHave, static_cast<uint32_t>(abyReply.size()) - dwHave);
            if (n <= 0 || !core.m_aChannel[CH_RESPONDER].m_bRun) return -1;
            dwHave += static_cast<uint32_t>(n);
        }
        if (abyReply[1] != bySeq || abyReply[2] != 0x02) return -1;
        bySeq = static_cast<uint8_t>(bySeq % 100 + 2);
    }
    return SecondsSince(t0);
}

// One run of the exchange itself on a channel. Seconds, or -1 when it failed.
double TimeExchange(ChannelThreadParam& param, const LOOP& loop)
{
    g_aProtocol[param.nCh].g_bySeq = 0;
    const auto t0 = std::chrono::steady_clock::now();
    if (!loop.pfnExchange(&param, loop.nKind)) return -1;
    return SecondsSince(t0);
}

bool OpenChannel(int nCh, const std::string& strSlave, const char* szImage)
{
    SERIAL_DEVICE_SetPort(nCh, PORT_TABLE_Assign(strSlave));
    return SERIAL_DEVICE_Open(nCh) && ENGINE_OpenImage(nCh, szImage);
}

}  // namespace

int main(int argc, char** argv)
{
    // Many short pairs rather than a few long ones: each pair's two rounds then see nearly the
    // same load, and the median passes over the pairs a burst of other work has split.
    const int nPairs = std::max(7, BENCH_IntOption(argc, argv, "--pairs", 15));
    const uint32_t dwRegionMib = static_cast<uint32_t>(std::max(1, BENCH_IntOption(argc, argv, "--region-mib", 32)));
    const uint32_t dwRegion = dwRegionMib << 20;

    CMinimalResponder responder;
    PHONE_CONFIG cfg;
    cfg.qwFlashSize = 0x10000000;
    cfg.dwStagingCapacity = dwRegion + 0x10000;
    CVirtualPhone phone(cfg);
    if (!responder.Start() || !phone.Start()) {
        std::fprintf(stderr, "bench_write_region: the responder or the virtual phone did not start\n");
        return 1;
    }

    char szImage[] = "/tmp/quillon_bench_XXXXXX";
    const int fd = ::mkstemp(szImage);
    if (fd < 0) return 1;
    {
        std::vector<uint8_t> aby(1 << 20);
        for (size_t i = 0; i < aby.size(); ++i) aby[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
        for (uint32_t dw = 0; dw < dwRegionMib + 1; ++dw)
            if (::write(fd, aby.data(), aby.size()) != static_cast<ssize_t>(aby.size())) return 1;
        ::close(fd);
    }

    CVarnDLCore core;
    SERIAL_DEVICE_CreateLock();
    SERIAL_DEVICE_SetStopTest(&core.m_Sink);
    for (int nCh : {CH_RESPONDER, CH_PHONE}) {
        core.m_aChannel[nCh].m_bRun = 1;
        core.m_aChannel[nCh].m_bMcci = 1;  // the phones in production answer the MCCI query: no 0x7E pauses
    }
    if (!OpenChannel(CH_RESPONDER, responder.SlavePath(), szImage) ||
        !OpenChannel(CH_PHONE, phone.SlavePath(), szImage)) {
        std::fprintf(stderr, "bench_write_region: cannot open a port or the image\n");
        return 1;
    }
    CBufObj aBuf[2];
    ChannelThreadParam aParam[2];
    REGION_INFO region{START_ADDR, 0, dwRegion, dwRegion};
    for (int nCh : {CH_RESPONDER, CH_PHONE}) {
        STATION_BindParam(aParam[nCh], core, nCh);
        aParam[nCh].pnBufObj = &aBuf[nCh];
        core.m_aChannel[nCh].g_pRegion = &region;
    }

    const LOOP aLoop[] = {
        {"WriteRegionSpare", CMD_WRITE_FLASH, 0x8080, 0x8080, true, FLASH_DOWNLOADER_WriteRegionSpare, 6},
        {"SendRegion", CMD_SEND_DATA, 0x8000, 0x8000, false, FLASH_DOWNLOADER_SendRegion, 3},
    };
    std::printf("bench_write_region: %u MiB region, %d pairs of rounds (limit, then exchange), "
                "pseudo-terminals\n", dwRegionMib, nPairs);
    std::printf("%-18s %14s %14s   (medians)\n", "", "limit MiB/s", "exchange MiB/s");
    std::vector<std::string> astrRatio;
    int nStatus = 0;
    for (const LOOP& loop : aLoop) {
        std::vector<double> adRatio, adLimit, adExchange;
        for (int nPair = 0; nPair < nPairs; ++nPair) {
            const double dLimit = TimeLimit(core, loop, dwRegion);
            const double dExchange = TimeExchange(aParam[CH_RESPONDER], loop);
            if (dLimit <= 0 || dExchange <= 0) {
                std::fprintf(stderr, "bench_write_region: %s failed against the responder\n", loop.szName);
                return 1;
            }
            adLimit.push_back(dwRegion / dLimit / MIB);
            adExchange.push_back(dwRegion / dExchange / MIB);
            adRatio.push_back(dLimit / dExchange);
        }
        std::printf("%-18s %14.1f %14.1f\n", loop.szName, BENCH_Median(adLimit), BENCH_Median(adExchange));
        char sz[160];
        std::snprintf(sz, sizeof(sz), "ratio %s %.2f  spread %.2f..%.2f  load average %s\n", loop.szName,
                      BENCH_Median(adRatio), *std::min_element(adRatio.begin(), adRatio.end()),
                      *std::max_element(adRatio.begin(), adRatio.end()), BENCH_LoadAverage().c_str());
        astrRatio.push_back(sz);
    }
    for (const std::string& str : astrRatio) std::fputs(str.c_str(), stdout);

    // For information: the same exchanges against the unthrottled virtual phone.
    std::printf("virtual phone, median of %d rounds:", PHONE_ROUNDS);
    for (const LOOP& loop : aLoop) {
        std::vector<double> adRate;
        for (int nRound = 0; nRound < PHONE_ROUNDS; ++nRound) {
            if (loop.byOpcode == CMD_WRITE_FLASH && !FLASH_DOWNLOADER_EraseForWrite(&aParam[CH_PHONE], 6)) {
                nStatus = 1;
                break;
            }
            const double d = TimeExchange(aParam[CH_PHONE], loop);
            if (d <= 0) {
                nStatus = 1;
                break;
            }
            adRate.push_back(dwRegion / d / MIB);
            phone.ClearRequests();
        }
        if (adRate.empty())
            std::printf(" %s failed", loop.szName);
        else
            std::printf(" %s %.1f MiB/s", loop.szName, BENCH_Median(adRate));
    }
    std::printf("\n");

    for (int nCh : {CH_RESPONDER, CH_PHONE}) {
        core.m_aChannel[nCh].m_bRun = 0;
        SERIAL_DEVICE_Close(nCh);
        ENGINE_CloseImage(nCh);
    }
    SERIAL_DEVICE_SetStopTest(nullptr);
    ::unlink(szImage);
    phone.Stop();
    responder.Stop();
    return nStatus;
}
