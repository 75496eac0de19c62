// quillon-flash: the station without a window, for production-line automation. The same
// engine and Start orchestration as the dialog flash up to eight phones, one per serial port
// given; every log line and every change of a bar's text is printed, prefixed with its channel.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/cycle.h"
#include "engine/orchestration.h"
#include "images/image_select.h"
#include "images/multi_csc.h"
#include "link/port_table.h"
#include "link/serial_device.h"
#include "link/tty_node.h"
#include "station/model_ticks.h"
#include "station/station_core.h"
#include "station/station_view.h"
#include "station/version.h"

namespace {

constexpr int EXIT_PASS = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char* const g_szUsage =
    "Usage: quillon-flash [OPTIONS] PORT [PORT ...]\n"
    "Flashes one phone per serial port; the i-th PORT is channel i (at most 8).\n"
    "\n"
    "  --phone FILE  --eboot FILE  --pda FILE  --csc FILE  --hidden FILE\n"
    "                              the image files\n"
    "  --model N                   device model index 0-6 (default 4)\n"
    "  --select LIST               comma list of pboot,phone,efs,eboot,pda,csc,hidden\n"
    "                              (default: pboot,phone, and eboot, pda, csc with their images)\n"
    "  --csc-entry NAME            Multi-CSC entry (default: the alphabetically first)\n"
    "  --csc-priority 0|1          (default 1)\n"
    "  --on-partition-mismatch yes|no\n"
    "                              the answer to the partition prompt (default no)\n"
    "  --reboot-wait SECONDS       (default: the model's wait)\n"
    "  --stall-timeout SECONDS     a phone that acknowledges nothing for this long, from its\n"
    "                              port's opening to its lock, fails its channel (default 120;\n"
    "                              0 waits for it without a bound)\n"
    "  --json                      one JSON object per line for every bar change and log line\n"
    "  --help, --version\n"
    "\n"
    "Each PORT must be a terminal device. An interrupt (SIGINT, SIGTERM, SIGHUP) stops the run as\n"
    "a failed channel would; a phone whose EFS2 is parked by a re-partition first gets up to 30 s\n"
    "to take it back, and a second interrupt gives up on it at once.\n"
    "Exit status: 0 every channel passed, 1 a channel failed, 2 usage error or refused image.\n";

// Interrupts (SIGINT, SIGTERM, SIGHUP) received so far; the main thread acts on them between scans.
std::atomic<int> g_nSignals{0};
static_assert(std::atomic<int>::is_always_lock_free, "counted from a signal handler");

void OnSignal(int) { g_nSignals.fetch_add(1); }

void InstallSignals()
{
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(nSignal, &sa, nullptr);
    // A reader that went away (| head -1) ends the printing, never a download.
    std::signal(SIGPIPE, SIG_IGN);
}

// A descriptor 0-2 left closed by the caller (>&-) would be taken by the first file or port
// opened, and the phone would receive the log text meant for standard output.
bool OpenStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int fdNull = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (fdNull != fd) return false;  // the lowest free number is fd itself
    }
    return true;
}

struct OPTIONS {
    std::string astrImage[6];  // by ImageKind; 0 (Unified) is never given
    int nModel = 4;
    bool bSelectGiven = false;
    MODEL_TICKS ticks;
    bool bCscEntryGiven = false;
    std::string strCscEntry;
    bool bCscPriority = true;
    bool bYesToMismatch = false;
    int nRebootWaitSec = -1;
    int nStallTimeoutSec = 120;
    bool bJson = false;
    std::vector<std::string> astrPorts;
};

// The length of the well-formed UTF-8 sequence at str[i], 0 when there is none.
size_t Utf8SequenceAt(const std::string& str, size_t i)
{
    const auto at = [&str](size_t k) { return static_cast<unsigned char>(str[k]); };
    const unsigned char c = at(i);
    size_t n = 0;
    unsigned char byLow = 0x80, byHigh = 0xBF;  // the range of the second byte
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) byLow = 0xA0;
        if (c == 0xED) byHigh = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) byLow = 0x90;
        if (c == 0xF4) byHigh = 0x8F;
    }
    if (n == 0 || i + n > str.size() || at(i + 1) < byLow || at(i + 1) > byHigh) return 0;
    for (size_t k = 2; k < n; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    return n;
}

