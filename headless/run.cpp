#include "headless/run.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/orchestration.h"
#include "headless/headless_view.h"
#include "headless/live_view.h"
#include "images/image_select.h"
#include "images/multi_csc.h"
#include "link/port_table.h"
#include "link/tty_node.h"
#include "ports/phone_identity.h"
#include "records/result_record.h"
#include "station/model_ticks.h"
#include "station/outcome.h"
#include "station/station_core.h"

namespace {

// The result writer was stuck in its disk at the end and let go: the program ends without
// running the destructors of what it may still use.
bool g_bWriterLeft = false;

// Interrupts (SIGINT, SIGTERM, SIGHUP) received so far, and the first one; the main thread acts
// on them between scans.
std::atomic<int> g_nSignals{0};
std::atomic<int> g_nFirstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "counted from a signal handler");

void OnSignal(int nSignal)
{
    int nNone = 0;
    g_nFirstSignal.compare_exchange_strong(nNone, nSignal);
    g_nSignals.fetch_add(1);
}

// Seconds a run's end gives the result writer to hash what is left and write its records.
constexpr uint32_t RESULTS_CLOSE_BOUND_MS = 30000;

// Why an image file cannot be read at all; "" when it opens (its contents were refused).
std::string OpenFailure(const std::string& strPath)
{
    struct stat st;
    if (::stat(strPath.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return std::string();
}

// A PORT is written to as soon as its channel starts: anything but a terminal device (a
// mistyped image name, /dev/null) is refused before it is ever opened for writing.
int CheckPorts(const OPTIONS& opt)
{
    for (const std::string& strPort : opt.astrPorts) {
        std::string strWhy;
        if (TTY_NODE_Kind(strPort, &strWhy) != TTY_NODE_NONE) continue;
        std::fprintf(stderr, "quillon-flash: PORT %s is not a terminal device: %s\n",
                     TERMINAL_PlainText(strPort).c_str(), strWhy.c_str());
        return EXIT_USAGE;
    }
    return 0;
}

// Validates the images as the dialog does when it starts and again at Start; 0 or the exit
// status after the refusal sentence.
int ValidateImages(CVarnDLCore& core, const OPTIONS& opt)
{
    CHeadlessImageControls controls(core);
    for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k) IMAGE_Path(core, k) = opt.astrImage[k];
    IMAGE_RevalidateImages(core, controls);

    IMAGE_START_INPUT input;
    input.bCscPriority = opt.bCscPriority;
    input.bCscTicked = opt.ticks.dwCarrier != 0;
    if (core.m_bCscPacked && core.m_bMultiCsc) {
        const std::vector<std::string> astrItems = MULTICSC_ListItems(core);
        if (opt.bCscEntryGiven) {
            input.bHasSelection = true;
            input.strSelected = opt.strCscEntry;
        } else if (!astrItems.empty()) {
            input.bHasSelection = true;
            input.strSelected = astrItems.front();
        }
    } else if (opt.bCscEntryGiven && core.m_bCscImage) {
        std::fprintf(stderr, "quillon-flash: --csc-entry given, but the CSC image is not a Multi-CSC container\n");
        return EXIT_USAGE;
    }
    const IMAGE_START_RESULT result = IMAGE_ValidateForStart(core, controls, input);
    if (!result.bGoOn) return EXIT_USAGE;  // the message is already out

    int nStatus = 0;
    for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k) {
        if (opt.astrImage[k].empty() || IMAGE_ValidFlag(core, k)) continue;
        const std::string strWhy = OpenFailure(opt.astrImage[k]);
        std::fprintf(stderr, "quillon-flash: %s%s%s (%s)\n", IMAGE_RefusalText(k).c_str(),
                     strWhy.empty() ? "" : " Cannot open it: ", strWhy.c_str(),
                     TERMINAL_PlainText(opt.astrImage[k]).c_str());
        nStatus = EXIT_USAGE;
    }
    if (nStatus == 0 && opt.ticks.dwHidden && !core.m_bHiddenAllowed) {
        std::fprintf(stderr, "quillon-flash: the Phone image's descriptor has no Hidden region\n");
        nStatus = EXIT_USAGE;
    }
    return nStatus;
}

// Records go to the results file when one is given. What udev knows of each phone is looked up
// before Start: a phone that reboots after its download leaves udev before its record is made.
void OpenResults(const OPTIONS& opt, CLiveView* pLive)
{
    if (opt.strResults.empty()) return;
    auto fnProblem = [pLive](const std::string& strProblem) {
        if (pLive)
            pLive->Note("[STATION] " + strProblem);
        else
            std::fprintf(stderr, "quillon-flash: %s\n", TERMINAL_PlainText(strProblem).c_str());
    };
    RESULT_RECORD_SetProblemSink(fnProblem);
    std::vector<std::pair<std::string, PHONE_IDENTITY>> aIdentity;
    for (const std::string& strPort : opt.astrPorts)
        aIdentity.emplace_back(strPort, PHONE_IDENTITY_Lookup(strPort));
    RESULT_RECORD_SetIdentify([aIdentity](const std::string& strDevNode) {
        for (const auto& entry : aIdentity)
            if (entry.first == strDevNode) return entry.second;
        return PHONE_IDENTITY{};
    });
    std::string strError;
    if (!RESULT_RECORD_Open(opt.strResults, strError))
        fnProblem("Result records cannot be written to " + opt.strResults + ": " + strError +
                  ". Downloads go on without them.");
}

}  // namespace

