#include "sim/virtual_phone.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "protocol/commands.h"
#include "protocol/frame.h"

namespace {

constexpr size_t HEADER = FRAME_HEADER_SIZE;
constexpr uint32_t MAX_PAYLOAD = FRAME_MAX_PAYLOAD;
constexpr uint8_t TYPE_ACK = 0x02;
constexpr uint8_t TYPE_NAK = 0x03;
constexpr uint8_t REASON_REFUSED = 0x01;
constexpr uint32_t RESYNC_QUIET_MS = 50;
// After acknowledging a lock the phone waits for the station to take the reply before it
// reboots, so the acknowledgement is not lost with the port.
constexpr uint32_t LOCK_DRAIN_MS = 1000;
constexpr uint32_t LOCK_SETTLE_MS = 50;

uint64_t NowUs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool KnownOpcode(uint8_t by)
{
    switch (by) {
    case 0x90: case 0xA0: case 0xAA: case 0xC0: case 0xDD: case 0xE0: case 0xE1: case 0xE2:
    case 0xE3: case 0xE4: case 0xE6: case 0xE7: case 0xE8: case 0xEB: case 0xEC: case 0xEE:
        return true;
    default:
        return false;
    }
}

bool ChangesFlash(uint8_t by)
{
    switch (by) {
    case 0xDD: case 0xE0: case 0xE2: case 0xE4: case 0xEB: case 0xEC: case 0xEE:
        return true;
    default:
        return false;
    }
}

}  // namespace

bool VIRTUAL_PHONE_HasPayload(uint8_t byOpcode)
{
    switch (byOpcode) {
    case 0xAA: case 0xC0: case 0xDD: case 0xE0: case 0xE1: case 0xE7: case 0xE8:
        return true;
    default:
        return false;
    }
}

CVirtualPhone::CVirtualPhone(PHONE_CONFIG cfg)
    : m_cfg(std::move(cfg)), m_flash(m_cfg.qwFlashSize), m_abyFrame(HEADER + MAX_PAYLOAD)
{
    m_adwRuleSeen.assign(m_cfg.faults.aRules.size(), 0);
    m_qwDropCountdown = m_cfg.faults.qwDropAfterBytes;
}

CVirtualPhone::~CVirtualPhone()
{
    Unplug();
}

bool CVirtualPhone::Start()
{
    if (m_thread.joinable()) {
        return false;
    }
    m_bStop = false;
    if (!OpenLink()) {
        return false;
    }
    m_thread = std::thread([this] { Serve(); });
    return true;
}

bool CVirtualPhone::Replug()
{
    Unplug();
    return Start();
}

void CVirtualPhone::Unplug()
{
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_bStop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    CloseLink();
    m_bStop = false;
}

bool CVirtualPhone::OpenLink()
{
    int fdMaster = -1;
    int fdSlave = -1;
    char szName[PATH_MAX] = {};
    if (openpty(&fdMaster, &fdSlave, szName, nullptr, nullptr) != 0) {
        return false;
    }
    // The slave stays open here too: without it a read on the master fails with EIO until the
    // station opens the port. Raw mode, or the line discipline would echo and translate frames.
    termios tio{};
    tcgetattr(fdSlave, &tio);
    cfmakeraw(&tio);
    tcsetattr(fdSlave, TCSANOW, &tio);
    fcntl(fdMaster, F_SETFL, fcntl(fdMaster, F_GETFL) | O_NONBLOCK);
    fcntl(fdMaster, F_SETFD, FD_CLOEXEC);
    fcntl(fdSlave, F_SETFD, FD_CLOEXEC);

    std::string strLink;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        strLink = m_cfg.strPublishLink;
    }
    if (!strLink.empty()) {
        const std::string strTmp = strLink + ".new";
        unlink(strTmp.c_str());
        if (symlink(szName, strTmp.c_str()) != 0 || rename(strTmp.c_str(), strLink.c_str()) != 0) {
            const int nErr = errno;  // the caller reports why; the clean-up must not change it
            unlink(strTmp.c_str());
            close(fdMaster);
            close(fdSlave);
            errno = nErr;
            return false;
        }
    }

    std::lock_guard<std::mutex> lock(m_mtx);
    m_fdMaster = fdMaster;
    m_fdSlave = fdSlave;
    m_strSlave = szName;
    m_bPlugged = true;
    ++m_dwPlugCount;
    m_bStalled = false;
    // A phone plugged in starts its boot loader afresh; only the flash remembers.
    m_bUnlocked = false;
    m_bHaveLastReply = false;
    m_bStagingOpen = false;
    m_dwStagedLength = 0;
    m_nHave = 0;
    m_nNeed = HEADER;
    m_bResync = false;
    m_qwPaceStartUs = 0;
    m_cv.notify_all();
    return true;
}

