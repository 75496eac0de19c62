// A real MQTT broker for the tests: /usr/sbin/mosquitto on a free loopback port with a config of
// its own (anonymous, or one user with a password), killed and started again on the same port
// to make an outage; and a subscriber that collects what the broker delivers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

// Skips the test, saying why, where no broker can be run.
#define QUILLON_REQUIRE_MOSQUITTO()                                                   \
    do {                                                                              \
        const std::string strWhyNot = CMosquittoBroker::Missing();                    \
        if (!strWhyNot.empty()) GTEST_SKIP() << strWhyNot;                            \
    } while (0)

class CMosquittoBroker {
public:
    // "" when /usr/sbin/mosquitto (and mosquitto_passwd) can be run, else why not.
    static std::string Missing();

    ~CMosquittoBroker();
    // With strUser, only that user with strPassword may log in.
    bool Start(const std::string& strUser = "", const std::string& strPassword = "");
    // SIGKILL: gone at once, as a crashed or unplugged broker is.
    void Kill();
    // On the same port, with the same config; nothing retained survives (no persistence).
    bool Restart();
    uint16_t Port() const { return m_nPort; }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(m_nPort); }
    const std::string& Dir() const { return m_strDir; }

private:
    bool Launch();
    std::string m_strDir;
    uint16_t m_nPort = 0;
    pid_t m_pid = -1;
};

// Subscribes to a topic filter and keeps every message, from a thread of its own.
struct TEST_MESSAGE {
    std::string strTopic;
    std::string strPayload;
    bool bRetained = false;
};

class CTestSubscriber {
public:
    CTestSubscriber(const std::string& strUrl, const std::string& strFilter);
    ~CTestSubscriber();
    // Waits at most dwBoundMs for fnDone to hold over the messages so far.
    bool WaitFor(const std::function<bool(const std::vector<TEST_MESSAGE>&)>& fnDone, unsigned dwBoundMs);
    bool WaitSubscribed(unsigned dwBoundMs);
    std::vector<TEST_MESSAGE> Messages();

private:
    std::mutex m_cs;
    std::vector<TEST_MESSAGE> m_aMessages;
    bool m_bSubscribed = false;
    bool m_bStop = false;
    std::thread m_thread;
};

// Waits at most dwBoundMs for fnDone, looking every few milliseconds.
bool TEST_WaitUntil(const std::function<bool()>& fnDone, unsigned dwBoundMs);
