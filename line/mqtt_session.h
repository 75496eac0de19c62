// One connection to the line's broker through libmosquitto, driven by its owner's thread: the
// owner polls Socket() for Events() (with its own wake-ups beside it) and hands the result to
// Service. Each connection is a fresh client, so nothing of a lost one (its queued messages, its
// message ids) is sent again behind the owner's back. Also the back-off between attempts and the
// rule that an outage and its end are each told once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "line/broker_url.h"

struct mosquitto;

struct MQTT_EVENTS {
    std::function<void()> fnUp;                 // the broker accepted the connection
    std::function<void(int nMid)> fnPublished;  // a QoS 1 message was acknowledged
    std::function<void()> fnSubscribed;         // the broker took a subscription
    std::function<void(const std::string& strTopic, const std::string& strPayload, bool bRetained)> fnMessage;
};

class CMqttSession {
public:
    CMqttSession(const BROKER_URL& url, std::string strClientId, bool bCleanSession, MQTT_EVENTS events);
    ~CMqttSession();
    CMqttSession(const CMqttSession&) = delete;
    CMqttSession& operator=(const CMqttSession&) = delete;

    // Begins a connection (the name is resolved here; the rest goes on in Service). A will, when
    // strWillTopic is given, is published retained by the broker if this connection is lost.
    // false with the reason when it cannot even begin.
    bool Connect(const std::string& strWillTopic, const std::string& strWillPayload, std::string& strReason);
    // Ends the connection at once, without a word to the broker (its will goes out).
    void Drop();
    // Says goodbye (no will) and ends the connection.
    void Disconnect();
    bool Active() const { return m_p != nullptr; }
    bool Up() const { return m_p != nullptr && m_bUp; }

    int Socket() const;
    short Events() const;
    // After a poll of Socket() (revents 0 on a timeout). false when the connection is gone or
    // could not be made, with the reason in strReason and bRefused when the broker said no.
    bool Service(short nRevents, std::string& strReason, bool& bRefused);

    bool Publish(const std::string& strTopic, const std::string& strPayload, int nQos, bool bRetain,
                 int* pnMid = nullptr);
    bool Subscribe(const std::string& strTopic, int nQos);

private:
    static void OnConnect(mosquitto*, void* pThis, int nCode);
    static void OnPublish(mosquitto*, void* pThis, int nMid);
    static void OnMessage(mosquitto*, void* pThis, const struct mosquitto_message* pMessage);
    static void OnSubscribe(mosquitto*, void* pThis, int nMid, int nQos, const int* pnGranted);

    BROKER_URL m_url;
    std::string m_strClientId;
    bool m_bCleanSession;
    MQTT_EVENTS m_events;
    mosquitto* m_p = nullptr;
    bool m_bUp = false;
    int m_nRefused = 0;  // the broker's CONNACK code when it refused
    // What the library's callbacks reported, acted on once its loop call has returned: it calls
    // them holding its own locks, and a publish from inside one would take those locks in another
    // order than a publish from outside.
    bool m_bUpPending = false;
    std::vector<int> m_anAcked;
    std::chrono::steady_clock::time_point m_connectStart;
};

// When to try again, and what to tell: an outage is told once (with the reason of its first
// failure) and so is its end.
class CMqttRetry {
public:
    CMqttRetry(uint32_t dwFirstMs, uint32_t dwMaxMs) : m_dwFirstMs(dwFirstMs), m_dwMaxMs(dwMaxMs), m_dwNextMs(dwFirstMs) {}

    // A failed attempt or a lost connection: the text to tell ("" when told already), and the
    // time of the next attempt.
    std::string Failed(const std::string& strUrl, const std::string& strReason, bool bRefused, bool bWasUp);
    // Up: the text to tell when an outage had been told, else "".
    std::string Up(const std::string& strUrl);
    std::chrono::steady_clock::time_point NextAttempt() const { return m_next; }

private:
    uint32_t m_dwFirstMs;
    uint32_t m_dwMaxMs;
    uint32_t m_dwNextMs;
    bool m_bTold = false;
    std::chrono::steady_clock::time_point m_next{};
};
