// The headless station flashing eight virtual phones at once, each on a link limited to
// 4,000,000 bytes/s with a 0.2 ms reply latency: a 32 MiB PDA image and an 8 MiB AMSS region per
// phone. Prints each channel's time (without the reboot wait) next to its link-limited ideal,
// the aggregate throughput, and the station's peak resident memory and CPU time.
//
// Usage: bench_station [--flash PATH] [--phones N] [--pda-mib N] [--amss-mib N]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_common.h"
#include "protocol/commands.h"
#include "sim/image_builder.h"
#include "sim/virtual_phone.h"

namespace {

constexpr double LINK_BYTES_PER_SECOND = 4000000.0;
constexpr uint32_t REPLY_LATENCY_US = 200;

// The time the link needs for a set of requests: every byte at the link's rate, plus one reply
// latency per request (one request is outstanding per channel).
struct IDEAL {
    uint64_t qwBytes = 0;
    uint32_t dwRequests = 0;
    void Add(const REQUEST_RECORD& r)
    {
        qwBytes += 12 + r.dwPayloadSize;
        ++dwRequests;
    }
    double Ms() const
    {
        return qwBytes / LINK_BYTES_PER_SECOND * 1000.0 + dwRequests * REPLY_LATENCY_US / 1000.0;
    }
};

struct CHANNEL_TIMES {
    double dUnlock = 0, dLocked = 0, dPdaWrite = 0, dPdaDone = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    const BENCH_LINE line = BENCH_LineOptions(argc, argv);
    const std::string& strFlash = line.strFlash;
    const int nPhones = line.nPhones;
    const uint32_t dwPdaMib = line.dwPdaMib, dwAmssMib = line.dwAmssMib;

    CBenchImages scratch;
    if (!scratch.Write("bench_station", line.Sizes())) return 1;
    const std::string strPhone = scratch.Images().strPhone, strPda = scratch.Images().strPda;

    PHONE_CONFIG cfg;
    cfg.dBytesPerSecond = LINK_BYTES_PER_SECOND;
    cfg.dwReplyLatencyUs = REPLY_LATENCY_US;
    std::vector<std::unique_ptr<CVirtualPhone>> apPhone;
    std::vector<std::string> astrArgs = {strFlash, "--phone", strPhone, "--pda", strPda,
                                         "--select", "phone,pda", "--model", "3",
                                         "--reboot-wait", "0"};
    for (int i = 0; i < nPhones; ++i) {
        apPhone.push_back(std::make_unique<CVirtualPhone>(cfg));
        if (!apPhone.back()->Start()) return 1;
        astrArgs.push_back(apPhone.back()->SlavePath());
    }

    const double dStart = BENCH_NowMs();
    const BENCH_CHILD child = BENCH_Spawn(astrArgs);
    if (child.pid < 0) return 1;

    // Every output line, stamped as it arrives.
    std::map<int, CHANNEL_TIMES> times;
    BENCH_ReadLines(child.fdOut, [&times](const std::string& strLine, double dNow) {
        int nCh;
        if (std::sscanf(strLine.c_str(), "[CH%d] log", &nCh) != 1) return;
        CHANNEL_TIMES& t = times[nCh];
        if (BENCH_EndsWith(strLine, "]  FLASH UNLOCK"))
            t.dUnlock = dNow;
        else if (strLine.find("PDA Write Data") != std::string::npos)
            t.dPdaWrite = dNow;
        else if (strLine.find("PDA Download Success!!") != std::string::npos)
            t.dPdaDone = dNow;
        else if (strLine.find("FLASH LOCK Success!!!") != std::string::npos)
            t.dLocked = dNow;
    });
    int nStatus = 0;
    struct rusage ru {};
    ::wait4(child.pid, &nStatus, 0, &ru);
    const double dEnd = BENCH_NowMs();

    std::printf("bench_station: %d phones, link %.1f MB/s, reply latency %.1f ms, PDA %u MiB, AMSS %u MiB\n",
                nPhones, LINK_BYTES_PER_SECOND / 1e6, REPLY_LATENCY_US / 1000.0, dwPdaMib, dwAmssMib);
    std::printf("station exit status %d\n", WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1);
    std::printf("%-4s %12s %12s %7s %12s %12s %7s\n", "ch", "cycle ms", "ideal ms", "ratio",
                "PDA ms", "PDA ideal", "ratio");
    uint64_t qwTotalBytes = 0;
    double dWorstPda = 0;
    for (int i = 0; i < nPhones; ++i) {
        IDEAL all, pda;
        for (const REQUEST_RECORD& r : apPhone[i]->Requests()) {
            all.Add(r);
            if (r.byOpcode == CMD_WRITE_FLASH && r.byKind == 6) pda.Add(r);
        }
        qwTotalBytes += all.qwBytes;
        const CHANNEL_TIMES& t = times[i];
        const double dCycle = t.dLocked - t.dUnlock, dPda = t.dPdaDone - t.dPdaWrite;
        const double dPdaRatio = pda.Ms() > 0 ? dPda / pda.Ms() : 0;
        if (dPdaRatio > dWorstPda) dWorstPda = dPdaRatio;
        std::printf("%-4d %12.0f %12.0f %7.3f %12.0f %12.0f %7.3f\n", i, dCycle, all.Ms(),
                    all.Ms() > 0 ? dCycle / all.Ms() : 0, dPda, pda.Ms(), dPdaRatio);
    }
    const double dWallS = (dEnd - dStart) / 1000.0;
    std::printf("aggregate: %.1f MB in %.2f s = %.2f MB/s\n", qwTotalBytes / 1e6, dWallS,
                qwTotalBytes / 1e6 / dWallS);
    std::printf("worst PDA ratio to ideal: %.3f (goal: at most 1.050)\n", dWorstPda);
    std::printf("station peak resident memory: %.1f MiB (goal: under 32 MiB)\n", ru.ru_maxrss / 1024.0);
    std::printf("station CPU time: user %.2f s, system %.2f s\n",
                ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6,
                ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6);

    for (auto& p : apPhone) p->Stop();
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 ? 0 : 1;
}
