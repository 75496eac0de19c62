// Faults met by whole stations: each must end its channel in the documented state within a
// bounded time, and never in PASS.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "protocol/commands.h"
#include "station/model_ticks.h"
#include "support/e2e_station.h"

namespace {

constexpr auto BOUND = std::chrono::seconds(30);

PHONE_CONFIG WithRule(const PHONE_FAULT_RULE& rule)
{
    PHONE_CONFIG cfg;
    cfg.faults.aRules.push_back(rule);
    return cfg;
}

// Runs the station and checks that it came back in time; the run's result.
int RunBounded(CE2EStation& st, uint32_t dwStallTimeoutMs = 0)
{
    const auto start = std::chrono::steady_clock::now();
    const int nResult = st.Run(dwStallTimeoutMs);
    EXPECT_LT(std::chrono::steady_clock::now() - start, BOUND);
    return nResult;
}

bool IsRed(CE2EStation& st, int i)
{
    const BAR_STATE s = st.m_pCore->m_ctrlProgress[i].GetState();
    return s.byRed == 255 && s.byGreen == 0 && s.byBlue == 0;
}

}  // namespace

TEST(StationFaults, RefusedUnlockFailsTheChannelAndStopsEveryOther)
{
    PHONE_CONFIG refusing;
    refusing.faults.bRefuseUnlock = true;
    CE2EStation st(2, refusing);
    // The other phone hangs in its first staged frame until the station stops it.
    st.Phone(1).SetConfig(WithRule(FIXTURE_Rule(CMD_SEND_DATA, 1, FAULT_SILENCE, 0)));
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    EXPECT_EQ(RunBounded(st), STATION_RUN_STOPPED);

    EXPECT_FALSE(st.Passed(0));
    EXPECT_FALSE(st.Passed(1));
    EXPECT_EQ(st.LastBarText(0), " FLASH UNLOCK Fail !!!");
    EXPECT_TRUE(IsRed(st, 0));
    EXPECT_TRUE(st.Logged("[Channel 0]  FLASH UNLOCK Fail !!!\r\n"));
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_PARTITION_TABLE), 0u);
    EXPECT_EQ(st.m_pView->PortTexts(0).back(), "NONE");
    EXPECT_EQ(st.m_pView->PortTexts(1).back(), "NONE");
}

TEST(StationFaults, SilentPhoneWaitsUntilTheRunFlagIsCleared)
{
    CE2EStation st(1, WithRule(FIXTURE_Rule(CMD_FLASH_UNLOCK, 1, FAULT_SILENCE, 0)));
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    st.StopAllAfter(0, 1);
    RunBounded(st);

    // Stopped, not failed: the bar keeps the step it was in.
    EXPECT_FALSE(st.Passed(0));
    EXPECT_EQ(OUTCOME_Get(*st.m_pCore, 0).eKind, OUTCOME_STOPPED);
    EXPECT_EQ(st.LastBarText(0), "   FLASH UNLOCK");
    EXPECT_EQ(st.m_pCore->m_aChannel[0].m_bThreadStart.load(), 0u);
}

TEST(StationFaults, NakStormIsRiddenOutByResendsAndTheDataArriveIntact)
{
    CE2EStation st(1, WithRule(FIXTURE_Rule(CMD_WRITE_FLASH, 2, FAULT_NAK, 40)));
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    RunBounded(st);

    ASSERT_TRUE(st.Passed(0)) << st.LastBarText(0);
    EXPECT_EQ(st.CheckRegion(0, REGION_FOTA), "");
    EXPECT_EQ(st.CheckRegion(0, REGION_PDA), "");
}

TEST(StationFaults, EndlessNakStormEndsWhenTheStationIsStoppedAndNeverPasses)
{
    CE2EStation st(1, WithRule(FIXTURE_Rule(CMD_WRITE_FLASH, 1, FAULT_NAK, 0)));
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    st.StopAllAfter(0, 300);
    RunBounded(st);

    EXPECT_FALSE(st.Passed(0));
    EXPECT_EQ(st.m_pCore->m_aChannel[0].m_bDownloadDone.load(), 0u);
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_FLASH_LOCK), 0u);
    // A stopped region is not claimed as written.
    EXPECT_FALSE(st.Logged("[Channel 0]  FOTA Download Success!!\r\n"));
    EXPECT_EQ(st.m_pView->PortTexts(0).back(), "NONE");
}

