#include "records/result_record.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "images/image_digest.h"
#include "images/model_table.h"
#include "station/station_core.h"
#include "station/text_format.h"

struct RESULT_START {
    int nModel = 0;
    std::vector<std::string> astrSelection;
    // Chosen kinds only; the digests are the writer's, filled before any record of the Start.
    std::vector<RESULT_IMAGE> aImages;
    std::vector<FILE_STAMP> aStamps;
};

namespace {

const char* const g_aszKind[PLAN_IMAGE_KINDS] = {"unified", "phone", "eboot", "pda", "csc", "hidden"};

// How far back the day's counts are looked for: far more than a day of records.
constexpr int64_t COUNT_SCAN_MAX = 64 << 20;
constexpr size_t COUNT_SCAN_PIECE = 64 << 10;

struct JOB {
    std::shared_ptr<RESULT_START> pStart;
    bool bHash = false;  // else: write the record of a channel that ended
    int nCh = 0;
    CHANNEL_END end;
    time_t tEnd = 0;
};

// Heap-held, so that a writer stuck in a dead disk at the end can be let go with it.
struct RECORDER {
    std::string strPath;
    bool bCsv = false;
    int fd = -1;
    std::string strHost;

    std::mutex cs;
    std::condition_variable cv;
    std::deque<JOB> aJobs;
    bool bBusy = false;  // the writer is working on a job taken off the queue
    bool bClosing = false;
    bool bDone = false;  // the writer has returned
    std::atomic<bool> bAbandon{false};
    std::string strDay;  // of the counts
    uint32_t nPass = 0;
    uint32_t nFail = 0;

