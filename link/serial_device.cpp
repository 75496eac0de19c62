#include "link/serial_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link/port_table.h"
#include "link/tty_node.h"
#include "station/clock.h"
#include "station/log.h"

// The kernel's own termios record, which carries a free line speed (BOTHER). Its header clashes
// with <termios.h>, so the record is spelled out here for the architectures that share the
// generic layout; elsewhere the port keeps the speed its driver gave it.
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) || \
    defined(__riscv)
#define QUILLON_FREE_BAUD 1
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
#endif

SERIAL_CHANNEL g_aSerial[MAX_CHANNEL];

namespace {

constexpr uint32_t SERIAL_BAUD = 1382400;

// The port lock, in two: opens follow one another with their settle, and locked sends follow
// one another, but neither waits for the other. A send holds its lock only while the kernel
// takes bytes; a line that is full (a phone whose link has stalled) is waited on without it, so
// that the phone on it holds back nobody else's frames, and an arriving phone's settle neither.
std::mutex g_csOpen;
std::mutex g_csSend;

std::atomic<const CChannelSink*> g_pRunTest{nullptr};
std::atomic<uint32_t> g_dwWriteTimeoutMs{SERIAL_WRITE_TIMEOUT_MS};
std::mutex g_csOpenError;  // guards each channel's g_strOpenError

// Every descriptor this layer opened, with what a safe close from another thread needs.
//
// The console closes a channel's port while the channel's worker may be blocked in a read on it.
// Closing the descriptor under the worker would let the kernel hand the same number to the next
// open (another phone's port, an image file), and the worker would then read or write a stranger.
// So a close only marks the port closing and kicks its wake event; readers and writers poll that
// event beside the port and leave at once, and the last one out closes the descriptor. A number
// this table does not hold as open (closed already, or never opened here) is refused by every
// operation, so a stale copy of a handle can never reach a reused descriptor.
struct PORT_ENTRY {
    int nCh;
    int hWake;  // eventfd, readable once the port is closing
    int nUsers;
    bool bClosing;
};

std::mutex g_csPorts;  // bookkeeping only, never held across a wait
std::unordered_map<int, PORT_ENTRY> g_mapPorts;

bool IsChannel(int nCh)
{
    return nCh >= 0 && nCh < MAX_CHANNEL;
}

bool RunCleared(int nCh)
{
    const CChannelSink* pRunTest = g_pRunTest.load(std::memory_order_acquire);
    return pRunTest != nullptr && !pRunTest->ChannelRuns(nCh);
}

void SetOpenError(int nCh, const char* szFormat, ...) __attribute__((format(printf, 2, 3)));
void SetOpenError(int nCh, const char* szFormat, ...)
{
    char szText[512];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(szText, sizeof(szText), szFormat, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_csOpenError);
    g_aSerial[nCh].g_strOpenError = szText;
}

// Who holds a port we could not have: the other process when it can be seen.
std::string InUseBy(const std::string& strNode)
{
    const std::string strHolder = TTY_NODE_OtherHolder(strNode);
    return strHolder.empty() ? std::string("another program") : strHolder;
}

void CloseDescriptors(int hPort, int hWake)
{
    ::ioctl(hPort, TIOCNXCL);  // a pseudo-terminal outlives us: leave it openable for others
    ::close(hPort);
    ::close(hWake);
}

// A read or write in progress on one of the channel's ports; the port stays open until it ends.
class CPortUse {
public:
    CPortUse(int nCh, SERIAL_HANDLE hPort) : m_hPort(hPort)
    {
        std::lock_guard<std::mutex> lock(g_csPorts);
        auto it = g_mapPorts.find(hPort);
        if (it == g_mapPorts.end() || it->second.nCh != nCh || it->second.bClosing) return;
        ++it->second.nUsers;
        m_hWake = it->second.hWake;
    }
    ~CPortUse()
    {
        if (m_hWake < 0) return;
        bool bLast = false;
        {
            std::lock_guard<std::mutex> lock(g_csPorts);
            auto it = g_mapPorts.find(m_hPort);
            if (--it->second.nUsers == 0 && it->second.bClosing) {
                g_mapPorts.erase(it);
                bLast = true;
            }
        }
        if (bLast) CloseDescriptors(m_hPort, m_hWake);
    }
    CPortUse(const CPortUse&) = delete;
    CPortUse& operator=(const CPortUse&) = delete;

