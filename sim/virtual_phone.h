// A phone's boot loader in download mode, on the master side of a pseudo-terminal: the station
// opens the slave side as the phone's serial port. It answers every request the way the station
// expects, keeps a NAND flash model, records every request for tests and can misbehave on cue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/flash_model.h"

// What the phone does to one request instead of answering it plainly.
enum PHONE_FAULT_ACTION : int {
    FAULT_NAK = 0,            // rejects the frame (nothing is done) with the rule's reason
    FAULT_WRONG_SEQ = 1,      // acts, answers with the sequence byte plus one
    FAULT_GARBAGE = 2,        // acts, answers with bytes that do not start with 0x7E
    FAULT_SILENCE = 3,        // acts, answers nothing
    FAULT_PIECES = 4,         // acts, answers in two pieces with a pause between them
    FAULT_DOUBLE = 5,         // acts, answers twice in one write
    FAULT_CORRUPT_STAGED = 6, // a CRC check finds one staged byte flipped, and so a mismatch
    FAULT_DROP = 7,           // the link goes away when this frame arrives; no answer
    FAULT_HOLD = 8,           // acts, answers only after the rule's dwHoldMs
    // Beside whatever else answers the frame: the phone's previous reply comes again just ahead
    // of this one, in the same write or dwPieceGapMs before it (a late or repeated answer).
    FAULT_STALE_AHEAD = 9,
    FAULT_STALE_AHEAD_SPLIT = 10,
    // A stalled link: the phone takes this frame's header and nothing after it, neither acting
    // nor answering, so the line fills and the station's writes stop going out. Until unplugged.
    FAULT_STALL = 11,
};

// Fires on the n-th to (n + count - 1)-th frame of an opcode (-1: any opcode), counted from
// the moment the rule was set. A count of 0 means every frame from the n-th on.
struct PHONE_FAULT_RULE {
    int nOpcode = -1;
    uint32_t dwNth = 1;
    uint32_t dwCount = 1;
    PHONE_FAULT_ACTION eAction = FAULT_NAK;
    uint8_t byReason = 1;  // the reason byte of FAULT_NAK
    uint32_t dwHoldMs = 1000;  // FAULT_HOLD
};

struct PHONE_FAULTS {
    std::vector<PHONE_FAULT_RULE> aRules;
    bool bRefuseUnlock = false;     // every unlock gets a negative reply
    bool bCorruptStaged = false;    // every CRC check sees corrupted staged data
    uint64_t qwDropAfterBytes = 0;  // the link goes away after this many more bytes; 0 never
};

struct PHONE_CONFIG {
    bool bMcci = true;          // 0xE6 acknowledged
    bool bSafeDownload = true;  // 0xE3 acknowledged
    // Writes, erases and staging refused until an unlock; the station always unlocks first.
    bool bRequireUnlock = false;
    // The phone's own partition table; empty: any table the station sends matches.
    std::vector<uint8_t> abyPartitionTable;
    uint8_t byPartitionNakReason = 0;  // a differing table gets a negative reply with this reason
    // The phone's reserve for carrier data: a request up to it is granted (acknowledged, or a
    // negative reply with reason 6 when bReserveAnswerNak6), anything larger refused (reason 1).
    uint32_t dwCscReserveCapacity = 0x01000000;
    bool bReserveAnswerNak6 = false;
    bool bAcceptCscSize = true;
    // Where the phone keeps its EFS2 file system: what an EFS backup copies.
    uint32_t dwEfsStart = 0;
    uint32_t dwEfsLength = 0;
    uint64_t qwFlashSize = FLASH_DEFAULT_SIZE;
    uint32_t dwStagingCapacity = 32u << 20;  // bytes of memory for staged data
    // Link emulation: 0 means unlimited / none.
    double dBytesPerSecond = 0;
    uint32_t dwReplyLatencyUs = 0;
    uint32_t dwPieceGapMs = 30;
    // A frame left incomplete this long is dropped, so a resend starts cleanly.
    uint32_t dwInterByteTimeoutMs = 2000;
    // After a lock the port goes away; it comes back (a new pseudo-terminal) after this many
    // milliseconds, or never when negative.
    int nReturnAfterLockMs = -1;
    // A symbolic link kept pointing at the current slave while the port exists ("" for none).
    std::string strPublishLink;
    PHONE_FAULTS faults;
};