void CVirtualPhone::CloseLink()
{
    std::lock_guard<std::mutex> lock(m_mtx);
    if (!m_cfg.strPublishLink.empty() && !m_strSlave.empty()) {
        char szTarget[PATH_MAX] = {};
        const ssize_t n = readlink(m_cfg.strPublishLink.c_str(), szTarget, sizeof(szTarget) - 1);
        if (n > 0 && m_strSlave == std::string(szTarget, static_cast<size_t>(n))) {
            unlink(m_cfg.strPublishLink.c_str());
        }
    }
    if (m_fdMaster >= 0) {
        close(m_fdMaster);
    }
    if (m_fdSlave >= 0) {
        close(m_fdSlave);
    }
    m_fdMaster = -1;
    m_fdSlave = -1;
    m_strSlave.clear();
    m_bPlugged = false;
    m_cv.notify_all();
}

bool CVirtualPhone::Pause(uint64_t qwMicroseconds)
{
    std::unique_lock<std::mutex> lock(m_mtx);
    return !m_cv.wait_for(lock, std::chrono::microseconds(qwMicroseconds),
                          [this] { return m_bStop.load(); });
}

void CVirtualPhone::Throttle(size_t nBytes)
{
    double dRate;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        dRate = m_cfg.dBytesPerSecond;
    }
    if (dRate <= 0) {
        return;
    }
    const uint64_t qwNow = NowUs();
    // A line that has been idle starts a new pacing window, so idle time is not saved up.
    if (m_qwPaceStartUs == 0 || qwNow > m_qwLastByteUs + 100000) {
        m_qwPaceStartUs = qwNow;
        m_dPacedBytes = 0;
    }
    m_dPacedBytes += static_cast<double>(nBytes);
    const uint64_t qwDue = m_qwPaceStartUs + static_cast<uint64_t>(m_dPacedBytes / dRate * 1e6);
    if (qwDue > qwNow) {
        Pause(qwDue - qwNow);
    }
}

size_t CVirtualPhone::ReadAllowance(size_t nBuffer)
{
    double dRate;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        dRate = m_cfg.dBytesPerSecond;
    }
    if (dRate <= 0) return nBuffer;
    // 20 ms of the link at a time.
    const double dSlice = dRate / 50;
    return dSlice >= static_cast<double>(nBuffer) ? nBuffer : std::max<size_t>(1, static_cast<size_t>(dSlice));
}

