#include "line/line_publisher.h"

#include <algorithm>
#include <chrono>
#include <deque>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "line/broker_url.h"
#include "line/mqtt_session.h"
#include "line/record_feed.h"

namespace {

using CLOCK = std::chrono::steady_clock;

// Four updates a second per channel are as many as an engineer can read on the line's view.
constexpr auto STATE_INTERVAL = std::chrono::milliseconds(250);
// The results file is looked at this often besides the wake-ups.
constexpr auto FILE_POLL = std::chrono::milliseconds(1000);
// Records in flight at once: enough to fill the link, few to send again after an outage.
constexpr size_t WINDOW = 16;
// Records the broker acknowledged this shortly before the connection was lost are sent again on
// the next one: a broker that died may have acknowledged them without handing them on yet, and
// the line's collector keeps one record per id.
constexpr auto REPLAY = std::chrono::seconds(10);
constexpr const char* ONLINE = "online";
constexpr const char* OFFLINE = "offline";

struct IN_FLIGHT {
    int nMid = -1;
    uint64_t qwEnd = 0;
    bool bAcked = false;
};

int Millis(CLOCK::duration d)
{
    return static_cast<int>(std::clamp<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count() + 1,
                                                0, 1000));
}

}  // namespace

struct CLinePublisher::WORKER {
    LINE_PUBLISHER_CONFIG config;
    BROKER_URL url;
    std::string strUrl;  // redacted
    std::string strStation;
    FN_MESSAGE fnMessage;
    int fdWake = -1;

    // Shared with the callers.
    std::mutex cs;
    LINE_CHANNEL_STATE aSlot[LINE_CHANNELS];
    bool abPending[LINE_CHANNELS] = {};
    bool bAppended = false;
    bool bStop = false;
    uint32_t dwStopBoundMs = 0;
    std::atomic<uint64_t> qwStatesSent{0};
    std::atomic<uint64_t> qwRecordsAcked{0};
    std::atomic<uint64_t> qwAckedOffset{0};
    std::atomic<uint64_t> qwAttempts{0};
    std::atomic<bool> bUp{false};

    // The thread's own.
    LINE_CHANNEL_STATE aLast[LINE_CHANNELS];
    bool abHave[LINE_CHANNELS] = {};
    CLOCK::time_point aSentAt[LINE_CHANNELS] = {};
    std::deque<IN_FLIGHT> window;
    std::deque<std::pair<CLOCK::time_point, uint64_t>> acked;  // the acknowledged point as it moved, within REPLAY
    uint64_t qwReplayFrom = 0;  // the acknowledged point as it stood REPLAY ago
    CRecordFeed feed;
    bool bFeed = false;
    CLOCK::time_point recordsFrom{};
    CLOCK::time_point nextFileLook{};
    bool bEverUp = false;
    int nOfflineMid = -1;
    bool bOfflineAcked = false;
    std::string strStoreProblem;

    void Tell(const std::string& str)
    {
        if (!str.empty() && fnMessage) fnMessage(str);
    }

    void Run();
    void OnUp(CMqttSession& session, CMqttRetry& retry);
    void OnPublished(int nMid);
    void SendStates(CMqttSession& session, CLOCK::time_point now, bool bAll, CLOCK::duration& wait);
    void FeedRecords(CMqttSession& session, CLOCK::time_point now, bool bLook);
    void Advance();
    void Store();
    void Replay();
    void Finish(CMqttSession& session);
};

void CLinePublisher::WORKER::OnUp(CMqttSession& session, CMqttRetry& retry)
{
    bUp = true;
    const std::string strAgain = retry.Up(strUrl);
    if (!bEverUp) Tell("Publishing to the line's broker " + strUrl + " as station " + strStation + ".");
    else Tell(strAgain);
    bEverUp = true;
    session.Publish(LINE_StatusTopic(strStation), ONLINE, 1, true);
    // A broker that was restarted has lost what it retained: every channel is told again.
    for (int nCh = 0; nCh < LINE_CHANNELS; ++nCh)
        if (abHave[nCh]) session.Publish(LINE_StateTopic(strStation, nCh), LINE_StateJson(aLast[nCh]), 0, true);
    recordsFrom = CLOCK::now() + std::chrono::milliseconds(config.dwRecordsHoldMs);
}

