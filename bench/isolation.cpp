// One phone's trouble is its own: the dialog (offscreen, in a child process, with Auto Start)
// flashes virtual phones on links of 4,000,000 bytes/s with a 0.2 ms reply latency, AMSS and a
// PDA image, and the healthy channels' PDA times (the PDA step: its erase and its writes) are
// compared between runs with and without trouble on the other channels:
//   stalled-neighbour: eight phones, one of which stops reading its line at its first PDA
//     frame, against the seven alone;
//   arrivals: four phones flashing while phones keep arriving on the four free channels (each
//     is started, and pulled once its first region has begun), against the four alone.
// Each ratio is the median PDA time with the trouble over the median without it; the goals are
// at most 1.05 and 1.02. The same ratios of the whole cycles (unlock to lock), whose staged sends
// go through the send lock, are printed before them for information, with a third case: the
// eighth phone stalls at its first staged frame instead, a send made under the send lock.
//
// Usage: bench_isolation [--rounds N] [--pda-mib N] [--amss-mib N]

#include <QApplication>
#include <QCheckBox>
#include <QTimer>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_common.h"
#include "bench/support/timed_view.h"
#include "console/dialog_view.h"
#include "console/socket_watch.h"
#include "console/varndl_dlg.h"
#include "ports/virtual_port_source.h"
#include "protocol/commands.h"
#include "sim/virtual_phone.h"

namespace {

constexpr double LINK_RATE = 4000000.0;
constexpr uint32_t LATENCY_US = 200;
constexpr int STATION_CHANNELS = 8;
constexpr int ARRIVAL_RUNNING = 4;       // phones flashing while others arrive
constexpr double REPLUG_AFTER_MS = 50;   // an arriving phone pulled comes back this soon
constexpr double RUN_BOUND_MS = 600000;  // a run that has not ended by then is cut off

std::atomic<bool> g_bEnd{false};

void OnTerm(int)
{
    g_bEnd = true;
}

// The child: the dialog with Phone and PDA chosen, AMSS and PDA ticked, model 3, no wait after
// PASS, Auto Start on and the virtual phones' directory watched. SIGTERM cancels and ends it.
int DialogChild(char** argv)
{
    int argc = 1;
    QApplication app(argc, argv);
    CVarnDLDlg dlg;
    CVarnDLCore& core = dlg.Core();
    CBenchTimedView view(dlg.View(), core);
    core.SetView(&view);
    dlg.SelectModel(3);
    dlg.SelectImageFile(IMAGE_PHONE, argv[2]);
    dlg.SelectImageFile(IMAGE_PDA, argv[3]);
    dlg.findChild<QCheckBox*>("1020")->click();  // Phone Boot off: AMSS and PDA only
    core.m_nRebootWaitSec = 0;
    dlg.SetAutoStart(true);
    std::vector<std::unique_ptr<IPortSource>> apSources;
    apSources.push_back(std::make_unique<CVirtualPortSource>(argv[4], SOCKET_WATCH_Make));
    dlg.StartPortDiscovery(std::move(apSources));
    ::signal(SIGTERM, OnTerm);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!g_bEnd) return;
        watch.stop();
        dlg.OnCancel();
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    });
    watch.start(10);
    std::printf("ready\n");
    std::fflush(stdout);
    app.exec();
    return 0;
}

struct RUN_SETUP {
    int nRunning = 0;        // phones on ports 1..nRunning, flashed from the start
    int nStallOpcode = -1;   // the last of them stalls at its first frame of this opcode
    int nArriving = 0;       // phones on the ports after them, arriving again and again
};

struct RUN_RESULT {
    std::vector<double> adPdaMs;    // the healthy running phones'
    std::vector<double> adCycleMs;  // theirs, from the unlock to the lock
    int nArrivals = 0;
    bool bComplete = false;
};

PHONE_CONFIG LinkConfig(const std::string& strDir, int nPort)
{
    PHONE_CONFIG cfg;
    cfg.dBytesPerSecond = LINK_RATE;
    cfg.dwReplyLatencyUs = LATENCY_US;
    cfg.strPublishLink = strDir + "/COM" + std::to_string(nPort);
    return cfg;
}