void CVirtualPhone::Serve()
{
    std::vector<uint8_t> abyRead(64 * 1024);
    while (!m_bStop) {
        if (m_fdMaster < 0) {
            int nReturnMs;
            {
                std::lock_guard<std::mutex> lock(m_mtx);
                nReturnMs = m_bReboot ? m_cfg.nReturnAfterLockMs : -1;
                m_bReboot = false;
            }
            if (nReturnMs < 0) {
                break;
            }
            if (!Pause(static_cast<uint64_t>(nReturnMs) * 1000) || !OpenLink()) {
                break;
            }
            continue;
        }
        if (m_bStalled) {
            // Bytes the station writes stay in the line until it is full; only a stop ends this.
            Pause(20 * 1000);
            continue;
        }
        pollfd pfd{m_fdMaster, POLLIN, 0};
        const int r = poll(&pfd, 1, 20);
        if (r > 0 && (pfd.revents & POLLIN) != 0) {
            size_t nMax = ReadAllowance(abyRead.size());
            // A phone that may stall takes each header alone, so that a stall leaves the frame's
            // payload on the line.
            if (m_nHave < HEADER && !m_bResync && StallArmed()) nMax = std::min(nMax, HEADER - m_nHave);
            const ssize_t n = read(m_fdMaster, abyRead.data(), nMax);
            if (n > 0) {
                Throttle(static_cast<size_t>(n));
                m_qwLastByteUs = NowUs();
                Feed(abyRead.data(), static_cast<size_t>(n));
                continue;
            }
        }
        if (m_nHave == 0 && !m_bResync) {
            continue;
        }
        uint32_t dwTimeoutMs;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            dwTimeoutMs = m_bResync ? RESYNC_QUIET_MS : m_cfg.dwInterByteTimeoutMs;
        }
        if (NowUs() - m_qwLastByteUs >= static_cast<uint64_t>(dwTimeoutMs) * 1000) {
            if (m_bResync) {
                // The line has gone quiet after a frame the phone could not parse: answer it.
                m_bResync = false;
                Reply(m_byResyncSeq, TYPE_NAK, REASON_REFUSED, FAULT_NAK, false);
            }
            m_nHave = 0;
            m_nNeed = HEADER;
        }
    }
    CloseLink();
}

void CVirtualPhone::Feed(const uint8_t* pby, size_t n)
{
    bool bDrop = false;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_qwBytesReceived += n;
        if (m_qwDropCountdown != 0) {
            if (n >= m_qwDropCountdown) {
                n = static_cast<size_t>(m_qwDropCountdown);
                bDrop = true;
            }
            m_qwDropCountdown -= n;
        }
    }
    size_t i = 0;
    while (i < n && m_fdMaster >= 0 && !m_bStalled) {
        if (m_bResync) {
            break;  // everything until the line goes quiet is thrown away
        }
        const size_t nCopy = std::min(m_nNeed - m_nHave, n - i);
        std::memcpy(m_abyFrame.data() + m_nHave, pby + i, nCopy);
        m_nHave += nCopy;
        i += nCopy;
        if (m_nHave == HEADER && m_nNeed == HEADER) {
            const uint8_t byOpcode = m_abyFrame[1];
            const uint32_t dwLength = FRAME_GetWord(&m_abyFrame[8]);
            if (!KnownOpcode(byOpcode) ||
                (VIRTUAL_PHONE_HasPayload(byOpcode) && dwLength > MAX_PAYLOAD)) {
                m_bResync = true;
                m_byResyncSeq = m_abyFrame[0];
                m_nHave = 0;
                continue;
            }
            if (StallsAt(m_abyFrame.data())) {
                m_nHave = 0;
                return;
            }
            if (VIRTUAL_PHONE_HasPayload(byOpcode)) {
                m_nNeed = HEADER + dwLength;
            }
        }
        if (m_nHave == m_nNeed) {
            HandleFrame();
            m_nHave = 0;
            m_nNeed = HEADER;
        }
    }
    if (bDrop && m_fdMaster >= 0) {
        CloseLink();
    }
}

namespace {

// What a frame's 12-byte header says, for its record.
REQUEST_RECORD RecordOfHeader(const uint8_t* pby)
{
    REQUEST_RECORD rec;
    rec.bySeq = pby[0];
    rec.byOpcode = pby[1];
    rec.byFlag = pby[2];
    rec.byKind = pby[3];
    rec.dwParam = FRAME_GetWord(pby + 4);
    rec.dwLength = FRAME_GetWord(pby + 8);
    return rec;
}

}  // namespace

