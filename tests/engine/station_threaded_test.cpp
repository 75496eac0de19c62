// End-to-end runs of whole stations against virtual phones: every flow in both download modes,
// the partition prompt, the CSC announcements, Multi-CSC, eight phones at once, and the faults
// that must end a channel in its documented state and never in PASS.

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/cycle.h"
#include "engine/model_ticks.h"
#include "protocol/commands.h"
#include "support/e2e_station.h"

namespace {

MODEL_TICKS AllTicks()
{
    MODEL_TICKS t;
    t.dwPBoot = t.dwPhone = t.dwEboot = t.dwPda = t.dwCarrier = t.dwHidden = 1;
    return t;
}

// Every region of a full download, compared byte for byte with its image slice.
void ExpectAllRegionsWritten(CE2EStation& st, int i, bool bStagedMibib)
{
    for (int nRegion : {REGION_QCSBL, REGION_OEMSBL, REGION_AMSS, REGION_FOTA, REGION_APPSBL,
                        REGION_PDA, REGION_CARRIER, REGION_HIDDEN})
        EXPECT_EQ(st.CheckRegion(i, nRegion), "") << "phone " << i << " region " << nRegion;
    EXPECT_EQ(st.CheckMibib(i, bStagedMibib), "") << "phone " << i;
}

[[maybe_unused]] size_t CountOpcode(CVirtualPhone& phone, uint8_t byOpcode)
{
    const auto aReq = phone.Requests();
    return static_cast<size_t>(std::count_if(aReq.begin(), aReq.end(),
                                             [&](const REQUEST_RECORD& r) { return r.byOpcode == byOpcode; }));
}

}  // namespace

TEST(StationRun, SafeDownloadWritesEveryRegionOfAFullImageSet)
{
    CE2EStation st(1);
    ASSERT_TRUE(st.BuildImages());
    ASSERT_TRUE(st.Load(AllTicks(), 3).empty());
    EXPECT_EQ(st.Run(), STATION_RUN_FINISHED);

    ASSERT_TRUE(st.Passed(0)) << st.LastBarText(0);
    ExpectAllRegionsWritten(st, 0, true);
    EXPECT_TRUE(st.Logged("[Channel 0]  Download Mode : Safe Download \r\n"));
    EXPECT_TRUE(st.Logged("[Channel 0]  Check CRC OK !\r\n"));
    // The wait after PASS is part of the reported time: 120 s for this model.
    EXPECT_GE(st.m_Clock.TotalSlept(), 120000u);
    EXPECT_EQ(st.LastBarText(0).rfind(" Download PASS. [ ", 0), 0u);
    EXPECT_TRUE(st.Phone(0).Locked());
    EXPECT_EQ(st.Phone(0).MibibMask(), 0x1Fu);
}