    bool IsValid() const { return m_hWake >= 0; }
    int Wake() const { return m_hWake; }

private:
    SERIAL_HANDLE m_hPort;
    int m_hWake = -1;
};

uint32_t QueuedBytes(SERIAL_HANDLE hPort)
{
    int nQueued = 0;
    if (::ioctl(hPort, TIOCINQ, &nQueued) != 0 || nQueued < 0) return 0;
    return static_cast<uint32_t>(nQueued);
}

enum WAIT_RESULT { WAIT_EVENT, WAIT_HANGUP, WAIT_STOPPED };

// One receive-event wait: ends with WAIT_EVENT when the port has a byte for us or reports an
// error (that is one of the ten attempts), with WAIT_STOPPED when the channel was stopped or its
// port closed. The wake-ups in between only look at the run flag; a silent phone is waited for as
// long as its channel runs.
WAIT_RESULT WaitReceive(int nCh, SERIAL_HANDLE hPort, int hWake)
{
    pollfd afd[2] = {{hPort, POLLIN, 0}, {hWake, POLLIN, 0}};
    int nTimeout = 0;  // first look: did the event "complete at once"?
    for (;;) {
        if (RunCleared(nCh)) return WAIT_STOPPED;
        int nReady = ::poll(afd, 2, nTimeout);
        if (nReady < 0) {
            if (errno == EINTR) continue;
            return WAIT_EVENT;
        }
        if (afd[1].revents != 0) return WAIT_STOPPED;
        // A hung-up line also reports POLLIN (a read would end at once), so the hang-up decides;
        // bytes still queued are found by the next attempt anyway.
        if (afd[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return WAIT_HANGUP;
        if (afd[0].revents != 0) return WAIT_EVENT;
        if (nTimeout == 0) DEBUG_TRACE_Off("[SERIAL_DEVICE_Read %d] 4 \n", nCh);
        nTimeout = SERIAL_WAKE_INTERVAL_MS;
    }
}

// The line-discipline flags a raw line must not have: echo, line editing, signals, CR/LF and
// case translation, parity marks, stripping the eighth bit, software flow control.
constexpr tcflag_t RAW_LFLAG_OFF = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t RAW_IFLAG_OFF =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY;

// Raw 8N1: a cooked line would echo the frames back and translate 0x0D, 0x11, 0x13 and more.
// false, with errno set, when the settings cannot be applied or do not read back as applied:
// tcsetattr reports success when any one of the changes took.
bool ApplyLineSettings(SERIAL_HANDLE hPort)
{
    termios tio;
    if (::tcgetattr(hPort, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~RAW_IFLAG_OFF;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(hPort, TCSANOW, &tio) != 0) return false;
    termios got;
    if (::tcgetattr(hPort, &got) != 0) return false;
    // The character size and parity are the driver's: a USB phone port keeps its own and
    // ignores them, so only what the line discipline does to the bytes is checked.
    if ((got.c_lflag & RAW_LFLAG_OFF) != 0 || (got.c_iflag & RAW_IFLAG_OFF) != 0 ||
        (got.c_oflag & OPOST) != 0 || got.c_cc[VMIN] != 1 || got.c_cc[VTIME] != 0) {
        errno = EIO;
        return false;
    }
#ifdef QUILLON_FREE_BAUD
    // The phones' USB ports ignore the line speed; a real UART gets the rate the boot loader
    // expects. A driver that refuses it keeps its own.
    constexpr tcflag_t CBAUD_BITS = 0x100F;
    constexpr tcflag_t CIBAUD_BITS = 0x100F0000;
    constexpr tcflag_t FREE_BAUD = 0x1000;  // BOTHER
    termios2 tio2;
    if (::ioctl(hPort, TCGETS2, &tio2) == 0) {
        tio2.c_cflag &= ~(CBAUD_BITS | CIBAUD_BITS);
        tio2.c_cflag |= FREE_BAUD;
        tio2.c_ispeed = SERIAL_BAUD;
        tio2.c_ospeed = SERIAL_BAUD;
        ::ioctl(hPort, TCSETS2, &tio2);
    }
#endif
    return true;
}

}  // namespace

void SERIAL_DEVICE_CreateLock()
{
    // The locks are process-wide mutexes that exist from start-up on; nothing to create.
}

void SERIAL_DEVICE_SetWriteTimeout(uint32_t dwMs)
{
    g_dwWriteTimeoutMs = dwMs != 0 ? dwMs : SERIAL_WRITE_TIMEOUT_MS;
}

void SERIAL_DEVICE_SetStopTest(const CChannelSink* pRunTest)
{
    g_pRunTest.store(pRunTest, std::memory_order_release);
}

int SERIAL_DEVICE_Init(const CHANNEL_STATE* pChannels)
{
    if (pChannels == nullptr) return 1;
    for (int nCh = 0; nCh < MAX_CHANNEL; ++nCh) {
        if (!CHANNEL_Idle(pChannels[nCh])) continue;
        // No worker uses this port any more. Forgetting an open one would keep the phone's node
        // locked for good, and the next open of it would fail, so it is closed.
        SERIAL_HANDLE hPort = g_aSerial[nCh].g_hComPort.exchange(SERIAL_HANDLE_NONE);
        if (hPort != SERIAL_HANDLE_NONE) SERIAL_DEVICE_ClosePort(nCh, hPort);
        SERIAL_DEVICE_SetPort(nCh, pChannels[nCh].m_nComPort.load());
    }
    return 1;
}

int SERIAL_DEVICE_SetPort(int nCh, uint32_t nPort)
{
    if (!IsChannel(nCh) || g_aSerial[nCh].g_hComPort.load() != SERIAL_HANDLE_NONE) return 0;
    g_aSerial[nCh].g_nComPort = nPort;
    return 1;
}

int SERIAL_DEVICE_Open(int nCh)
{
    if (!IsChannel(nCh)) return 0;
    std::lock_guard<std::mutex> lock(g_csOpen);
    if (g_aSerial[nCh].g_hComPort.load() == SERIAL_HANDLE_NONE)
        g_aSerial[nCh].g_hComPort = SERIAL_DEVICE_OpenPort(nCh, g_aSerial[nCh].g_nComPort.load());
    return g_aSerial[nCh].g_hComPort.load() != SERIAL_HANDLE_NONE ? 1 : 0;
}

SERIAL_HANDLE SERIAL_DEVICE_OpenPort(int nCh, uint32_t nPort)
{
    if (!IsChannel(nCh)) return SERIAL_HANDLE_NONE;
    const std::string strNode = nPort != 0 ? PORT_TABLE_DevNode(nPort) : std::string();
    if (strNode.empty()) {
        SetOpenError(nCh, "COM%u: no serial port is known under this number.", nPort);
        return SERIAL_HANDLE_NONE;
    }
    const char* szNode = strNode.c_str();

    int hPort = ::open(szNode, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (hPort < 0) {
        int nError = errno;
        if (nError == EACCES || nError == EPERM)
            SetOpenError(nCh,
                         "COM%u (%s): permission denied. Add the user to the dialout group and "
                         "log in again, or install the udev rule 70-quillon-phone.rules.",
                         nPort, szNode);
        else if (nError == EBUSY)
            SetOpenError(nCh, "COM%u (%s) is in use by %s.", nPort, szNode,
                         InUseBy(strNode).c_str());
        else
            SetOpenError(nCh, "COM%u (%s): %s.", nPort, szNode, std::strerror(nError));
        return SERIAL_HANDLE_NONE;
    }
    // No sharing. TIOCEXCL keeps other users out, but not root; the lock keeps out everybody who
    // opens ports the way we do, root included.
    ::ioctl(hPort, TIOCEXCL);
    if (::flock(hPort, LOCK_EX | LOCK_NB) != 0) {
        ::close(hPort);
        SetOpenError(nCh, "COM%u (%s) is in use by %s.", nPort, szNode, InUseBy(strNode).c_str());
        return SERIAL_HANDLE_NONE;
    }
    // A program that opened the port without locking it (a modem manager probing every new
    // serial device) would take the phone's replies, and every wait would run into nothing. A
    // pseudo-terminal is exempt: a virtual phone holds its own end.
    if (TTY_NODE_Kind(strNode) != TTY_NODE_PSEUDO) {
        const std::string strHolder = TTY_NODE_OtherHolder(strNode);
        if (!strHolder.empty()) {
            ::ioctl(hPort, TIOCNXCL);
            ::close(hPort);
            SetOpenError(nCh, "COM%u (%s) is held open by %s, which would take the phone's replies.",
                         nPort, szNode, strHolder.c_str());
            return SERIAL_HANDLE_NONE;
        }
    }
    if (!ApplyLineSettings(hPort)) {
        const int nError = errno;
        ::ioctl(hPort, TIOCNXCL);
        ::close(hPort);
        SetOpenError(nCh, "COM%u (%s): the line cannot be set to raw mode (%s).", nPort, szNode,
                     std::strerror(nError));
        return SERIAL_HANDLE_NONE;
    }
    ::tcflush(hPort, TCIOFLUSH);

    int hWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (hWake < 0) {
        int nError = errno;
        ::ioctl(hPort, TIOCNXCL);
        ::close(hPort);
        SetOpenError(nCh, "COM%u (%s): %s.", nPort, szNode, std::strerror(nError));
        return SERIAL_HANDLE_NONE;
    }
    {
        std::lock_guard<std::mutex> lock(g_csPorts);
        g_mapPorts[hPort] = PORT_ENTRY{nCh, hWake, 0, false};
    }
    {
        std::lock_guard<std::mutex> lock(g_csOpenError);
        g_aSerial[nCh].g_strOpenError.clear();
    }
    g_aSerial[nCh].g_bHungUp = 0;
    CLOCK_Get().Sleep(SERIAL_OPEN_SETTLE_MS);
    return hPort;
}

int SERIAL_DEVICE_Close(int nCh)
{
    if (!IsChannel(nCh)) return 1;
    SERIAL_HANDLE hPort = g_aSerial[nCh].g_hComPort.exchange(SERIAL_HANDLE_NONE);
    if (hPort != SERIAL_HANDLE_NONE) SERIAL_DEVICE_ClosePort(nCh, hPort);
    return 1;
}

void SERIAL_DEVICE_ClosePort(int nCh, SERIAL_HANDLE hPort)
{
    if (hPort == SERIAL_HANDLE_NONE) return;
    int hWake = -1;
    {
        std::lock_guard<std::mutex> lock(g_csPorts);
        auto it = g_mapPorts.find(hPort);
        // Closed already (the console and the worker may both close it) or not ours: the number
        // may belong to somebody else by now.
        if (it == g_mapPorts.end() || it->second.nCh != nCh || it->second.bClosing) return;
        it->second.bClosing = true;
        ::eventfd_write(it->second.hWake, 1);
        if (it->second.nUsers > 0) return;  // the last reader or writer closes it
        hWake = it->second.hWake;
        g_mapPorts.erase(it);
    }
    CloseDescriptors(hPort, hWake);
}

namespace {

// A tty whose device went away fails writes with EIO: the phone is gone, as a read would find.
void NoteWriteHangUp(int nCh, int nError)
{
    if (nError == EIO || nError == ENODEV || nError == ENXIO) g_aSerial[nCh].g_bHungUp = 1;
}

}  // namespace

namespace {

// What the kernel takes of the frame now, without waiting: write() until it is all out or the
// line is full, under the send lock when one is given. -1 with errno on an error other than a
// full line; else the bytes taken.
ssize_t WriteWhatFits(int nCh, SERIAL_HANDLE hPort, const uint8_t* pbyData, uint32_t dwCount,
                      std::mutex* pcsSend)
{
    std::unique_lock<std::mutex> lock;
    if (pcsSend != nullptr) lock = std::unique_lock<std::mutex>(*pcsSend);
    uint32_t dwDone = 0;
    while (dwDone < dwCount) {
        const ssize_t nWritten = ::write(hPort, pbyData + dwDone, dwCount - dwDone);
        if (nWritten > 0) {
            dwDone += static_cast<uint32_t>(nWritten);
            g_aSerial[nCh].g_qwBytesSent.fetch_add(static_cast<uint64_t>(nWritten), std::memory_order_relaxed);
            continue;
        }
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten < 0 && errno != EAGAIN) return dwDone > 0 ? static_cast<ssize_t>(dwDone) : -1;
        break;  // the line is full
    }
    return static_cast<ssize_t>(dwDone);
}

int WriteFrame(int nCh, SERIAL_HANDLE hPort, const uint8_t* pbyBuffer, uint32_t dwOffset, uint32_t dwCount,
               std::mutex* pcsSend)
{
    if (!IsChannel(nCh)) return -1;
    DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 1 \n", nCh);
    CPortUse use(nCh, hPort);
    if (!use.IsValid() || (pbyBuffer == nullptr && dwCount != 0)) {
        // The write fails at once, as on a handle the driver refuses.
        DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 2 \n", nCh);
        DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 4 \n", nCh);
        DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 5 \n", nCh);
        return -1;
    }
    if (dwCount == 0) {
        DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 2 \n", nCh);
        return 0;
    }
    const uint8_t* pbyData = pbyBuffer + dwOffset;
    // The write time-out is the driver's, in real time: the station's clock seam is for the
    // station's own waits, and a virtual clock that never moves must not make a write endless.
    const auto tDeadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(g_dwWriteTimeoutMs.load());

    ssize_t nWritten = WriteWhatFits(nCh, hPort, pbyData, dwCount, pcsSend);
    DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 2 \n", nCh);
    if (nWritten < 0) {
        NoteWriteHangUp(nCh, errno);
        DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 4 \n", nCh);
        DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 5 \n", nCh);
        return -1;
    }
    uint32_t dwDone = static_cast<uint32_t>(nWritten);

    // The rest is pending: feed the driver as it takes more, until the time-out. The wait for
    // room on the line holds no lock.
    pollfd afd[2] = {{hPort, POLLOUT, 0}, {use.Wake(), POLLIN, 0}};
    while (dwDone < dwCount) {
        auto tLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
            tDeadline - std::chrono::steady_clock::now());
        if (tLeft.count() <= 0) {
            // Timed out: a frame cut short is not sent, whatever part of it went out.
            DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 3 \n", nCh);
            return -1;
        }
        // A stopped channel or a closed port ends the write as a failure: the frame is not out.
        if (RunCleared(nCh)) {
            DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 3 \n", nCh);
            return -1;
        }
        int nReady = ::poll(afd, 2, static_cast<int>(std::min<long long>(
                                        tLeft.count(), SERIAL_WAKE_INTERVAL_MS)));
        if (nReady < 0 && errno == EINTR) continue;
        if (nReady < 0 || afd[1].revents != 0 || (afd[0].revents & (POLLERR | POLLHUP | POLLNVAL))) {
            if (nReady > 0 && afd[1].revents == 0 && (afd[0].revents & POLLHUP)) g_aSerial[nCh].g_bHungUp = 1;
            DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 3 \n", nCh);
            return -1;
        }
        if (nReady == 0) continue;
        nWritten = WriteWhatFits(nCh, hPort, pbyData + dwDone, dwCount - dwDone, pcsSend);
        if (nWritten < 0) {
            NoteWriteHangUp(nCh, errno);
            DEBUG_TRACE_Off("[SERIAL_DEVICE_Write %d] 3 \n", nCh);
            return -1;
        }
        dwDone += static_cast<uint32_t>(nWritten);
    }
    return static_cast<int>(dwDone);
}

}  // namespace

int SERIAL_DEVICE_Write(int nCh, SERIAL_HANDLE hPort, const uint8_t* pbyBuffer, uint32_t dwOffset,
                        uint32_t dwCount)
{
    return WriteFrame(nCh, hPort, pbyBuffer, dwOffset, dwCount, nullptr);
}

uint64_t SERIAL_DEVICE_BytesSent(int nCh)
{
    return IsChannel(nCh) ? g_aSerial[nCh].g_qwBytesSent.load(std::memory_order_relaxed) : 0;
}

void SERIAL_DEVICE_ResetBytesSent(int nCh)
{
    if (IsChannel(nCh)) g_aSerial[nCh].g_qwBytesSent.store(0, std::memory_order_relaxed);
}

int SERIAL_DEVICE_Read(int nCh, SERIAL_HANDLE hPort, uint8_t* pbyBuffer, uint32_t dwOffset,
                       uint32_t dwMax)
{
    if (!IsChannel(nCh)) return 0;
    DEBUG_TRACE_Off("[SERIAL_DEVICE_Read %d] 1 \n", nCh);
    CPortUse use(nCh, hPort);
    if (!use.IsValid() || pbyBuffer == nullptr) {
        DEBUG_TRACE_Off("[SERIAL_DEVICE_Read %d] 2 \n", nCh);
        return 0;
    }

    uint32_t dwCount = 0;
    WAIT_RESULT eLast = WAIT_EVENT;
    for (uint32_t nAttempt = 0; nAttempt < SERIAL_READ_ATTEMPTS; ++nAttempt) {
        dwCount = std::min(QueuedBytes(hPort), dwMax);
        if (dwCount > 0) break;
        DEBUG_TRACE_Off("[SERIAL_DEVICE_Read %d] 3 \n", nCh);
        eLast = WaitReceive(nCh, hPort, use.Wake());
        if (eLast == WAIT_STOPPED) return 0;
    }
    if (dwCount == 0) {
        // A hung-up line never answers again (a phone plugged back comes on a new descriptor),
        // so the reply waits are told to stop waiting instead of reading it again and again.
        if (eLast == WAIT_HANGUP) g_aSerial[nCh].g_bHungUp = 1;
        return 0;
    }

    // Only bytes already queued are asked for, so the read completes at once with all of them.
    DEBUG_TRACE_Off("[SERIAL_DEVICE_Read %d] 6 \n", nCh);
    ssize_t nRead;
    do {
        nRead = ::read(hPort, pbyBuffer + dwOffset, dwCount);
    } while (nRead < 0 && errno == EINTR);
    if (nRead < 0 && errno == EAGAIN) {
        DEBUG_TRACE_Off("[SERIAL_DEVICE_Read %d] 7 \n", nCh);
        if (WaitReceive(nCh, hPort, use.Wake()) == WAIT_STOPPED) return 0;
        nRead = ::read(hPort, pbyBuffer + dwOffset, dwCount);
    }
    return nRead > 0 ? static_cast<int>(nRead) : 0;
}

int SERIAL_DEVICE_ReadRest(int nCh, SERIAL_HANDLE hPort, uint8_t* pbyBuffer, uint32_t dwOffset,
                           uint32_t dwWant, uint32_t dwBoundMs)
{
    if (!IsChannel(nCh) || pbyBuffer == nullptr) return 0;
    CPortUse use(nCh, hPort);
    if (!use.IsValid()) return 0;
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwBoundMs);
    pollfd afd[2] = {{hPort, POLLIN, 0}, {use.Wake(), POLLIN, 0}};
    uint32_t dwDone = 0;
    while (dwDone < dwWant) {
        const uint32_t dwQueued = std::min(QueuedBytes(hPort), dwWant - dwDone);
        if (dwQueued > 0) {
            const ssize_t nRead = ::read(hPort, pbyBuffer + dwOffset + dwDone, dwQueued);
            if (nRead > 0) {
                dwDone += static_cast<uint32_t>(nRead);
                continue;
            }
            if (nRead < 0 && errno != EAGAIN && errno != EINTR) break;
        }
        // What had arrived is taken even from a stopped channel; only the waiting ends.
        if (RunCleared(nCh)) break;
        const auto tLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
            tDeadline - std::chrono::steady_clock::now());
        if (tLeft.count() <= 0) break;
        const int nReady = ::poll(
            afd, 2, static_cast<int>(std::min<long long>(tLeft.count(), SERIAL_WAKE_INTERVAL_MS)));
        if (nReady < 0 && errno == EINTR) continue;
        if (nReady < 0 || afd[1].revents != 0 || (afd[0].revents & (POLLHUP | POLLERR | POLLNVAL)))
            break;
    }
    return static_cast<int>(dwDone);
}

