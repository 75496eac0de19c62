#include "support/pty_pair.h"

#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "link/port_table.h"

namespace {
int MillisecondsLeft(std::chrono::steady_clock::time_point tEnd)
{
    auto tLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
        tEnd - std::chrono::steady_clock::now());
    return tLeft.count() > 0 ? static_cast<int>(tLeft.count()) : 0;
}
}  // namespace

CPtyPair::CPtyPair()
{
    char szName[128] = {};
    if (::openpty(&m_hMaster, &m_hSlave, szName, nullptr, nullptr) != 0) {
        m_hMaster = m_hSlave = -1;
        return;
    }
    ::fcntl(m_hMaster, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_hSlave, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_hMaster, F_SETFL, ::fcntl(m_hMaster, F_GETFL) | O_NONBLOCK);
    m_strSlave = szName;
}

CPtyPair::~CPtyPair()
{
    CloseMaster();
    if (m_hSlave >= 0) ::close(m_hSlave);
}

uint32_t CPtyPair::Register(uint32_t nPort)
{
    return PORT_TABLE_AssignFixed(m_strSlave, nPort) ? nPort : 0;
}

bool CPtyPair::Send(const void* pData, size_t nCount)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const auto* pby = static_cast<const uint8_t*>(pData);
    while (nCount > 0) {
        ssize_t n = ::write(m_hMaster, pby, nCount);
        if (n > 0) {
            pby += n;
            nCount -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd fd{m_hMaster, POLLOUT, 0};
        if (MillisecondsLeft(tEnd) == 0 || ::poll(&fd, 1, MillisecondsLeft(tEnd)) < 0) return false;
    }
    return true;
}

size_t CPtyPair::Receive(void* pData, size_t nCount, int nTimeoutMs)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    auto* pby = static_cast<uint8_t*>(pData);
    size_t nDone = 0;
    while (nDone < nCount) {
        ssize_t n = ::read(m_hMaster, pby + nDone, nCount - nDone);
        if (n > 0) {
            nDone += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        if (!WaitReadable(MillisecondsLeft(tEnd))) break;
    }
    return nDone;
}

bool CPtyPair::WaitReadable(int nTimeoutMs)
{
    pollfd fd{m_hMaster, POLLIN, 0};
    int nReady;
    do {
        nReady = ::poll(&fd, 1, nTimeoutMs);
    } while (nReady < 0 && errno == EINTR);
    return nReady > 0 && (fd.revents & POLLIN);
}

void CPtyPair::CloseMaster()
{
    if (m_hMaster < 0) return;
    ::close(m_hMaster);
    m_hMaster = -1;
}

bool PTY_WaitQueued(int hPort, uint32_t nCount, int nTimeoutMs)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        int nQueued = 0;
        if (::ioctl(hPort, TIOCINQ, &nQueued) != 0) return false;
        if (nQueued >= 0 && static_cast<uint32_t>(nQueued) >= nCount) return true;
        int nLeft = MillisecondsLeft(tEnd);
        if (nLeft == 0) return false;
        // The terminal's input side signals each arrival; a short slice catches the next one.
        pollfd fd{hPort, POLLIN, 0};
        ::poll(&fd, 1, nLeft < 10 ? nLeft : 10);
    }
}