void CLinePublisher::WORKER::OnPublished(int nMid)
{
    if (nMid == nOfflineMid) bOfflineAcked = true;
    for (IN_FLIGHT& f : window) {
        if (f.nMid != nMid || f.bAcked) continue;
        f.bAcked = true;
        ++qwRecordsAcked;
        break;
    }
    Advance();
}

// The file is acknowledged only as far as every record before the point is: a record whose
// acknowledgement is still out keeps the later ones from counting.
void CLinePublisher::WORKER::Advance()
{
    uint64_t qwEnd = 0;
    while (!window.empty() && window.front().bAcked) {
        qwEnd = window.front().qwEnd;
        window.pop_front();
    }
    if (qwEnd == 0) return;
    feed.Acknowledge(qwEnd);
    acked.emplace_back(CLOCK::now(), feed.Acknowledged());
}

void CLinePublisher::WORKER::Store()
{
    if (!bFeed) return;
    feed.Store();
    qwAckedOffset = feed.Acknowledged();
    if (feed.StoreProblem() != strStoreProblem) {
        strStoreProblem = feed.StoreProblem();
        if (!strStoreProblem.empty())
            Tell("How far the results are sent cannot be kept in " + CRecordFeed::AckedPath(config.strRecordsPath) +
                 ": " + strStoreProblem + "; a restart may send some again.");
    }
}

// The connection is lost: reading starts again from the point acknowledged REPLAY ago.
void CLinePublisher::WORKER::Replay()
{
    const CLOCK::time_point now = CLOCK::now();
    while (!acked.empty() && now - acked.front().first > REPLAY) {
        qwReplayFrom = acked.front().second;
        acked.pop_front();
    }
    acked.clear();
    window.clear();
    feed.RewindTo(qwReplayFrom);
}

void CLinePublisher::WORKER::SendStates(CMqttSession& session, CLOCK::time_point now, bool bAll,
                                        CLOCK::duration& wait)
{
    bool abDue[LINE_CHANNELS] = {};
    LINE_CHANNEL_STATE aState[LINE_CHANNELS];
    {
        std::lock_guard<std::mutex> lock(cs);
        for (int nCh = 0; nCh < LINE_CHANNELS; ++nCh) {
            if (!abPending[nCh]) continue;
            const CLOCK::time_point due = aSentAt[nCh] + STATE_INTERVAL;
            if (!bAll && now < due) {
                wait = std::min<CLOCK::duration>(wait, due - now);
                continue;
            }
            aState[nCh] = aSlot[nCh];
            abPending[nCh] = false;
            abDue[nCh] = true;
        }
    }
    for (int nCh = 0; nCh < LINE_CHANNELS; ++nCh) {
        if (!abDue[nCh]) continue;
        aLast[nCh] = aState[nCh];
        abHave[nCh] = true;
        aSentAt[nCh] = now;
        // Sent again on the next connection when this one is down.
        if (session.Publish(LINE_StateTopic(strStation, nCh), LINE_StateJson(aState[nCh]), 0, true)) ++qwStatesSent;
    }
}

void CLinePublisher::WORKER::FeedRecords(CMqttSession& session, CLOCK::time_point now, bool bLook)
{
    if (!bFeed) return;
    if (bLook || now >= nextFileLook) {
        nextFileLook = now + FILE_POLL;
        std::string strWhat;
        if (feed.Check(strWhat)) {
            window.clear();
            acked.clear();
            qwReplayFrom = 0;
            qwAckedOffset = 0;
            Tell("The results file " + config.strRecordsPath + " " + strWhat + "; its records are sent from its start.");
        }
    }
    if (!session.Up() || now < recordsFrom) return;
    while (window.size() < WINDOW) {
        const std::vector<FEED_RECORD> aRecords = feed.Next(WINDOW - window.size());
        if (aRecords.empty()) break;
        for (const FEED_RECORD& record : aRecords) {
            IN_FLIGHT f;
            f.qwEnd = record.qwEnd;
            f.bAcked = record.strJson.empty();
            if (!f.bAcked && !session.Publish(LINE_ResultsTopic(strStation), record.strJson, 1, false, &f.nMid)) {
                // The connection is going; what was not acknowledged is read again on the next.
                window.clear();
                feed.Rewind();
                return;
            }
            window.push_back(f);
        }
    }
    Advance();
}

