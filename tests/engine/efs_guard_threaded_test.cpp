// Re-partitions met by a stop while the phone's EFS2 is parked in its PDA area: whatever stops
// the station then, the phone must get its EFS2 back before the channel ends, and a silent phone
// must not keep Cancel from closing the program.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "link/serial_device.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "station/model_ticks.h"
#include "support/e2e_station.h"

namespace {

constexpr uint32_t EFS_LENGTH = 0x10000;
constexpr const char* DEFERRED_LINE = "[Channel 0]  Stop deferred: restoring EFS data first\r\n";

// The operator's warning when a write-back went unanswered; the PDA area starts at dwPdaStart.
std::string NotRestoredLine(uint32_t dwPdaStart)
{
    char sz[256];
    std::snprintf(sz, sizeof(sz),
                  "[Channel 0]  EFS data NOT restored: the phone's EFS2 may be held only in its PDA "
                  "area at 0x%X. Keep the phone aside: any new download erases that area first.\r\n",
                  dwPdaStart);
    return sz;
}

bool IsPhoneErase(const REQUEST_RECORD& r, uint32_t dwPdaStart)
{
    return r.byOpcode == CMD_ERASE_FOR_WRITE && r.dwParam == 0 && r.dwLength == dwPdaStart;
}

// Holds replies back from the workers so that a stop lands at a chosen point. Channel 1's unlock
// reply waits until phone 0 has received the phone erase, so channel 1 fails (and raises
// stop-all) only once channel 0 is parked; with bHoldErase, channel 0 then reads the erase reply
// only once the console has either cleared its run flag or deferred the stop.
struct GATE {
    CE2EStation* pSt = nullptr;
    uint32_t dwPdaStart = 0;
    bool bHoldErase = true;
    std::atomic<bool> bUnlockReleased{false};
};

int ReadReply(int nCh, bool bAnySeq)
{
    uint8_t* pbyReply = g_aProtocol[nCh].g_abyReply;
    std::memset(pbyReply, 0, SERIAL_REPLY_BUFFER_SIZE);
    const int nCount =
        SERIAL_DEVICE_Read(nCh, g_aSerial[nCh].g_hComPort.load(), pbyReply, 0, SERIAL_REPLY_BUFFER_SIZE);
    if (nCount <= 0) return REPLY_NONE;
    return FLASH_DOWNLOADER_ClassifyReply(nCh, pbyReply, bAnySeq);
}

// The request the worker of channel nCh sent last (called on that worker's own thread).
const uint8_t* LastPacket(GATE& g, int nCh)
{
    const CBufObj* pBuf = g.pSt->m_Threads.m_aParam[nCh].pnBufObj;
    return pBuf ? pBuf->m_pPacket : nullptr;
}

// Waits (real time, bounded) until the phone has received a request that fits.
template <typename PRED>
bool WaitForRequest(CVirtualPhone& phone, PRED fnFits)
{
    for (size_t n = 1; phone.WaitRequestCount(n, 30000); ++n) {
        if (fnFits(phone.Requests()[n - 1])) return true;
    }
    return false;
}

int GatedReceive(int nCh, bool bAnySeq, void* pContext)
{
    GATE& g = *static_cast<GATE*>(pContext);
    const uint8_t* pbyPacket = LastPacket(g, nCh);
    if (nCh == 1 && pbyPacket && pbyPacket[1] == CMD_FLASH_UNLOCK && !g.bUnlockReleased) {
        WaitForRequest(g.pSt->Phone(0),
                       [&](const REQUEST_RECORD& r) { return IsPhoneErase(r, g.dwPdaStart); });
        g.bUnlockReleased = true;
    }
    uint32_t dwParam = 1;
    uint32_t dwLength = 0;
    if (pbyPacket) {
        std::memcpy(&dwParam, pbyPacket + 4, 4);
        std::memcpy(&dwLength, pbyPacket + 8, 4);
    }
    if (nCh == 0 && g.bHoldErase && pbyPacket && pbyPacket[1] == CMD_ERASE_FOR_WRITE &&
        dwParam == 0 && dwLength == g.dwPdaStart) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!g.pSt->Logged(DEFERRED_LINE) && std::chrono::steady_clock::now() < deadline) {
            // Stopped before the reply came: the wait ends without it.
            if (!g.pSt->m_pCore->m_aChannel[0].m_bRun) return REPLY_NONE;
            std::this_thread::yield();
        }
    }
    return ReadReply(nCh, bAnySeq);
}

class CReceiveGate {
public:
    explicit CReceiveGate(GATE& g) { FLASH_DOWNLOADER_SetReceiveSeam(GatedReceive, &g); }
    ~CReceiveGate() { FLASH_DOWNLOADER_SetReceiveSeam(nullptr, nullptr); }
};