    // The writer's own.
    bool bProblemTold = false;
    bool bRenewTold = false;
    bool bTorn = false;  // the last write went out in part: the next record starts a new line
    uint64_t qwNextId = 1;  // the counter of record ids, as far as this writer knows it
    bool bIdsScanned = false;  // the file was searched for the last id once, for want of a counter
    std::thread thread;
};

std::mutex g_csRecorder;
RECORDER* g_pRecorder = nullptr;

// A hook and the lock held while it is called, so that nobody replaces it under a caller. Each
// has its own: a problem told to a reader that has stopped reading holds up only the writer.
template <typename FN>
struct HOOK {
    std::mutex cs;
    std::function<FN> fn;
};
HOOK<void(const std::string&)> g_Problem;
HOOK<PHONE_IDENTITY(const std::string&)> g_Identify;
HOOK<void()> g_Counted;

std::mutex g_csStation;
std::string g_strStation;  // the station part of record ids; the host name when ""

std::string HostName()
{
    char sz[256] = {};
    if (::gethostname(sz, sizeof(sz) - 1) != 0) return std::string();
    return sz;
}

std::string Today() { return RESULT_RECORD_Time(std::time(nullptr)).substr(0, 10); }

void Tell(RECORDER& r, const std::string& strWhat)
{
    if (r.bProblemTold) return;
    r.bProblemTold = true;
    std::lock_guard<std::mutex> lock(g_Problem.cs);
    if (g_Problem.fn)
        g_Problem.fn("Result records cannot be written to " + r.strPath + ": " + strWhat +
                    ". Downloads go on without them.");
}

std::string Joined(const std::vector<std::string>& astr)
{
    std::string out;
    for (const std::string& str : astr) {
        if (!out.empty()) out += ',';
        out += str;
    }
    return out;
}

// Opens the results file at r.strPath for appending: anything but a regular file is refused
// before it is opened, for records must never go to a phone's port or block on a pipe nobody
// reads. -1 with the reason in strError.
int OpenResults(const RECORDER& r, std::string& strError)
{
    struct stat st;
    if (::stat(r.strPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        strError = "not a regular file";
        return -1;
    }
    const int fd = ::open(r.strPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        strError = std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        strError = "not a regular file";
        ::close(fd);
        return -1;
    }
    return fd;
}

// The day's counts as the file holds them.
void Recount(RECORDER& r)
{
    uint32_t nPass = 0, nFail = 0;
    const std::string strDay = Today();
    if (r.fd >= 0 && !r.bCsv) RESULT_RECORD_CountDay(r.fd, strDay, r.strHost, nPass, nFail);
    std::lock_guard<std::mutex> lock(r.cs);
    r.strDay = strDay;
    r.nPass = nPass;
    r.nFail = nFail;
}

// A results file deleted or renamed away (log rotation, a cleanup script) would swallow every
// later record without a word: before each record the name is checked, and a file that no
// longer has it is replaced by a new one at the same path. false when none can be had.
bool KeepTheName(RECORDER& r)
{
    struct stat stPath, stOpen;
    if (r.fd >= 0 && ::stat(r.strPath.c_str(), &stPath) == 0 && ::fstat(r.fd, &stOpen) == 0 &&
        stPath.st_dev == stOpen.st_dev && stPath.st_ino == stOpen.st_ino)
        return true;
    std::string strError;
    const int fd = OpenResults(r, strError);
    if (fd < 0) {
        Tell(r, strError);
        return false;
    }
    if (r.fd >= 0) ::close(r.fd);
    r.fd = fd;
    r.bTorn = false;
    if (!r.bRenewTold) {
        r.bRenewTold = true;
        std::lock_guard<std::mutex> lock(g_Problem.cs);
        if (g_Problem.fn)
            g_Problem.fn("The results file " + r.strPath +
                         " was deleted or renamed; records go on in a new file at that path.");
    }
    Recount(r);
    return true;
}

// The highest counter of this station's ids in the file: a counter file lost must not hand out
// ids again, for the line keeps one record per id and would drop the new ones.
uint64_t LastIdInFile(const RECORDER& r, const std::string& strStation)
{
    const std::string strJsonKey = "\"id\":\"" + strStation + ":";
    const std::string strCsvKey = "," + strStation + ":";
    uint64_t qwLast = 0;
    std::ifstream in(r.strPath);
    for (std::string strLine; std::getline(in, strLine);) {
        const std::string& strKey = r.bCsv ? strCsvKey : strJsonKey;
        const size_t n = strLine.rfind(strKey);
        if (n == std::string::npos) continue;
        const char* sz = strLine.c_str() + n + strKey.size();
        char* pEnd = nullptr;
        const unsigned long long qw = std::strtoull(sz, &pEnd, 10);
        if (pEnd != sz) qwLast = std::max<uint64_t>(qwLast, qw);
    }
    return qwLast;
}

// The next record id, "STATION:N". Its counter is kept in RESULTS.seq beside the file, replaced
// atomically, and moved on before the record is written: a crash between the two leaves a gap,
// never an id given twice.
std::string NextId(RECORDER& r)
{
    std::string strStation;
    {
        std::lock_guard<std::mutex> lock(g_csStation);
        strStation = g_strStation.empty() ? r.strHost : g_strStation;
    }
    const std::string strSeq = r.strPath + ".seq";
    uint64_t qwNext = r.qwNextId;
    std::ifstream in(strSeq);
    unsigned long long qwStored = 0;
    if (in >> qwStored) {
        qwNext = std::max<uint64_t>(qwNext, qwStored);
    } else if (!r.bIdsScanned) {
        r.bIdsScanned = true;
        qwNext = std::max(qwNext, LastIdInFile(r, strStation) + 1);
    }
    r.qwNextId = qwNext + 1;
    const std::string strTemp = strSeq + ".tmp" + std::to_string(::getpid());
    const std::string strText = std::to_string(r.qwNextId) + "\n";
    const int fd = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool bStored = fd >= 0 && ::write(fd, strText.data(), strText.size()) == static_cast<ssize_t>(strText.size()) &&
                         ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!bStored || ::rename(strTemp.c_str(), strSeq.c_str()) != 0) {
        ::unlink(strTemp.c_str());
        Tell(r, "the record counter cannot be kept in " + strSeq);
    }
    return strStation + ":" + std::to_string(qwNext);
}

// One record, written whole with a single append and made durable before the next: two
// stations appending to one file never interleave, and a crash leaves no half record behind.
// true when the whole record went out.
bool Append(RECORDER& r, RESULT_RECORD record)
{
    if (!KeepTheName(r)) return false;
    // The lock keeps two stations on one file from both writing a CSV header when they start on
    // an empty file together, and one station's two programs from taking one id. It is only
    // waited for a moment: a holder that never lets go must not stop the records.
    bool bLocked = false;
    for (int i = 0; i < 50 && !(bLocked = ::flock(r.fd, LOCK_EX | LOCK_NB) == 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    record.strId = NextId(r);
    std::string strText = r.bCsv ? RESULT_RECORD_CsvRow(record) : RESULT_RECORD_Json(record);
    if (r.bTorn) strText.insert(0, 1, '\n');
    struct stat st;
    if (r.bCsv && ::fstat(r.fd, &st) == 0 && st.st_size == 0) strText.insert(0, RESULT_RECORD_CsvHeader());
    ssize_t n;
    do {
        n = ::write(r.fd, strText.data(), strText.size());
    } while (n < 0 && errno == EINTR);
    const int nWriteError = errno;
    if (bLocked) ::flock(r.fd, LOCK_UN);
    if (n < 0) {
        Tell(r, std::strerror(nWriteError));
        return false;
    }
    if (static_cast<size_t>(n) < strText.size()) {
        r.bTorn = true;
        Tell(r, "the disk took only part of a record");
        return false;
    }
    r.bTorn = false;
    // Files that cannot be synchronised (a pipe, a terminal) have nothing to lose.
    if (::fdatasync(r.fd) != 0 && errno != EINVAL && errno != EROFS) Tell(r, std::strerror(errno));
    return true;
}

// A record is read long after the run, far from the shell that named the files: a relative
// path would no longer say which file it was.
std::string Absolute(const std::string& strPath)
{
    if (strPath.empty() || strPath[0] == '/') return strPath;
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(strPath, ec);
    return ec ? strPath : path.lexically_normal().string();
}

RESULT_RECORD Build(const RECORDER& r, const JOB& job)
{
    const RESULT_START& start = *job.pStart;
    RESULT_RECORD record;
    record.strTime = RESULT_RECORD_Time(job.tEnd);
    record.strHost = r.strHost;
    record.nChannel = job.nCh;
    record.nPort = job.end.nPort;
    record.strDevNode = job.end.strDevNode;
    record.identity = job.end.identity;
    record.nModel = start.nModel;
    const char* szModel = MODEL_Get(start.nModel).szName;
    record.strModel = szModel ? szModel : "";
    record.aImages = start.aImages;
    record.astrSelection = start.astrSelection;
    record.outcome = job.end.outcome;
    record.dwElapsedMs = job.end.dwElapsedMs;
    record.qwBytesSent = job.end.qwBytesSent;
    return record;
}

void Hash(RECORDER& r, RESULT_START& start)
{
    for (size_t i = 0; i < start.aImages.size(); ++i)
        start.aImages[i].strSha256 =
            IMAGE_DIGEST_File(start.aImages[i].strPath, start.aStamps[i], r.bAbandon);
}

void Writer(RECORDER* pRecorder)
{
    RECORDER& r = *pRecorder;
    // Hashing a large image takes a core for a while: the workers' frames come first.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
    std::unique_lock<std::mutex> lock(r.cs);
    for (;;) {
        r.cv.wait(lock, [&r] { return !r.aJobs.empty() || r.bClosing; });
        if (r.aJobs.empty()) break;
        JOB job = std::move(r.aJobs.front());
        r.aJobs.pop_front();
        r.bBusy = true;
        lock.unlock();
        bool bCounted = false;
        if (job.bHash) {
            Hash(r, *job.pStart);
        } else if (Append(r, Build(r, job))) {
            // Counted once it is in the file, as a reader of the file counts it.
            const std::string strDay = RESULT_RECORD_Time(job.tEnd).substr(0, 10);
            std::lock_guard<std::mutex> lockCounts(r.cs);
            if (strDay != r.strDay) {
                r.strDay = strDay;
                r.nPass = r.nFail = 0;
            }
            ++(job.end.outcome.eKind == OUTCOME_PASSED ? r.nPass : r.nFail);
            bCounted = true;
        }
        if (bCounted) {
            std::lock_guard<std::mutex> lockHook(g_Counted.cs);
            if (g_Counted.fn) g_Counted.fn();
        }
        lock.lock();
        r.bBusy = false;
        r.cv.notify_all();
    }
    r.bDone = true;
    r.cv.notify_all();
}

bool EndsWith(const std::string& str, const char* szEnd)
{
    const size_t n = std::strlen(szEnd);
    if (str.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(str[str.size() - n + i])) != szEnd[i]) return false;
    return true;
}

// Counts one line of a JSON results file when it is this host's record of strDay; false once
// the line is of an earlier day, where the look back ends. A line that is no record (torn by a
// full disk, written by hand) is passed over.
bool CountLine(const std::string& strLine, const std::string& strDay, const std::string& strHost,
               uint32_t& nPass, uint32_t& nFail)
{
    const nlohmann::json record = nlohmann::json::parse(strLine, nullptr, false);
    if (!record.is_object()) return true;
    const auto itTime = record.find("time");
    if (itTime == record.end() || !itTime->is_string()) return true;
    const std::string strLineDay = itTime->get<std::string>().substr(0, strDay.size());
    if (strLineDay < strDay) return false;
    const auto itHost = record.find("host");
    if (strLineDay != strDay || itHost == record.end() || *itHost != TEXT_ValidUtf8(strHost)) return true;
    const auto itResult = record.find("result");
    if (itResult != record.end() && *itResult == "PASS")
        ++nPass;
    else
        ++nFail;
    return true;
}

}  // namespace

void RESULT_RECORD_CountDay(int fd, const std::string& strDay, const std::string& strHost,
                            uint32_t& nPass, uint32_t& nFail)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) return;
    int64_t qwEnd = st.st_size;
    const int64_t qwStop = std::max<int64_t>(0, st.st_size - COUNT_SCAN_MAX);
    std::string strCarry;  // the start of the line that ends the piece read before
    std::vector<char> abyPiece(COUNT_SCAN_PIECE);
    while (qwEnd > qwStop) {
        const int64_t qwFrom = std::max<int64_t>(qwStop, qwEnd - static_cast<int64_t>(COUNT_SCAN_PIECE));
        const size_t nWant = static_cast<size_t>(qwEnd - qwFrom);
        if (::pread(fd, abyPiece.data(), nWant, qwFrom) != static_cast<ssize_t>(nWant)) return;
        std::string strText(abyPiece.data(), nWant);
        strText += strCarry;
        size_t nLineEnd = strText.size();
        for (;;) {
            const size_t nBreak = nLineEnd == 0 ? std::string::npos : strText.rfind('\n', nLineEnd - 1);
            if (nBreak == std::string::npos) break;
            const std::string strLine = strText.substr(nBreak + 1, nLineEnd - nBreak - 1);
            if (!strLine.empty() && !CountLine(strLine, strDay, strHost, nPass, nFail)) return;
            nLineEnd = nBreak;
        }
        strCarry = strText.substr(0, nLineEnd);
        qwEnd = qwFrom;
    }
    if (qwStop == 0 && !strCarry.empty()) CountLine(strCarry, strDay, strHost, nPass, nFail);
}