void CVirtualPhone::HandleFrame()
{
    const uint8_t* pby = m_abyFrame.data();
    REQUEST_RECORD rec = RecordOfHeader(pby);
    const uint8_t* pbyPayload = pby + HEADER;
    const uint32_t dwPayload = static_cast<uint32_t>(m_nHave - HEADER);
    rec.dwPayloadSize = dwPayload;
    rec.dwPayloadCrc = FLASH_DOWNLOADER_Crc32(pbyPayload, dwPayload * 8, 0);
    std::memcpy(rec.abyFirst, pbyPayload, std::min<uint32_t>(dwPayload, sizeof(rec.abyFirst)));

    uint8_t byType = TYPE_ACK;
    uint8_t byReason = 0;
    bool bFault = false;
    PHONE_FAULT_ACTION eFault = FAULT_NAK;
    PHONE_FAULT_ACTION eStale = FAULT_NAK;  // none
    uint32_t dwHoldMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        rec.dwPlug = m_dwPlugCount;
        for (size_t k = 0; k < m_cfg.faults.aRules.size(); ++k) {
            const PHONE_FAULT_RULE& rule = m_cfg.faults.aRules[k];
            // A stall is met at the frame's header (StallsAt), before its payload.
            if ((rule.nOpcode >= 0 && rule.nOpcode != rec.byOpcode) || rule.eAction == FAULT_STALL) {
                continue;
            }
            const uint32_t dwSeen = ++m_adwRuleSeen[k];
            const bool bFires = dwSeen >= rule.dwNth &&
                                (rule.dwCount == 0 || dwSeen - rule.dwNth < rule.dwCount);
            if (bFires && (rule.eAction == FAULT_STALE_AHEAD || rule.eAction == FAULT_STALE_AHEAD_SPLIT)) {
                if (m_bHaveLastReply) eStale = rule.eAction;
            } else if (bFires && !bFault) {
                bFault = true;
                eFault = rule.eAction;
                byReason = rule.byReason;
                dwHoldMs = rule.dwHoldMs;
            }
        }
        if (!bFault && rec.byOpcode == CMD_FLASH_UNLOCK && m_cfg.faults.bRefuseUnlock) {
            bFault = true;
            eFault = FAULT_NAK;
            byReason = REASON_REFUSED;
        }
        if (bFault && eFault == FAULT_DROP) {
            rec.eReply = REPLIED_DROPPED;
            m_aRecords.push_back(rec);
            m_cv.notify_all();
        } else if (bFault && eFault == FAULT_NAK) {
            byType = TYPE_NAK;
            rec.eReply = REPLIED_NAK;
            rec.byReplyReason = byReason;
        } else {
            const bool bCorrupt = (bFault && eFault == FAULT_CORRUPT_STAGED) ||
                                  m_cfg.faults.bCorruptStaged;
            if (bFault && eFault == FAULT_CORRUPT_STAGED) {
                bFault = false;  // the answer itself is plain
            }
            m_bCorruptNextCrc = bCorrupt;
            byType = Execute(pbyPayload, dwPayload, &byReason);
            rec.bAcked = byType == TYPE_ACK;
            rec.byReplyReason = byType == TYPE_NAK ? byReason : 0;
            rec.eReply = byType == TYPE_ACK ? REPLIED_ACK : REPLIED_NAK;
            if (bFault) {
                static const PHONE_REPLY aeMangled[] = {
                    REPLIED_NAK,    REPLIED_WRONG_SEQ, REPLIED_GARBAGE, REPLIED_NONE,
                    REPLIED_PIECES, REPLIED_DOUBLE,    REPLIED_ACK,     REPLIED_DROPPED,
                    REPLIED_HELD};
                rec.eReply = aeMangled[eFault];
            }
        }
        if (eStale != FAULT_NAK && rec.eReply == REPLIED_ACK) rec.eReply = REPLIED_STALE_AHEAD;
        if (!(bFault && eFault == FAULT_DROP)) {
            m_aRecords.push_back(rec);
            m_cv.notify_all();
        }
    }
    if (bFault && eFault == FAULT_DROP) {
        CloseLink();
        return;
    }
    Reply(rec.bySeq, byType, byReason, eFault, bFault && eFault != FAULT_NAK, eStale, dwHoldMs);

    if (rec.byOpcode == CMD_FLASH_LOCK && rec.bAcked) {
        // The boot loader hands over to the phone's software: the port goes away.
        // The pseudo-terminal passes written bytes on asynchronously, so the queue can look
        // empty for a moment before the reply has even reached it.
        Pause(LOCK_SETTLE_MS * 1000ull);
        const uint64_t qwUntil = NowUs() + LOCK_DRAIN_MS * 1000ull;
        int nQueued = 0;
        while (!m_bStop && NowUs() < qwUntil && ioctl(m_fdSlave, FIONREAD, &nQueued) == 0 &&
               nQueued > 0) {
            Pause(2000);
        }
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_bLocked = true;
            ++m_dwLockCount;
            m_bReboot = true;
        }
        CloseLink();
    }
}

