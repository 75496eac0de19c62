// The windowed station against the headless one: eight virtual phones on links of 4,000,000
// bytes/s with a 0.2 ms reply latency, a 32 MiB PDA image and an 8 MiB AMSS region, flashed once
// through the real dialog (offscreen, in a child process) and once through quillon-flash on fresh
// phones. Prints both processes' CPU time, the dialog's peak resident memory, the GUI thread's
// worst stall (lateness of a 10 ms timer during the run) and each channel's PDA time against its
// link-limited ideal.
//
// Usage: bench_console [--flash PATH] [--phones N] [--pda-mib N] [--amss-mib N]

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/support/bench_common.h"
#include "bench/support/timed_view.h"
#include "console/dialog_view.h"
#include "console/varndl_dlg.h"
#include "link/port_table.h"
#include "protocol/commands.h"
#include "sim/image_builder.h"
#include "sim/virtual_phone.h"

namespace {

constexpr double LINK_RATE = 4000000.0;
constexpr uint32_t LATENCY_US = 200;

// The child: the dialog with Phone and PDA chosen, "Phone" and "PDA" ticked, model 3, no wait
// after PASS, one phone per port; Start is pressed and the GUI thread's lateness watched.
int DialogChild(int argc, char** argv)
{
    QApplication app(argc, argv);
    const std::string strPhone = argv[2], strPda = argv[3];
    CVarnDLDlg dlg;
    CVarnDLCore& core = dlg.Core();
    CBenchTimedView view(dlg.View(), core);
    core.SetView(&view);
    dlg.SelectModel(3);
    dlg.SelectImageFile(IMAGE_PHONE, strPhone);
    dlg.SelectImageFile(IMAGE_PDA, strPda);
    dlg.findChild<QCheckBox*>("1020")->click();  // Phone Boot off: AMSS and PDA only
    core.m_nRebootWaitSec = 0;
    int nPhones = 0;
    for (int i = 4; i < argc; ++i, ++nPhones) dlg.PortArrived(PORT_TABLE_Assign(argv[i]), argv[i]);

    double dWorstStall = 0;
    QElapsedTimer since;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const double dLate = since.nsecsElapsed() / 1e6 - 10.0;
        if (dLate > dWorstStall) dWorstStall = dLate;
        since.restart();
    });
    QTimer::singleShot(0, [&] {
        since.start();
        tick.start(10);
        dlg.findChild<QPushButton*>("1")->click();  // the run is watched from the event loop
        QTimer* pWait = new QTimer(&app);
        QObject::connect(pWait, &QTimer::timeout, [&] {
            for (int i = 0; i < nPhones; ++i)
                if (!core.m_aChannel[i].m_bCycleEnd) return;
            tick.stop();
            app.quit();
        });
        pWait->start(10);
    });
    app.exec();
    int nPassed = 0;
    for (int i = 0; i < nPhones; ++i) nPassed += core.m_aChannel[i].m_bDownloadDone && core.m_aChannel[i].m_bCycleEnd;
    std::printf("stall %.1f\npassed %d\n", dWorstStall, nPassed);
    std::fflush(stdout);
    return nPassed == nPhones ? 0 : 1;
}

struct RUN {
    std::vector<double> adPdaMs, adPdaIdealMs;
    double dWorstStall = -1;
    double dCpuS = 0, dMaxRssMib = 0;
    int nStatus = -1;
};