int SERIAL_DEVICE_ReadWaiting(int nCh, uint8_t* pbyBuffer, uint32_t dwMax)
{
    if (!IsChannel(nCh) || pbyBuffer == nullptr) return 0;
    const SERIAL_HANDLE hPort = g_aSerial[nCh].g_hComPort.load();
    CPortUse use(nCh, hPort);
    // Nearly always nothing is waiting, and asking is all it costs then.
    const uint32_t dwQueued = use.IsValid() ? std::min(QueuedBytes(hPort), dwMax) : 0;
    if (dwQueued == 0) return 0;
    ssize_t nRead;
    do {
        nRead = ::read(hPort, pbyBuffer, dwQueued);
    } while (nRead < 0 && errno == EINTR);
    return nRead > 0 ? static_cast<int>(nRead) : 0;
}

uint32_t SERIAL_DEVICE_Waiting(int nCh)
{
    if (!IsChannel(nCh)) return 0;
    const SERIAL_HANDLE hPort = g_aSerial[nCh].g_hComPort.load();
    CPortUse use(nCh, hPort);
    return use.IsValid() ? QueuedBytes(hPort) : 0;
}

void SERIAL_DEVICE_DiscardInput(int nCh)
{
    if (!IsChannel(nCh)) return;
    const SERIAL_HANDLE hPort = g_aSerial[nCh].g_hComPort.load();
    CPortUse use(nCh, hPort);
    // Nearly always nothing is waiting, and asking costs far less than a flush, which on a
    // pseudo-terminal takes a fifth of the throughput of a write loop.
    if (use.IsValid() && QueuedBytes(hPort) > 0) ::tcflush(hPort, TCIFLUSH);
}