// Phone 0 holds a partition table unlike the images' and an EFS2 of its own, and the operator
// answers Yes; phone 1, when there is one, refuses the unlock.
class EfsGuard : public ::testing::Test {
protected:
    void Prepare(int nPhones, const std::vector<PHONE_FAULT_RULE>& aRules = {})
    {
        PHONE_CONFIG cfg;
        cfg.abyPartitionTable.assign(PARTITION_TABLE_SIZE, 0x5A);
        m_pSt = std::make_unique<CE2EStation>(nPhones, cfg);
        ASSERT_TRUE(m_pSt->BuildImages());
        const REGION_INFO& efs = m_pSt->m_Images.aFlash[REGION_EFS2];
        m_dwEfsStart = efs.StartAddr;
        cfg.dwEfsStart = efs.StartAddr;
        cfg.dwEfsLength = EFS_LENGTH;
        cfg.faults.aRules = aRules;
        m_pSt->Phone(0).SetConfig(cfg);
        m_abyEfs = FIXTURE_Pattern(EFS_LENGTH, 77);
        m_pSt->Phone(0).PreloadFlash(efs.StartAddr, m_abyEfs);
        if (nPhones > 1) {
            PHONE_CONFIG refusing;
            refusing.faults.bRefuseUnlock = true;
            m_pSt->Phone(1).SetConfig(refusing);
        }
        ASSERT_TRUE(m_pSt->Load(FIXTURE_AllTicks(), 3).empty());
        m_pSt->m_pView->m_nAnswer = IDYES;
        m_Gate.pSt = m_pSt.get();
        m_Gate.bHoldErase = true;
        m_Gate.bUnlockReleased = false;
        m_Gate.dwPdaStart = m_pSt->m_Images.aFlash[REGION_PDA].StartAddr;
    }

    bool EfsIntact() { return m_pSt->Phone(0).ReadFlash(m_dwEfsStart, EFS_LENGTH) == m_abyEfs; }

    std::unique_ptr<CE2EStation> m_pSt;
    std::vector<uint8_t> m_abyEfs;
    uint32_t m_dwEfsStart = 0;
    GATE m_Gate;
};

}  // namespace

TEST_F(EfsGuard, StopAllWhileParkedWaitsForTheWriteBackThenStopsBeforeAnythingElse)
{
    Prepare(2);
    ASSERT_FALSE(HasFatalFailure());
    CE2EStation& st = *m_pSt;
    {
        CReceiveGate gate(m_Gate);
        EXPECT_EQ(st.Run(), STATION_RUN_STOPPED);
    }

    EXPECT_EQ(st.LastBarText(1), " FLASH UNLOCK Fail !!!");
    EXPECT_TRUE(st.Logged(DEFERRED_LINE));
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_EFS_RESTORE), 1u);
    EXPECT_TRUE(EfsIntact());
    // Stopped right after the write-back: no erase of the PDA area, no region, never PASS.
    const auto aReq = st.Phone(0).Requests();
    ASSERT_FALSE(aReq.empty());
    EXPECT_EQ(aReq.back().byOpcode, CMD_EFS_RESTORE);
    // Stopped by channel 1's failure, not failed of its own: the bar keeps its last step.
    EXPECT_FALSE(st.Passed(0));
    const CHANNEL_OUTCOME outcome = OUTCOME_Get(*st.m_pCore, 0);
    EXPECT_EQ(outcome.eKind, OUTCOME_STOPPED) << outcome.strText << " in " << outcome.strStep;
    EXPECT_EQ(OUTCOME_StopText(outcome.stop), "channel 1 failed before its regions");
    EXPECT_EQ(st.LastBarText(0), "   Write EFS Data!!");
    EXPECT_EQ(st.m_pCore->m_aChannel[0].m_dwParked.load(), PARKED_NONE);
    EXPECT_EQ(st.m_pCore->m_bStopAll.load(), 0u);
}

TEST_F(EfsGuard, WithoutAStopTheRepartitionRunsInItsOwnOrderAndPasses)
{
    Prepare(1);
    ASSERT_FALSE(HasFatalFailure());
    CE2EStation& st = *m_pSt;
    st.Run();

    ASSERT_TRUE(st.Passed(0)) << st.LastBarText(0);
    EXPECT_TRUE(EfsIntact());
    EXPECT_FALSE(st.Logged(DEFERRED_LINE));
    EXPECT_EQ(st.m_pCore->m_aChannel[0].m_dwParked.load(), PARKED_NONE);
    // PDA erase, backup, phone erase, restore, erase behind APPSBL, in that order; the region
    // steps' own erases follow.
    std::vector<uint8_t> abyOrder;
    for (const REQUEST_RECORD& r : st.Phone(0).Requests()) {
        if (r.byOpcode == CMD_EFS_BACKUP || r.byOpcode == CMD_EFS_RESTORE ||
            r.byOpcode == CMD_ERASE_FOR_WRITE)
            abyOrder.push_back(r.byOpcode);
    }
    ASSERT_GE(abyOrder.size(), 5u);
    abyOrder.resize(5);
    EXPECT_EQ(abyOrder, (std::vector<uint8_t>{CMD_ERASE_FOR_WRITE, CMD_EFS_BACKUP,
                                              CMD_ERASE_FOR_WRITE, CMD_EFS_RESTORE,
                                              CMD_ERASE_FOR_WRITE}));
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_EFS_RESTORE), 1u);
}