void HEADLESS_InstallSignals()
{
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(nSignal, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool HEADLESS_OpenStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int fdNull = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (fdNull != fd) return false;  // the lowest free number is fd itself
    }
    return true;
}

int HEADLESS_Run(const OPTIONS& opt, CTerminalOutput& out)
{
    static CVarnDLCore s_core;  // large; kept off the stack
    CVarnDLCore& core = s_core;
    static STATION_THREADS s_threads;
    const bool bLive = !opt.bJson && !opt.bPlain && ::isatty(STDOUT_FILENO) && TERMINAL_CanRedraw();
    if (bLive) HEADLESS_WatchResize();
    CLiveView live(core, s_threads, opt.astrPorts.size(), out);
    CLiveView* const pLive = bLive ? &live : nullptr;
    CHeadlessView view(core, opt, out, pLive);
    core.SetView(&view);
    core.m_nModel = opt.nModel;
    core.m_nRebootWaitSec = opt.nRebootWaitSec;
    core.m_aModelTicks[opt.nModel] = opt.ticks;

    const int nImages = ValidateImages(core, opt);
    if (nImages != 0) return nImages;
    const int nPorts = CheckPorts(opt);
    if (nPorts != 0) return nPorts;
    MODEL_TICKS_ApplyStored(core);

    for (size_t i = 0; i < opt.astrPorts.size(); ++i) {
        const uint32_t nPort = PORT_TABLE_Assign(opt.astrPorts[i]);
        if (nPort == 0) return HEADLESS_Usage(("no port number for " + opt.astrPorts[i]).c_str());
        core.m_aChannel[i].m_nComPort = nPort;
        view.OnPortText(static_cast<int>(i), "COM" + std::to_string(nPort) + " " + opt.astrPorts[i]);
    }

    STATION_LOOP_OPTIONS loop;
    loop.dwPollMs = 50;
    loop.bEndWhenWorkersEnd = true;
    loop.dwStallTimeoutMs = static_cast<uint32_t>(opt.nStallTimeoutSec) * 1000u;
    // A phone whose EFS2 is parked in its PDA area is given this long to take it back when the
    // run is stopped; nobody is there to pull a silent one.
    loop.dwParkedBoundMs = STATION_EFS_RESTORE_BOUND_MS;
    // Interrupted: while the run is watched, the first interrupt stops it as a failed channel
    // would, so that a parked phone gets its EFS2 back before its channel stops; the next one
    // gives up on parked phones at once. Once only reboot waits are left, they are cut short.
    int nSignalsSeen = 0;
    bool bWatching = true;
    loop.fnProcessEvents = [&] {
        if (pLive) pLive->Draw();
        out.Pump();
        const int nSignals = g_nSignals.load();
        if (nSignals == 0) return;
        if (!bWatching) {
            core.m_bQuit = 1;
            return;
        }
        if (nSignalsSeen == 0) {
            STATION_AskStop(core, STOP_REASON{STOP_SIGNAL, g_nFirstSignal.load()});
            core.m_bStopAll = 1;
        }
        nSignalsSeen = nSignals;
        // Also a channel that parks only after the second interrupt is given up on.
        if (nSignals >= 2) STATION_GiveUpParked(core, s_threads);
    };
    if (g_nSignals.load() != 0) return EXIT_FAILED;  // interrupted before anything started
    OpenResults(opt, pLive);
    STATION_Start(core, s_threads, loop);
    bWatching = false;
    if (g_nSignals.load() != 0) core.m_bQuit = 1;
    STATION_JoinAll(core, s_threads, loop);
    // An interrupted run has somebody waiting for it to end.
    if (!RESULT_RECORD_Close(g_nSignals.load() != 0 ? RESULTS_CLOSE_BOUND_MS / 6 : RESULTS_CLOSE_BOUND_MS))
        g_bWriterLeft = true;
    if (pLive) {
        pLive->Draw(true);
        pLive->Summary();
    }

    bool bAllPassed = true;
    for (size_t i = 0; i < opt.astrPorts.size(); ++i)
        if (OUTCOME_Get(core, static_cast<int>(i)).eKind != OUTCOME_PASSED) bAllPassed = false;
    return bAllPassed ? EXIT_PASS : EXIT_FAILED;
}

bool HEADLESS_WriterLeft() { return g_bWriterLeft; }
