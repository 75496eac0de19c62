// End-to-end runs of whole stations against virtual phones: every flow in both download modes,
// the partition prompt, the CSC announcements, Multi-CSC, eight phones at once, and the faults
// that must end a channel in its documented state and never in PASS.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "engine/cycle.h"
#include "protocol/commands.h"
#include "station/model_ticks.h"
#include "support/e2e_station.h"

namespace {

// Every region of a full download, compared byte for byte with its image slice.
void ExpectAllRegionsWritten(CE2EStation& st, int i, bool bStagedMibib)
{
    for (int nRegion : {REGION_QCSBL, REGION_OEMSBL, REGION_AMSS, REGION_FOTA, REGION_APPSBL,
                        REGION_PDA, REGION_CARRIER, REGION_HIDDEN})
        EXPECT_EQ(st.CheckRegion(i, nRegion), "") << "phone " << i << " region " << nRegion;
    EXPECT_EQ(st.CheckMibib(i, bStagedMibib), "") << "phone " << i;
}

}  // namespace

TEST(StationRun, SafeDownloadWritesEveryRegionOfAFullImageSet)
{
    CE2EStation st(1);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    EXPECT_EQ(st.Run(), STATION_RUN_FINISHED);

    ASSERT_TRUE(st.Passed(0)) << st.LastBarText(0);
    ExpectAllRegionsWritten(st, 0, true);
    EXPECT_TRUE(st.Logged("[Channel 0]  Download Mode : Safe Download \r\n"));
    EXPECT_TRUE(st.Logged("[Channel 0]  Check CRC OK !\r\n"));
    // The wait after PASS is part of the reported time: 120 s for this model.
    EXPECT_GE(st.m_Clock.TotalSlept(), 120000u);
    EXPECT_EQ(st.LastBarText(0).rfind(" Download PASS. [ ", 0), 0u);
    // The phone counts its lock once the station has taken the acknowledgement.
    EXPECT_TRUE(st.Phone(0).WaitLockCount(1, 5000));
    EXPECT_EQ(st.Phone(0).MibibMask(), 0x1Fu);
}

TEST(StationRun, OlderVersionUpdateWritesEveryRegionDirectly)
{
    PHONE_CONFIG cfg;
    cfg.bSafeDownload = false;
    CE2EStation st(1, cfg);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    st.Run();

    ASSERT_TRUE(st.Passed(0)) << st.LastBarText(0);
    ExpectAllRegionsWritten(st, 0, false);
    EXPECT_TRUE(st.Logged("[Channel 0]  Download Mode : Older Version Update \r\n"));
    // Nothing is staged: no send, CRC or flash-from-memory request reaches the phone.
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_SEND_DATA), 0u);
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_CHECK_CRC), 0u);
    EXPECT_TRUE(st.Logged("[Channel 0]  Download Success!!\r\n"));  // the MIBIB part
}

TEST(StationRun, McciModeDecidesTheSequenceWrapAndBothModesWriteTheSameData)
{
    for (bool bMcci : {true, false}) {
        SCOPED_TRACE(bMcci ? "MCCI" : "older QC");
        PHONE_CONFIG cfg;
        cfg.bMcci = bMcci;
        CE2EStation st(1, cfg);
        IMAGE_SET_SIZES sizes = E2E_Sizes();
        sizes.dwAmss = 130 * 0x8000 + 0x77;  // long enough for the sequence to pass 0x7E and 112
        ASSERT_TRUE(st.BuildImages(sizes));
        MODEL_TICKS ticks;
        ticks.dwPhone = 1;
        ASSERT_TRUE(st.Load(ticks, 3).empty());
        const uint64_t qwSleptBefore = st.m_Clock.TotalSlept();
        st.Run();

        ASSERT_TRUE(st.Passed(0)) << st.LastBarText(0);
        EXPECT_EQ(st.CheckRegion(0, REGION_AMSS), "");
        EXPECT_TRUE(st.Logged(bMcci ? "[Channel 0]  USB Mode : MCCI \r\n"
                                    : "[Channel 0]  USB Mode : Older Version QC \r\n"));
        uint8_t byMaxSeq = 0;
        for (const REQUEST_RECORD& r : st.Phone(0).Requests())
            if (r.byOpcode == CMD_SEND_DATA) byMaxSeq = std::max(byMaxSeq, r.bySeq);
        EXPECT_EQ(byMaxSeq, bMcci ? 112 : 131);
        // Without MCCI the frame with sequence 0x7E costs a 500 ms pause.
        const uint64_t qwSlept = st.m_Clock.TotalSlept() - qwSleptBefore;
        EXPECT_EQ(qwSlept >= 120000 + 500 + 500, !bMcci) << qwSlept;
    }
}