// Runs one station process on fresh phones and stamps its output lines as they arrive.
RUN Run(std::vector<std::string> astrArgs, int nPhones, const char* szLogTag, bool bOffscreen)
{
    PHONE_CONFIG cfg;
    cfg.dBytesPerSecond = LINK_RATE;
    cfg.dwReplyLatencyUs = LATENCY_US;
    std::vector<std::unique_ptr<CVirtualPhone>> apPhone;
    for (int i = 0; i < nPhones; ++i) {
        apPhone.push_back(std::make_unique<CVirtualPhone>(cfg));
        apPhone.back()->Start();
        astrArgs.push_back(apPhone.back()->SlavePath());
    }
    RUN run;
    const BENCH_CHILD child = BENCH_Spawn(astrArgs, bOffscreen);
    if (child.pid < 0) return run;
    std::vector<double> adStart(nPhones, 0), adDone(nPhones, 0);
    char szFmt[32];
    std::snprintf(szFmt, sizeof(szFmt), "[CH%%d]%s", szLogTag);
    BENCH_ReadLines(child.fdOut, [&](const std::string& strLine, double dNow) {
        int nCh = -1;
        double dStall;
        if (std::sscanf(strLine.c_str(), "stall %lf", &dStall) == 1) run.dWorstStall = dStall;
        if (std::sscanf(strLine.c_str(), szFmt, &nCh) != 1 || nCh < 0 || nCh >= nPhones) return;
        if (strLine.find("PDA Write Data") != std::string::npos) adStart[nCh] = dNow;
        if (strLine.find("PDA Download Success!!") != std::string::npos) adDone[nCh] = dNow;
    });
    struct rusage ru {};
    ::wait4(child.pid, &run.nStatus, 0, &ru);
    run.dCpuS = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    run.dMaxRssMib = ru.ru_maxrss / 1024.0;
    for (int i = 0; i < nPhones; ++i) {
        uint64_t qwBytes = 0;
        uint32_t dwRequests = 0;
        for (const REQUEST_RECORD& r : apPhone[i]->Requests()) {
            if (r.byOpcode != CMD_WRITE_FLASH || r.byKind != 6) continue;
            qwBytes += 12 + r.dwPayloadSize;
            ++dwRequests;
        }
        run.adPdaMs.push_back(adDone[i] - adStart[i]);
        run.adPdaIdealMs.push_back(qwBytes / LINK_RATE * 1000.0 + dwRequests * LATENCY_US / 1000.0);
        apPhone[i]->Stop();
    }
    return run;
}

void Print(const char* szName, const RUN& run)
{
    std::printf("%s: exit status %d, CPU %.2f s, peak resident %.1f MiB\n", szName,
                WIFEXITED(run.nStatus) ? WEXITSTATUS(run.nStatus) : -1, run.dCpuS, run.dMaxRssMib);
    double dWorst = 0;
    for (size_t i = 0; i < run.adPdaMs.size(); ++i) {
        const double dRatio = run.adPdaIdealMs[i] > 0 ? run.adPdaMs[i] / run.adPdaIdealMs[i] : 0;
        if (dRatio > dWorst) dWorst = dRatio;
        std::printf("  ch%zu PDA %8.0f ms, ideal %8.0f ms, ratio %.3f\n", i, run.adPdaMs[i], run.adPdaIdealMs[i], dRatio);
    }
    std::printf("  worst PDA ratio %.3f (goal: at most 1.050)\n", dWorst);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "--dialog-child") == 0) return DialogChild(argc, argv);

    const std::string strSelf = BENCH_SelfPath();
    const BENCH_LINE line = BENCH_LineOptions(argc, argv);
    const std::string& strFlash = line.strFlash;
    const int nPhones = line.nPhones;
    const uint32_t dwPdaMib = line.dwPdaMib, dwAmssMib = line.dwAmssMib;

    CBenchImages scratch;
    if (!scratch.Write("bench_console", line.Sizes())) return 1;
    const IMAGE_SET& images = scratch.Images();
    std::printf("bench_console: %d phones, link %.1f MB/s, reply latency %.1f ms, PDA %u MiB, AMSS %u MiB\n",
                nPhones, LINK_RATE / 1e6, LATENCY_US / 1000.0, dwPdaMib, dwAmssMib);
    const RUN dialog = Run({strSelf, "--dialog-child", images.strPhone, images.strPda}, nPhones, "", true);
    const RUN flash = Run({strFlash, "--phone", images.strPhone, "--pda", images.strPda, "--select", "phone,pda",
                           "--model", "3", "--reboot-wait", "0"},
                          nPhones, " log", false);
    Print("dialog (offscreen)", dialog);
    Print("quillon-flash", flash);
    std::printf("CPU dialog / quillon-flash: %.2f (goal: at most 1.5)\n", flash.dCpuS > 0 ? dialog.dCpuS / flash.dCpuS : 0);
    std::printf("GUI thread worst stall: %.1f ms (goal: at most 50 ms)\n", dialog.dWorstStall);
    std::printf("dialog peak resident memory: %.1f MiB (goal: under 64 MiB)\n", dialog.dMaxRssMib);
    const bool bOk = WIFEXITED(dialog.nStatus) && WEXITSTATUS(dialog.nStatus) == 0 && WIFEXITED(flash.nStatus) &&
                     WEXITSTATUS(flash.nStatus) == 0;
    return bOk ? 0 : 1;
}
