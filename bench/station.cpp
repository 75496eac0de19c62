// The headless station flashing eight virtual phones at once, each on a link limited to
// 4,000,000 bytes/s with a 0.2 ms reply latency: a 32 MiB PDA image and an 8 MiB AMSS region per
// phone. Prints each channel's time (without the reboot wait) next to its link-limited ideal,
// the aggregate throughput, and the station's peak resident memory and CPU time.
//
// With --mqtt it asks what the line costs instead: a broker of its own on a loopback port, and
// rounds that flash the same phones without and with the station on it (--mqtt URL --station),
// alternating, each with its results file. Prints the PDA throughput of every run, the ratio
// of the medians (goal: within 1 %) and the station's CPU time with the broker less without it,
// which is the publisher's.
//
// Usage: bench_station [--flash PATH] [--phones N] [--pda-mib N] [--amss-mib N] [--mqtt [--rounds N]]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_broker.h"
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

// What one run of the station showed.
struct RUN_FIGURES {
    int nExit = -1;
    double dWallMs = 0;
    double dCpuMs = 0;  // the station's user and system time
    double dPeakMib = 0;
    double dUserS = 0, dSystemS = 0;
    std::vector<CHANNEL_TIMES> aTimes;
    std::vector<IDEAL> aAll, aPda;  // per channel, from what its phone received

    // The channels' PDA throughput, averaged: the bytes of the PDA writes over the time from the
    // first PDA write to its success line.
    double PdaMBps() const
    {
        double dSum = 0;
        int n = 0;
        for (size_t i = 0; i < aTimes.size(); ++i) {
            const double dMs = aTimes[i].dPdaDone - aTimes[i].dPdaWrite;
            if (dMs <= 0) continue;
            dSum += aPda[i].qwBytes / 1e3 / dMs;
            ++n;
        }
        return n ? dSum / n : 0;
    }
};

// One run on nPhones fresh phones; the output lines are stamped as they arrive.
RUN_FIGURES FlashOnce(std::vector<std::string> astrArgs, int nPhones)
{
    PHONE_CONFIG cfg;
    cfg.dBytesPerSecond = LINK_BYTES_PER_SECOND;
    cfg.dwReplyLatencyUs = REPLY_LATENCY_US;
    std::vector<std::unique_ptr<CVirtualPhone>> apPhone;
    RUN_FIGURES run;
    for (int i = 0; i < nPhones; ++i) {
        apPhone.push_back(std::make_unique<CVirtualPhone>(cfg));
        if (!apPhone.back()->Start()) return run;
        astrArgs.push_back(apPhone.back()->SlavePath());
    }
    const double dStart = BENCH_NowMs();
    const BENCH_CHILD child = BENCH_Spawn(astrArgs);
    if (child.pid < 0) return run;
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
    run.dWallMs = BENCH_NowMs() - dStart;
    run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    run.dUserS = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6;
    run.dSystemS = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    run.dCpuMs = (run.dUserS + run.dSystemS) * 1000;
    run.dPeakMib = ru.ru_maxrss / 1024.0;
    for (int i = 0; i < nPhones; ++i) {
        IDEAL all, pda;
        for (const REQUEST_RECORD& r : apPhone[i]->Requests()) {
            all.Add(r);
            if (r.byOpcode == CMD_WRITE_FLASH && r.byKind == 6) pda.Add(r);
        }
        run.aAll.push_back(all);
        run.aPda.push_back(pda);
        run.aTimes.push_back(times[i]);
    }
    for (auto& p : apPhone) p->Stop();
    return run;
}

// The channels' times against the link's ideal, the aggregate, memory and CPU.
void PrintRun(const RUN_FIGURES& run)
{
    std::printf("station exit status %d\n", run.nExit);
    std::printf("%-4s %12s %12s %7s %12s %12s %7s\n", "ch", "cycle ms", "ideal ms", "ratio",
                "PDA ms", "PDA ideal", "ratio");
    uint64_t qwTotalBytes = 0;
    double dWorstPda = 0;
    for (size_t i = 0; i < run.aTimes.size(); ++i) {
        const CHANNEL_TIMES& t = run.aTimes[i];
        const IDEAL &all = run.aAll[i], &pda = run.aPda[i];
        qwTotalBytes += all.qwBytes;
        const double dCycle = t.dLocked - t.dUnlock, dPda = t.dPdaDone - t.dPdaWrite;
        const double dPdaRatio = pda.Ms() > 0 ? dPda / pda.Ms() : 0;
        if (dPdaRatio > dWorstPda) dWorstPda = dPdaRatio;
        std::printf("%-4zu %12.0f %12.0f %7.3f %12.0f %12.0f %7.3f\n", i, dCycle, all.Ms(),
                    all.Ms() > 0 ? dCycle / all.Ms() : 0, dPda, pda.Ms(), dPdaRatio);
    }
    const double dWallS = run.dWallMs / 1000.0;
    std::printf("aggregate: %.1f MB in %.2f s = %.2f MB/s\n", qwTotalBytes / 1e6, dWallS,
                qwTotalBytes / 1e6 / dWallS);
    std::printf("worst PDA ratio to ideal: %.3f (goal: at most 1.050)\n", dWorstPda);
    std::printf("station peak resident memory: %.1f MiB (goal: under 32 MiB)\n", run.dPeakMib);
    std::printf("station CPU time: user %.2f s, system %.2f s\n", run.dUserS, run.dSystemS);
}