uint8_t CVirtualPhone::Execute(const uint8_t* pbyPayload, uint32_t dwPayload, uint8_t* pbyReason)
{
    const uint8_t* pby = m_abyFrame.data();
    const uint8_t byOpcode = pby[1];
    const uint32_t dwParam = FRAME_GetWord(pby + 4);
    const uint32_t dwLength = FRAME_GetWord(pby + 8);
    *pbyReason = REASON_REFUSED;
    if (m_cfg.bRequireUnlock && !m_bUnlocked && ChangesFlash(byOpcode)) {
        return TYPE_NAK;
    }
    switch (byOpcode) {
    case 0xA0:
        m_bUnlocked = true;
        m_bLocked = false;
        return TYPE_ACK;
    case 0x90:
        m_bUnlocked = false;
        return TYPE_ACK;
    case 0xAA:
        if (dwPayload != 2048) {
            return TYPE_NAK;
        }
        if (m_cfg.abyPartitionTable.empty() ||
            (m_cfg.abyPartitionTable.size() == dwPayload &&
             std::equal(pbyPayload, pbyPayload + dwPayload, m_cfg.abyPartitionTable.begin()))) {
            m_abyPendingTable.clear();
            return TYPE_ACK;
        }
        m_abyPendingTable.assign(pbyPayload, pbyPayload + dwPayload);
        *pbyReason = m_cfg.byPartitionNakReason;
        return TYPE_NAK;
    case 0xC0:
        if (dwPayload != MAX_PAYLOAD) {
            return TYPE_NAK;
        }
        m_abyMibibHeader.assign(pbyPayload, pbyPayload + 2048);
        m_dwMibibMask = dwParam;
        return TYPE_ACK;
    case 0xDD:
        if (dwPayload == FLASH_CHUNK_SIZE) {
            return m_flash.Program(dwParam, pbyPayload, dwPayload) ? TYPE_ACK : TYPE_NAK;
        }
        if (dwPayload == MAX_PAYLOAD) {
            return m_flash.ProgramPages(dwParam, pbyPayload, FLASH_PAGES_PER_CHUNK) ? TYPE_ACK
                                                                                    : TYPE_NAK;
        }
        return TYPE_NAK;
    case 0xE0: {
        if (dwPayload != FLASH_CHUNK_SIZE) {
            return TYPE_NAK;
        }
        // A send after the staged data were programmed (or the first one) begins a new image.
        if (!m_bStagingOpen || m_bStagingProgrammed) {
            m_bStagingOpen = true;
            m_bStagingProgrammed = false;
            m_dwStagingBase = dwParam;
            m_dwStagedLength = 0;
        }
        if (dwParam < m_dwStagingBase) {
            return TYPE_NAK;
        }
        const uint64_t qwEnd = static_cast<uint64_t>(dwParam - m_dwStagingBase) + dwPayload;
        if (qwEnd > m_cfg.dwStagingCapacity) {
            return TYPE_NAK;
        }
        if (m_abyStaging.size() < qwEnd) {
            m_abyStaging.resize(std::max<size_t>(qwEnd, m_abyStaging.size() * 2));
        }
        std::memcpy(m_abyStaging.data() + (dwParam - m_dwStagingBase), pbyPayload, dwPayload);
        m_dwStagedLength = std::max(m_dwStagedLength, static_cast<uint32_t>(qwEnd));
        return TYPE_ACK;
    }
    case 0xE1: {
        if (dwPayload != 4 || !m_bStagingOpen || m_dwStagedLength == 0) {
            return TYPE_NAK;
        }
        if (m_bCorruptNextCrc) {
            m_abyStaging[0] ^= 0x01;
        }
        // The station counts the padded length in bits, so the value covers its first eighth;
        // the phone computes it the same way.
        m_dwLastCrcComputed = FLASH_DOWNLOADER_Crc32(m_abyStaging.data(), m_dwStagedLength, 0);
        m_dwLastCrcReceived = FRAME_GetWord(pbyPayload);
        return m_dwLastCrcComputed == m_dwLastCrcReceived ? TYPE_ACK : TYPE_NAK;
    }
    case 0xE2: {
        const uint64_t qwEnd = static_cast<uint64_t>(dwParam) + dwLength;
        if (!m_bStagingOpen || dwParam < m_dwStagingBase ||
            qwEnd > static_cast<uint64_t>(m_dwStagingBase) + m_dwStagedLength) {
            return TYPE_NAK;
        }
        if (!m_flash.Program(dwParam, m_abyStaging.data() + (dwParam - m_dwStagingBase),
                             dwLength)) {
            return TYPE_NAK;
        }
        m_bStagingProgrammed = true;
        return TYPE_ACK;
    }
    case 0xE3:
        return m_cfg.bSafeDownload ? TYPE_ACK : TYPE_NAK;
    case 0xE4:
    case 0xEE:
        return m_flash.Erase(dwParam, dwLength) ? TYPE_ACK : TYPE_NAK;
    case 0xE6:
        return m_cfg.bMcci ? TYPE_ACK : TYPE_NAK;
    case 0xE7:
        if (dwPayload != 4) {
            return TYPE_NAK;
        }
        m_dwCscSize = FRAME_GetWord(pbyPayload);
        return m_cfg.bAcceptCscSize ? TYPE_ACK : TYPE_NAK;
    case 0xE8:
        if (dwPayload != 4) {
            return TYPE_NAK;
        }
        m_dwCscReserve = FRAME_GetWord(pbyPayload);
        if (m_dwCscReserve > m_cfg.dwCscReserveCapacity) {
            return TYPE_NAK;
        }
        if (m_cfg.bReserveAnswerNak6) {
            *pbyReason = 0x06;
            return TYPE_NAK;
        }
        return TYPE_ACK;
    case 0xEB:
    case 0xEC: {
        // Backup parks the EFS2 file system at the given address; restore brings it back.
        const uint32_t dwFrom = byOpcode == 0xEB ? m_cfg.dwEfsStart : dwParam;
        const uint32_t dwTo = byOpcode == 0xEB ? dwParam : m_cfg.dwEfsStart;
        if (!m_flash.InRange(dwFrom, m_cfg.dwEfsLength) || !m_flash.InRange(dwTo, m_cfg.dwEfsLength)) {
            return TYPE_NAK;
        }
        if (m_cfg.dwEfsLength != 0) {
            const std::vector<uint8_t> aby = m_flash.Read(dwFrom, m_cfg.dwEfsLength);
            m_flash.Program(dwTo, aby.data(), m_cfg.dwEfsLength);
        }
        if (byOpcode == 0xEC && !m_abyPendingTable.empty()) {
            // The re-partition is complete: the phone now holds the station's table.
            m_cfg.abyPartitionTable = m_abyPendingTable;
            m_abyPendingTable.clear();
        }
        return TYPE_ACK;
    }
    default:
        return TYPE_NAK;
    }
}

