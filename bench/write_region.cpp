// Throughput of the paged direct write and the staged send for a 64 MiB region against an
// unthrottled virtual phone over a pseudo-terminal, next to the raw limit of the same
// pseudo-terminal measured in the same run: a bare loop that writes the same frames and reads
// the 5-byte replies, with no image reads and no frame building.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/port_table.h"
#include "link/serial_device.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "protocol/transfer.h"
#include "sim/virtual_phone.h"
#include "station/channel_context.h"
#include "station/station_core.h"

namespace {

constexpr uint32_t REGION_SIZE = 64u << 20;
constexpr uint32_t START_ADDR = 0x00100000;
constexpr int CH = 0;
constexpr int ROUNDS = 5;  // the best of several: the machine is shared

double Seconds(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Writes each frame and reads its reply, as fast as the line allows; bytes per second of frame
// payload, or 0 when the phone did not acknowledge.
double RawLimit(CVarnDLCore& core, uint8_t byOpcode, uint32_t dwFrameLength, uint32_t dwChunks)
{
    std::vector<uint8_t> frame(12 + dwFrameLength, 0x5A);
    std::vector<uint8_t> reply(SERIAL_REPLY_BUFFER_SIZE);
    const auto t0 = std::chrono::steady_clock::now();
    uint8_t bySeq = 1;
    for (uint32_t i = 0; i < dwChunks; ++i) {
        std::memset(frame.data(), 0, 12);
        FLASH_DOWNLOADER_BuildRequest(frame.data(), byOpcode, bySeq, START_ADDR + i * 0x8000,
                                      dwFrameLength, frame.data() + 12, 0);
        if (SERIAL_DEVICE_SendUnlocked(CH, frame.data(), static_cast<uint32_t>(frame.size())) != 1)
            return 0;
        // A reply may come in pieces: read until its five bytes are in.
        uint32_t dwHave = 0;
        while (dwHave < 5) {
            int n = SERIAL_DEVICE_Read(CH, g_hComPort[CH].load(), reply.data(), dwHave,
                                       static_cast<uint32_t>(reply.size()) - dwHave);
            if (n <= 0 || !core.m_bRun[CH]) return 0;
            dwHave += static_cast<uint32_t>(n);
        }
        if (reply[2] != 0x02) return 0;
        bySeq = static_cast<uint8_t>(bySeq % 100 + 2);
    }
    return static_cast<double>(dwChunks) * dwFrameLength / Seconds(t0);
}

}  // namespace

int main()
{
    PHONE_CONFIG cfg;
    cfg.qwFlashSize = 0x10000000;
    cfg.dwStagingCapacity = REGION_SIZE + 0x10000;
    CVirtualPhone phone(cfg);
    if (!phone.Start()) {
        std::fprintf(stderr, "the virtual phone did not start\n");
        return 1;
    }

    char szImage[] = "/tmp/quillon_bench_XXXXXX";
    int fd = ::mkstemp(szImage);
    if (fd < 0) return 1;
    {
        std::vector<uint8_t> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
        for (uint32_t dw = 0; dw < REGION_SIZE / block.size() + 1; ++dw)
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) return 1;
        ::close(fd);
    }

    CVarnDLCore core;
    SERIAL_DEVICE_CreateLock();
    SERIAL_DEVICE_BindRunFlags(core.m_bRun);
    core.m_bRun[CH] = 1;
    core.m_bMcci[CH] = 1;  // the phones in production answer the MCCI query: no 0x7E pauses
    SERIAL_DEVICE_SetPort(CH, PORT_TABLE_Assign(phone.SlavePath()));
    if (!SERIAL_DEVICE_Open(CH) || !ENGINE_OpenImage(CH, szImage)) {
        std::fprintf(stderr, "cannot open the phone's port or the image\n");
        return 1;
    }
    CBufObj buf;
    ChannelThreadParam param;
    param.pDlg = &core;
    param.nCh = CH;
    param.pnBufObj = &buf;
    REGION_INFO region{START_ADDR, 0, REGION_SIZE, REGION_SIZE};
    g_pRegion[CH] = &region;

    const uint32_t dwSpareChunks = (REGION_SIZE + 0x8080 - 1) / 0x8080;
    const uint32_t dwSendChunks = REGION_SIZE / 0x8000;
    double dRawSpare = 0, dSpare = 0, dRawSend = 0, dSend = 0;
    for (int nRound = 0; nRound < ROUNDS; ++nRound) {
        if (!FLASH_DOWNLOADER_EraseForWrite(&param, 6)) return 1;
        double d = RawLimit(core, CMD_WRITE_FLASH, 0x8080, dwSpareChunks);
        dRawSpare = std::max(dRawSpare, d);

        if (!FLASH_DOWNLOADER_EraseForWrite(&param, 6)) return 1;
        g_bySeq[CH] = 0;
        auto t0 = std::chrono::steady_clock::now();
        if (!FLASH_DOWNLOADER_WriteRegionSpare(&param, 6)) return 1;
        // The file bytes moved per second: the region itself.
        dSpare = std::max(dSpare, REGION_SIZE / Seconds(t0));

        d = RawLimit(core, CMD_SEND_DATA, 0x8000, dwSendChunks);
        dRawSend = std::max(dRawSend, d);

        t0 = std::chrono::steady_clock::now();
        if (!FLASH_DOWNLOADER_SendRegion(&param, 3)) return 1;
        dSend = std::max(dSend, REGION_SIZE / Seconds(t0));
        phone.ClearRequests();
    }

    const double MiB = 1024.0 * 1024.0;
    std::printf("region %u bytes, best of %d rounds, unthrottled virtual phone over a pseudo-terminal\n",
                REGION_SIZE, ROUNDS);
    std::printf("raw WriteRegionSpare frames   %8.1f MiB/s\n", dRawSpare / MiB);
    std::printf("WriteRegionSpare              %8.1f MiB/s\n", dSpare / MiB);
    std::printf("raw SendRegion frames         %8.1f MiB/s\n", dRawSend / MiB);
    std::printf("SendRegion                    %8.1f MiB/s\n", dSend / MiB);
    std::printf("ratio WriteRegionSpare %.2f\n", dRawSpare > 0 ? dSpare / dRawSpare : 0.0);
    std::printf("ratio SendRegion %.2f\n", dRawSend > 0 ? dSend / dRawSend : 0.0);

    core.m_bRun[CH] = 0;
    SERIAL_DEVICE_Close(CH);
    SERIAL_DEVICE_BindRunFlags(nullptr);
    ENGINE_CloseImage(CH);
    ::unlink(szImage);
    phone.Stop();
    return 0;
}
