// quillon-line: one view of a whole production line and one place where every phone's result
// record arrives. It listens on the line's MQTT broker to every station's channel states, its
// status and its records, shows them (live on a terminal, or one line per change), and appends
// each record to one line-wide file, once per record id however often it is delivered.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "records/result_record.h"
#include "line/broker_url.h"
#include "line/line_topics.h"
#include "line/mqtt_session.h"
#include "line/record_feed.h"
#include "station/command_line.h"
#include "station/terminal_output.h"
#include "station/text_format.h"
#include "station/version.h"

namespace {

using JSON = nlohmann::ordered_json;

constexpr int EXIT_OK = 0;
constexpr int EXIT_RECORDS_LOST = 1;
constexpr int EXIT_USAGE = 2;

const char* const g_szUsage =
    "Usage: quillon-line --mqtt URL [OPTIONS]\n"
    "Shows every station of the line on the MQTT broker at URL and keeps their result records.\n"
    "\n"
    "  --mqtt URL                  mqtt://[USER[:PASSWORD]@]HOST[:PORT] or mqtts://... (TLS with\n"
    "                              the system's certificate authorities); ports 1883 and 8883\n"
    "                              by default\n"
    "  --mqtt-password-file FILE   the password is the first line of FILE (it takes the place of\n"
    "                              one in the URL, and stays out of the process list)\n"
    "  --results FILE              append every record received to FILE (JSON lines; a name\n"
    "                              ending in .csv gives CSV under a header row); default\n"
    "                              $XDG_DATA_HOME/Quillon/Line/results.jsonl\n"
    "  --plain                     one line per change, even on a terminal\n"
    "  --json                      one JSON object per line for every change\n"
    "  --help, --version\n"
    "\n"
    "On a terminal each station has one line, redrawn in place: its status and its eight\n"
    "channels. A record whose id the file already holds is not appended again. A broker that\n"
    "cannot be reached or refuses the login is told once, and tried again until it answers.\n"
    "Runs until SIGINT or SIGTERM.\n"
    "Exit status: 0 stopped by a signal, 1 a record could not be written to FILE, 2 usage error\n"
    "(a bad URL, an unreadable password file, a results file that cannot be opened).\n";

std::atomic<int> g_nSignal{0};
std::atomic<bool> g_bResized{false};

void OnSignal(int nSignal) { g_nSignal = nSignal; }
void OnResize(int) { g_bResized = true; }

void InstallSignals()
{
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(nSignal, &sa, nullptr);
    sa.sa_handler = OnResize;
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

struct OPTIONS {
    std::string strUrl;
    std::string strPasswordFile;
    std::string strResults;
    bool bPlain = false;
    bool bJson = false;
};

// 0 to go on, -1 for --help or --version, else the exit status after the message.
int ParseArgs(int argc, char** argv, OPTIONS& opt)
{
    enum : int { O_MQTT, O_PASSWORD_FILE, O_RESULTS, O_PLAIN, O_JSON, O_HELP, O_VERSION };
    CCommandLine cli("quillon-line", argc, argv,
                     {{"mqtt", true, O_MQTT}, {"mqtt-password-file", true, O_PASSWORD_FILE},
                      {"results", true, O_RESULTS}, {"plain", false, O_PLAIN}, {"json", false, O_JSON},
                      {"help", false, O_HELP, 'h'}, {"version", false, O_VERSION}});
    std::string strValue;
    for (int nOption; (nOption = cli.Next(strValue)) != CLI_END;) {
        switch (nOption) {
        case CLI_ERROR: return EXIT_USAGE;
        case O_HELP: std::fputs(g_szUsage, stdout); return -1;
        case O_VERSION: std::printf("quillon-line %s\n", VERSION_NUMBER); return -1;
        case O_MQTT: opt.strUrl = strValue; break;
        case O_PASSWORD_FILE:
            if (strValue.empty()) return cli.Usage("--mqtt-password-file needs a file"), EXIT_USAGE;
            opt.strPasswordFile = strValue;
            break;
        case O_RESULTS:
            if (strValue.empty()) return cli.Usage("--results needs a file"), EXIT_USAGE;
            opt.strResults = strValue;
            break;
        case O_PLAIN: opt.bPlain = true; break;
        case O_JSON: opt.bJson = true; break;
        }
    }
    if (!cli.Operands().empty()) return cli.Usage(std::string("unexpected operand ").append(cli.Operands().front())), EXIT_USAGE;
    if (opt.strUrl.empty()) return cli.Usage("the broker's URL (--mqtt) is required"), EXIT_USAGE;
    if (opt.bPlain && opt.bJson) return cli.Usage("--plain and --json exclude each other"), EXIT_USAGE;
    if (opt.strResults.empty()) {
        const char* szData = std::getenv("XDG_DATA_HOME");
        const char* szHome = std::getenv("HOME");
        std::string strDir = szData != nullptr && *szData == '/' ? szData : std::string(szHome ? szHome : ".") + "/.local/share";
        opt.strResults = strDir.append("/Quillon/Line/results.jsonl");
    }
    return 0;
}

// A CSV cell of a record received as JSON, for the column of that name: a field of that name
// as it is, a list joined as the station's own CSV joins it, an image's path, size or digest
// from the list of images.
std::string CsvCell(const JSON& record, const std::string& strColumn)
{
    const auto text = [](const JSON& value) -> std::string {
        if (value.is_string()) return value.get<std::string>();
        if (value.is_null()) return std::string();
        if (!value.is_array()) return value.dump(-1, ' ', false, JSON::error_handler_t::replace);
        std::string out;
        for (const JSON& item : value) {
            if (!out.empty()) out += ',';
            if (item.is_object() && item.contains("region"))
                out.append(item.value("region", "")).append(": ").append(item.value("reason", ""));
            else
                out += item.is_string() ? item.get<std::string>() : item.dump();
        }
        return out;
    };
    const auto it = record.find(strColumn);
    if (it != record.end()) return text(*it);
    const size_t nUnderscore = strColumn.rfind('_');
    const auto images = record.find("images");
    if (nUnderscore == std::string::npos || images == record.end() || !images->is_array()) return std::string();
    const std::string strKind = strColumn.substr(0, nUnderscore);
    const std::string strField = strColumn.substr(nUnderscore + 1);
    for (const JSON& image : *images) {
        if (!image.is_object() || image.value("kind", "") != strKind) continue;
        const auto field = image.find(strField);
        return field == image.end() ? std::string() : text(*field);
    }
    return std::string();
}

// The line-wide results file: every record received, once per id.
class CLineRecords {
public:
    enum ADDED { ADDED_NEW, ADDED_DUPLICATE, ADDED_FAILED };

    bool Open(const std::string& strPath, std::string& strError)
    {
        m_strPath = strPath;
        m_bCsv = strPath.size() > 4 && strPath.compare(strPath.size() - 4, 4, ".csv") == 0;
        std::error_code ec;
        const std::filesystem::path dir = std::filesystem::path(strPath).parent_path();
        if (!dir.empty()) std::filesystem::create_directories(dir, ec);
        struct stat st;
        if (::stat(strPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            strError = "not a regular file";
            return false;
        }
        m_fd = ::open(strPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
        if (m_fd < 0) {
            strError = std::strerror(errno);
            return false;
        }
        LoadIds();
        return true;
    }

    size_t Known() const { return m_ids.size(); }

    ADDED Add(const JSON& record, std::string& strProblem)
    {
        const auto it = record.find("id");
        const std::string strId = it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
        if (!strId.empty() && m_ids.count(strId) != 0) return ADDED_DUPLICATE;
        std::string strText;
        if (m_bCsv) {
            if (m_astrColumns.empty()) m_astrColumns = FEED_CsvFields(RESULT_RECORD_CsvHeader());
            for (size_t i = 0; i < m_astrColumns.size(); ++i)
                strText.append(i == 0 ? "" : ",").append(TEXT_CsvField(CsvCell(record, m_astrColumns[i])));
            strText += '\n';
        } else {
            strText = record.dump(-1, ' ', false, JSON::error_handler_t::replace) + "\n";
        }
        if (!Write(strText, strProblem)) return ADDED_FAILED;
        if (!strId.empty()) m_ids.insert(strId);
        return ADDED_NEW;
    }

private:
    void LoadIds()
    {
        std::ifstream in(m_strPath);
        std::string strRecord, strLine;
        size_t nId = std::string::npos;
        bool bQuoted = false;
        while (std::getline(in, strLine)) {
            strRecord += strLine + "\n";
            if (m_bCsv) {
                // A quoted field may hold line ends: a record ends outside quotes.
                for (const char c : strLine) bQuoted = c == '"' ? !bQuoted : bQuoted;
                if (bQuoted) continue;
                const std::vector<std::string> astr = FEED_CsvFields(strRecord);
                strRecord.clear();
                if (m_astrColumns.empty()) {
                    m_astrColumns = astr;
                    nId = std::find(astr.begin(), astr.end(), "id") - astr.begin();
                    if (nId == astr.size()) nId = astr.size();  // an old header: the id follows it
                } else if (nId < astr.size() && !astr[nId].empty()) {
                    m_ids.insert(astr[nId]);
                }
                continue;
            }
            const JSON json = JSON::parse(strRecord, nullptr, false);
            strRecord.clear();
            if (json.is_object() && json.contains("id") && json["id"].is_string()) m_ids.insert(json["id"].get<std::string>());
        }
    }

    // Whole, with one append, durable before the next; a CSV file gets its header first.
    bool Write(std::string strText, std::string& strProblem)
    {
        struct stat st;
        if (m_bCsv && ::fstat(m_fd, &st) == 0 && st.st_size == 0) strText.insert(0, RESULT_RECORD_CsvHeader());
        const ssize_t n = ::write(m_fd, strText.data(), strText.size());
        if (n != static_cast<ssize_t>(strText.size())) {
            strProblem = n < 0 ? std::strerror(errno) : "the disk took only part of a record";
            return false;
        }
        if (::fdatasync(m_fd) != 0 && errno != EINVAL) {
            strProblem = std::strerror(errno);
            return false;
        }
        return true;
    }

    std::string m_strPath;
    bool m_bCsv = false;
    int m_fd = -1;
    std::vector<std::string> m_astrColumns;  // of a CSV file, as its header row has them
    std::unordered_set<std::string> m_ids;
};

struct STATION {
    std::string strStatus;
    LINE_CHANNEL_STATE aState[LINE_CHANNELS];
    bool abHave[LINE_CHANNELS] = {};
    uint64_t qwRecords = 0;  // kept this run
};

// The terminal view: one line per station, in name order, redrawn in place; notes (the broker
// lost or back, a file that cannot be written) scroll away above the lines.
class CLineView {
public:
    explicit CLineView(CTerminalOutput& out) : m_out(out) {}

    void Note(const std::string& str) { m_astrNotes.push_back(TERMINAL_PlainText(str)); }

    void Draw(const std::map<std::string, STATION>& stations, bool bFinal = false)
    {
        const auto now = std::chrono::steady_clock::now();
        if (!bFinal && (now - m_lastDraw < std::chrono::milliseconds(DRAW_INTERVAL_MS) || !m_out.Idle())) return;
        m_lastDraw = now;
        const size_t nColumns = (TERMINAL_Columns() != 0 ? TERMINAL_Columns() : 80) - 1;
        std::string strFrame;
        if (!m_anWidth.empty()) {
            size_t nRows = m_anWidth.size();
            // Lines drawn at an old width have been rewrapped by the terminal.
            if (g_bResized.exchange(false)) {
                nRows = 0;
                for (const size_t nWidth : m_anWidth) nRows += std::max<size_t>(1, (nWidth + nColumns - 1) / nColumns);
            }
            strFrame.append("\x1b[").append(std::to_string(nRows)).append("A\r\x1b[J");
        }
        for (const std::string& strNote : m_astrNotes) strFrame.append("\r\x1b[2K").append(strNote).append("\n");
        m_astrNotes.clear();
        m_anWidth.clear();
        size_t nName = 8;
        for (const auto& entry : stations) nName = std::max(nName, std::min<size_t>(entry.first.size(), 24));
        for (const auto& entry : stations) {
            const std::string strLine = Row(entry.first, entry.second, nName, nColumns);
            m_anWidth.push_back(TERMINAL_Width(strLine));
            strFrame.append("\r\x1b[2K").append(strLine).append("\n");
        }
        if (stations.empty()) {
            const std::string strLine = TERMINAL_Fit("(no station has spoken yet)", nColumns);
            m_anWidth.push_back(TERMINAL_Width(strLine));
            strFrame.append("\r\x1b[2K").append(strLine).append("\n");
        }
        m_out.Append(strFrame);
    }

private:
    static constexpr int DRAW_INTERVAL_MS = 200;

    // A channel in four columns: its percent while it runs, else how it ended.
    static std::string Cell(const STATION& station, int nCh, const char*& szColour)
    {
        szColour = "";
        if (!station.abHave[nCh]) return "  - ";
        const LINE_CHANNEL_STATE& state = station.aState[nCh];
        const std::string strOutcome = state.szOutcome;
        if (strOutcome == "passed") {
            szColour = "\x1b[32m";
            return "PASS";
        }
        if (strOutcome == "failed" || strOutcome == "stalled" || strOutcome == "disconnected") {
            szColour = "\x1b[31m";
            return "FAIL";
        }
        if (strOutcome == "stopped") return "STOP";
        if (strOutcome == "running") {
            char sz[8];
            std::snprintf(sz, sizeof(sz), "%3d%%", std::clamp(state.nPercent, 0, 100));
            return sz;
        }
        return "  - ";
    }

    static std::string Row(const std::string& strName, const STATION& station, size_t nName, size_t nColumns)
    {
        std::string strPlain = TERMINAL_PlainText(strName);
        strPlain = TERMINAL_Fit(strPlain, nName);
        strPlain.append(nName + 1 - std::min(nName, TERMINAL_Width(strPlain)), ' ');
        char szStatus[16];
        std::snprintf(szStatus, sizeof(szStatus), "%-8s", TERMINAL_PlainText(station.strStatus.substr(0, 7)).c_str());
        strPlain += szStatus;
        std::string strColoured = strPlain;
        for (int nCh = 0; nCh < LINE_CHANNELS; ++nCh) {
            const char* szColour = "";
            const std::string strCell = Cell(station, nCh, szColour);
            const std::string strHead = std::string(" ").append(std::to_string(nCh)).append(" ");
            strPlain.append(strHead).append(strCell);
            strColoured.append(strHead);
            if (*szColour) strColoured.append(szColour).append(strCell).append("\x1b[0m");
            else strColoured.append(strCell);
        }
        const std::string strTail = std::string("  records ").append(std::to_string(station.qwRecords));
        strPlain += strTail;
        strColoured += strTail;
        // A narrow terminal gets the line cut, without colours that a cut could leave open.
        return TERMINAL_Width(strPlain) <= nColumns ? strColoured : TERMINAL_Fit(strPlain, nColumns);
    }

    CTerminalOutput& m_out;
    std::vector<std::string> m_astrNotes;
    std::vector<size_t> m_anWidth;  // the columns of each line last drawn
    std::chrono::steady_clock::time_point m_lastDraw;
};

// What arrives, shown as the options ask and recorded.
class CLine {
public:
    CLine(const OPTIONS& opt, CTerminalOutput& out, CLineView* pView, CLineRecords& records)
        : m_opt(opt), m_out(out), m_pView(pView), m_records(records)
    {
    }

    // A message for the reader: above the live view, or on standard error.
    void Tell(const std::string& str)
    {
        if (str.empty()) return;
        if (m_pView) m_pView->Note(std::string("quillon-line: ").append(str));
        else std::fprintf(stderr, "quillon-line: %s\n", TERMINAL_PlainText(str).c_str());
    }

    void OnMessage(const std::string& strTopic, const std::string& strPayload)
    {
        const LINE_TOPIC topic = LINE_ParseTopic(strTopic);
        if (topic.eKind == LINE_TOPIC_OTHER || !LINE_StationNameProblem(topic.strStation).empty()) return;
        STATION& station = m_stations[topic.strStation];
        if (topic.eKind == LINE_TOPIC_STATUS) {
            station.strStatus = strPayload;
            Print(topic.strStation, std::string("status ").append(TERMINAL_PlainText(strPayload)), {{"type", "status"}, {"status", TEXT_ValidUtf8(strPayload)}});
        } else if (topic.eKind == LINE_TOPIC_STATE) {
            LINE_CHANNEL_STATE state;
            if (!LINE_StateFromJson(strPayload, state)) return;
            station.aState[topic.nCh] = state;
            station.abHave[topic.nCh] = true;
            char szHead[48];
            std::snprintf(szHead, sizeof(szHead), "CH%d %3d%% %s", topic.nCh, state.nPercent, state.szOutcome);
            std::string strPlain = szHead;
            strPlain.append(" port ").append(std::to_string(state.nPort)).append(": ").append(TERMINAL_PlainText(state.szPhase));
            JSON json = JSON::parse(LINE_StateJson(state));
            JSON event = {{"type", "state"}, {"channel", topic.nCh}};
            event.update(json);
            Print(topic.strStation, strPlain, event);
        } else {
            OnRecord(topic.strStation, station, strPayload);
        }
    }

    const std::map<std::string, STATION>& Stations() const { return m_stations; }
    bool RecordsLost() const { return m_bRecordsLost; }

private:
    void OnRecord(const std::string& strStation, STATION& station, const std::string& strPayload)
    {
        const JSON record = JSON::parse(strPayload, nullptr, false);
        if (!record.is_object()) return;
        std::string strProblem;
        const CLineRecords::ADDED eAdded = m_records.Add(record, strProblem);
        if (eAdded == CLineRecords::ADDED_FAILED) {
            m_bRecordsLost = true;
            if (!m_bProblemTold) Tell(std::string("records cannot be written to ").append(m_opt.strResults).append(": ").append(strProblem));
            m_bProblemTold = true;
        }
        if (eAdded == CLineRecords::ADDED_NEW) ++station.qwRecords;
        const std::string strId = record.contains("id") && record["id"].is_string() ? record["id"].get<std::string>() : "";
        const std::string strResult = record.contains("result") ? CsvCell(record, "result") : "";
        const char* szWhat = eAdded == CLineRecords::ADDED_NEW ? "kept" : eAdded == CLineRecords::ADDED_DUPLICATE ? "duplicate" : "lost";
        Print(strStation, std::string("record ").append(TERMINAL_PlainText(strId)).append(" ").append(TERMINAL_PlainText(strResult)).append(" ").append(szWhat),
              {{"type", "record"}, {"id", TEXT_ValidUtf8(strId)}, {"result", TEXT_ValidUtf8(strResult)}, {"kept", szWhat}});
    }

    void Print(const std::string& strStation, const std::string& strPlain, JSON event)
    {
        if (m_pView) return;
        if (m_opt.bJson) {
            JSON line = {{"station", TEXT_ValidUtf8(strStation)}};
            line.update(event);
            JSON ordered = {{"type", event["type"]}};
            ordered.update(line);
            m_out.Append(ordered.dump(-1, ' ', false, JSON::error_handler_t::replace) + "\n");
        } else {
            m_out.Append(std::string("[").append(TERMINAL_PlainText(strStation)).append("] ").append(strPlain).append("\n"));
        }
    }

    const OPTIONS& m_opt;
    CTerminalOutput& m_out;
    CLineView* m_pView;
    CLineRecords& m_records;
    std::map<std::string, STATION> m_stations;
    bool m_bRecordsLost = false;
    bool m_bProblemTold = false;
};

// The broker keeps this collector's subscriptions and queues the records meant for it while it
// is away: one id per host and results file, so that a second collector elsewhere gets its own.
std::string ClientId(const std::string& strResults)
{
    std::error_code ec;
    const std::string strAbsolute = std::filesystem::absolute(strResults, ec).lexically_normal().string();
    uint32_t dwHash = 2166136261u;
    for (const char c : strAbsolute) dwHash = (dwHash ^ static_cast<unsigned char>(c)) * 16777619u;
    char szHash[16];
    std::snprintf(szHash, sizeof(szHash), "%08x", dwHash);
    return std::string("quillon-line-").append(LINE_HostName()).append("-").append(szHash);
}

int Run(const OPTIONS& opt, const BROKER_URL& url)
{
    CLineRecords records;
    std::string strError;
    if (!records.Open(opt.strResults, strError)) {
        std::fprintf(stderr, "quillon-line: the results file %s cannot be opened: %s\n",
                     TERMINAL_PlainText(opt.strResults).c_str(), strError.c_str());
        return EXIT_USAGE;
    }
    static CTerminalOutput s_out;
    const bool bLive = !opt.bPlain && !opt.bJson && ::isatty(STDOUT_FILENO) && TERMINAL_CanRedraw();
    CLineView view(s_out);
    CLine line(opt, s_out, bLive ? &view : nullptr, records);
    const std::string strUrl = BROKER_URL_Redacted(url);

    // The collector comes back faster than the stations (1 s doubling to 30 s), so that it has
    // subscribed again before they send the records of an outage.
    CMqttRetry retry(250, 1000);
    bool bEverUp = false;
    CMqttSession* pSession = nullptr;
    MQTT_EVENTS events;
    int nSubscribed = 0;
    events.fnUp = [&] {
        nSubscribed = 0;
        for (const char* szTopic : {"quillon/+/channel/+/state", "quillon/+/results", "quillon/+/status"})
            pSession->Subscribe(szTopic, 1);
    };
    // Said once the broker has taken every subscription: from then on nothing is missed.
    events.fnSubscribed = [&] {
        if (++nSubscribed != 3) return;
        const std::string strAgain = retry.Up(strUrl);
        line.Tell(bEverUp ? strAgain : std::string("listening to the line's broker ").append(strUrl));
        bEverUp = true;
    };
    events.fnMessage = [&line](const std::string& strTopic, const std::string& strPayload, bool) {
        line.OnMessage(strTopic, strPayload);
    };
    CMqttSession session(url, ClientId(opt.strResults), false, events);
    pSession = &session;
    while (g_nSignal.load() == 0) {
        const auto now = std::chrono::steady_clock::now();
        if (!session.Active() && now >= retry.NextAttempt()) {
            std::string strReason;
            if (!session.Connect("", "", strReason)) line.Tell(retry.Failed(strUrl, strReason, false, false));
        }
        pollfd fd = {session.Socket(), session.Events(), 0};
        ::poll(&fd, fd.fd >= 0 ? 1 : 0, 100);
        if (session.Active()) {
            const bool bWasUp = session.Up();
            std::string strReason;
            bool bRefused = false;
            if (!session.Service(fd.fd >= 0 ? fd.revents : 0, strReason, bRefused))
                line.Tell(retry.Failed(strUrl, strReason, bRefused, bWasUp));
        }
        if (bLive) view.Draw(line.Stations());
        s_out.Pump();
    }
    session.Disconnect();
    if (bLive) view.Draw(line.Stations(), true);
    s_out.Finish();
    return line.RecordsLost() ? EXIT_RECORDS_LOST : EXIT_OK;
}

}  // namespace

int main(int argc, char** argv)
{
    InstallSignals();
    OPTIONS opt;
    const int nParse = ParseArgs(argc, argv, opt);
    if (nParse < 0) return EXIT_OK;
    if (nParse > 0) return nParse;
    BROKER_URL url;
    std::string strError;
    if (!BROKER_URL_Parse(opt.strUrl, url, strError) ||
        (!opt.strPasswordFile.empty() && !BROKER_URL_ReadPasswordFile(opt.strPasswordFile, url, strError))) {
        std::fprintf(stderr, "quillon-line: %s\n", TERMINAL_PlainText(strError).c_str());
        return EXIT_USAGE;
    }
    return Run(opt, url);
}