TEST(StationFaults, ABoundedRunStopsAPhoneThatAcknowledgesNothingForTheStallTime)
{
    constexpr uint32_t STALL_MS = 120000;
    CE2EStation st(1, WithRule(FIXTURE_Rule(CMD_SEND_DATA, 2, FAULT_NAK, 0)));
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    // The phone refuses the same chunk again and again; the time passes only once it has.
    std::thread clock([&st] {
        if (st.Phone(0).WaitRequestCount(30, 60000)) st.m_Clock.Advance(STALL_MS);
    });
    RunBounded(st, STALL_MS);
    clock.join();

    EXPECT_FALSE(st.Passed(0));
    EXPECT_EQ(st.m_pCore->m_aChannel[0].m_bStalled.load(), 1u);
    EXPECT_EQ(st.LastBarText(0), " Phone Stopped Answering!");
    EXPECT_TRUE(IsRed(st, 0));
    unsigned nSeconds = 0, nResends = 0;
    for (const std::string& strLine : st.m_pView->LogLines())
        std::sscanf(strLine.c_str(),
                    "[Channel 0]  The phone stopped answering: nothing acknowledged for %u s, %u resends",
                    &nSeconds, &nResends);
    EXPECT_EQ(nSeconds, STALL_MS / 1000);
    EXPECT_GE(nResends, 24u);  // every sending of the refused chunk but its first, up to the 30th request
    // Nothing but the refused chunk after the first refusal.
    const std::vector<REQUEST_RECORD> aReq = st.Phone(0).Requests();
    const auto itFirst = std::find_if(aReq.begin(), aReq.end(),
                                      [](const REQUEST_RECORD& r) { return r.eReply == REPLIED_NAK; });
    ASSERT_NE(itFirst, aReq.end());
    for (auto it = itFirst; it != aReq.end(); ++it) EXPECT_EQ(it->dwParam, itFirst->dwParam);
}

TEST(StationFaults, TimeTheStationWasAwayIsNoStall)
{
    constexpr uint32_t STALL_MS = 120000;
    PHONE_FAULT_RULE hold = FIXTURE_Rule(CMD_SEND_DATA, 2, FAULT_HOLD);
    hold.dwHoldMs = 300;
    CE2EStation st(1, WithRule(hold));
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    // The station's own real time is its clock: a jump of it is the process stopped (SIGSTOP, a
    // debugger) while the phone holds its answer, which it gives once the station is back.
    st.m_fnWallMs = [&st] { return st.m_Clock.Now(); };
    std::thread away([&st] {
        if (st.Phone(0).WaitRequestCount(5, 60000)) st.m_Clock.Advance(3 * STALL_MS);
    });
    RunBounded(st, STALL_MS);
    away.join();
    EXPECT_TRUE(st.Passed(0));
    EXPECT_EQ(st.m_pCore->m_aChannel[0].m_bStalled.load(), 0u);
}

TEST(StationFaults, AStopBetweenAStagedEraseAndItsProgrammingWaitsForTheProgramming)
{
    // Another phone failing (stop-all) while QCSBL's range is erased; then the same with the
    // programming refused, which leaves QCSBL erased and says so.
    for (const bool bRefused : {false, true}) {
        SCOPED_TRACE(bRefused ? "programming refused" : "programming answered");
        PHONE_CONFIG cfg;
        PHONE_FAULT_RULE hold = FIXTURE_Rule(CMD_ERASE_FOR_FLASH, 1, FAULT_HOLD);
        // Long enough for the stop to reach the parked channel on a loaded machine.
        hold.dwHoldMs = 1500;
        cfg.faults.aRules.push_back(hold);
        if (bRefused) cfg.faults.aRules.push_back(FIXTURE_Rule(CMD_FLASH_DATA, 1, FAULT_NAK));
        CE2EStation st(1, cfg);
        ASSERT_TRUE(st.BuildImages());
        ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
        std::thread other([&st] {
            while (FIXTURE_Count(st.Phone(0), CMD_ERASE_FOR_FLASH) == 0 && st.Phone(0).IsPlugged())
                st.Phone(0).WaitRequestCount(st.Phone(0).RequestCount() + 1, 1000);
            st.m_pCore->m_bStopAll = 1;
            STATION_NotifyChange();
        });
        RunBounded(st);
        other.join();

        EXPECT_FALSE(st.Passed(0));
        const std::vector<REQUEST_RECORD> aReq = st.Phone(0).Requests();
        ASSERT_FALSE(aReq.empty());
        EXPECT_EQ(aReq.back().byOpcode, CMD_FLASH_DATA) << "nothing but the programming after the erase";
        EXPECT_EQ(st.CheckRegion(0, REGION_QCSBL).empty(), !bRefused) << st.CheckRegion(0, REGION_QCSBL);
        if (bRefused) {
            EXPECT_EQ(st.LastBarText(0), " QCSBL ERASED! Flash the phone again");
        } else {
            EXPECT_TRUE(st.Logged("[Channel 0]  QCSBL restored from the phone's memory before the stop\r\n"));
        }
    }
}

