// A station's voice on the line's MQTT broker: its channels' states (retained, at most four a
// second each, the last one always), every result record of its results file exactly as far as
// the broker has acknowledged it, and whether it is online. Its own thread does all the talking;
// callers only hand over a state or a wake-up and never wait for the network.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "line/line_topics.h"

struct LINE_PUBLISHER_CONFIG {
    std::string strUrl;           // mqtt://[user[:password]@]host[:port] or mqtts://...
    std::string strPasswordFile;  // "" none; else its first line is the password
    std::string strStation;       // "" the host name
    std::string strRecordsPath;   // the station's results file; "" sends no records
    // After each connection, records wait this long before they are sent: a collector that
    // lost the broker with us comes back faster than we do and must be subscribed again first,
    // or a broker that keeps no sessions would hand it nothing.
    uint32_t dwRecordsHoldMs = 2000;
    // The wait before the first attempt again after a failed one, doubling up to the most.
    uint32_t dwRetryFirstMs = 1000;
    uint32_t dwRetryMaxMs = 30000;
};

// What the publisher has done so far, for the curious (tests, benchmarks, a status line).
struct LINE_PUBLISHER_COUNTS {
    uint64_t qwStatesSent = 0;
    uint64_t qwRecordsAcked = 0;  // records the broker acknowledged (lines passed over not counted)
    uint64_t qwAckedOffset = 0;   // how far the results file is acknowledged
    uint64_t qwAttempts = 0;      // connections begun
    bool bUp = false;             // connected now
};

class CLinePublisher {
public:
    // Told on the publisher's thread: an outage and its end (once each), a results file that
    // was replaced, a point that could not be stored. Keep it short; it must not block.
    using FN_MESSAGE = std::function<void(const std::string& strLine)>;

    CLinePublisher();
    ~CLinePublisher();
    CLinePublisher(const CLinePublisher&) = delete;
    CLinePublisher& operator=(const CLinePublisher&) = delete;

    // Checks the URL, the password file and the station name, and starts publishing. false with
    // one line saying what is wrong (never the password) in strError: nothing is started.
    bool Start(const LINE_PUBLISHER_CONFIG& config, FN_MESSAGE fnMessage, std::string& strError);
    // Sends the channels' last states and "offline", waits at most dwBoundMs for the broker to
    // acknowledge what is in flight, and ends. Records not yet acknowledged go at the next start.
    void Stop(uint32_t dwBoundMs = 3000);

    // The channel's state now (nCh 0-7). Never waits: the state goes into the channel's slot,
    // replacing one not yet sent. false for a channel out of range or a publisher not started.
    bool PublishState(int nCh, const LINE_CHANNEL_STATE& state);
    // Records were appended to the results file: look now rather than at the next poll.
    void RecordsAppended();
    // At a station's end: waits at most dwBoundMs for the broker to acknowledge the results file
    // as far as it is written now. A broker that is not connected is not waited for (the records
    // go at the next start). true when everything written is acknowledged.
    bool WaitRecordsAcknowledged(uint32_t dwBoundMs);

    std::string Station() const;
    std::string RedactedUrl() const;
    LINE_PUBLISHER_COUNTS Counts() const;

private:
    struct WORKER;
    void Wake();

    std::unique_ptr<WORKER> m_p;
    std::thread m_thread;
};