TEST(StationRun, PartitionMismatchAnsweredYesRepartitionsKeepsEfsAndWritesEverything)
{
    PHONE_CONFIG cfg;
    cfg.abyPartitionTable.assign(PARTITION_TABLE_SIZE, 0x5A);  // the phone's own, different
    cfg.byPartitionNakReason = 7;                              // class 23 asks as class 2 does
    CE2EStation st(1, cfg);
    ASSERT_TRUE(st.BuildImages());
    const REGION_INFO& efs = st.m_Images.aFlash[REGION_EFS2];
    PHONE_CONFIG withEfs = cfg;
    withEfs.dwEfsStart = efs.StartAddr;
    withEfs.dwEfsLength = 0x10000;
    st.Phone(0).SetConfig(withEfs);
    const std::vector<uint8_t> abyEfs = FIXTURE_Pattern(0x10000, 99);
    st.Phone(0).PreloadFlash(efs.StartAddr, abyEfs);

    MODEL_TICKS ticks;
    ticks.dwPhone = 1;  // only "Phone": the re-partition forces every other region
    ASSERT_TRUE(st.Load(ticks, 3).empty());
    st.m_pView->m_nAnswer = IDYES;
    st.Run();

    ASSERT_TRUE(st.Passed(0)) << st.LastBarText(0);
    EXPECT_EQ(st.m_pView->m_nQuestions.load(), 1);
    ExpectAllRegionsWritten(st, 0, false);
    EXPECT_EQ(st.Phone(0).ReadFlash(efs.StartAddr, 0x10000), abyEfs);
    EXPECT_EQ(st.Phone(0).PartitionTable(),
              std::vector<uint8_t>(st.m_pCore->m_abyPartitionTable,
                                   st.m_pCore->m_abyPartitionTable + PARTITION_TABLE_SIZE));
    // Erase-then-write everywhere, so no staged request and no MIBIB download by 0xE0.
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_SEND_DATA), 0u);
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_SAFE_DOWNLOAD), 0u);
    // The saved selection of the model now ticks every region that has an image.
    const MODEL_TICKS& saved = st.m_pCore->m_aModelTicks[3];
    EXPECT_EQ(saved.dwPBoot + saved.dwPhone + saved.dwEboot + saved.dwPda + saved.dwCarrier +
                  saved.dwHidden, 6u);
    EXPECT_TRUE(st.Logged("[Channel 0]  EFS Download Success!!\r\n"));
}

TEST(StationRun, PartitionMismatchAnsweredNoStopsTheWholeStationBeforeAnyWrite)
{
    PHONE_CONFIG cfg;
    cfg.abyPartitionTable.assign(PARTITION_TABLE_SIZE, 0x5A);
    CE2EStation st(2, cfg);
    // The second phone agrees with the images but hangs in its first region until stopped.
    PHONE_CONFIG quiet;
    quiet.faults.aRules.push_back({CMD_SEND_DATA, 1, 0, FAULT_SILENCE, 0});
    st.Phone(1).SetConfig(quiet);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    st.m_pView->m_nAnswer = IDNO;
    EXPECT_EQ(st.Run(), STATION_RUN_STOPPED);

    EXPECT_FALSE(st.Passed(0));
    EXPECT_FALSE(st.Passed(1));
    EXPECT_EQ(st.LastBarText(0), "Stopped by user : check partition once again\r\n");
    EXPECT_TRUE(st.Logged("[Channel 0]  Download stopped....\r\n"));
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_ERASE_FOR_WRITE), 0u);
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_WRITE_FLASH), 0u);
    EXPECT_EQ(st.m_pView->PortTexts(0).back(), "NONE");
    EXPECT_EQ(st.m_pCore->m_aChannel[1].m_bThreadStart.load(), 0u);
}