// Rounds without and with the line's broker, alternating which goes first.
int CompareWithBroker(const std::vector<std::string>& astrBase, int nPhones, int nRounds, const std::string& strDir)
{
    CBenchBroker broker;
    std::string strError;
    if (!broker.Start(strError)) {
        std::fprintf(stderr, "bench_station: %s\n", strError.c_str());
        return 1;
    }
    std::printf("line's broker %s; %d rounds, alternating; load average %s\n", broker.Url().c_str(), nRounds,
                BENCH_LoadAverage().c_str());
    std::printf("%-6s %-8s %10s %10s %10s %5s\n", "round", "broker", "PDA MB/s", "CPU ms", "wall ms", "exit");
    std::vector<double> adMBps[2], adCpu[2], adRatio, adCpuDiff;
    int nBad = 0;
    for (int r = 0; r < nRounds; ++r) {
        double adRound[2] = {};
        for (int n = 0; n < 2; ++n) {
            const int k = (r + n) % 2;  // 1: on the line
            // A results file of its own per run, so that each station sends its own records.
            const std::string strResults =
                strDir + "/results-" + std::to_string(r) + "-" + std::to_string(k) + ".jsonl";
            std::vector<std::string> astrArgs = astrBase;
            astrArgs.insert(astrArgs.end(), {"--results", strResults});
            if (k) astrArgs.insert(astrArgs.end(), {"--mqtt", broker.Url(), "--station", "bench-station"});
            const RUN_FIGURES run = FlashOnce(astrArgs, nPhones);
            if (run.nExit != 0) ++nBad;
            adRound[k] = run.PdaMBps();
            adMBps[k].push_back(run.PdaMBps());
            adCpu[k].push_back(run.dCpuMs);
            std::printf("%-6d %-8s %10.3f %10.0f %10.0f %5d\n", r + 1, k ? "on" : "off", run.PdaMBps(), run.dCpuMs,
                        run.dWallMs, run.nExit);
        }
        if (adRound[0] > 0) adRatio.push_back(adRound[1] / adRound[0]);
        adCpuDiff.push_back(adCpu[1].back() - adCpu[0].back());
    }
    const double dOff = BENCH_Median(adMBps[0]), dOn = BENCH_Median(adMBps[1]);
    double dLow = 0, dHigh = 0;
    if (!adRatio.empty()) {
        dLow = *std::min_element(adRatio.begin(), adRatio.end());
        dHigh = *std::max_element(adRatio.begin(), adRatio.end());
    }
    std::printf("PDA MB/s per channel, median: without %.3f, with the broker %.3f\n", dOff, dOn);
    std::printf("ratio with/without %.4f (rounds %.4f to %.4f; goal: within 1 %%, 0.99 to 1.01)\n",
                dOff > 0 ? dOn / dOff : 0, dLow, dHigh);
    const double dCpuOff = BENCH_Median(adCpu[0]), dCpuOn = BENCH_Median(adCpu[1]);
    std::printf("station CPU ms, median: without %.0f, with the broker %.0f; the publisher's: %+.0f ms a run "
                "(%+.1f %%)\n",
                dCpuOff, dCpuOn, dCpuOn - dCpuOff, dCpuOff > 0 ? (dCpuOn - dCpuOff) * 100 / dCpuOff : 0);
    // On a shared machine the station's own CPU time varies by more than the publisher costs:
    // the rounds' differences show how far to trust the figure.
    std::printf("the publisher's CPU ms, round by round: median %+.0f (%+.0f to %+.0f)\n", BENCH_Median(adCpuDiff),
                *std::min_element(adCpuDiff.begin(), adCpuDiff.end()),
                *std::max_element(adCpuDiff.begin(), adCpuDiff.end()));
    std::printf("load average %s; %d runs failed\n", BENCH_LoadAverage().c_str(), nBad);
    return nBad == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const BENCH_LINE line = BENCH_LineOptions(argc, argv);
    bool bMqtt = false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--mqtt") == 0) bMqtt = true;

    CBenchImages scratch;
    if (!scratch.Write("bench_station", line.Sizes())) return 1;
    const std::string strPhone = scratch.Images().strPhone, strPda = scratch.Images().strPda;
    const std::vector<std::string> astrBase = {line.strFlash, "--phone", strPhone, "--pda", strPda,
                                               "--select", "phone,pda", "--model", "3",
                                               "--reboot-wait", "0"};
    std::printf("bench_station: %d phones, link %.1f MB/s, reply latency %.1f ms, PDA %u MiB, AMSS %u MiB\n",
                line.nPhones, LINK_BYTES_PER_SECOND / 1e6, REPLY_LATENCY_US / 1000.0, line.dwPdaMib,
                line.dwAmssMib);
    if (bMqtt)
        return CompareWithBroker(astrBase, line.nPhones, std::max(1, BENCH_IntOption(argc, argv, "--rounds", 3)),
                                 scratch.Dir());
    const RUN_FIGURES run = FlashOnce(astrBase, line.nPhones);
    PrintRun(run);
    return run.nExit == 0 ? 0 : 1;
}
