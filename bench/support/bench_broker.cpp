#include "bench/support/bench_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "bench/support/bench_common.h"

namespace {

constexpr const char* MOSQUITTO = "/usr/sbin/mosquitto";
constexpr double READY_BOUND_MS = 10000;
constexpr int PORT_TRIES = 20;

sockaddr_in Loopback(uint16_t nPort)
{
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(nPort);
    return addr;
}

bool Accepts(uint16_t nPort)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = Loopback(nPort);
    const bool bOk = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return bOk;
}

}  // namespace

CBenchBroker::~CBenchBroker()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (!m_strDir.empty()) std::system(std::string("rm -rf '").append(m_strDir).append("'").c_str());
}

bool CBenchBroker::Start(std::string& strError)
{
    if (::access(MOSQUITTO, X_OK) != 0) {
        strError = std::string(MOSQUITTO) + " is not installed";
        return false;
    }
    char szDir[] = "/tmp/bench-broker-XXXXXX";
    if (::mkdtemp(szDir) == nullptr) {
        strError = "no scratch directory under /tmp";
        return false;
    }
    m_strDir = szDir;
    // A port of the dynamic range, drawn again when the broker finds it taken and ends.
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> port(49152, 65535);
    for (int nTry = 0; nTry < PORT_TRIES; ++nTry) {
        m_nPort = static_cast<uint16_t>(port(rng));
        if (Accepts(m_nPort)) continue;
        if (Launch(strError)) return true;
        if (m_pid > 0) return false;
    }
    strError = std::string(MOSQUITTO) + " ended at its start on " + std::to_string(PORT_TRIES) + " ports in turn";
    return false;
}

bool CBenchBroker::Launch(std::string& strError)
{
    const std::string strConfig = m_strDir + "/mosquitto.conf";
    // Run as root, the broker would give itself to a user that cannot read this directory.
    std::ofstream(strConfig) << "listener " << m_nPort << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                             << (::geteuid() == 0 ? "user root\n" : "");
    m_pid = ::fork();
    if (m_pid == 0) {
        const int fdNull = ::open("/dev/null", O_RDWR);
        ::dup2(fdNull, STDOUT_FILENO);
        ::dup2(fdNull, STDERR_FILENO);
        ::execl(MOSQUITTO, MOSQUITTO, "-c", strConfig.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (m_pid < 0) {
        strError = std::string("cannot start ").append(MOSQUITTO);
        return false;
    }
    const double dEnd = BENCH_NowMs() + READY_BOUND_MS;
    while (!Accepts(m_nPort)) {
        // Ended: the port was taken after all; another is tried.
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        if (BENCH_NowMs() > dEnd) {
            strError = std::string(MOSQUITTO) + " takes no connection on port " + std::to_string(m_nPort);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