TEST(StationRun, ModelFourAnnouncesCscSizeAndReserveAndWritesTheChosenEntryWithItsPriority)
{
    CE2EStation st(1);
    IMAGE_SET_SIZES sizes = E2E_Sizes();
    sizes.bCscSizeInPda = true;
    sizes.dwCscSizeAnnounced = 0x123456;  // not the entry's own length
    sizes.eCsc = CSC_MULTI;
    sizes.dwCscEntries = 3;
    ASSERT_TRUE(st.BuildImages(sizes));
    ASSERT_EQ(st.m_Images.astrCscNames, (std::vector<std::string>{"ZULU", "ALPHA", "MIKE"}));
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 4, "", false).empty());
    ASSERT_EQ(st.m_nEntry, 1);  // ALPHA is listed first
    st.Run();

    ASSERT_TRUE(st.Passed(0)) << st.LastBarText(0);
    EXPECT_EQ(st.Phone(0).CscSize(), 0x123456u);
    EXPECT_EQ(st.Phone(0).CscReserve(), st.m_Images.aFlash[REGION_CARRIER].EraseLength);
    EXPECT_EQ(st.CheckRegion(0, REGION_CARRIER), "");  // byte 104 is the priority, 0
    EXPECT_EQ(st.CheckRegion(0, REGION_PDA), "");
    EXPECT_GE(st.m_Clock.TotalSlept(), 240000u);
    EXPECT_TRUE(st.m_pView->Messages().empty());
}

TEST(StationRun, ReserveTooSmallSkipsOnlyTheCscAndStillPasses)
{
    PHONE_CONFIG cfg;
    cfg.dwCscReserveCapacity = 0x1000;
    CE2EStation st(1, cfg);
    IMAGE_SET_SIZES sizes = E2E_Sizes();
    sizes.eCsc = CSC_MULTI;
    sizes.dwCscEntries = 2;
    ASSERT_TRUE(st.BuildImages(sizes));
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 4, "ZULU").empty());  // entry 0, listed second
    st.Run();

    ASSERT_TRUE(st.Passed(0)) << st.LastBarText(0);
    ASSERT_EQ(st.m_pView->Messages().size(), 1u);
    EXPECT_EQ(st.m_pView->Messages()[0],
              "[Ch0] CSC Reserve size is too small. Cannot download csc image.");
    const REGION_INFO& carrier = st.m_Images.aFlash[REGION_CARRIER];
    EXPECT_EQ(st.Phone(0).ReadFlash(carrier.StartAddr, 0x100), std::vector<uint8_t>(0x100, 0xFF));
    EXPECT_EQ(st.CheckRegion(0, REGION_HIDDEN), "");  // the cycle went on after the CSC
}

TEST(StationRun, EightPhonesAtOnceAllPassWithTheirOwnCopies)
{
    CE2EStation st(8);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 6).empty());
    EXPECT_EQ(st.Run(), STATION_RUN_FINISHED);
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(st.Passed(i)) << "phone " << i << ": " << st.LastBarText(i);
        ExpectAllRegionsWritten(st, i, true);
    }
}

TEST(StationLoop, DialogLoopWatchesAFailedChannelUntilItsPhoneIsPulled)
{
    PHONE_CONFIG cfg;
    cfg.faults.bCorruptStaged = true;
    CE2EStation st(1, cfg);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    STATION_LOOP_OPTIONS loop;  // the dialog's: a failed phone keeps the loop going
    int nPassesAfterEnd = 0;
    loop.fnProcessEvents = [&] {
        if (!st.m_Threads.m_bEnded[0]) return;
        // The operator pulls the failed phone a while after its worker ended.
        if (++nPassesAfterEnd == 5) st.m_pCore->m_aChannel[0].m_nComPort = 0;
    };
    EXPECT_EQ(STATION_Start(*st.m_pCore, st.m_Threads, loop), STATION_RUN_FINISHED);
    EXPECT_GE(nPassesAfterEnd, 5);
    EXPECT_FALSE(st.Passed(0));
    EXPECT_FALSE(st.m_Threads.m_hThread[0].joinable());
}