// A JSON string. File names are bytes, not necessarily UTF-8: a byte that starts no well-formed
// sequence is written as the character of the same number, so every line stays valid JSON.
std::string JsonString(const std::string& str)
{
    std::string out = "\"";
    for (size_t i = 0; i < str.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(str[i]);
        if (c >= 0x80) {
            const size_t n = Utf8SequenceAt(str, i);
            if (n != 0) {
                out.append(str, i, n);
                i += n - 1;
            } else {
                char sz[8];
                std::snprintf(sz, sizeof(sz), "\\u%04x", c);
                out += sz;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char sz[8];
                std::snprintf(sz, sizeof(sz), "\\u%04x", c);
                out += sz;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

// A log line without its line end, for the plain output.
std::string Chomp(std::string str)
{
    while (!str.empty() && (str.back() == '\n' || str.back() == '\r')) str.pop_back();
    return str;
}

// Text for the plain output, one line per event. A control character (or a byte a terminal
// could take for one) in a file name must not start a line of its own: a newline in a path
// would otherwise print a forged "Download PASS" line for a phone that failed.
std::string PlainText(const std::string& str)
{
    std::string out;
    out.reserve(str.size());
    for (size_t i = 0; i < str.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(str[i]);
        const size_t n = c >= 0x80 ? Utf8SequenceAt(str, i) : 1;
        // U+0080..U+009F are the C1 controls.
        const bool bC1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(str[i + 1]) < 0xA0;
        if (c >= 0x80 && n != 0 && !bC1) {
            out.append(str, i, n);
            i += n - 1;
            continue;
        }
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            continue;
        }
        char sz[8];
        if (c == '\n') std::snprintf(sz, sizeof(sz), "\\n");
        else if (c == '\r') std::snprintf(sz, sizeof(sz), "\\r");
        else if (c == '\t') std::snprintf(sz, sizeof(sz), "\\t");
        else std::snprintf(sz, sizeof(sz), "\\x%02x", c);
        out += sz;
    }
    return out;
}

// Everything printed during a run goes through here. Workers, which print with the display lock
// held, only append to a buffer; the main thread writes it out between its scans, taking only
// what the reader accepts at that moment. A slow or stopped reader thus holds up no worker, and
// a reader that has gone away (EPIPE) ends the printing, never a download.
class COutput {
public:
    COutput()
    {
        m_strPending.reserve(BUFFER_RESERVE);
        m_strWriting.reserve(BUFFER_RESERVE);
    }

    void Append(const std::string& str)
    {
        std::lock_guard<std::mutex> lock(m_cs);
        if (!m_bGone) m_strPending += str;
    }

    // Main thread: writes what standard output takes now; true when nothing is left over.
    bool Pump(int nWaitMs = 0)
    {
        if (m_nWritten == m_strWriting.size()) {
            m_strWriting.clear();
            m_nWritten = 0;
            std::lock_guard<std::mutex> lock(m_cs);
            m_strWriting.swap(m_strPending);
        }
        while (m_nWritten < m_strWriting.size()) {
            pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
            const int nReady = ::poll(&pfd, 1, nWaitMs);
            if (nReady <= 0) return false;  // not taking anything now, or a signal to look at
            if (pfd.revents & (POLLERR | POLLNVAL)) return Gone();
            // At most one pipe buffer's worth, which a writable pipe takes without blocking.
            const size_t nChunk = std::min<size_t>(m_strWriting.size() - m_nWritten, PIPE_BUF);
            const ssize_t nDone = ::write(STDOUT_FILENO, m_strWriting.data() + m_nWritten, nChunk);
            if (nDone > 0) m_nWritten += static_cast<size_t>(nDone);
            else if (nDone < 0 && errno != EAGAIN && errno != EINTR) return Gone();
            else return false;
        }
        std::lock_guard<std::mutex> lock(m_cs);
        return m_strPending.empty();
    }

    // At the end: writes the rest while the reader keeps taking it; a reader that takes nothing
    // for FINISH_IDLE_MS does not keep the program from ending.
    void Finish()
    {
        auto lastProgress = std::chrono::steady_clock::now();
        size_t nLast = m_nWritten;
        while (!Pump(POLL_SLICE_MS)) {
            if (m_nWritten != nLast) {
                nLast = m_nWritten;
                lastProgress = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - lastProgress >
                       std::chrono::milliseconds(FINISH_IDLE_MS)) {
                return;
            }
        }
    }

private:
    static constexpr size_t BUFFER_RESERVE = 64 * 1024;
    static constexpr int POLL_SLICE_MS = 100;
    static constexpr int FINISH_IDLE_MS = 30000;

    bool Gone()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_bGone = true;
        m_strPending.clear();
        m_strWriting.clear();
        m_nWritten = 0;
        return true;
    }

    std::mutex m_cs;  // guards m_strPending and m_bGone
    std::string m_strPending;
    bool m_bGone = false;
    // The main thread's own.
    std::string m_strWriting;
    size_t m_nWritten = 0;
};

// The channel a log line belongs to: the worker's own, or for a line the console writes about
// a channel, the number in its "[Channel %d]" head; -1 for the station's own lines.
int LogChannel(const std::string& strLine)
{
    const int nCh = FLASH_CYCLE_CurrentChannel();
    if (nCh >= 0) return nCh;
    int nNamed = -1;
    if (std::sscanf(strLine.c_str(), "[Channel %d]", &nNamed) == 1 && nNamed >= 0 &&
        nNamed < MAX_CHANNEL)
        return nNamed;
    return -1;
}

// Prints what the dialog would show, through the output buffer: bar and log calls arrive with
// the display lock held, and nothing here waits for the reader or for another thread.
class CHeadlessView final : public IStationView {
public:
    CHeadlessView(CVarnDLCore& core, const OPTIONS& opt, COutput& out)
        : m_core(core), m_opt(opt), m_out(out)
    {
    }

    void OnBarChanged(int nCh) override
    {
        if (nCh < 0 || nCh >= MAX_CHANNEL) return;
        const BAR_STATE state = m_core.m_ctrlProgress[nCh].GetState();
        std::lock_guard<std::mutex> lock(m_csLast);
        // Plain output shows the text as it changes; JSON every change of text, fill or colour.
        BAR_STATE& last = m_aLast[nCh];
        const bool bSameText = m_bHaveText[nCh] && state.strText == last.strText;
        const bool bSameLook = state.nPercent == last.nPercent && state.byRed == last.byRed &&
                               state.byGreen == last.byGreen && state.byBlue == last.byBlue;
        if (bSameText && (!m_opt.bJson || bSameLook)) return;
        m_bHaveText[nCh] = true;
        last = state;
        if (m_opt.bJson) {
            char szTail[64];
            std::snprintf(szTail, sizeof(szTail), ",\"percent\":%d,\"color\":\"#%02x%02x%02x\"}\n",
                          state.nPercent, state.byRed, state.byGreen, state.byBlue);
            m_out.Append(JsonHead("bar", nCh) + ",\"text\":" + JsonString(state.strText) + szTail);
        } else {
            m_out.Append(PlainHead(nCh) + "bar " + PlainText(Chomp(state.strText)) + "\n");
        }
    }

    void OnLogLine(const std::string& strLine) override
    {
        const int nCh = LogChannel(strLine);
        if (m_opt.bJson)
            m_out.Append(JsonHead("log", nCh) + ",\"text\":" + JsonString(strLine) + "}\n");
        else
            m_out.Append(PlainHead(nCh) + "log " + PlainText(Chomp(strLine)) + "\n");
    }

    void OnPortText(int nCh, const std::string& strText) override
    {
        if (m_opt.bJson)
            m_out.Append(JsonHead("port", nCh) + ",\"text\":" + JsonString(strText) + "}\n");
        else
            m_out.Append(PlainHead(nCh) + "port " + PlainText(strText) + "\n");
    }

    int AskYesNo(int nCh, const std::string& strCaption, const std::string& strText,
                 const std::atomic<uint32_t>&) override
    {
        const bool bYes = m_opt.bYesToMismatch;
        if (m_opt.bJson)
            m_out.Append(JsonHead("question", nCh) + ",\"caption\":" + JsonString(strCaption) +
                         ",\"text\":" + JsonString(strText) + ",\"answer\":\"" +
                         (bYes ? "yes" : "no") + "\"}\n");
        else
            m_out.Append(PlainHead(nCh) + "question " + PlainText(strCaption) + ": answered " +
                         (bYes ? "Yes" : "No") + "\n");
        return bYes ? IDYES : IDNO;
    }

    void ShowMessage(int nCh, const std::string& strText, const std::atomic<uint32_t>&) override
    {
        if (m_opt.bJson)
            m_out.Append(JsonHead("message", nCh) + ",\"text\":" + JsonString(strText) + "}\n");
        else
            m_out.Append(PlainHead(nCh) + "message " + PlainText(strText) + "\n");
    }

private:
    static std::string JsonHead(const char* szType, int nCh)
    {
        return std::string("{\"type\":\"") + szType + "\",\"channel\":" + std::to_string(nCh);
    }
    static std::string PlainHead(int nCh)
    {
        return nCh >= 0 ? "[CH" + std::to_string(nCh) + "] " : std::string("[STATION] ");
    }

    CVarnDLCore& m_core;
    const OPTIONS& m_opt;
    COutput& m_out;
    std::mutex m_csLast;
    bool m_bHaveText[MAX_CHANNEL] = {};
    BAR_STATE m_aLast[MAX_CHANNEL];
};

// Image selection without a window: the message boxes go to stderr, the stored ticks are the
// ones the command line chose.
class CHeadlessImageControls final : public CNullImageControls {
public:
    explicit CHeadlessImageControls(CVarnDLCore& core) : m_core(core) {}
    void ApplyStoredTicks() override { MODEL_TICKS_ApplyStored(m_core); }
    void ShowMessage(const std::string& strText) override
    {
        std::fprintf(stderr, "quillon-flash: %s\n", PlainText(strText).c_str());
    }

private:
    CVarnDLCore& m_core;
};

int Usage(const char* szWhy)
{
    std::fprintf(stderr, "quillon-flash: %s\n%s", PlainText(szWhy).c_str(), g_szUsage);
    return EXIT_USAGE;
}

bool ParseInt(const std::string& str, int nMin, int nMax, int& nOut)
{
    if (str.empty() || str.size() > 9) return false;
    for (char c : str)
        if (c < '0' || c > '9') return false;
    const int n = std::atoi(str.c_str());
    if (n < nMin || n > nMax) return false;
    nOut = n;
    return true;
}

// false with the unknown item in strBad, or with strBad empty when the list names no region: an
// empty shell variable must not run a download that writes nothing and passes.
bool ParseSelect(const std::string& strList, MODEL_TICKS& ticks, std::string& strBad)
{
    ticks = MODEL_TICKS{};
    strBad.clear();
    bool bAny = false;
    size_t nPos = 0;
    while (nPos <= strList.size()) {
        size_t nEnd = strList.find(',', nPos);
        if (nEnd == std::string::npos) nEnd = strList.size();
        const std::string strItem = strList.substr(nPos, nEnd - nPos);
        if (strItem == "pboot") ticks.dwPBoot = 1;
        else if (strItem == "phone") ticks.dwPhone = 1;
        else if (strItem == "efs") ticks.dwEfs = 1;
        else if (strItem == "eboot") ticks.dwEboot = 1;
        else if (strItem == "pda") ticks.dwPda = 1;
        else if (strItem == "csc") ticks.dwCarrier = 1;
        else if (strItem == "hidden") ticks.dwHidden = 1;
        else if (!strItem.empty()) {
            strBad = strItem;
            return false;
        }
        bAny = bAny || !strItem.empty();
        nPos = nEnd + 1;
    }
    return bAny;
}

// Two names of one device (a link such as a by-id name, or the node itself) would put one phone
// on two channels: the second cannot open it and fails a phone that the first one flashed.
bool SamePort(const std::string& strA, const std::string& strB)
{
    if (strA == strB) return true;
    struct stat stA, stB;
    return ::stat(strA.c_str(), &stA) == 0 && ::stat(strB.c_str(), &stB) == 0 && stA.st_dev == stB.st_dev &&
           stA.st_ino == stB.st_ino;
}

// 0 on success, else the exit status (after the message), -1 for --help / --version.
int ParseArgs(int argc, char** argv, OPTIONS& opt)
{
    static const struct {
        const char* szName;
        int nKind;
    } s_aImageOption[] = {{"--phone", IMAGE_PHONE}, {"--eboot", IMAGE_EBOOT}, {"--pda", IMAGE_PDA},
                          {"--csc", IMAGE_CSC},     {"--hidden", IMAGE_HIDDEN}};
    bool bOnlyPorts = false;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (bOnlyPorts || strArg.empty() || strArg[0] != '-' || strArg == "-") {
            opt.astrPorts.push_back(strArg);
            continue;
        }
        if (strArg == "--") {
            bOnlyPorts = true;
            continue;
        }
        if (strArg == "--help" || strArg == "-h") {
            std::fputs(g_szUsage, stdout);
            return -1;
        }
        if (strArg == "--version") {
            std::printf("quillon-flash %s\n", VERSION_NUMBER);
            return -1;
        }
        if (strArg == "--json") {
            opt.bJson = true;
            continue;
        }
        // Every other option takes a value, as "--name VALUE" or "--name=VALUE".
        std::string strValue;
        const size_t nEq = strArg.find('=');
        if (nEq != std::string::npos) {
            strValue = strArg.substr(nEq + 1);
            strArg.resize(nEq);
        } else {
            if (i + 1 >= argc) return Usage((strArg + " needs a value").c_str());
            strValue = argv[++i];
        }
        bool bImage = false;
        for (const auto& o : s_aImageOption) {
            if (strArg == o.szName) {
                if (strValue.empty()) return Usage((strArg + " needs a file").c_str());
                opt.astrImage[o.nKind] = strValue;
                bImage = true;
            }
        }
        if (bImage) continue;
        if (strArg == "--model") {
            if (!ParseInt(strValue, 0, MODEL_COUNT - 1, opt.nModel))
                return Usage("--model takes an index 0-6");
        } else if (strArg == "--select") {
            std::string strBad;
            if (!ParseSelect(strValue, opt.ticks, strBad))
                return Usage(strBad.empty() ? "--select names no region"
                                            : ("unknown region in --select: " + strBad).c_str());
            opt.bSelectGiven = true;
        } else if (strArg == "--csc-entry") {
            opt.strCscEntry = strValue;
            opt.bCscEntryGiven = true;
        } else if (strArg == "--csc-priority") {
            if (strValue != "0" && strValue != "1") return Usage("--csc-priority takes 0 or 1");
            opt.bCscPriority = strValue == "1";
        } else if (strArg == "--on-partition-mismatch") {
            if (strValue != "yes" && strValue != "no")
                return Usage("--on-partition-mismatch takes yes or no");
            opt.bYesToMismatch = strValue == "yes";
        } else if (strArg == "--reboot-wait") {
            if (!ParseInt(strValue, 0, 86400, opt.nRebootWaitSec))
                return Usage("--reboot-wait takes whole seconds 0-86400");
        } else if (strArg == "--stall-timeout") {
            if (!ParseInt(strValue, 0, 86400, opt.nStallTimeoutSec))
                return Usage("--stall-timeout takes whole seconds 0-86400");
        } else {
            return Usage(("unknown option " + strArg).c_str());
        }
    }
    if (opt.astrPorts.empty()) return Usage("no PORT given");
    if (opt.astrPorts.size() > MAX_CHANNEL) return Usage("at most 8 PORTs");
    for (size_t i = 0; i < opt.astrPorts.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (SamePort(opt.astrPorts[i], opt.astrPorts[j]))
                return Usage(("PORT given twice: " + opt.astrPorts[i]).c_str());
    if (opt.astrImage[IMAGE_PHONE].empty()) return Usage("a Phone image (--phone) is required");

    if (!opt.bSelectGiven) {
        opt.ticks = MODEL_TICKS{};
        opt.ticks.dwPBoot = opt.ticks.dwPhone = 1;
        opt.ticks.dwEboot = !opt.astrImage[IMAGE_EBOOT].empty();
        opt.ticks.dwPda = !opt.astrImage[IMAGE_PDA].empty();
        opt.ticks.dwCarrier = !opt.astrImage[IMAGE_CSC].empty();
    }
    struct {
        uint32_t dwTick;
        int nKind;
        const char* szWhy;
    } aNeed[] = {{opt.ticks.dwEboot, IMAGE_EBOOT, "eboot is selected without --eboot"},
                 {opt.ticks.dwPda, IMAGE_PDA, "pda is selected without --pda"},
                 {opt.ticks.dwCarrier, IMAGE_CSC, "csc is selected without --csc"},
                 {opt.ticks.dwHidden, IMAGE_HIDDEN, "hidden is selected without --hidden"}};
    for (const auto& n : aNeed)
        if (n.dwTick && opt.astrImage[n.nKind].empty()) return Usage(n.szWhy);
    if (opt.bCscEntryGiven && opt.astrImage[IMAGE_CSC].empty())
        return Usage("--csc-entry needs --csc");
    return 0;
}

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
                     PlainText(strPort).c_str(), strWhy.c_str());
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
                     PlainText(opt.astrImage[k]).c_str());
        nStatus = EXIT_USAGE;
    }
    if (nStatus == 0 && opt.ticks.dwHidden && !core.m_bHiddenAllowed) {
        std::fprintf(stderr, "quillon-flash: the Phone image's descriptor has no Hidden region\n");
        nStatus = EXIT_USAGE;
    }
    return nStatus;
}

