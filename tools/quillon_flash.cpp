// quillon-flash: the station without a window, for production-line automation. The same
// engine and Start orchestration as the dialog flash up to eight phones, one per serial port
// given; every log line and every change of a bar's text is printed, prefixed with its channel.
// On a terminal it draws one line per channel in place instead, and a summary at the end.

#include <algorithm>
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
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/cycle.h"
#include "engine/orchestration.h"
#include "images/image_select.h"
#include "images/multi_csc.h"
#include "link/port_table.h"
#include "link/serial_device.h"
#include "link/tty_node.h"
#include "ports/phone_identity.h"
#include "station/clock.h"
#include "station/command_line.h"
#include "station/model_ticks.h"
#include "station/station_core.h"
#include "station/station_view.h"
#include "station/text_format.h"
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
    "  --json                      one JSON object per line for every bar change, log line and\n"
    "                              channel outcome\n"
    "  --plain                     the line output even when standard output is a terminal\n"
    "  --results FILE              append one record per channel to FILE (JSON lines; a name\n"
    "                              ending in .csv gives CSV under a header row)\n"
    "  --help, --version\n"
    "\n"
    "On a terminal (without --json or --plain) each channel has one line, redrawn in place, and a\n"
    "summary table follows the run; otherwise (and on a terminal narrower than 20 columns or\n"
    "with TERM unset or dumb) every bar change and log line is printed, and each channel's\n"
    "outcome (passed, failed, stopped, disconnected or stalled) when it ends.\n"
    "A result record holds the time, host, channel, port and device, the phone's USB serial\n"
    "number and port path when udev knows them, the model, each image's path, size and SHA-256,\n"
    "the selection, the result (PASS, Stopped or the bar's failure text), elapsed_ms, bytes_sent,\n"
    "the outcome, the step it ended in, the cause of a stop, and the regions written and skipped.\n"
    "A record that cannot be written is reported once on standard error and never fails the run.\n"
    "\n"
    "Each PORT must be a terminal device. An interrupt (SIGINT, SIGTERM, SIGHUP) stops the run as\n"
    "a failed channel would; a phone whose EFS2 is parked by a re-partition first gets up to 30 s\n"
    "to take it back, and a second interrupt gives up on it at once.\n"
    "Exit status: 0 every channel passed, 1 a channel failed, 2 usage error or refused image.\n";

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
    bool bPlain = false;
    std::string strResults;
    std::vector<std::string> astrPorts;
};

