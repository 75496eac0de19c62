#include "headless/run.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/change_notice.h"
#include "engine/orchestration.h"
#include "engine/port_channels.h"
#include "headless/headless_view.h"
#include "headless/live_view.h"
#include "headless/read_watch.h"
#include "images/image_select.h"
#include "images/multi_csc.h"
#include "link/port_table.h"
#include "link/tty_node.h"
#include "line/line_publisher.h"
#include "ports/phone_identity.h"
#include "ports/port_discovery.h"
#include "records/result_record.h"
#include "station/model_ticks.h"
#include "station/outcome.h"
#include "station/log.h"
#include "station/station_core.h"
#include "station/text_format.h"

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
// How long a run's end gives a broker that is there to take the last records and states.
constexpr uint32_t LINE_END_BOUND_MS = 3000;
// Longest pause of the --watch loop: the window's run timer steps as often.
constexpr int WATCH_STEP_MS = 10;

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

// What udev knows of each phone, looked up when its port is given or arrives: a phone that
// reboots after its download leaves udev before its record is made.
std::mutex g_csIdentity;
std::map<std::string, PHONE_IDENTITY> g_mapIdentity;

void RememberIdentity(const std::string& strDevNode)
{
    PHONE_IDENTITY identity = PHONE_IDENTITY_Lookup(strDevNode);
    std::lock_guard<std::mutex> lock(g_csIdentity);
    g_mapIdentity[strDevNode] = std::move(identity);
}

// A line for the reader beside the bars, or on standard error when nothing is drawn.
void TellStation(CLiveView* pLive, const std::string& strLine)
{
    if (pLive)
        pLive->Note("[STATION] " + strLine);
    else
        std::fprintf(stderr, "quillon-flash: %s\n", TERMINAL_PlainText(strLine).c_str());
}

// Records go to the results file when one is given.
void OpenResults(const OPTIONS& opt, CLiveView* pLive)
{
    if (opt.strResults.empty()) return;
    RESULT_RECORD_SetProblemSink([pLive](const std::string& strProblem) { TellStation(pLive, strProblem); });
    for (const std::string& strPort : opt.astrPorts) RememberIdentity(strPort);
    RESULT_RECORD_SetIdentify([](const std::string& strDevNode) {
        std::lock_guard<std::mutex> lock(g_csIdentity);
        const auto it = g_mapIdentity.find(strDevNode);
        return it != g_mapIdentity.end() ? it->second : PHONE_IDENTITY{};
    });
    std::string strError;
    if (!RESULT_RECORD_Open(opt.strResults, strError))
        TellStation(pLive, "Result records cannot be written to " + opt.strResults + ": " + strError +
                               ". Downloads go on without them.");
}

// The line's broker, when --mqtt names one: started before any port is opened, so that a wrong
// setting is refused while nothing has happened yet. Its few messages (an outage, its end) are
// one line each, or a JSON event. 0, or the exit status after the refusal.
int StartLine(const OPTIONS& opt, CLinePublisher& publisher, CLiveView* pLive, CTerminalOutput& out)
{
    if (opt.strMqttUrl.empty()) {
        if (!opt.strStation.empty()) RESULT_RECORD_SetStation(opt.strStation);
        return 0;
    }
    LINE_PUBLISHER_CONFIG config;
    config.strUrl = opt.strMqttUrl;
    config.strPasswordFile = opt.strMqttPasswordFile;
    config.strStation = opt.strStation;
    config.strRecordsPath = opt.strResults;
    const bool bJson = opt.bJson;
    auto fnMessage = [pLive, bJson, &out](const std::string& strLine) {
        if (bJson)
            out.Append("{\"type\":\"broker\",\"channel\":-1,\"text\":" + TEXT_JsonString(strLine) + "}\n");
        else
            TellStation(pLive, strLine);
    };
    std::string strError;
    if (!publisher.Start(config, fnMessage, strError)) {
        std::fprintf(stderr, "quillon-flash: --mqtt: %s\n", TERMINAL_PlainText(strError).c_str());
        return EXIT_USAGE;
    }
    RESULT_RECORD_SetStation(publisher.Station());
    RESULT_RECORD_SetOnCounted([&publisher] { publisher.RecordsAppended(); });
    return 0;
}

// The line's end of a run: records written just now are given a short while to reach a broker
// that is there (one that is not is never waited for; they go at the next start), then the
// channels' last states and "offline".
void StopLine(const OPTIONS& opt, CLinePublisher& publisher)
{
    if (opt.strMqttUrl.empty()) return;
    RESULT_RECORD_SetOnCounted({});
    struct stat st;
    const uint64_t qwSize = opt.strResults.empty() || ::stat(opt.strResults.c_str(), &st) != 0
                                ? 0 : static_cast<uint64_t>(st.st_size);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LINE_END_BOUND_MS);
    publisher.RecordsAppended();
    for (;;) {
        const LINE_PUBLISHER_COUNTS counts = publisher.Counts();
        if (!counts.bUp || counts.qwAckedOffset >= qwSize || std::chrono::steady_clock::now() >= deadline) break;
        const uint64_t qwSeen = STATION_ChangeCount();
        STATION_WaitForChange(qwSeen, 20);
    }
    publisher.Stop(LINE_END_BOUND_MS);
}