namespace {

void SetHook(auto& hook, auto fn)
{
    std::lock_guard<std::mutex> lock(hook.cs);
    hook.fn = std::move(fn);
}

// Stops the writer, waiting until dwBoundMs; true when it ended and was freed.
bool StopWriter(RECORDER* pRecorder, uint32_t dwBoundMs)
{
    RECORDER& r = *pRecorder;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwBoundMs);
    std::unique_lock<std::mutex> lock(r.cs);
    r.bClosing = true;
    r.cv.notify_all();
    // Records first: hashing still to be done is given up when time runs short, so that the
    // records behind it are written, with empty digests.
    const auto hashDeadline = deadline - std::chrono::milliseconds(dwBoundMs / 4);
    if (!r.cv.wait_until(lock, hashDeadline, [&r] { return r.bDone; })) {
        r.bAbandon = true;
        r.cv.wait_until(lock, deadline, [&r] { return r.bDone; });
    }
    const bool bDone = r.bDone;
    lock.unlock();
    if (!bDone) {
        r.thread.detach();  // stuck in the disk; its state goes with the program
        return false;
    }
    r.thread.join();
    if (r.fd >= 0) ::close(r.fd);
    delete pRecorder;
    return true;
}

}  // namespace

std::string RESULT_RECORD_Time(time_t t)
{
    struct tm tmLocal;
    if (!::localtime_r(&t, &tmLocal)) return std::string();
    char sz[64];
    const size_t n = std::strftime(sz, sizeof(sz), "%Y-%m-%dT%H:%M:%S", &tmLocal);
    const long nOffset = tmLocal.tm_gmtoff;
    const long nAbs = nOffset < 0 ? -nOffset : nOffset;
    std::snprintf(sz + n, sizeof(sz) - n, "%c%02ld:%02ld", nOffset < 0 ? '-' : '+', nAbs / 3600,
                  nAbs % 3600 / 60);
    return sz;
}