// Plugs the arriving phones, pulls each once its first region has begun (a staged frame came),
// and plugs it again soon after, until told to stop.
void KeepArriving(std::vector<std::unique_ptr<CVirtualPhone>>& apArriving, const std::atomic<bool>& bStop,
                  std::atomic<int>& nArrivals)
{
    using CLOCK = std::chrono::steady_clock;
    std::vector<CLOCK::time_point> atBack(apArriving.size(), CLOCK::now());
    std::vector<size_t> anSeen(apArriving.size(), 0);
    std::vector<bool> abStarted(apArriving.size(), false);
    while (!bStop) {
        for (size_t i = 0; i < apArriving.size(); ++i) {
            CVirtualPhone& phone = *apArriving[i];
            if (!phone.IsPlugged()) {
                if (CLOCK::now() < atBack[i]) continue;
                if (abStarted[i] ? phone.Replug() : phone.Start()) ++nArrivals;
                abStarted[i] = true;
                continue;
            }
            const std::vector<REQUEST_RECORD> aReq = phone.Requests();
            bool bBegun = false;
            for (; anSeen[i] < aReq.size(); ++anSeen[i])
                bBegun |= aReq[anSeen[i]].byOpcode == CMD_SEND_DATA && aReq[anSeen[i]].dwPlug == phone.PlugCount();
            if (!bBegun) continue;
            phone.Unplug();
            atBack[i] = CLOCK::now() + std::chrono::microseconds(static_cast<int64_t>(REPLUG_AFTER_MS * 1000));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

RUN_RESULT Run(const std::string& strSelf, const IMAGE_SET& images, const std::string& strDir, const RUN_SETUP& setup)
{
    std::filesystem::remove_all(strDir);
    std::filesystem::create_directories(strDir);
    RUN_RESULT result;
    std::vector<std::unique_ptr<CVirtualPhone>> apRunning, apArriving;
    for (int k = 1; k <= setup.nRunning; ++k) {
        PHONE_CONFIG cfg = LinkConfig(strDir, k);
        if (setup.nStallOpcode >= 0 && k == setup.nRunning)
            cfg.faults.aRules.push_back({setup.nStallOpcode, 1, 1, FAULT_STALL});
        apRunning.push_back(std::make_unique<CVirtualPhone>(cfg));
    }
    for (int k = 1; k <= setup.nArriving; ++k)
        apArriving.push_back(std::make_unique<CVirtualPhone>(LinkConfig(strDir, setup.nRunning + k)));
    const int nHealthy = setup.nRunning - (setup.nStallOpcode >= 0 ? 1 : 0);

    const BENCH_CHILD child =
        BENCH_Spawn({strSelf, "--dialog-child", images.strPhone, images.strPda, strDir}, true);
    if (child.pid < 0) return result;
    std::atomic<bool> bStopArriving{false};
    std::atomic<int> nArrivals{0};
    std::thread arriving;
    std::atomic<bool> bEnded{false};
    std::thread bound([&] {
        const double dUntil = BENCH_NowMs() + RUN_BOUND_MS;
        while (!bEnded && BENCH_NowMs() < dUntil) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!bEnded) ::kill(child.pid, SIGTERM);
    });

    std::map<int, double> mapStart, mapPda, mapUnlock, mapCycle;  // by port
    std::set<int> setLocked;
    bool bSignalled = false;
    BENCH_ReadLines(child.fdOut, [&](const std::string& strRead, double dNow) {
        // The dialog's log lines end in "\r\n".
        const std::string strLine = strRead.substr(0, strRead.find_last_not_of('\r') + 1);
        int nCh = -1, nPort = 0;
        if (strLine == "ready") {
            for (auto& p : apRunning) p->Start();
            if (!apArriving.empty())
                arriving = std::thread(KeepArriving, std::ref(apArriving), std::cref(bStopArriving), std::ref(nArrivals));
            return;
        }
        if (std::sscanf(strLine.c_str(), "[CH%d COM%d]", &nCh, &nPort) != 2 || nPort < 1 || nPort > nHealthy) return;
        if (strLine.find("PDA Erase Region") != std::string::npos) mapStart[nPort] = dNow;
        if (strLine.find("PDA Download Success!!") != std::string::npos && mapStart.count(nPort))
            mapPda[nPort] = dNow - mapStart[nPort];
        if (BENCH_EndsWith(strLine, "]  FLASH UNLOCK") && !mapUnlock.count(nPort)) mapUnlock[nPort] = dNow;
        if (strLine.find("FLASH LOCK Success!!!") != std::string::npos) {
            setLocked.insert(nPort);
            if (mapUnlock.count(nPort)) mapCycle[nPort] = dNow - mapUnlock[nPort];
        }
        if (!bSignalled && static_cast<int>(setLocked.size()) == nHealthy) {
            bSignalled = true;
            ::kill(child.pid, SIGTERM);
        }
    });
    bEnded = true;
    bound.join();
    bStopArriving = true;
    if (arriving.joinable()) arriving.join();
    int nStatus = 0;
    ::waitpid(child.pid, &nStatus, 0);
    for (auto& p : apRunning) p->Stop();
    for (auto& p : apArriving) p->Stop();
    for (const auto& [nPort, dMs] : mapPda) result.adPdaMs.push_back(dMs);
    for (const auto& [nPort, dMs] : mapCycle) result.adCycleMs.push_back(dMs);
    result.nArrivals = nArrivals;
    result.bComplete = bSignalled && static_cast<int>(result.adPdaMs.size()) == nHealthy;
    return result;
}

void Print(const char* szWhat, const std::vector<double>& ad)
{
    std::printf("  %-42s", szWhat);
    for (double d : ad) std::printf(" %6.0f", d);
    std::printf("   median %.0f ms\n", ad.empty() ? 0.0 : BENCH_Median(ad));
}

double Ratio(const std::vector<double>& adWith, const std::vector<double>& adWithout)
{
    if (adWith.empty() || adWithout.empty()) return 0;
    return BENCH_Median(adWith) / BENCH_Median(adWithout);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 5 && std::strcmp(argv[1], "--dialog-child") == 0) return DialogChild(argv);

    const int nRounds = std::max(1, BENCH_IntOption(argc, argv, "--rounds", 1));
    const BENCH_LINE line = BENCH_LineOptions(argc, argv);
    CBenchImages scratch;
    if (!scratch.Write("bench_isolation", line.Sizes())) return 1;
    // The dialog's settings and result records stay in the scratch directory.
    ::setenv("XDG_CONFIG_HOME", (scratch.Dir() + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (scratch.Dir() + "/data").c_str(), 1);
    const std::string strRuntime = scratch.Dir() + "/run";
    ::mkdir(strRuntime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", strRuntime.c_str(), 1);
    const std::string strSelf = BENCH_SelfPath(), strDir = scratch.Dir() + "/ports";
    std::printf("bench_isolation: link %.1f MB/s, reply latency %.1f ms, PDA %u MiB, AMSS %u MiB, %d round(s), load %s\n",
                LINK_RATE / 1e6, LATENCY_US / 1000.0, line.dwPdaMib, line.dwAmssMib, nRounds,
                BENCH_LoadAverage().c_str());
    std::fflush(stdout);

    std::vector<double> adAlone7, adStalled, adStalledLocked, adAlone4, adArrivals;
    std::vector<double> adCycleAlone7, adCycleStalled, adCycleStalledLocked, adCycleAlone4, adCycleArrivals;
    int nArrivals = 0;
    bool bComplete = true;
    std::map<const std::vector<double>*, std::vector<double>*> mapCycleOf = {
        {&adAlone7, &adCycleAlone7}, {&adStalled, &adCycleStalled}, {&adStalledLocked, &adCycleStalledLocked},
        {&adAlone4, &adCycleAlone4}, {&adArrivals, &adCycleArrivals}};
    auto add = [&](std::vector<double>& adTo, const RUN_RESULT& r) {
        adTo.insert(adTo.end(), r.adPdaMs.begin(), r.adPdaMs.end());
        std::vector<double>& adCycles = *mapCycleOf[&adTo];
        adCycles.insert(adCycles.end(), r.adCycleMs.begin(), r.adCycleMs.end());
        bComplete &= r.bComplete;
    };
    const int nStalledRun = STATION_CHANNELS;
    for (int r = 0; r < nRounds; ++r) {
        // The first PDA frame: the bench's selection writes nothing else with this opcode.
        add(adAlone7, Run(strSelf, scratch.Images(), strDir, {nStalledRun - 1, -1, 0}));
        add(adStalled, Run(strSelf, scratch.Images(), strDir, {nStalledRun, CMD_WRITE_FLASH, 0}));
        add(adStalledLocked, Run(strSelf, scratch.Images(), strDir, {nStalledRun, CMD_SEND_DATA, 0}));
        add(adAlone4, Run(strSelf, scratch.Images(), strDir, {ARRIVAL_RUNNING, -1, 0}));
        const RUN_RESULT arrivals =
            Run(strSelf, scratch.Images(), strDir, {ARRIVAL_RUNNING, -1, STATION_CHANNELS - ARRIVAL_RUNNING});
        add(adArrivals, arrivals);
        nArrivals += arrivals.nArrivals;
    }
    std::printf("healthy channels' PDA times (ms):\n");
    Print("seven phones alone", adAlone7);
    Print("seven beside a stalled eighth", adStalled);
    Print("seven, the eighth stalled in a locked send", adStalledLocked);
    Print("four phones alone", adAlone4);
    Print("four while phones arrive", adArrivals);
    std::printf("healthy channels' cycle times, unlock to lock (ms):\n");
    Print("seven phones alone", adCycleAlone7);
    Print("seven beside a stalled eighth", adCycleStalled);
    Print("seven, the eighth stalled in a locked send", adCycleStalledLocked);
    Print("four phones alone", adCycleAlone4);
    Print("four while phones arrive", adCycleArrivals);
    std::printf("arrivals during the arrival runs: %d\n", nArrivals);
    if (!bComplete) std::printf("some run did not end with every healthy phone locked: the figures are partial\n");
    std::printf("load %s\n", BENCH_LoadAverage().c_str());
    std::printf("cycle ratio stalled-neighbour %.3f (for information)\n", Ratio(adCycleStalled, adCycleAlone7));
    std::printf("cycle ratio stalled-in-a-locked-send %.3f (for information)\n",
                Ratio(adCycleStalledLocked, adCycleAlone7));
    std::printf("cycle ratio arrivals %.3f (for information)\n", Ratio(adCycleArrivals, adCycleAlone4));
    std::printf("ratio stalled-neighbour %.3f\n", Ratio(adStalled, adAlone7));
    std::printf("ratio arrivals %.3f\n", Ratio(adArrivals, adAlone4));
    return bComplete ? 0 : 1;
}