TEST(StationFaults, TheRebootWaitAfterTheLockIsNoStall)
{
    CE2EStation st(1);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    RunBounded(st, 1000);  // model 3 waits 120 s for the reboot
    EXPECT_TRUE(st.Passed(0));
    EXPECT_EQ(st.m_pCore->m_aChannel[0].m_bStalled.load(), 0u);
    EXPECT_GE(st.m_Clock.TotalSlept(), 120000u);
    // The bar counted the wait down behind the reboot text, once, and the pass ended the count.
    std::vector<std::string> astrWaits;
    for (const BAR_EVENT& e : st.m_pView->BarEvents())
        if (e.state.dwWaitMs != 0) astrWaits.push_back(e.state.strText + " " + std::to_string(e.state.dwWaitMs));
    EXPECT_EQ(astrWaits, std::vector<std::string>{"   Varn Reboot 120000"});
    EXPECT_EQ(st.m_pCore->m_ctrlProgress[0].GetState().dwWaitMs, 0u);
}

TEST(StationFaults, CrcMismatchLeavesTheFlashRangeUntouched)
{
    PHONE_CONFIG cfg;
    cfg.faults.bCorruptStaged = true;
    CE2EStation st(1, cfg);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    RunBounded(st);

    EXPECT_FALSE(st.Passed(0));
    EXPECT_TRUE(st.Logged("[Channel 0]  Check CRC QCSBL Data Fail\r\n"));
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_ERASE_FOR_FLASH), 0u);
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_FLASH_DATA), 0u);
    EXPECT_EQ(st.LastBarText(0), " QCSBL CRC CHECK Failed!");
    EXPECT_EQ(st.m_pCore->m_aChannel[0].m_bDownloadDone.load(), 0u);
}

TEST(StationFaults, LinkDroppedMidRegionFailsTheChannel)
{
    PHONE_CONFIG cfg;
    cfg.faults.qwDropAfterBytes = 0x30000;
    CE2EStation st(1, cfg);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    RunBounded(st);

    EXPECT_FALSE(st.Passed(0));
    EXPECT_EQ(st.m_pCore->m_aChannel[0].m_bDownloadDone.load(), 0u);
    EXPECT_EQ(st.m_pView->PortTexts(0).back(), "NONE");
}

TEST(StationFaults, UnacknowledgedLockFailsWithoutTheRebootWait)
{
    CE2EStation st(1, WithRule(FIXTURE_Rule(CMD_FLASH_LOCK, 1, FAULT_NAK)));
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    RunBounded(st);

    EXPECT_FALSE(st.Passed(0));
    EXPECT_EQ(st.LastBarText(0), " FLASH LOCK Fail !!!");
    EXPECT_TRUE(IsRed(st, 0));
    EXPECT_EQ(st.m_pCore->m_aChannel[0].m_bDownloadDone.load(), 0u);
    EXPECT_LT(st.m_Clock.TotalSlept(), 120000u);
}

TEST(StationFaults, AfterARepartitionTheFirstFailedRegionEndsTheRegionPhase)
{
    PHONE_CONFIG cfg;
    cfg.abyPartitionTable.assign(PARTITION_TABLE_SIZE, 0x5A);
    // Erases: PDA, phone, the areas behind APPSBL, MIBIB, QCSBL, then OEMSBL's is refused.
    cfg.faults.aRules.push_back(FIXTURE_Rule(CMD_ERASE_FOR_WRITE, 6, FAULT_NAK));
    CE2EStation st(1, cfg);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    st.m_pView->m_nAnswer = IDYES;
    RunBounded(st);

    EXPECT_FALSE(st.Passed(0));
    EXPECT_EQ(st.LastBarText(0), " OEMSBL ERASE FLASH Failed!");
    EXPECT_TRUE(st.Logged("[Channel 0]  Erase OEMSBL Region Fail!!!\r\n"));
    // Nothing after OEMSBL ran: no further erase, no AMSS data, no lock.
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_ERASE_FOR_WRITE), 6u);
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_WRITE_FLASH, AmssDownloading), 0u);
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_FLASH_LOCK), 0u);
}