std::vector<std::string> RESULT_RECORD_Selection(const DOWNLOAD_TICKS& ticks)
{
    const struct {
        bool bTicked;
        const char* szName;
    } aTick[] = {{ticks.bPhoneBoot, "pboot"}, {ticks.bPhone, "phone"}, {ticks.bEfsClear, "efs"},
                 {ticks.bEboot, "eboot"},     {ticks.bPda, "pda"},     {ticks.bCsc, "csc"},
                 {ticks.bHidden, "hidden"}};
    std::vector<std::string> astr;
    for (const auto& t : aTick)
        if (t.bTicked) astr.push_back(t.szName);
    return astr;
}

std::string RESULT_RECORD_Json(const RESULT_RECORD& record)
{
    using JSON = nlohmann::ordered_json;
    // File names and host names are bytes: made well-formed text first, so that every record
    // parses and none is lost to a throw.
    const auto text = [](const std::string& str) { return JSON(TEXT_ValidUtf8(str)); };
    const auto textOrNull = [&text](const std::string& str) { return str.empty() ? JSON() : text(str); };
    JSON images = JSON::array();
    for (const RESULT_IMAGE& image : record.aImages)
        images.push_back({{"kind", g_aszKind[image.nKind]},
                          {"path", text(image.strPath)},
                          {"size", image.qwSize},
                          {"sha256", textOrNull(image.strSha256)}});
    const CHANNEL_OUTCOME& outcome = record.outcome;
    JSON skipped = JSON::array();
    for (const SKIPPED_REGION& region : outcome.aSkipped)
        skipped.push_back({{"region", text(region.strRegion)}, {"reason", text(region.strReason)}});
    JSON written = JSON::array();
    for (const std::string& strRegion : outcome.astrWritten) written.push_back(text(strRegion));
    JSON selection = JSON::array();
    for (const std::string& str : record.astrSelection) selection.push_back(text(str));
    const JSON line = {
        {"time", text(record.strTime)},
        {"host", text(record.strHost)},
        {"channel", record.nChannel},
        {"port", record.nPort},
        {"device", textOrNull(record.strDevNode)},
        {"serial", textOrNull(record.identity.strSerial)},
        {"port_path", textOrNull(record.identity.strPortPath)},
        {"model", record.nModel},
        {"model_name", text(record.strModel)},
        {"images", images},
        {"selection", selection},
        {"result", text(OUTCOME_ResultText(outcome))},
        {"elapsed_ms", record.dwElapsedMs},
        {"bytes_sent", record.qwBytesSent},
        {"outcome", OUTCOME_KindName(outcome.eKind)},
        {"step", textOrNull(outcome.strStep)},
        {"cause", textOrNull(OUTCOME_StopText(outcome.stop))},
        {"written", written},
        {"skipped", skipped},
        {"id", textOrNull(record.strId)},
    };
    return line.dump(-1, ' ', false, JSON::error_handler_t::replace) + "\n";
}