// Seconds a run's end gives the result writer to hash what is left and write its records.
constexpr uint32_t RESULTS_CLOSE_BOUND_MS = 30000;

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
        const size_t n = c >= 0x80 ? TEXT_Utf8SequenceAt(str, i) : 1;
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

    // Main thread: nothing is waiting to be written.
    bool Idle()
    {
        if (m_nWritten != m_strWriting.size()) return false;
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

// At most nColumns characters of a line (UTF-8 sequences count as one), so that a terminal never
// wraps it and the lines redrawn in place stay where they are.
std::string Fit(const std::string& str, size_t nColumns)
{
    size_t nSeen = 0;
    for (size_t i = 0; i < str.size(); ++i) {
        if ((static_cast<unsigned char>(str[i]) & 0xC0) == 0x80) continue;
        if (nSeen++ == nColumns) return str.substr(0, i);
    }
    return str;
}

std::string Seconds(uint32_t dwMs)
{
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.1f", dwMs / 1000.0);
    return sz;
}

std::string Throughput(uint64_t qwBytes, uint32_t dwMs)
{
    if (dwMs == 0) return "-";
    char sz[32];
    // 10^6 bytes a second.
    std::snprintf(sz, sizeof(sz), "%.2f", static_cast<double>(qwBytes) / 1000.0 / dwMs);
    return sz;
}

// The terminal's width in columns, 0 when it does not say.
size_t TerminalColumns()
{
    winsize ws = {};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

// The columns a line takes on the terminal: its characters, without colour sequences.
size_t Width(const std::string& str)
{
    size_t nWidth = 0;
    for (size_t i = 0; i < str.size(); ++i) {
        if (str[i] == '\x1b') {
            while (i < str.size() && str[i] != 'm') ++i;
            continue;
        }
        if ((static_cast<unsigned char>(str[i]) & 0xC0) != 0x80) ++nWidth;
    }
    return nWidth;
}

// The terminal view redraws lines in place: it needs a terminal that moves its cursor (TERM set
// and not "dumb") and has room for a channel's state.
bool TerminalCanRedraw()
{
    const char* szTerm = std::getenv("TERM");
    if (szTerm == nullptr || *szTerm == '\0' || std::strcmp(szTerm, "dumb") == 0) return false;
    const size_t nColumns = TerminalColumns();
    return nColumns == 0 || nColumns >= 20;
}

// The terminal was resized (SIGWINCH); the next frame is drawn afresh at the new width.
std::atomic<bool> g_bResized{false};
void OnResize(int) { g_bResized = true; }

// The terminal view: one line per channel (its bar's text, a percent bar, seconds since it
// started), redrawn in place by the main thread from the bars' state, and a summary table at
// the end. What needs the reader's eye beside the bars (questions answered, messages, a results
// file that cannot be written) is printed above the lines; any thread may add such a note.
class CLiveView {
public:
    CLiveView(CVarnDLCore& core, const STATION_THREADS& threads, size_t nChannels, COutput& out)
        : m_core(core), m_threads(threads), m_nChannels(nChannels), m_out(out)
    {
    }

    void Note(const std::string& strLine)
    {
        std::lock_guard<std::mutex> lock(m_csNotes);
        m_astrNotes.push_back(PlainText(Chomp(strLine)));
    }

    // Main thread. A frame only when the terminal has taken the last one, so that a terminal
    // that stops reading holds up no memory; the last frame is always drawn.
    void Draw(bool bFinal = false)
    {
        const auto now = std::chrono::steady_clock::now();
        const bool bSoon = now - m_lastDraw < std::chrono::milliseconds(DRAW_INTERVAL_MS);
        if (!bFinal && (bSoon || !m_out.Idle())) return;
        m_lastDraw = now;
        const size_t nColumns = Columns();
        std::string strFrame;
        if (m_bDrawn && g_bResized.exchange(false)) {
            // The terminal has rewrapped the lines drawn at the old width: back over as many
            // rows as they take now, and clear everything from there down.
            size_t nRows = 0;
            for (const size_t nWidth : m_anDrawnWidth) nRows += std::max<size_t>(1, (nWidth + nColumns - 1) / nColumns);
            strFrame = "\x1b[" + std::to_string(nRows) + "A\r\x1b[J";
        } else if (m_bDrawn) {
            strFrame = "\x1b[" + std::to_string(m_nChannels) + "A";
        }
        std::vector<std::string> astrNotes;
        {
            std::lock_guard<std::mutex> lock(m_csNotes);
            astrNotes.swap(m_astrNotes);
        }
        // Notes stay whole: they scroll away above the lines, wrapped or not.
        for (const std::string& strNote : astrNotes) strFrame += "\r\x1b[2K" + strNote + "\n";
        m_anDrawnWidth.assign(m_nChannels, 0);
        for (size_t i = 0; i < m_nChannels; ++i) {
            const std::string strLine = ChannelLine(static_cast<int>(i), nColumns);
            m_anDrawnWidth[i] = Width(strLine);
            strFrame += "\r\x1b[2K" + strLine + "\n";
        }
        m_bDrawn = true;
        m_out.Append(strFrame);
    }

    void Summary()
    {
        std::vector<std::vector<std::string>> aRows = {{"channel", "port", "result", "seconds", "MB/s"}};
        for (size_t i = 0; i < m_nChannels; ++i) {
            const int nCh = static_cast<int>(i);
            const CHANNEL_END& end = m_threads.m_aEnd[i];
            const std::string strPort = PortName(nCh) + " " + PlainText(end.strDevNode);
            if (!Ended(nCh)) {
                aRows.push_back({"CH" + std::to_string(i), strPort, "Not started", "-", "-"});
                continue;
            }
            aRows.push_back({"CH" + std::to_string(i), strPort, PlainText(OUTCOME_ResultText(end.outcome)),
                             Seconds(end.dwElapsedMs), Throughput(end.qwBytesSent, end.dwElapsedMs)});
        }
        size_t anWidth[5] = {};
        for (const auto& row : aRows)
            for (size_t c = 0; c < 5; ++c) anWidth[c] = std::max(anWidth[c], row[c].size());
        std::string strTable = "\n";
        for (const auto& row : aRows) {
            std::string strLine;
            for (size_t c = 0; c < 5; ++c) {
                // Text columns to the left, numbers to the right.
                const std::string strPad(anWidth[c] - row[c].size(), ' ');
                strLine += c < 3 ? row[c] + strPad + "  " : strPad + row[c] + (c < 4 ? "  " : "");
            }
            strTable += strLine + "\n";
        }
        m_out.Append(strTable);
    }

private:
    static constexpr int DRAW_INTERVAL_MS = 200;
    static constexpr int BAR_WIDTH = 20;

    // The terminal's width, 80 when it does not say. A line is kept one short of it: a line
    // that fills the last column leaves some terminals' cursor past it.
    static size_t Columns()
    {
        const size_t nColumns = TerminalColumns();
        return (nColumns != 0 ? nColumns : 80) - 1;
    }

    bool Started(int nCh) const { return m_threads.m_dwStarted[nCh] != 0; }
    bool Ended(int nCh) const { return Started(nCh) && m_threads.m_bEnded[nCh] != 0; }

    std::string PortName(int nCh) const
    {
        const uint32_t nPort = Started(nCh) ? m_threads.m_aEnd[nCh].nPort : m_core.m_nComPort[nCh].load();
        return "COM" + std::to_string(nPort);
    }

    std::string ChannelLine(int nCh, size_t nColumns) const
    {
        const BAR_STATE state = m_core.m_ctrlProgress[nCh].GetState();
        const CHANNEL_END& end = m_threads.m_aEnd[nCh];
        uint32_t dwMs = 0;
        if (Ended(nCh))
            dwMs = end.dwElapsedMs;
        else if (Started(nCh))
            dwMs = CLOCK_Get().GetTickCount() - end.dwStartTick;
        const int nPercent = std::clamp(state.nPercent, 0, 100);
        const size_t nFill = static_cast<size_t>(nPercent * BAR_WIDTH / 100);
        char szHead[64], szTail[48];
        std::snprintf(szHead, sizeof(szHead), "CH%d %-6s [", nCh, PortName(nCh).c_str());
        std::snprintf(szTail, sizeof(szTail), "] %3d%% %5us  ", nPercent, dwMs / 1000);
        const size_t nFixed = std::strlen(szHead) + BAR_WIDTH + std::strlen(szTail);
        std::string strText = PlainText(Chomp(state.strText));
        strText.erase(0, std::min(strText.find_first_not_of(' '), strText.size()));
        // A narrow terminal still shows each channel's state: no bar, the text cut on the right.
        if (nFixed >= nColumns) return Fit("CH" + std::to_string(nCh) + " " + strText, nColumns);
        // The bar takes the colour of the channel's bar: red for a failure, green for a pass.
        const char* szColour = state.byRed == 255 ? "\x1b[31m" : state.byGreen == 255 ? "\x1b[32m" : "";
        const std::string strBar = std::string(nFill, '#') + std::string(BAR_WIDTH - nFill, '-');
        return szHead + std::string(szColour) + strBar + (*szColour ? "\x1b[0m" : "") + szTail +
               Fit(strText, nColumns - nFixed);
    }

    CVarnDLCore& m_core;
    const STATION_THREADS& m_threads;
    const size_t m_nChannels;
    COutput& m_out;
    std::mutex m_csNotes;
    std::vector<std::string> m_astrNotes;
    bool m_bDrawn = false;
    std::vector<size_t> m_anDrawnWidth;  // the columns each channel line took when last drawn
    std::chrono::steady_clock::time_point m_lastDraw;
};

// Prints what the dialog would show, through the output buffer: bar and log calls arrive with
// the display lock held, and nothing here waits for the reader or for another thread. With the
// terminal view, the bars are drawn from their state and only questions and messages are noted.
class CHeadlessView final : public IStationView {
public:
    CHeadlessView(CVarnDLCore& core, const OPTIONS& opt, COutput& out, CLiveView* pLive)
        : m_core(core), m_opt(opt), m_out(out), m_pLive(pLive)
    {
    }

    void OnBarChanged(int nCh) override
    {
        if (nCh < 0 || nCh >= MAX_CHANNEL || m_pLive) return;
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
            m_out.Append(JsonHead("bar", nCh) + ",\"text\":" + TEXT_JsonString(state.strText) + szTail);
        } else {
            m_out.Append(PlainHead(nCh) + "bar " + PlainText(Chomp(state.strText)) + "\n");
        }
    }

    void OnLogLine(int nCh, const std::string& strLine) override
    {
        if (m_pLive) return;
        if (m_opt.bJson)
            m_out.Append(JsonHead("log", nCh) + ",\"text\":" + TEXT_JsonString(strLine) + "}\n");
        else
            m_out.Append(PlainHead(nCh) + "log " + PlainText(Chomp(strLine)) + "\n");
    }

    void OnPortText(int nCh, const std::string& strText) override
    {
        if (m_pLive) return;
        if (m_opt.bJson)
            m_out.Append(JsonHead("port", nCh) + ",\"text\":" + TEXT_JsonString(strText) + "}\n");
        else
            m_out.Append(PlainHead(nCh) + "port " + PlainText(strText) + "\n");
    }

    int AskYesNo(int nCh, const std::string& strCaption, const std::string& strText,
                 const std::atomic<uint32_t>&) override
    {
        const bool bYes = m_opt.bYesToMismatch;
        if (m_pLive)
            m_pLive->Note(PlainHead(nCh) + "question " + PlainText(strCaption) + ": answered " +
                          (bYes ? "Yes" : "No"));
        else if (m_opt.bJson)
            m_out.Append(JsonHead("question", nCh) + ",\"caption\":" + TEXT_JsonString(strCaption) +
                         ",\"text\":" + TEXT_JsonString(strText) + ",\"answer\":\"" +
                         (bYes ? "yes" : "no") + "\"}\n");
        else
            m_out.Append(PlainHead(nCh) + "question " + PlainText(strCaption) + ": answered " +
                         (bYes ? "Yes" : "No") + "\n");
        return bYes ? IDYES : IDNO;
    }

    void ShowMessage(int nCh, const std::string& strText, const std::atomic<uint32_t>&) override
    {
        if (m_pLive)
            m_pLive->Note(PlainHead(nCh) + "message " + PlainText(strText));
        else if (m_opt.bJson)
            m_out.Append(JsonHead("message", nCh) + ",\"text\":" + TEXT_JsonString(strText) + "}\n");
        else
            m_out.Append(PlainHead(nCh) + "message " + PlainText(strText) + "\n");
    }

    // How the channel's run ended, once: "[CH0] outcome failed in pda: PDA WRITE FLASH Failed!".
    void OnChannelEnded(int nCh) override
    {
        if (m_pLive) return;
        const CHANNEL_OUTCOME outcome = OUTCOME_Get(m_core, nCh);
        const std::string strCause = OUTCOME_StopText(outcome.stop);
        if (m_opt.bJson) {
            std::string str = JsonHead("outcome", nCh) + ",\"outcome\":\"" +
                              OUTCOME_KindName(outcome.eKind) + "\",\"step\":" +
                              TEXT_JsonString(outcome.strStep) + ",\"result\":" +
                              TEXT_JsonString(OUTCOME_ResultText(outcome)) + ",\"cause\":" +
                              (strCause.empty() ? std::string("null") : TEXT_JsonString(strCause)) +
                              ",\"written\":[";
            for (size_t i = 0; i < outcome.astrWritten.size(); ++i)
                str.append(i == 0 ? "" : ",").append(TEXT_JsonString(outcome.astrWritten[i]));
            str += "],\"skipped\":[";
            for (size_t i = 0; i < outcome.aSkipped.size(); ++i)
                str.append(i == 0 ? "" : ",").append(TEXT_JsonString(outcome.aSkipped[i].strRegion));
            m_out.Append(str + "]}\n");
            return;
        }
        std::string str = PlainHead(nCh) + "outcome " + OUTCOME_KindName(outcome.eKind) + " in " +
                          outcome.strStep + ": " + PlainText(OUTCOME_ResultText(outcome));
        if (!strCause.empty()) str += " (" + strCause + ")";
        m_out.Append(str + "\n");
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
    CLiveView* const m_pLive;
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

// A usage error in one line.
int Usage(const std::string& strWhy)
{
    std::fprintf(stderr, "quillon-flash: %s (try --help)\n", PlainText(strWhy).c_str());
    return EXIT_USAGE;
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
// on two channels: the second cannot open it and fails a phone that the first one flashed. And a
// results file that is an image would have records appended to the image.
bool SameFile(const std::string& strA, const std::string& strB)
{
    if (strA == strB) return true;
    struct stat stA, stB;
    return ::stat(strA.c_str(), &stA) == 0 && ::stat(strB.c_str(), &stB) == 0 && stA.st_dev == stB.st_dev &&
           stA.st_ino == stB.st_ino;
}

// 0 on success, else the exit status (after the message), -1 for --help / --version.
int ParseArgs(int argc, char** argv, OPTIONS& opt)
{
    enum : int { O_PHONE, O_EBOOT, O_PDA, O_CSC, O_HIDDEN, O_MODEL, O_SELECT, O_CSC_ENTRY,
                 O_CSC_PRIORITY, O_MISMATCH, O_REBOOT_WAIT, O_STALL, O_JSON, O_PLAIN, O_RESULTS,
                 O_HELP, O_VERSION };
    static const int s_anImage[] = {IMAGE_PHONE, IMAGE_EBOOT, IMAGE_PDA, IMAGE_CSC, IMAGE_HIDDEN};
    CCommandLine cli("quillon-flash", argc, argv,
                     {{"phone", true, O_PHONE}, {"eboot", true, O_EBOOT}, {"pda", true, O_PDA},
                      {"csc", true, O_CSC}, {"hidden", true, O_HIDDEN}, {"model", true, O_MODEL},
                      {"select", true, O_SELECT}, {"csc-entry", true, O_CSC_ENTRY},
                      {"csc-priority", true, O_CSC_PRIORITY},
                      {"on-partition-mismatch", true, O_MISMATCH},
                      {"reboot-wait", true, O_REBOOT_WAIT}, {"stall-timeout", true, O_STALL},
                      {"json", false, O_JSON}, {"plain", false, O_PLAIN},
                      {"results", true, O_RESULTS}, {"help", false, O_HELP, 'h'},
                      {"version", false, O_VERSION}});
    std::string strValue;
    uint64_t qw = 0;
    for (int nOption; (nOption = cli.Next(strValue)) != CLI_END;) {
        switch (nOption) {
        case CLI_ERROR: return EXIT_USAGE;
        case O_HELP: std::fputs(g_szUsage, stdout); return -1;
        case O_VERSION: std::printf("quillon-flash %s\n", VERSION_NUMBER); return -1;
        case O_JSON: opt.bJson = true; break;
        case O_PLAIN: opt.bPlain = true; break;
        case O_PHONE: case O_EBOOT: case O_PDA: case O_CSC: case O_HIDDEN:
            if (strValue.empty()) return Usage(cli.Name() + " needs a file");
            opt.astrImage[s_anImage[nOption - O_PHONE]] = strValue;
            break;
        case O_MODEL:
            if (!cli.Number(strValue, 0, MODEL_COUNT - 1, &qw)) return EXIT_USAGE;
            opt.nModel = static_cast<int>(qw);
            break;
        case O_SELECT: {
            std::string strBad;
            if (!ParseSelect(strValue, opt.ticks, strBad))
                return Usage(strBad.empty() ? "--select names no region" : "unknown region in --select: " + strBad);
            opt.bSelectGiven = true;
            break;
        }
        case O_CSC_ENTRY:
            opt.strCscEntry = strValue;
            opt.bCscEntryGiven = true;
            break;
        case O_CSC_PRIORITY:
            if (!cli.Number(strValue, 0, 1, &qw)) return EXIT_USAGE;
            opt.bCscPriority = qw == 1;
            break;
        case O_MISMATCH:
            if (strValue != "yes" && strValue != "no")
                return Usage("--on-partition-mismatch takes yes or no, not '" + strValue + "'");
            opt.bYesToMismatch = strValue == "yes";
            break;
        case O_REBOOT_WAIT:
            if (!cli.Number(strValue, 0, 86400, &qw)) return EXIT_USAGE;
            opt.nRebootWaitSec = static_cast<int>(qw);
            break;
        case O_STALL:
            if (!cli.Number(strValue, 0, 86400, &qw)) return EXIT_USAGE;
            opt.nStallTimeoutSec = static_cast<int>(qw);
            break;
        case O_RESULTS:
            if (strValue.empty()) return Usage("--results needs a file");
            opt.strResults = strValue;
            break;
        }
    }
    opt.astrPorts = cli.Operands();
    if (opt.astrPorts.empty()) return Usage("no PORT given");
    if (opt.astrPorts.size() > MAX_CHANNEL) return Usage("at most 8 PORTs");
    for (size_t i = 0; i < opt.astrPorts.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (SameFile(opt.astrPorts[i], opt.astrPorts[j]))
                return Usage(("PORT given twice: " + opt.astrPorts[i]).c_str());
    if (opt.astrImage[IMAGE_PHONE].empty()) return Usage("a Phone image (--phone) is required");
    // An image is never written to.
    for (const std::string& strImage : opt.astrImage)
        if (!opt.strResults.empty() && !strImage.empty() && SameFile(opt.strResults, strImage))
            return Usage(("--results names an image file: " + opt.strResults).c_str());

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
// Records go to the results file when one is given. What udev knows of each phone is looked up
// before Start: a phone that reboots after its download leaves udev before its record is made.
void OpenResults(const OPTIONS& opt, CLiveView* pLive)
{
    if (opt.strResults.empty()) return;
    auto fnProblem = [pLive](const std::string& strProblem) {
        if (pLive)
            pLive->Note("[STATION] " + strProblem);
        else
            std::fprintf(stderr, "quillon-flash: %s\n", PlainText(strProblem).c_str());
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

int Run(const OPTIONS& opt, COutput& out)
{
    static CVarnDLCore s_core;  // large; kept off the stack
    CVarnDLCore& core = s_core;
    static STATION_THREADS s_threads;
    const bool bLive = !opt.bJson && !opt.bPlain && ::isatty(STDOUT_FILENO) && TerminalCanRedraw();
    if (bLive) {
        struct sigaction sa = {};
        sa.sa_handler = OnResize;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGWINCH, &sa, nullptr);
    }
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
        if (nPort == 0) return Usage(("no port number for " + opt.astrPorts[i]).c_str());
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
    if (g_bWriterLeft) std::_Exit(nStatus);
    return nStatus;
}