void CLinePublisher::WORKER::Run()
{
    CMqttRetry retry(config.dwRetryFirstMs, config.dwRetryMaxMs);
    MQTT_EVENTS events;
    CMqttSession* pSession = nullptr;
    events.fnUp = [this, &retry, &pSession] { OnUp(*pSession, retry); };
    events.fnPublished = [this](int nMid) { OnPublished(nMid); };
    CMqttSession session(url, "quillon-" + strStation + "-" + std::to_string(::getpid()), true, events);
    pSession = &session;
    if (bFeed) feed.Open(config.strRecordsPath);
    qwAckedOffset = feed.Acknowledged();
    qwReplayFrom = feed.Acknowledged();
    for (;;) {
        bool bLook = false;
        {
            std::lock_guard<std::mutex> lock(cs);
            if (bStop) break;
            bLook = bAppended;
            bAppended = false;
        }
        CLOCK::time_point now = CLOCK::now();
        if (!session.Active() && now >= retry.NextAttempt()) {
            std::string strReason;
            ++qwAttempts;
            if (!session.Connect(LINE_StatusTopic(strStation), OFFLINE, strReason))
                Tell(retry.Failed(strUrl, strReason, false, false));
        }
        CLOCK::duration wait = std::chrono::seconds(1);
        if (session.Up()) SendStates(session, now, false, wait);
        FeedRecords(session, now, bLook);
        if (!session.Active()) wait = std::min<CLOCK::duration>(wait, retry.NextAttempt() - now);
        if (bFeed) {
            wait = std::min<CLOCK::duration>(wait, nextFileLook - now);
            if (session.Up() && now < recordsFrom) wait = std::min<CLOCK::duration>(wait, recordsFrom - now);
        }
        pollfd afd[2] = {{fdWake, POLLIN, 0}, {session.Socket(), session.Events(), 0}};
        const int nFds = afd[1].fd >= 0 ? 2 : 1;
        ::poll(afd, static_cast<nfds_t>(nFds), Millis(wait));
        if (afd[0].revents & POLLIN) {
            uint64_t qw;
            [[maybe_unused]] const ssize_t n = ::read(fdWake, &qw, sizeof(qw));
        }
        if (!session.Active()) continue;
        const bool bWasUp = session.Up();
        std::string strReason;
        bool bRefused = false;
        const bool bServiced = session.Service(nFds == 2 ? afd[1].revents : 0, strReason, bRefused);
        Store();
        if (!bServiced) {
            bUp = false;
            Store();
            Replay();
            Tell(retry.Failed(strUrl, strReason, bRefused, bWasUp));
        }
    }
    Finish(session);
}

// A clean stop: the last states, "offline" (which the broker's will would say only for a lost
// connection) and what is in flight, each acknowledged within the bound.
void CLinePublisher::WORKER::Finish(CMqttSession& session)
{
    Store();
    if (!session.Up()) return;
    CLOCK::duration wait = CLOCK::duration::zero();
    SendStates(session, CLOCK::now(), true, wait);
    session.Publish(LINE_StatusTopic(strStation), OFFLINE, 1, true, &nOfflineMid);
    const CLOCK::time_point end = CLOCK::now() + std::chrono::milliseconds(dwStopBoundMs);
    while (session.Up() && (!bOfflineAcked || !window.empty())) {
        const CLOCK::time_point now = CLOCK::now();
        if (now >= end) break;
        pollfd fd = {session.Socket(), session.Events(), 0};
        ::poll(&fd, 1, Millis(end - now));
        std::string strReason;
        bool bRefused = false;
        if (!session.Service(fd.revents, strReason, bRefused)) break;
    }
    Store();
    session.Disconnect();
    bUp = false;
}