std::string RESULT_RECORD_CsvHeader()
{
    std::string out =
        "time,host,channel,port,device,serial,port_path,model,model_name,selection,result,elapsed_ms,"
        "bytes_sent";
    for (const char* szKind : g_aszKind) {
        const std::string strKind = szKind;
        out += "," + strKind + "_path," + strKind + "_size," + strKind + "_sha256";
    }
    // Later fields go last, so that a script reading the earlier columns by position keeps
    // working.
    return out + ",outcome,step,cause,written,skipped,id\n";
}

std::string RESULT_RECORD_CsvRow(const RESULT_RECORD& record)
{
    std::string out = TEXT_CsvField(record.strTime);
    for (const std::string& str :
         {record.strHost, std::to_string(record.nChannel), std::to_string(record.nPort), record.strDevNode,
          record.identity.strSerial, record.identity.strPortPath, std::to_string(record.nModel),
          record.strModel, Joined(record.astrSelection), OUTCOME_ResultText(record.outcome),
          std::to_string(record.dwElapsedMs), std::to_string(record.qwBytesSent)}) {
        out += ',';
        out += TEXT_CsvField(str);
    }
    for (int k = 0; k < PLAN_IMAGE_KINDS; ++k) {
        const auto it = std::find_if(record.aImages.begin(), record.aImages.end(),
                                     [k](const RESULT_IMAGE& image) { return image.nKind == k; });
        if (it == record.aImages.end()) {
            out += ",,,";
            continue;
        }
        out += ',';
        out += TEXT_CsvField(it->strPath) + "," + std::to_string(it->qwSize) + "," + it->strSha256;
    }
    const CHANNEL_OUTCOME& outcome = record.outcome;
    std::vector<std::string> astrSkipped;
    for (const SKIPPED_REGION& skipped : outcome.aSkipped)
        astrSkipped.push_back(skipped.strRegion + ": " + skipped.strReason);
    for (const std::string& str : {std::string(OUTCOME_KindName(outcome.eKind)), outcome.strStep,
                                   OUTCOME_StopText(outcome.stop), Joined(outcome.astrWritten),
                                   Joined(astrSkipped), record.strId}) {
        out += ',';
        out += TEXT_CsvField(str);
    }
    return out + "\n";
}