bool CVirtualPhone::WriteAll(const uint8_t* pby, size_t n)
{
    size_t nDone = 0;
    while (nDone < n && !m_bStop && m_fdMaster >= 0) {
        const ssize_t w = write(m_fdMaster, pby + nDone, n - nDone);
        if (w > 0) {
            nDone += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd pfd{m_fdMaster, POLLOUT, 0};
        poll(&pfd, 1, 20);
    }
    return nDone == n;
}

void CVirtualPhone::Reply(uint8_t bySeq, uint8_t byType, uint8_t byReason,
                          PHONE_FAULT_ACTION eFault, bool bFault, PHONE_FAULT_ACTION eStale,
                          uint32_t dwHoldMs)
{
    uint32_t dwLatencyUs;
    uint32_t dwGapMs;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        dwLatencyUs = m_cfg.dwReplyLatencyUs;
        dwGapMs = m_cfg.dwPieceGapMs;
    }
    if (dwLatencyUs != 0 && !Pause(dwLatencyUs)) {
        return;
    }
    if (bFault && eFault == FAULT_HOLD && !Pause(static_cast<uint64_t>(dwHoldMs) * 1000)) {
        return;
    }
    uint8_t aby[10] = {0x7E, bySeq, byType, 0x00, byType == TYPE_NAK ? byReason : uint8_t(0)};
    uint8_t abyPrevious[5];
    std::memcpy(abyPrevious, m_abyLastReply, sizeof(abyPrevious));
    std::memcpy(m_abyLastReply, aby, sizeof(m_abyLastReply));
    m_bHaveLastReply = true;
    if (eStale == FAULT_STALE_AHEAD_SPLIT) {
        WriteAll(abyPrevious, 5);
        if (!Pause(static_cast<uint64_t>(dwGapMs) * 1000)) return;
    } else if (eStale == FAULT_STALE_AHEAD && (!bFault || eFault == FAULT_HOLD)) {
        uint8_t abyBoth[10];
        std::memcpy(abyBoth, abyPrevious, 5);
        std::memcpy(abyBoth + 5, aby, 5);
        WriteAll(abyBoth, 10);
        return;
    } else if (eStale == FAULT_STALE_AHEAD) {
        WriteAll(abyPrevious, 5);
    }
    if (!bFault || eFault == FAULT_HOLD) {
        WriteAll(aby, 5);
        return;
    }
    switch (eFault) {
    case FAULT_WRONG_SEQ:
        aby[1] = static_cast<uint8_t>(bySeq + 1);
        WriteAll(aby, 5);
        break;
    case FAULT_GARBAGE:
        aby[0] = 0x7F;
        WriteAll(aby, 5);
        break;
    case FAULT_PIECES:
        WriteAll(aby, 2);
        if (Pause(static_cast<uint64_t>(dwGapMs) * 1000)) {
            WriteAll(aby + 2, 3);
        }
        break;
    case FAULT_DOUBLE:
        std::memcpy(aby + 5, aby, 5);
        WriteAll(aby, 10);
        break;
    default:  // silence
        break;
    }
}

