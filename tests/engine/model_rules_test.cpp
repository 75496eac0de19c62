// What the engine does with the saved selections: the forced full download after a
// re-partition, the wait after PASS, and the channels Start must leave alone.

#include <gtest/gtest.h>

#include "engine/cycle.h"
#include "engine/download_plan.h"
#include "engine/orchestration.h"
#include "engine/partition.h"
#include "station/model_ticks.h"
#include "station/station_core.h"

namespace {

void ValidImages(CVarnDLCore& core, bool bCsc, bool bHidden)
{
    core.m_bPhoneImage = core.m_bEbootImage = core.m_bPdaImage = 1;
    core.m_bCscImage = bCsc;
    core.m_bHiddenImage = bHidden;
    core.m_bHiddenAllowed = 1;
}

}  // namespace

TEST(ModelTicks, ForcedFullDownloadTicksEveryRegionAndClearsCompactModelsCscAndHidden)
{
    for (int nModel : {0, 4}) {
        SCOPED_TRACE(nModel);
        CVarnDLCore core;
        core.m_nModel = nModel;
        ValidImages(core, true, false);
        for (int m = 0; m < MODEL_COUNT; ++m) {
            core.m_aModelTicks[m].dwCarrier = core.m_aModelTicks[m].dwHidden = 1;
            core.m_aModelTicks[m].dwEfs = 1;
        }
        const uint32_t dwVersion = core.m_dwTicksVersion;
        MODEL_TICKS_ForceFullDownload(core);

        const MODEL_TICKS& r = core.m_aModelTicks[nModel];
        EXPECT_EQ(r.dwPBoot + r.dwPhone + r.dwEboot + r.dwPda, 4u);
        EXPECT_EQ(r.dwEfs, 1u);  // the EFS2 erase is never forced
        // CSC follows the CSC image, Hidden the (missing) Hidden image; models 0 and 1 lose both.
        EXPECT_EQ(r.dwCarrier, nModel == 0 ? 0u : 1u);
        EXPECT_EQ(r.dwHidden, 0u);
        EXPECT_EQ(core.m_aModelTicks[1].dwCarrier + core.m_aModelTicks[1].dwHidden, 0u);
        EXPECT_EQ(core.m_aModelTicks[3].dwCarrier + core.m_aModelTicks[3].dwHidden, 2u);
        // The boxes now show the forced selection, and the dialog is told to refresh.
        const DOWNLOAD_TICKS t = MODEL_TICKS_Current(core);
        EXPECT_TRUE(t.bPhoneBoot && t.bPhone && t.bEboot && t.bPda);
        EXPECT_EQ(t.bCsc, nModel != 0);
        EXPECT_NE(core.m_dwTicksVersion.load(), dwVersion);
    }
}

TEST(ModelTicks, RebootWaitIsTheModelsUnlessTheStationOverridesIt)
{
    CVarnDLCore core;
    const uint32_t adwExpected[MODEL_COUNT] = {120000, 120000, 120000, 120000, 240000, 160000, 120000};
    for (int m = 0; m < MODEL_COUNT; ++m) {
        core.m_nModel = m;
        EXPECT_EQ(FLASH_CYCLE_RebootWaitMs(core), adwExpected[m]) << m;
    }
    core.m_nRebootWaitSec = 0;
    EXPECT_EQ(FLASH_CYCLE_RebootWaitMs(core), 0u);
    core.m_nRebootWaitSec = 7;
    EXPECT_EQ(FLASH_CYCLE_RebootWaitMs(core), 7000u);
}

TEST(StartChannels, ChannelsStillBusyOrInTheirRebootWaitAreNotStartedAgain)
{
    CVarnDLCore core;
    ENGINE_SetDownloadPlan(nullptr);
    core.m_aChannel[0].m_nComPort = 5;
    core.m_aChannel[0].m_bRebootWait = 1;
    core.m_aChannel[0].m_bDownloadDone = 1;
    core.m_aChannel[2].m_nComPort = 6;
    core.m_aChannel[2].m_bThreadStart = 1;
    core.m_aChannel[2].m_bDownloadDone = 1;
    STATION_THREADS threads;
    STATION_LOOP_OPTIONS loop;
    loop.bEndWhenWorkersEnd = true;
    int nPasses = 0;
    loop.fnProcessEvents = [&] { ++nPasses; };
    EXPECT_EQ(STATION_StartChannels(core, threads, loop), STATION_RUN_FINISHED);

    for (int i = 0; i < MAX_CHANNEL; ++i) EXPECT_FALSE(threads.m_hThread[i].joinable()) << i;
    EXPECT_EQ(core.m_aChannel[0].m_bRun.load() + core.m_aChannel[2].m_bRun.load(), 0u);
    // Nothing was started, so the engine was not prepared either.
    EXPECT_EQ(ENGINE_GetDownloadPlan(), nullptr);
    EXPECT_GE(nPasses, 1);
}
