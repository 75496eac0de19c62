// The saved selections per model and the boxes they put on the dialog.

#include <gtest/gtest.h>

#include "station/model_ticks.h"
#include "station/station_core.h"

TEST(ModelTicks, StoredTicksNeedTheirImagesAndAValidPhoneImage)
{
    CVarnDLCore core;
    core.m_nModel = 3;
    MODEL_TICKS& r = core.m_aModelTicks[3];
    r.dwPBoot = r.dwPhone = r.dwEfs = r.dwEboot = r.dwPda = r.dwCarrier = r.dwHidden = 1;

    DOWNLOAD_TICKS t = MODEL_TICKS_Stored(core);  // no Phone image: nothing ticked
    EXPECT_FALSE(t.bPhoneBoot || t.bPhone || t.bEfsClear || t.bEboot || t.bPda || t.bCsc || t.bHidden);

    core.m_bPhoneImage = 1;
    core.m_bPdaImage = 1;
    core.m_bHiddenImage = 1;
    core.m_bHiddenAllowed = 0;  // an old-format Phone descriptor has no Hidden region
    t = MODEL_TICKS_Stored(core);
    EXPECT_TRUE(t.bPhoneBoot && t.bPhone && t.bEfsClear && t.bPda);
    EXPECT_FALSE(t.bEboot);
    EXPECT_FALSE(t.bCsc);
    EXPECT_FALSE(t.bHidden);
    core.m_bHiddenAllowed = 1;
    EXPECT_TRUE(MODEL_TICKS_Stored(core).bHidden);
}