TEST_F(EfsGuard, PhoneEraseNotAcknowledgedStillBringsEfsBack)
{
    // Erases: the PDA area first, then the phone erase, which the phone either refuses (nothing
    // erased) or carries out and answers with a wrong sequence byte.
    for (PHONE_FAULT_ACTION eAction : {FAULT_NAK, FAULT_WRONG_SEQ}) {
        SCOPED_TRACE(eAction == FAULT_NAK ? "refused" : "done, answered wrongly");
        PHONE_FAULT_RULE rule;
        rule.nOpcode = CMD_ERASE_FOR_WRITE;
        rule.dwNth = 2;
        rule.eAction = eAction;
        Prepare(1, {rule});
        ASSERT_FALSE(HasFatalFailure());
        CE2EStation& st = *m_pSt;
        EXPECT_EQ(st.Run(), STATION_RUN_STOPPED);

        EXPECT_FALSE(st.Passed(0));
        EXPECT_EQ(st.LastBarText(0), " Send Partition Table Fail!");
        EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_EFS_RESTORE), 1u);
        EXPECT_EQ(st.Phone(0).Requests().back().byOpcode, CMD_EFS_RESTORE);
        EXPECT_TRUE(EfsIntact());
        EXPECT_EQ(st.m_pCore->m_aChannel[0].m_dwParked.load(), PARKED_NONE);
        m_pSt.reset();
    }
}

// What ends the wait for a silent phone whose EFS2 is parked.
enum PARKED_END { END_CANCEL, END_PULLED, END_BOUND, END_GIVE_UP };

TEST_F(EfsGuard, SilentPhoneWhileParkedIsWaitedForUntilCancelUnplugOrTheBound)
{
    const char* const aszEnd[] = {"Cancel", "phone pulled", "the stop's own bound", "given up"};
    for (PARKED_END eEnd : {END_CANCEL, END_PULLED, END_BOUND, END_GIVE_UP}) {
        SCOPED_TRACE(aszEnd[eEnd]);
        // The phone erases but never answers, nor the write-back it carries out; channel 1 fails
        // once channel 0 is parked.
        PHONE_FAULT_RULE rule;
        rule.nOpcode = CMD_ERASE_FOR_WRITE;
        rule.dwNth = 2;
        rule.eAction = FAULT_SILENCE;
        PHONE_FAULT_RULE restore = rule;
        restore.nOpcode = CMD_EFS_RESTORE;
        restore.dwNth = 1;
        Prepare(2, {rule, restore});
        ASSERT_FALSE(HasFatalFailure());
        CE2EStation& st = *m_pSt;
        m_Gate.bHoldErase = false;
        auto pGate = std::make_unique<CReceiveGate>(m_Gate);

        STATION_LOOP_OPTIONS loop;
        loop.dwPollMs = 20;
        // The headless station's bound; the dialog has none and waits for its operator.
        if (eEnd == END_BOUND) loop.dwParkedBoundMs = 200;
        bool bActed = false;
        bool bCancelJoinedAll = false;
        loop.fnProcessEvents = [&] {
            if (bActed || !st.Logged(DEFERRED_LINE)) return;
            // The deferred stop has not touched the silent channel.
            EXPECT_EQ(st.m_pCore->m_aChannel[0].m_bRun.load(), 1u);
            bActed = true;
            if (eEnd == END_CANCEL) {
                bCancelJoinedAll =
                    STATION_Cancel(*st.m_pCore, st.m_Threads, STATION_LOOP_OPTIONS{}, 5000, 200);
            } else if (eEnd == END_PULLED) {
                st.Phone(0).Unplug();
            } else if (eEnd == END_GIVE_UP) {
                EXPECT_TRUE(STATION_GiveUpParked(*st.m_pCore, st.m_Threads));
            }
        };
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(STATION_Start(*st.m_pCore, st.m_Threads, loop), STATION_RUN_STOPPED);
        STATION_JoinAll(*st.m_pCore, st.m_Threads, loop);
        pGate.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));

        EXPECT_TRUE(bActed);
        EXPECT_FALSE(st.Passed(0));
        EXPECT_FALSE(st.m_Threads.m_hThread[0].joinable());
        EXPECT_EQ(st.m_pCore->m_aChannel[0].m_dwParked.load(), PARKED_NONE);
        EXPECT_EQ(bCancelJoinedAll, eEnd == END_CANCEL);
        if (eEnd != END_PULLED) {
            // Once the wait was given up, the write-back was still sent (its reply was no longer
            // waited for): the phone had erased. The operator is told where EFS2 may be held.
            EXPECT_TRUE(WaitForRequest(
                st.Phone(0), [](const REQUEST_RECORD& r) { return r.byOpcode == CMD_EFS_RESTORE; }));
            EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_EFS_RESTORE), 1u);
            EXPECT_TRUE(EfsIntact());
            EXPECT_TRUE(st.Logged(NotRestoredLine(m_Gate.dwPdaStart)));
        }
        m_pSt.reset();
    }
}