TEST(StationLoop, CancelEndsAStuckRunWithinItsBound)
{
    PHONE_CONFIG cfg;
    cfg.faults.aRules.push_back({CMD_FLASH_UNLOCK, 1, 0, FAULT_SILENCE, 0});
    CE2EStation st(3, cfg);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 4).empty());
    STATION_LOOP_OPTIONS loop;
    bool bCancelled = false, bAllJoined = false;
    loop.fnProcessEvents = [&] {
        if (bCancelled || st.Phone(2).RequestCount() == 0) return;
        bCancelled = true;  // the operator presses Cancel while every phone is silent
        bAllJoined = STATION_Cancel(*st.m_pCore, st.m_Threads, STATION_LOOP_OPTIONS{}, 5000);
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(STATION_Start(*st.m_pCore, st.m_Threads, loop), STATION_RUN_STOPPED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(bAllJoined);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(st.Passed(i)) << i;
}

TEST(StationLoop, StartDuringARunAddsTheNewPhoneToItAndLeavesTheRunningOneUndisturbed)
{
    CE2EStation st(2);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    const uint32_t nSecondPort = st.m_pCore->m_aChannel[1].m_nComPort;
    st.m_pCore->m_aChannel[1].m_nComPort = 0;  // the second phone arrives during the run
    STATION_LOOP_OPTIONS loop;
    loop.bEndWhenWorkersEnd = true;
    STATION_RUN run;
    // Driven as the window drives it: a step now and then, a Start in between; nothing waits.
    STATION_StartRun(*st.m_pCore, st.m_Threads, run);
    int nResult = STATION_RUN_GOING, nStarts = 1;
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (nResult == STATION_RUN_GOING && std::chrono::steady_clock::now() < bound) {
        const uint64_t qwSeen = STATION_ChangeCount();
        if (nStarts == 1 && st.Phone(0).RequestCount() >= 20) {
            ++nStarts;
            st.m_pCore->m_aChannel[1].m_nComPort = nSecondPort;
            STATION_StartRun(*st.m_pCore, st.m_Threads, run);
            EXPECT_TRUE(run.bGoing);
        }
        nResult = STATION_RunStep(*st.m_pCore, st.m_Threads, run, loop);
        STATION_WaitForChange(qwSeen, 5);
    }
    STATION_JoinAll(*st.m_pCore, st.m_Threads, loop);

    EXPECT_EQ(nStarts, 2);
    EXPECT_EQ(nResult, STATION_RUN_FINISHED);  // one run, ended once both phones are done
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(st.Passed(i)) << i << ": " << st.LastBarText(i);
        ExpectAllRegionsWritten(st, i, true);
    }
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_FLASH_UNLOCK), 1u);  // started once only
}

TEST(StationRun, YesWithoutACompleteImageSetAsksForTheMissingImages)
{
    PHONE_CONFIG cfg;
    cfg.abyPartitionTable.assign(PARTITION_TABLE_SIZE, 0x5A);
    CE2EStation st(1, cfg);
    ASSERT_TRUE(st.BuildImages());
    st.m_Images.strEboot.clear();
    ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());
    st.m_pView->m_nAnswer = IDYES;
    EXPECT_EQ(st.Run(), STATION_RUN_STOPPED);

    EXPECT_FALSE(st.Passed(0));
    EXPECT_EQ(st.LastBarText(0), " Send Partition Table Fail!");
    EXPECT_TRUE(st.Logged("[Channel 0]  Please select All image and Try again\r\n"));
    EXPECT_EQ(st.m_pCore->m_strEbootPath, "Please open Eboot Image File");
    EXPECT_EQ(st.m_pCore->m_strUnifiedPath, "Please open Unified Image File");
    EXPECT_EQ(st.m_pCore->m_strPdaPath, st.m_Images.strPda);  // chosen: left alone
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_ERASE_FOR_WRITE), 0u);
    EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_EFS_BACKUP), 0u);
}