bool RESULT_RECORD_Open(const std::string& strPath, std::string& strError)
{
    RESULT_RECORD_Close(5000);
    auto* pRecorder = new RECORDER;
    RECORDER& r = *pRecorder;
    r.strPath = strPath;
    r.bCsv = EndsWith(strPath, ".csv");
    r.strHost = HostName();
    r.strDay = Today();
    r.fd = OpenResults(r, strError);
    if (r.fd >= 0 && !r.bCsv) RESULT_RECORD_CountDay(r.fd, r.strDay, r.strHost, r.nPass, r.nFail);
    struct stat st;
    // A record left torn by a full disk or a crash must not swallow the first one of this run.
    char cLast = '\n';
    if (r.fd >= 0 && ::fstat(r.fd, &st) == 0 && st.st_size > 0 &&
        ::pread(r.fd, &cLast, 1, st.st_size - 1) == 1)
        r.bTorn = cLast != '\n';
    // The file's problem is the caller's to tell; the writer tells only later ones, once.
    r.bProblemTold = r.fd < 0;
    r.thread = std::thread(Writer, pRecorder);
    std::lock_guard<std::mutex> lock(g_csRecorder);
    g_pRecorder = pRecorder;
    return r.fd >= 0;
}

bool RESULT_RECORD_Close(uint32_t dwBoundMs)
{
    RECORDER* pRecorder;
    {
        std::lock_guard<std::mutex> lock(g_csRecorder);
        pRecorder = g_pRecorder;
        g_pRecorder = nullptr;
    }
    return pRecorder ? StopWriter(pRecorder, dwBoundMs) : true;
}