int SERIAL_DEVICE_Send(int nCh, const uint8_t* pbyData, uint32_t dwCount)
{
    if (!IsChannel(nCh)) return 0;
    return WriteFrame(nCh, g_aSerial[nCh].g_hComPort.load(), pbyData, 0, dwCount, &g_csSend) != -1 ? 1 : 0;
}

int SERIAL_DEVICE_SendUnlocked(int nCh, const uint8_t* pbyData, uint32_t dwCount)
{
    if (!IsChannel(nCh)) return 0;
    return SERIAL_DEVICE_Write(nCh, g_aSerial[nCh].g_hComPort.load(), pbyData, 0, dwCount) != -1 ? 1 : 0;
}

int SERIAL_DEVICE_IsHungUp(int nCh)
{
    return IsChannel(nCh) && g_aSerial[nCh].g_bHungUp.load() ? 1 : 0;
}

std::string SERIAL_DEVICE_PortName(uint32_t nPort)
{
    // From 10 on the device-namespace form, two backslashes, a full stop, two backslashes.
    return (nPort >= 10 ? std::string(R"(\\.\\COM)") : std::string("COM")) + std::to_string(nPort);
}

std::string SERIAL_DEVICE_LastOpenError(int nCh)
{
    if (!IsChannel(nCh)) return std::string();
    std::lock_guard<std::mutex> lock(g_csOpenError);
    return g_aSerial[nCh].g_strOpenError;
}