// The channel as the line sees it, from its bar and its outcome.
LINE_CHANNEL_STATE ChannelState(const CVarnDLCore& core, int nCh)
{
    const BAR_STATE state = core.m_ctrlProgress[nCh].GetState();
    std::string strPhase = TERMINAL_Chomp(state.strText);
    strPhase.erase(0, std::min(strPhase.find_first_not_of(' '), strPhase.size()));
    return LINE_State(strPhase, state.nPercent, OUTCOME_KindName(OUTCOME_Get(core, nCh).eKind),
                      core.m_nComPort[nCh]);
}

// --watch: phones are taken as they arrive, by the window's discovery and channel rules, and
// each arrival starts its channel as Auto Start does; the run is stepped as the window's timer
// steps it. After an interrupt nothing new starts, and the stop runs its course as in a run of
// PORTs given (removals are still heard: a phone pulled meanwhile says so).
void WatchPhones(CVarnDLCore& core, STATION_THREADS& threads, CHeadlessView& view,
                 const STATION_LOOP_OPTIONS& loop)
{
    CPollReadWatches watches;
    bool bStartDue = false;
    const PORT_BOX_FN fnPortBox = [&view](int nCh, uint32_t nPort, const std::string& strDevNode) {
        view.OnPortText(nCh, nPort ? "COM" + std::to_string(nPort) + " " + strDevNode : std::string("NONE"));
    };
    PORT_DISCOVERY_SINK sink;
    sink.fnArrived = [&](uint32_t nPort, const std::string& strDevNode) {
        RememberIdentity(strDevNode);
        if (STATION_PortArrived(core, threads, nPort, strDevNode, fnPortBox) >= 0) bStartDue = true;
        STATION_NotifyChange();
    };
    sink.fnRemoved = [&](uint32_t nPort) {
        if (STATION_PortRemoved(core, threads, nPort, fnPortBox)) STATION_NotifyChange();
    };
    sink.fnLog = [&core](const std::string& strLine) {
        WriteLog(&core, -1, core.m_csDisplay, "%s\r\n", strLine.c_str());
    };
    CPortDiscovery discovery(sink);
    discovery.Start(PORT_DISCOVERY_StationSources(watches.Maker()));
    STATION_RUN run;
    for (;;) {
        watches.Poll(WATCH_STEP_MS);
        const bool bStopping = g_nSignals.load() != 0;
        // The arrivals of one moment all have their channels before the start that takes them.
        if (bStartDue && !bStopping) {
            bStartDue = false;
            STATION_StartRun(core, threads, run);
        }
        const int nResult = STATION_RunStep(core, threads, run, loop);
        loop.fnProcessEvents();
        if (bStopping && nResult != STATION_RUN_GOING) return;
    }
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
    // Lives on past the return: a result writer that was let go may still tell it of a record.
    static CLinePublisher s_publisher;
    const bool bLive = !opt.bJson && !opt.bPlain && ::isatty(STDOUT_FILENO) && TERMINAL_CanRedraw();
    if (bLive) HEADLESS_WatchResize();
    CLiveView live(core, s_threads, opt.bWatch ? MAX_CHANNEL : opt.astrPorts.size(), out);
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
    const int nLine = StartLine(opt, s_publisher, pLive, out);
    if (nLine != 0) return nLine;
    // Each phone taken and how it ended, for the exit status of a station that watches.
    std::atomic<uint32_t> nTaken{0}, nNotPassed{0};
    view.SetOnChannel([&core, &nTaken, &nNotPassed](int nCh, bool bEnded) {
        if (bEnded) {
            ++nTaken;
            if (OUTCOME_Get(core, nCh).eKind != OUTCOME_PASSED) ++nNotPassed;
        }
        s_publisher.PublishState(nCh, ChannelState(core, nCh));
    });

    for (size_t i = 0; i < opt.astrPorts.size(); ++i) {
        const uint32_t nPort = PORT_TABLE_Assign(opt.astrPorts[i]);
        if (nPort == 0) {
            StopLine(opt, s_publisher);
            return HEADLESS_Usage(("no port number for " + opt.astrPorts[i]).c_str());
        }
        core.m_nComPort[i] = nPort;
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
    if (g_nSignals.load() != 0) {  // interrupted before anything started
        StopLine(opt, s_publisher);
        return EXIT_FAILED;
    }
    OpenResults(opt, pLive);
    if (opt.bWatch)
        WatchPhones(core, s_threads, view, loop);
    else
        STATION_Start(core, s_threads, loop);
    bWatching = false;
    if (g_nSignals.load() != 0) core.m_bQuit = 1;
    STATION_JoinAll(core, s_threads, loop);
    // An interrupted run has somebody waiting for it to end.
    if (!RESULT_RECORD_Close(g_nSignals.load() != 0 ? RESULTS_CLOSE_BOUND_MS / 6 : RESULTS_CLOSE_BOUND_MS))
        g_bWriterLeft = true;
    StopLine(opt, s_publisher);
    view.SetOnChannel({});
    if (pLive) {
        pLive->Draw(true);
        pLive->Summary();
    }

    if (opt.bWatch) {
        view.OnWatchEnded(nTaken - nNotPassed, nNotPassed);
        return nNotPassed == 0 ? EXIT_PASS : EXIT_FAILED;
    }
    bool bAllPassed = true;
    for (size_t i = 0; i < opt.astrPorts.size(); ++i)
        if (OUTCOME_Get(core, static_cast<int>(i)).eKind != OUTCOME_PASSED) bAllPassed = false;
    return bAllPassed ? EXIT_PASS : EXIT_FAILED;
}

bool HEADLESS_WriterLeft() { return g_bWriterLeft; }