std::string CVirtualPhone::SlavePath() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_strSlave;
}

bool CVirtualPhone::IsPlugged() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_bPlugged;
}

bool CVirtualPhone::IsStalled() const
{
    return m_bStalled;
}

bool CVirtualPhone::StallArmed() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    for (const PHONE_FAULT_RULE& rule : m_cfg.faults.aRules)
        if (rule.eAction == FAULT_STALL) return true;
    return false;
}

bool CVirtualPhone::StallsAt(const uint8_t* pbyHeader)
{
    std::lock_guard<std::mutex> lock(m_mtx);
    bool bStall = false;
    for (size_t k = 0; k < m_cfg.faults.aRules.size(); ++k) {
        const PHONE_FAULT_RULE& rule = m_cfg.faults.aRules[k];
        if (rule.eAction != FAULT_STALL || (rule.nOpcode >= 0 && rule.nOpcode != pbyHeader[1])) continue;
        const uint32_t dwSeen = ++m_adwRuleSeen[k];
        bStall |= dwSeen >= rule.dwNth && (rule.dwCount == 0 || dwSeen - rule.dwNth < rule.dwCount);
    }
    if (!bStall) return false;
    REQUEST_RECORD rec = RecordOfHeader(pbyHeader);
    rec.eReply = REPLIED_STALLED;
    rec.dwPlug = m_dwPlugCount;
    // Stalled before the record is seen, so a waiter woken by it finds the phone stalled.
    m_bStalled = true;
    m_aRecords.push_back(rec);
    m_cv.notify_all();
    return true;
}