// The run itself, once the command line is accepted; the exit status.
int Run(const OPTIONS& opt, COutput& out)
{
    static CVarnDLCore s_core;  // large; kept off the stack
    CVarnDLCore& core = s_core;
    CHeadlessView view(core, opt, out);
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
        if (nPort == 0) return Usage(("no port number for " + opt.astrPorts[i]).c_str());
        core.m_nComPort[i] = nPort;
        view.OnPortText(static_cast<int>(i), "COM" + std::to_string(nPort) + " " + opt.astrPorts[i]);
    }

    static STATION_THREADS s_threads;
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
        out.Pump();
        const int nSignals = g_nSignals.load();
        if (nSignals == 0) return;
        if (!bWatching) {
            core.m_bQuit = 1;
            return;
        }
        if (nSignalsSeen == 0) core.m_bStopAll = 1;
        nSignalsSeen = nSignals;
        // Also a channel that parks only after the second interrupt is given up on.
        if (nSignals >= 2) STATION_GiveUpParked(core, s_threads);
    };
    if (g_nSignals.load() != 0) return EXIT_FAILED;  // interrupted before anything started
    STATION_Start(core, s_threads, loop);
    bWatching = false;
    if (g_nSignals.load() != 0) core.m_bQuit = 1;
    STATION_JoinAll(core, s_threads, loop);

    bool bAllPassed = true;
    for (size_t i = 0; i < opt.astrPorts.size(); ++i)
        if (!core.m_bCycleEnd[i] || !core.m_bDownloadDone[i]) bAllPassed = false;
    return bAllPassed ? EXIT_PASS : EXIT_FAILED;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!OpenStandardDescriptors()) return EXIT_USAGE;
    InstallSignals();
    OPTIONS opt;
    const int nParse = ParseArgs(argc, argv, opt);
    if (nParse < 0) return EXIT_PASS;
    if (nParse > 0) return nParse;

    static COutput s_out;
    const int nStatus = Run(opt, s_out);
    s_out.Finish();
    return nStatus;
}
