// bench_line: what the line's publisher costs a station. The callers' side is the time a worker
// spends handing over a channel state or a records wake-up; the publisher's side is its thread's
// CPU time per 1000 states handed over (most of them coalesced), per 1000 states it sent, and per
// 1000 records sent and acknowledged, all through a real mosquitto broker on a loopback port.
// Prints figures; asserts nothing about time.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "bench/support/bench_broker.h"
#include "bench/support/bench_common.h"
#include "line/line_publisher.h"

namespace {

double CpuMs(clockid_t id)
{
    timespec ts = {};
    ::clock_gettime(id, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// The process's CPU time less the calling thread's: the publisher's thread (and libmosquitto's
// work on it), since nothing else runs meanwhile.
double OthersCpuMs() { return CpuMs(CLOCK_PROCESS_CPUTIME_ID) - CpuMs(CLOCK_THREAD_CPUTIME_ID); }

bool WaitUntil(const std::function<bool()>& fnDone, int nBoundMs)
{
    const double dEnd = BENCH_NowMs() + nBoundMs;
    while (!fnDone()) {
        if (BENCH_NowMs() > dEnd) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const int nUpdates = BENCH_IntOption(argc, argv, "--updates", 200000);
    const int nRecords = BENCH_IntOption(argc, argv, "--records", 2000);
    const int nPacedSeconds = BENCH_IntOption(argc, argv, "--paced-seconds", 5);
    CBenchBroker broker;
    std::string strError;
    if (!broker.Start(strError)) {
        std::fprintf(stderr, "bench_line: %s\n", strError.c_str());
        return 1;
    }
    const std::string strRecords = broker.Dir() + "/results.jsonl";
    CLinePublisher publisher;
    LINE_PUBLISHER_CONFIG config;
    config.strUrl = broker.Url();
    config.strStation = "bench";
    config.strRecordsPath = strRecords;
    config.dwRecordsHoldMs = 0;
    if (!publisher.Start(config, nullptr, strError) ||
        !WaitUntil([&] { return publisher.Counts().bUp; }, 20000)) {
        std::fprintf(stderr, "bench_line: no connection to the broker %s\n", strError.c_str());
        return 1;
    }
    std::printf("load average %s\n", BENCH_LoadAverage().c_str());

    // Handing over as fast as a caller can: what a worker pays, and the thread's CPU meanwhile.
    const LINE_CHANNEL_STATE state = LINE_State(" Write PDA Data", 42, "running", 3);
    double dOthers = OthersCpuMs();
    const uint64_t qwSentBefore = publisher.Counts().qwStatesSent;
    double dStart = BENCH_NowMs();
    for (int i = 0; i < nUpdates; ++i) publisher.PublishState(i % LINE_CHANNELS, state);
    const double dEnqueueMs = BENCH_NowMs() - dStart;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last states go out
    const double dBurstCpu = OthersCpuMs() - dOthers;
    std::printf("state hand-over        %8.1f ns per call (%d calls)\n", dEnqueueMs * 1e6 / nUpdates, nUpdates);
    std::printf("publisher CPU, burst   %8.3f ms per 1000 states handed over (%llu of them sent)\n",
                dBurstCpu * 1000 / nUpdates,
                static_cast<unsigned long long>(publisher.Counts().qwStatesSent - qwSentBefore));

    // Paced: every channel changes every 50 ms, so that the publisher sends its most, four a
    // second per channel.
    dOthers = OthersCpuMs();
    const uint64_t qwPacedBefore = publisher.Counts().qwStatesSent;
    dStart = BENCH_NowMs();
    for (int n = 0; BENCH_NowMs() - dStart < nPacedSeconds * 1000.0; ++n) {
        for (int nCh = 0; nCh < LINE_CHANNELS; ++nCh)
            publisher.PublishState(nCh, LINE_State(" Write PDA Data", n % 101, "running", 3));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double dPacedCpu = OthersCpuMs() - dOthers;
    const uint64_t qwPacedSent = publisher.Counts().qwStatesSent - qwPacedBefore;
    std::printf("publisher CPU, paced   %8.3f ms per 1000 states sent (%llu sent in %d s, %.1f per channel a second)\n",
                qwPacedSent ? dPacedCpu * 1000 / static_cast<double>(qwPacedSent) : 0.0,
                static_cast<unsigned long long>(qwPacedSent), nPacedSeconds,
                static_cast<double>(qwPacedSent) / LINE_CHANNELS / nPacedSeconds);

    // Records: a day's worth appended at once, each sent and acknowledged, the point stored.
    {
        std::ofstream out(strRecords, std::ios::app);
        std::string strImages(600, 'x');  // about the size of a real record
        for (int i = 1; i <= nRecords; ++i)
            out << "{\"host\":\"bench\",\"result\":\"PASS\",\"pad\":\"" << strImages << "\",\"id\":\"bench:" << i << "\"}\n";
    }
    const uint64_t qwSize = static_cast<uint64_t>(std::ifstream(strRecords, std::ios::ate).tellg());
    dOthers = OthersCpuMs();
    dStart = BENCH_NowMs();
    const double dWake = BENCH_NowMs();
    publisher.RecordsAppended();
    const double dWakeUs = (BENCH_NowMs() - dWake) * 1000;
    if (!WaitUntil([&] { return publisher.Counts().qwAckedOffset == qwSize; }, 120000)) {
        std::fprintf(stderr, "bench_line: the records were not all acknowledged\n");
        return 1;
    }
    const double dRecordsMs = BENCH_NowMs() - dStart;
    const double dRecordsCpu = OthersCpuMs() - dOthers;
    std::printf("records wake-up        %8.1f us per call\n", dWakeUs);
    std::printf("publisher CPU, records %8.3f ms per 1000 records (%d acknowledged in %.0f ms, %.0f a second)\n",
                dRecordsCpu * 1000 / nRecords, nRecords, dRecordsMs, nRecords * 1000 / dRecordsMs);
    publisher.Stop();
    return 0;
}
