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
    const std::string strFlash = BENCH_TextOption(argc, argv, "--flash", BENCH_SelfDir() + "/quillon-flash");
    int nPhones = BENCH_IntOption(argc, argv, "--phones", 8);
    if (nPhones < 1 || nPhones > 8) nPhones = 8;
    const uint32_t dwPdaMib = static_cast<uint32_t>(BENCH_IntOption(argc, argv, "--pda-mib", 32));
    const uint32_t dwAmssMib = static_cast<uint32_t>(BENCH_IntOption(argc, argv, "--amss-mib", 8));

    IMAGE_SET_SIZES sizes;
    sizes.dwPda = dwPdaMib << 20;
    sizes.dwAmss = dwAmssMib << 20;
    CBenchImages scratch;
    if (!scratch.Write("bench_station", sizes)) return 1;
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

    int afd[2];
    if (::pipe(afd) != 0) return 1;
    const double dStart = BENCH_NowMs();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(afd[1], 1);
        ::close(afd[0]);
        ::close(afd[1]);
        std::vector<char*> argvChild;
        for (auto& s : astrArgs) argvChild.push_back(s.data());
        argvChild.push_back(nullptr);
        ::execv(argvChild[0], argvChild.data());
        _exit(127);
    }
    ::close(afd[1]);

    // Every output line, stamped as it arrives.
    std::map<int, CHANNEL_TIMES> times;
    std::string strPending;
    char sz[65536];
    ssize_t n;
    while ((n = ::read(afd[0], sz, sizeof(sz))) > 0) {
        const double dNow = BENCH_NowMs();
        strPending.append(sz, static_cast<size_t>(n));
        size_t nEnd;
        while ((nEnd = strPending.find('\n')) != std::string::npos) {
            const std::string strLine = strPending.substr(0, nEnd);
            strPending.erase(0, nEnd + 1);
            int nCh;
            if (std::sscanf(strLine.c_str(), "[CH%d] log", &nCh) != 1) continue;
            CHANNEL_TIMES& t = times[nCh];
            static const std::string s_strUnlock = "]  FLASH UNLOCK";
            if (strLine.size() >= s_strUnlock.size() &&
                strLine.compare(strLine.size() - s_strUnlock.size(), s_strUnlock.size(), s_strUnlock) == 0)
                t.dUnlock = dNow;
            else if (strLine.find("PDA Write Data") != std::string::npos) t.dPdaWrite = dNow;
            else if (strLine.find("PDA Download Success!!") != std::string::npos) t.dPdaDone = dNow;
            else if (strLine.find("FLASH LOCK Success!!!") != std::string::npos) t.dLocked = dNow;
        }
    }
    int nStatus = 0;
    struct rusage ru {};
    ::wait4(pid, &nStatus, 0, &ru);
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
