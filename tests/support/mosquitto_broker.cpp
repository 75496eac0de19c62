#include "support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "line/broker_url.h"
#include "line/mqtt_session.h"

namespace {

constexpr const char* MOSQUITTO = "/usr/sbin/mosquitto";
constexpr const char* MOSQUITTO_PASSWD = "/usr/bin/mosquitto_passwd";

uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(addr);
    uint16_t nPort = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0)
        nPort = ntohs(addr.sin_port);
    ::close(fd);
    return nPort;
}

bool Accepts(uint16_t nPort)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(nPort);
    const bool bOk = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return bOk;
}

}  // namespace

bool TEST_WaitUntil(const std::function<bool()>& fnDone, unsigned dwBoundMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwBoundMs);
    while (!fnDone()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string CMosquittoBroker::Missing()
{
    if (::access(MOSQUITTO, X_OK) != 0) return std::string("no MQTT broker here: ") + MOSQUITTO + " is not installed";
    if (::access(MOSQUITTO_PASSWD, X_OK) != 0) return std::string(MOSQUITTO_PASSWD) + " is not installed";
    return std::string();
}

CMosquittoBroker::~CMosquittoBroker()
{
    Kill();
    if (!m_strDir.empty()) std::system(("rm -rf '" + m_strDir + "'").c_str());
}

bool CMosquittoBroker::Start(const std::string& strUser, const std::string& strPassword)
{
    std::string strTemplate = ::testing::TempDir() + "quillon-broker-XXXXXX";
    if (::mkdtemp(strTemplate.data()) == nullptr) return false;
    m_strDir = strTemplate;
    m_nPort = FreePort();
    std::ofstream config(m_strDir + "/mosquitto.conf");
    config << "listener " << m_nPort << " 127.0.0.1\n"
           << "persistence false\n"
           << "log_dest file " << m_strDir << "/mosquitto.log\n";
    // Run as root, the broker would give itself to a user that cannot read this directory.
    if (::geteuid() == 0) config << "user root\n";
    if (strUser.empty()) {
        config << "allow_anonymous true\n";
    } else {
        const std::string strFile = m_strDir + "/passwords";
        const std::string strCommand = std::string(MOSQUITTO_PASSWD) + " -c -b '" + strFile + "' '" + strUser + "' '" +
                                       strPassword + "' >/dev/null 2>&1";
        if (std::system(strCommand.c_str()) != 0) return false;
        ::chmod(strFile.c_str(), 0600);
        config << "allow_anonymous false\npassword_file " << strFile << "\n";
    }
    config.close();
    return Launch();
}

bool CMosquittoBroker::Launch()
{
    m_pid = ::fork();
    if (m_pid == 0) {
        const int fdNull = ::open("/dev/null", O_RDWR);
        ::dup2(fdNull, STDIN_FILENO);
        ::dup2(fdNull, STDOUT_FILENO);
        ::dup2(fdNull, STDERR_FILENO);
        const std::string strConfig = m_strDir + "/mosquitto.conf";
        ::execl(MOSQUITTO, MOSQUITTO, "-c", strConfig.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (m_pid < 0) return false;
    // Ready once it takes connections; a port taken meanwhile by somebody else ends it.
    return TEST_WaitUntil([this] {
        int nStatus;
        if (::waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
            m_pid = -1;
            return true;
        }
        return Accepts(m_nPort);
    }, 10000) && m_pid > 0;
}

void CMosquittoBroker::Kill()
{
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    int nStatus;
    ::waitpid(m_pid, &nStatus, 0);
    m_pid = -1;
}

bool CMosquittoBroker::Restart()
{
    Kill();
    return Launch();
}

CTestSubscriber::CTestSubscriber(const std::string& strUrl, const std::string& strFilter)
{
    m_thread = std::thread([this, strUrl, strFilter] {
        BROKER_URL url;
        std::string strError;
        if (!BROKER_URL_Parse(strUrl, url, strError)) return;
        CMqttSession* pSession = nullptr;
        MQTT_EVENTS events;
        events.fnUp = [&] { pSession->Subscribe(strFilter, 1); };
        events.fnSubscribed = [this] {
            std::lock_guard<std::mutex> lock(m_cs);
            m_bSubscribed = true;
        };
        events.fnMessage = [this](const std::string& strTopic, const std::string& strPayload, bool bRetained) {
            std::lock_guard<std::mutex> lock(m_cs);
            m_aMessages.push_back({strTopic, strPayload, bRetained});
        };
        CMqttSession session(url, "test-subscriber-" + std::to_string(::getpid()) + "-" +
                                      std::to_string(reinterpret_cast<uintptr_t>(this)), true, events);
        pSession = &session;
        std::string strReason;
        bool bRefused = false;
        if (!session.Connect("", "", strReason)) return;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_cs);
                if (m_bStop) break;
            }
            pollfd fd = {session.Socket(), session.Events(), 0};
            ::poll(&fd, 1, 20);
            if (!session.Service(fd.revents, strReason, bRefused)) break;
        }
        session.Disconnect();
    });
}

CTestSubscriber::~CTestSubscriber()
{
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_bStop = true;
    }
    m_thread.join();
}

bool CTestSubscriber::WaitFor(const std::function<bool(const std::vector<TEST_MESSAGE>&)>& fnDone, unsigned dwBoundMs)
{
    return TEST_WaitUntil([&] { return fnDone(Messages()); }, dwBoundMs);
}

bool CTestSubscriber::WaitSubscribed(unsigned dwBoundMs)
{
    return TEST_WaitUntil([this] {
        std::lock_guard<std::mutex> lock(m_cs);
        return m_bSubscribed;
    }, dwBoundMs);
}

std::vector<TEST_MESSAGE> CTestSubscriber::Messages()
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_aMessages;
}
