// What result records cost: the SHA-256 rate of the image hashing, then the headless station
// flashing eight virtual phones with and without --results, in alternating rounds. Prints the
// median time from the program's start to the last channel's first frame (the unlock), which the
// background hashing must not delay, and the median time of the whole run.
//
// Usage: bench_result_record [--flash PATH] [--rounds N] [--pda-mib N]

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_common.h"
#include "images/image_digest.h"
#include "sim/image_builder.h"
#include "sim/virtual_phone.h"

namespace {

constexpr int PHONES = 8;

struct RUN {
    double dLastUnlockMs = 0;  // from the start to the last channel's unlock line
    double dTotalMs = 0;
    int nExit = -1;
};

// One run of the station on fresh phones; its output is read as it comes, so that the unlock
// lines are stamped when they are printed.
RUN FlashOnce(const std::vector<std::string>& astrBase, const std::string& strResults)
{
    std::vector<std::unique_ptr<CVirtualPhone>> apPhone;
    std::vector<std::string> astrArgs = astrBase;
    if (!strResults.empty()) astrArgs.insert(astrArgs.end(), {"--results", strResults});
    for (int i = 0; i < PHONES; ++i) {
        apPhone.push_back(std::make_unique<CVirtualPhone>());
        if (!apPhone.back()->Start()) return RUN{};
        astrArgs.push_back(apPhone.back()->SlavePath());
    }
    RUN run;
    const double dStart = BENCH_NowMs();
    const BENCH_CHILD child = BENCH_Spawn(astrArgs);
    if (child.pid < 0) return run;
    BENCH_ReadLines(child.fdOut, [&run, dStart](const std::string& strLine, double dNow) {
        // "[CHn] log [Channel n]  FLASH UNLOCK" goes out with the unlock frame.
        if (BENCH_EndsWith(strLine, "]  FLASH UNLOCK")) run.dLastUnlockMs = dNow - dStart;
    });
    int nStatus = 0;
    ::waitpid(child.pid, &nStatus, 0);
    run.dTotalMs = BENCH_NowMs() - dStart;
    run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    for (auto& p : apPhone) p->Stop();
    return run;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string strFlash = BENCH_TextOption(argc, argv, "--flash", BENCH_SelfDir() + "/quillon-flash");
    const int nRounds = std::max(1, BENCH_IntOption(argc, argv, "--rounds", 5));
    const uint32_t dwPdaMib = static_cast<uint32_t>(BENCH_IntOption(argc, argv, "--pda-mib", 64));

    std::vector<uint8_t> aby(256u << 20);
    for (size_t i = 0; i < aby.size(); ++i) aby[i] = static_cast<uint8_t>(i * 131 + (i >> 16));
    const double dHashStart = BENCH_NowMs();
    const std::string strDigest = IMAGE_DIGEST_Bytes(aby.data(), aby.size());
    const double dHashMs = BENCH_NowMs() - dHashStart;
    std::printf("bench_result_record: SHA-256 of 256 MiB in memory: %.0f ms = %.0f MB/s (%s...)\n", dHashMs,
                aby.size() / 1e3 / dHashMs, strDigest.substr(0, 16).c_str());
    aby = std::vector<uint8_t>();

    IMAGE_SET_SIZES sizes;
    sizes.dwPda = dwPdaMib << 20;
    CBenchImages scratch;
    if (!scratch.Write("bench_result_record", sizes)) return 1;
    const IMAGE_SET& images = scratch.Images();
    const std::vector<std::string> astrBase = {strFlash, "--phone", images.strPhone, "--pda", images.strPda,
                                               "--select", "phone,pda", "--model", "3", "--reboot-wait", "0"};
    const std::string strResults = scratch.Dir() + "/results.jsonl";
    std::vector<double> adUnlock[2], adTotal[2];
    int nBad = 0;
    for (int r = 0; r < nRounds; ++r) {
        for (int k = 0; k < 2; ++k) {
            const RUN run = FlashOnce(astrBase, k ? strResults : std::string());
            if (run.nExit != 0) ++nBad;
            adUnlock[k].push_back(run.dLastUnlockMs);
            adTotal[k].push_back(run.dTotalMs);
        }
    }
    std::printf("%d phones, PDA %u MiB, %d rounds alternating; %d runs failed\n", PHONES, dwPdaMib, nRounds, nBad);
    std::printf("%-16s %22s %16s\n", "", "last first frame ms", "whole run ms");
    for (int k = 0; k < 2; ++k)
        std::printf("%-16s %22.0f %16.0f\n", k ? "with --results" : "without", BENCH_Median(adUnlock[k]),
                    BENCH_Median(adTotal[k]));
    return nBad == 0 ? 0 : 1;
}