// Start refuses such a region (its sentence is the only refusal); should it reach a flow all the
// same, as an unticked region does that a re-partition forces, the flow refuses it again.
TEST(StationFaults, RegionBeyondItsImageFileFailsWithItsOwnTextBeforeAnythingIsSent)
{
    for (bool bSafe : {true, false}) {
        SCOPED_TRACE(bSafe ? "Safe Download" : "Older Version Update");
        PHONE_CONFIG cfg;
        cfg.bSafeDownload = bSafe;
        CE2EStation st(1, cfg);
        ASSERT_TRUE(st.BuildImages());
        // The Phone descriptor says AMSS runs past the end of the file.
        std::fstream phone(st.m_Images.strPhone, std::ios::binary | std::ios::in | std::ios::out);
        phone.seekg(0, std::ios::end);
        const uint32_t dwLength = static_cast<uint32_t>(phone.tellg());
        phone.seekp(dwLength - TRAILER_NEW_SIZE + 12 + 16 * REGION_AMSS + 8);
        phone.write(reinterpret_cast<const char*>(&dwLength), 4);
        phone.close();
        ASSERT_TRUE(phone.good());
        const std::vector<std::string> astrRefused = st.Load(FIXTURE_AllTicks(), 3);
        ASSERT_EQ(astrRefused.size(), 1u);
        EXPECT_EQ(astrRefused[0].rfind("AMSS lies beyond the end of its image file: ", 0), 0u);
        RunBounded(st);

        EXPECT_FALSE(st.Passed(0));
        if (bSafe) {
            EXPECT_EQ(st.LastBarText(0), " AMSS Sending Partition Failed!");
            EXPECT_TRUE(st.Logged("[Channel 0]  Sending partition AMSS Data Fail!!!\r\n"));
            EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_SEND_DATA, AmssDownloading), 0u);
        } else {
            EXPECT_EQ(st.LastBarText(0), " AMSS WRITE FLASH Failed!");
            EXPECT_TRUE(st.Logged("[Channel 0]  Write AMSS Data Fail!!!\r\n"));
            EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_WRITE_FLASH, AmssDownloading), 0u);
        }
        // The AMSS range was never erased.
        EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_ERASE_FOR_WRITE, AmssDownloading), 0u);
        EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_ERASE_FOR_FLASH, AmssDownloading), 0u);
    }
}

TEST(StationFaults, RefusedMibibHeaderIsResentOnlyUntilTheStationStops)
{
    CE2EStation st(1, WithRule(FIXTURE_Rule(CMD_MIBIB_HEADER, 1, FAULT_NAK, 0)));
    ASSERT_TRUE(st.BuildImages());
    MODEL_TICKS ticks;
    ticks.dwPhone = 1;
    ASSERT_TRUE(st.Load(ticks, 3).empty());
    st.StopAllAfter(0, 40);
    RunBounded(st);

    EXPECT_FALSE(st.Passed(0));
    EXPECT_GE(FIXTURE_Count(st.Phone(0), CMD_MIBIB_HEADER), 30u);
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_SEND_DATA, AmssDownloading), 0u);
    EXPECT_FALSE(st.Logged("[Channel 0]  Send MIBIB Header Data Success!!!\r\n"));
}

TEST(StationFaults, CancelWhileTheLoopIsStoppingAWorkerEndsTheRunCleanly)
{
    PHONE_CONFIG refusing;
    refusing.faults.bRefuseUnlock = true;
    CE2EStation st(2, refusing);
    // The second phone hangs in its first staged frame, so the stop-all has a worker to join.
    st.Phone(1).SetConfig(WithRule(FIXTURE_Rule(CMD_SEND_DATA, 1, FAULT_SILENCE, 0)));
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    STATION_LOOP_OPTIONS loop;
    bool bCancelled = false;
    loop.fnProcessEvents = [&] {
        // The operator presses Cancel while the loop waits for the stopped worker to end.
        if (bCancelled || st.m_pCore->m_aChannel[1].m_bRun != 0 || !st.m_Threads.m_hThread[1].joinable() ||
            st.m_Threads.m_bEnded[1])
            return;
        bCancelled = true;
        STATION_Cancel(*st.m_pCore, st.m_Threads, STATION_LOOP_OPTIONS{}, 5000);
    };
    EXPECT_EQ(STATION_Start(*st.m_pCore, st.m_Threads, loop), STATION_RUN_STOPPED);
    EXPECT_TRUE(bCancelled);
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(st.m_Threads.m_hThread[i].joinable()) << i;
        EXPECT_FALSE(st.Passed(i)) << i;
    }
}