void RESULT_RECORD_SetProblemSink(std::function<void(const std::string&)> fnProblem)
{
    SetHook(g_Problem, std::move(fnProblem));
}

void RESULT_RECORD_SetIdentify(std::function<PHONE_IDENTITY(const std::string&)> fnIdentify)
{
    SetHook(g_Identify, std::move(fnIdentify));
}

void RESULT_RECORD_SetOnCounted(std::function<void()> fnCounted)
{
    SetHook(g_Counted, std::move(fnCounted));
}

void RESULT_RECORD_SetStation(const std::string& strStation)
{
    std::lock_guard<std::mutex> lock(g_csStation);
    g_strStation = strStation;
}

std::shared_ptr<RESULT_START> RESULT_RECORD_BeginStart(const CVarnDLCore& core,
                                                       std::shared_ptr<const DOWNLOAD_PLAN> pPlan,
                                                       const DOWNLOAD_TICKS& ticks)
{
    std::lock_guard<std::mutex> lock(g_csRecorder);
    if (!g_pRecorder || g_pRecorder->fd < 0 || !pPlan) return nullptr;
    auto pStart = std::make_shared<RESULT_START>();
    pStart->nModel = core.m_nModel;
    pStart->astrSelection = RESULT_RECORD_Selection(ticks);
    for (int k = 0; k < PLAN_IMAGE_KINDS; ++k) {
        if (pPlan->astrImagePath[k].empty()) continue;
        RESULT_IMAGE image;
        image.nKind = k;
        image.strPath = Absolute(pPlan->astrImagePath[k]);
        image.qwSize = pPlan->aImageStamp[k].qwSize;
        pStart->aImages.push_back(image);
        pStart->aStamps.push_back(pPlan->aImageStamp[k]);
    }
    JOB job;
    job.pStart = pStart;
    job.bHash = true;
    RECORDER& r = *g_pRecorder;
    std::lock_guard<std::mutex> lockQueue(r.cs);
    r.aJobs.push_back(std::move(job));
    r.cv.notify_all();
    return pStart;
}

PHONE_IDENTITY RESULT_RECORD_Identify(const std::string& strDevNode)
{
    std::lock_guard<std::mutex> lock(g_Identify.cs);
    return g_Identify.fn && !strDevNode.empty() ? g_Identify.fn(strDevNode) : PHONE_IDENTITY{};
}

void RESULT_RECORD_ChannelEnded(const std::shared_ptr<RESULT_START>& pStart, int nCh, const CHANNEL_END& end)
{
    if (!pStart) return;
    JOB job;
    job.pStart = pStart;
    job.nCh = nCh;
    job.end = end;
    job.end.strDevNode = Absolute(end.strDevNode);
    job.tEnd = std::time(nullptr);
    std::lock_guard<std::mutex> lock(g_csRecorder);
    if (!g_pRecorder) return;
    RECORDER& r = *g_pRecorder;
    std::lock_guard<std::mutex> lockQueue(r.cs);
    r.aJobs.push_back(std::move(job));
    r.cv.notify_all();
}

bool RESULT_RECORD_Flush(uint32_t dwBoundMs)
{
    std::lock_guard<std::mutex> lock(g_csRecorder);
    if (!g_pRecorder) return true;
    RECORDER& r = *g_pRecorder;
    std::unique_lock<std::mutex> lockQueue(r.cs);
    return r.cv.wait_for(lockQueue, std::chrono::milliseconds(dwBoundMs),
                         [&r] { return (r.aJobs.empty() && !r.bBusy) || r.bDone; });
}

void RESULT_RECORD_DayCounts(uint32_t& nPass, uint32_t& nFail)
{
    nPass = nFail = 0;
    std::lock_guard<std::mutex> lock(g_csRecorder);
    if (!g_pRecorder) return;
    RECORDER& r = *g_pRecorder;
    std::lock_guard<std::mutex> lockQueue(r.cs);
    if (r.strDay != Today()) return;
    nPass = r.nPass;
    nFail = r.nFail;
}