// How the phone answered one request.
enum PHONE_REPLY : int {
    REPLIED_ACK = 0,
    REPLIED_NAK = 1,
    REPLIED_NONE = 2,
    REPLIED_GARBAGE = 3,
    REPLIED_WRONG_SEQ = 4,
    REPLIED_PIECES = 5,
    REPLIED_DOUBLE = 6,
    REPLIED_DROPPED = 7,
    REPLIED_HELD = 8,
    REPLIED_STALE_AHEAD = 9,  // acknowledged, behind a copy of the previous reply
    REPLIED_STALLED = 10,     // the phone stopped reading its line at this frame's header
};

struct REQUEST_RECORD {
    uint8_t bySeq = 0;
    uint8_t byOpcode = 0;
    uint8_t byFlag = 0;
    uint8_t byKind = 0;
    uint32_t dwParam = 0;
    uint32_t dwLength = 0;
    uint32_t dwPayloadSize = 0;
    uint32_t dwPayloadCrc = 0;   // FLASH_DOWNLOADER_Crc32 over the whole payload, initial 0
    uint8_t abyFirst[16] = {};   // the first payload bytes (0 beyond the payload)
    PHONE_REPLY eReply = REPLIED_ACK;
    uint8_t byReplyReason = 0;   // of a negative reply (also when mangled by a fault)
    bool bAcked = false;         // the phone did what was asked (before any reply fault)
    uint32_t dwPlug = 0;         // which plug-in of the phone (1 for the first)
    // The 32-bit little-endian payload of 0xE1, 0xE7 and 0xE8.
    uint32_t PayloadWord() const
    {
        return abyFirst[0] | abyFirst[1] << 8 | abyFirst[2] << 16 | uint32_t(abyFirst[3]) << 24;
    }
};

class CVirtualPhone {
public:
    explicit CVirtualPhone(PHONE_CONFIG cfg = {});
    ~CVirtualPhone();
    CVirtualPhone(const CVirtualPhone&) = delete;
    CVirtualPhone& operator=(const CVirtualPhone&) = delete;

    // Opens a pseudo-terminal in raw mode, publishes it and starts serving. false on failure.
    bool Start();
    // The slave device the station opens, e.g. /dev/pts/7; "" while unplugged.
    std::string SlavePath() const;
    // The port goes away: the serving thread ends, the pseudo-terminal closes, the link is
    // removed. The flash and the records stay.
    void Unplug();
    // Plugged in again: a new pseudo-terminal (so usually a new slave path).
    bool Replug();
    void Stop() { Unplug(); }
    bool IsPlugged() const;
    // The line has stalled (FAULT_STALL) and is not being read.
    bool IsStalled() const;

    std::vector<uint8_t> ReadFlash(uint32_t dwAddr, uint32_t dwLength) const;
    std::vector<uint8_t> ReadSpare(uint32_t dwPage) const;
    // Data the phone held before the station came (e.g. its EFS2 file system).
    void PreloadFlash(uint32_t dwAddr, const std::vector<uint8_t>& abyData);
    // Runs fn with the flash under the phone's lock.
    void WithFlash(const std::function<void(const CFlashModel&)>& fn) const;

    std::vector<REQUEST_RECORD> Requests() const;
    size_t RequestCount() const;
    void ClearRequests();
    // Replaces the faults; the rules count frames from now on.
    void SetFaults(const PHONE_FAULTS& faults);
    void SetConfig(const PHONE_CONFIG& cfg);  // takes effect for the next frame
    PHONE_CONFIG Config() const;

    bool Unlocked() const;
    // The last session ended with an acknowledged lock (cleared by the next unlock).
    bool Locked() const;
    uint32_t LockCount() const;
    uint32_t PlugCount() const;
    // Waits (real time) until the phone has been locked at least dwCount times in all.
    bool WaitLockCount(uint32_t dwCount, uint32_t dwTimeoutMs) const;
    // Waits until the phone has received at least nCount requests in all.
    bool WaitRequestCount(size_t nCount, uint32_t dwTimeoutMs) const;
    // Waits until the phone has been plugged in at least dwCount times (a return after a lock
    // counts).
    bool WaitPlugCount(uint32_t dwCount, uint32_t dwTimeoutMs) const;
    // Waits until the port is gone (after a lock, a drop or an unplug).
    bool WaitUnplugged(uint32_t dwTimeoutMs) const;

