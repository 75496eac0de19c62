#include <gtest/gtest.h>

#include "images/model_table.h"

TEST(ModelTable, NamesWaitsAndAnnouncements)
{
    const char* aszNames[MODEL_COUNT] = {"PX-410", "PX-420", "TR-640L", "TR-640", "TR-650", "PX-900SC",
                                         "TR-640L.(CSC Support)"};
    for (int m = 0; m < MODEL_COUNT; ++m) {
        EXPECT_STREQ(g_aModelTable[m].szName, aszNames[m]);
        EXPECT_EQ(MODEL_RebootWaitMs(m), m == 4 ? 240000u : m == 5 ? 160000u : 120000u) << m;
        EXPECT_EQ(MODEL_AnnouncesCsc(m), m == 4);
        EXPECT_EQ(g_aModelTable[m].bMultiCscShown, m == 4);
        EXPECT_EQ(g_aModelTable[m].nDialogHeight, m <= 2 ? 400 : 550);
    }
    // A damaged index never reads outside the table.
    EXPECT_EQ(MODEL_RebootWaitMs(7), 120000u);
    EXPECT_FALSE(MODEL_AnnouncesCsc(-1));
}

TEST(ModelTable, TickRules)
{
    MODEL_TICKS all;
    all.dwSelectAll = all.dwPBoot = all.dwPhone = all.dwEfs = all.dwEboot = 1;
    all.dwPda = all.dwCarrier = all.dwHidden = all.dwClean = 1;

    for (int m = 0; m < MODEL_COUNT; ++m) {
        MODEL_TICKS t = all;
        MODEL_ApplyLoadRules(m, t);
        EXPECT_EQ(t.dwHidden + t.dwClean + t.dwEfs, 0u) << m;
        EXPECT_EQ(t.dwCarrier, m <= 2 ? 0u : 1u) << m;
        EXPECT_EQ(t.dwSelectAll, 1u);

        MODEL_TICKS forced = all;
        MODEL_ApplyForcedDownloadRules(m, forced);
        EXPECT_EQ(forced.dwCarrier + forced.dwHidden, m <= 1 ? 0u : 2u) << m;
        EXPECT_EQ(forced.dwPda, 1u);
    }
    MODEL_TICKS none;
    MODEL_ApplyLoadRules(5, none);
    EXPECT_EQ(none.dwPBoot + none.dwPhone + none.dwEboot + none.dwPda + none.dwCarrier, 5u);
    EXPECT_EQ(none.dwSelectAll, 0u);
}