CLinePublisher::CLinePublisher() = default;

CLinePublisher::~CLinePublisher() { Stop(); }

bool CLinePublisher::Start(const LINE_PUBLISHER_CONFIG& config, FN_MESSAGE fnMessage, std::string& strError)
{
    Stop();
    auto p = std::make_unique<WORKER>();
    p->config = config;
    if (!BROKER_URL_Parse(config.strUrl, p->url, strError)) return false;
    if (!config.strPasswordFile.empty() && !BROKER_URL_ReadPasswordFile(config.strPasswordFile, p->url, strError))
        return false;
    p->strUrl = BROKER_URL_Redacted(p->url);
    p->strStation = config.strStation.empty() ? LINE_HostName() : config.strStation;
    const std::string strProblem = LINE_StationNameProblem(p->strStation);
    if (!strProblem.empty()) {
        strError = strProblem + ": '" + p->strStation + "'";
        return false;
    }
    p->fnMessage = std::move(fnMessage);
    p->bFeed = !config.strRecordsPath.empty();
    p->fdWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (p->fdWake < 0) {
        strError = "no wake-up descriptor for the publisher";
        return false;
    }
    m_p = std::move(p);
    m_thread = std::thread([p = m_p.get()] { p->Run(); });
    return true;
}

void CLinePublisher::Stop(uint32_t dwBoundMs)
{
    if (!m_p) return;
    {
        std::lock_guard<std::mutex> lock(m_p->cs);
        m_p->bStop = true;
        m_p->dwStopBoundMs = dwBoundMs;
    }
    Wake();
    if (m_thread.joinable()) m_thread.join();
    ::close(m_p->fdWake);
    m_p.reset();
}

bool CLinePublisher::PublishState(int nCh, const LINE_CHANNEL_STATE& state)
{
    if (!m_p || nCh < 0 || nCh >= LINE_CHANNELS) return false;
    bool bWasPending;
    {
        std::lock_guard<std::mutex> lock(m_p->cs);
        m_p->aSlot[nCh] = state;
        bWasPending = m_p->abPending[nCh];
        m_p->abPending[nCh] = true;
    }
    // A slot already waiting has woken the thread before.
    if (!bWasPending) Wake();
    return true;
}

void CLinePublisher::RecordsAppended()
{
    if (!m_p) return;
    {
        std::lock_guard<std::mutex> lock(m_p->cs);
        m_p->bAppended = true;
    }
    Wake();
}

bool CLinePublisher::WaitRecordsAcknowledged(uint32_t dwBoundMs)
{
    if (!m_p || !m_p->bFeed) return true;
    struct stat st;
    if (::stat(m_p->config.strRecordsPath.c_str(), &st) != 0) return true;
    const uint64_t qwSize = static_cast<uint64_t>(st.st_size);
    RecordsAppended();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwBoundMs);
    // Polled: the acknowledgement arrives on the publisher's thread, which owes nobody a signal.
    while (m_p->bUp && m_p->qwAckedOffset < qwSize) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return m_p->qwAckedOffset >= qwSize;
}

void CLinePublisher::Wake()
{
    const uint64_t qw = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_p->fdWake, &qw, sizeof(qw));
}

std::string CLinePublisher::Station() const { return m_p ? m_p->strStation : std::string(); }

std::string CLinePublisher::RedactedUrl() const { return m_p ? m_p->strUrl : std::string(); }

LINE_PUBLISHER_COUNTS CLinePublisher::Counts() const
{
    LINE_PUBLISHER_COUNTS counts;
    if (!m_p) return counts;
    counts.qwStatesSent = m_p->qwStatesSent;
    counts.qwRecordsAcked = m_p->qwRecordsAcked;
    counts.qwAckedOffset = m_p->qwAckedOffset;
    counts.qwAttempts = m_p->qwAttempts;
    counts.bUp = m_p->bUp;
    return counts;
}