std::vector<uint8_t> CVirtualPhone::ReadFlash(uint32_t dwAddr, uint32_t dwLength) const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_flash.Read(dwAddr, dwLength);
}

std::vector<uint8_t> CVirtualPhone::ReadSpare(uint32_t dwPage) const
{
    std::vector<uint8_t> aby(FLASH_SPARE_SIZE);
    std::lock_guard<std::mutex> lock(m_mtx);
    m_flash.ReadSpare(dwPage, aby.data());
    return aby;
}

void CVirtualPhone::PreloadFlash(uint32_t dwAddr, const std::vector<uint8_t>& abyData)
{
    std::lock_guard<std::mutex> lock(m_mtx);
    m_flash.Load(dwAddr, abyData.data(), static_cast<uint32_t>(abyData.size()));
}

void CVirtualPhone::WithFlash(const std::function<void(const CFlashModel&)>& fn) const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    fn(m_flash);
}

std::vector<REQUEST_RECORD> CVirtualPhone::Requests() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_aRecords;
}

size_t CVirtualPhone::RequestCount() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_aRecords.size();
}

void CVirtualPhone::ClearRequests()
{
    std::lock_guard<std::mutex> lock(m_mtx);
    m_aRecords.clear();
}

void CVirtualPhone::SetFaults(const PHONE_FAULTS& faults)
{
    std::lock_guard<std::mutex> lock(m_mtx);
    m_cfg.faults = faults;
    m_adwRuleSeen.assign(faults.aRules.size(), 0);
    m_qwDropCountdown = faults.qwDropAfterBytes;
}

void CVirtualPhone::SetConfig(const PHONE_CONFIG& cfg)
{
    std::lock_guard<std::mutex> lock(m_mtx);
    const std::string strLink = m_cfg.strPublishLink;
    m_cfg = cfg;
    m_cfg.strPublishLink = strLink;  // the link of a plugged phone cannot move
    m_adwRuleSeen.assign(m_cfg.faults.aRules.size(), 0);
    m_qwDropCountdown = m_cfg.faults.qwDropAfterBytes;
}

PHONE_CONFIG CVirtualPhone::Config() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_cfg;
}

bool CVirtualPhone::Unlocked() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_bUnlocked;
}

bool CVirtualPhone::Locked() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_bLocked;
}

uint32_t CVirtualPhone::LockCount() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_dwLockCount;
}

uint32_t CVirtualPhone::PlugCount() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_dwPlugCount;
}

bool CVirtualPhone::WaitLockCount(uint32_t dwCount, uint32_t dwTimeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                         [&] { return m_dwLockCount >= dwCount; });
}

bool CVirtualPhone::WaitRequestCount(size_t nCount, uint32_t dwTimeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                         [&] { return m_aRecords.size() >= nCount; });
}

bool CVirtualPhone::WaitPlugCount(uint32_t dwCount, uint32_t dwTimeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                         [&] { return m_dwPlugCount >= dwCount && m_bPlugged; });
}

bool CVirtualPhone::WaitUnplugged(uint32_t dwTimeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mtx);
    return m_cv.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs),
                         [&] { return !m_bPlugged; });
}

std::vector<uint8_t> CVirtualPhone::MibibHeader() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_abyMibibHeader;
}

uint32_t CVirtualPhone::MibibMask() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_dwMibibMask;
}

uint32_t CVirtualPhone::CscSize() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_dwCscSize;
}

uint32_t CVirtualPhone::CscReserve() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_dwCscReserve;
}

std::vector<uint8_t> CVirtualPhone::PartitionTable() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_cfg.abyPartitionTable;
}

uint32_t CVirtualPhone::LastCrcComputed() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_dwLastCrcComputed;
}

uint32_t CVirtualPhone::LastCrcReceived() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_dwLastCrcReceived;
}

uint64_t CVirtualPhone::BytesReceived() const
{
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_qwBytesReceived;
}