    // What the station last told the phone.
    std::vector<uint8_t> MibibHeader() const;  // 2,048 bytes of 0xC0, empty before one
    uint32_t MibibMask() const;
    uint32_t CscSize() const;
    uint32_t CscReserve() const;
    std::vector<uint8_t> PartitionTable() const;  // the phone's table now
    // The last CRC check: what the phone computed and what the station sent.
    uint32_t LastCrcComputed() const;
    uint32_t LastCrcReceived() const;
    uint64_t BytesReceived() const;

private:
    void Serve();
    bool OpenLink();
    void CloseLink();
    void Feed(const uint8_t* pby, size_t n);
    void HandleFrame();
    uint8_t Execute(const uint8_t* pbyPayload, uint32_t dwPayload, uint8_t* pbyReason);
    // eStale: FAULT_STALE_AHEAD or _SPLIT puts the previous reply ahead of this one; any other
    // value none.
    void Reply(uint8_t bySeq, uint8_t byType, uint8_t byReason, PHONE_FAULT_ACTION eFault,
               bool bFault, PHONE_FAULT_ACTION eStale = FAULT_NAK, uint32_t dwHoldMs = 0);
    bool WriteAll(const uint8_t* pby, size_t n);
    // Whether a stall rule is set; whether one fires at this header (counted, and recorded).
    bool StallArmed() const;
    bool StallsAt(const uint8_t* pbyHeader);
    // Waits in real time, returning false early when the phone is being stopped.
    bool Pause(uint64_t qwMicroseconds);
    void Throttle(size_t nBytes);
    // How much one read may take: a slow link drains the line a little at a time, as a wire
    // would, instead of swallowing whatever the terminal holds and then sleeping it off.
    size_t ReadAllowance(size_t nBuffer);

    mutable std::mutex m_mtx;
    mutable std::condition_variable m_cv;
    PHONE_CONFIG m_cfg;
    std::vector<uint32_t> m_adwRuleSeen;
    CFlashModel m_flash;
    std::vector<REQUEST_RECORD> m_aRecords;

    // Session state of the boot loader.
    bool m_bUnlocked = false;
    bool m_bLocked = false;
    uint32_t m_dwLockCount = 0;
    uint32_t m_dwPlugCount = 0;
    std::vector<uint8_t> m_abyStaging;
    uint32_t m_dwStagingBase = 0;
    uint32_t m_dwStagedLength = 0;
    bool m_bStagingOpen = false;
    bool m_bStagingProgrammed = false;
    bool m_bCorruptNextCrc = false;
    std::vector<uint8_t> m_abyPendingTable;
    std::vector<uint8_t> m_abyMibibHeader;
    uint32_t m_dwMibibMask = 0;
    uint32_t m_dwCscSize = 0;
    uint32_t m_dwCscReserve = 0;
    uint32_t m_dwLastCrcComputed = 0;
    uint32_t m_dwLastCrcReceived = 0;
    uint64_t m_qwBytesReceived = 0;
    uint64_t m_qwDropCountdown = 0;
    // The last reply written on this plug, for a fault that repeats it.
    uint8_t m_abyLastReply[5] = {};
    bool m_bHaveLastReply = false;

    // The link, owned by the serving thread while it runs.
    int m_fdMaster = -1;
    int m_fdSlave = -1;
    std::string m_strSlave;
    bool m_bPlugged = false;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    bool m_bReboot = false;  // set by the serving thread after a lock or a drop
    std::atomic<bool> m_bStalled{false};  // a new plug reads again

    // The frame being received.
    std::vector<uint8_t> m_abyFrame;
    size_t m_nHave = 0;
    size_t m_nNeed = 12;
    bool m_bResync = false;
    uint8_t m_byResyncSeq = 0;
    uint64_t m_qwLastByteUs = 0;
    // Link pacing.
    uint64_t m_qwPaceStartUs = 0;
    double m_dPacedBytes = 0;
};

// True for the opcodes whose length field counts payload bytes that follow the header.
bool VIRTUAL_PHONE_HasPayload(uint8_t byOpcode);
