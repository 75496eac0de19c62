// The download plan: the selection computed at Start, the header blocks and the plan that
// running workers keep while a later Start prepares a new one.
#include "engine/download_plan.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "station/station_core.h"

namespace {

TEST(Selection, TicksGiveRegionsAndMibibMask)
{
    DOWNLOAD_TICKS ticks;
    DOWN_SEL sel = ENGINE_ComputeSelection(ticks);
    EXPECT_EQ(sel.byMibibMask, 0);
    EXPECT_FALSE(sel.bQcsbl || sel.bAmss || sel.bPda || sel.bCsc || sel.bEfs2);

    ticks.bPhoneBoot = ticks.bPhone = ticks.bEboot = true;
    sel = ENGINE_ComputeSelection(ticks);
    EXPECT_EQ(sel.byMibibMask, 0x1F);
    EXPECT_TRUE(sel.bQcsbl && sel.bOemsbl && sel.bFota && sel.bAmss && sel.bAppsbl);
    EXPECT_FALSE(sel.bPda || sel.bEfs2);

    // Without Phone Boot neither the QCSBL bit nor the header bit 0x10 is set.
    ticks.bPhoneBoot = false;
    ticks.bPda = ticks.bCsc = ticks.bEfsClear = true;
    sel = ENGINE_ComputeSelection(ticks);
    EXPECT_EQ(sel.byMibibMask, 0x0E);
    EXPECT_FALSE(sel.bQcsbl || sel.bOemsbl || sel.bFota);
    EXPECT_TRUE(sel.bPda && sel.bCsc && sel.bEfs2);
}

class HeaderBlocks : public ::testing::Test {
protected:
    void SetUp() override
    {
        char szTemplate[] = "/tmp/quillon-hdr-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        strDir = szTemplate;
    }
    void TearDown() override { std::system(("rm -rf " + strDir).c_str()); }

    // A file whose every byte tells its offset's block (offset / 512) in its low bits.
    std::string MakeFile(const std::string& strName, size_t nSize, uint8_t bySalt)
    {
        std::vector<uint8_t> data(nSize);
        for (size_t i = 0; i < nSize; ++i) data[i] = static_cast<uint8_t>((i >> 9) ^ bySalt);
        std::string strPath = strDir + "/" + strName;
        std::ofstream(strPath, std::ios::binary).write(reinterpret_cast<char*>(data.data()), nSize);
        return strPath;
    }

    std::string strDir;
    CVarnDLCore core;
    uint8_t abyHeader[HEADER_BLOCK_TOTAL];
};

TEST_F(HeaderBlocks, PhoneAndEbootImagesGiveTwoBlocksEach)
{
    core.m_bPhoneImage = 1;
    core.m_strPhonePath = MakeFile("p.bin", 0x50000, 0x10);
    core.m_bEbootImage = 1;
    core.m_strEbootPath = MakeFile("e.eb0", 0x2000, 0x20);
    ENGINE_ReadHeaderBlocks(core, abyHeader);
    EXPECT_EQ(abyHeader[0], static_cast<uint8_t>((0x41800 >> 9) ^ 0x10));
    EXPECT_EQ(abyHeader[512], static_cast<uint8_t>((0x42000 >> 9) ^ 0x10));
    EXPECT_EQ(abyHeader[1024], static_cast<uint8_t>(0 ^ 0x20));
    EXPECT_EQ(abyHeader[1536], static_cast<uint8_t>((0x800 >> 9) ^ 0x20));
}

TEST_F(HeaderBlocks, MissingImageOrShortFileLeavesZeros)
{
    core.m_bPhoneImage = 1;
    // Ends inside block 1: its tail and the Eboot blocks stay zero.
    core.m_strPhonePath = MakeFile("short.bin", 0x42000 + 100, 0x33);
    ENGINE_ReadHeaderBlocks(core, abyHeader);
    EXPECT_EQ(abyHeader[0], static_cast<uint8_t>((0x41800 >> 9) ^ 0x33));
    EXPECT_EQ(abyHeader[512 + 99], static_cast<uint8_t>((0x42000 >> 9) ^ 0x33));
    EXPECT_EQ(abyHeader[512 + 100], 0);
    for (uint32_t i = 1024; i < HEADER_BLOCK_TOTAL; ++i) ASSERT_EQ(abyHeader[i], 0) << i;
}

TEST_F(HeaderBlocks, UnifiedImageGivesAllFour)
{
    core.m_bUnifiedImage = 1;
    core.m_strUnifiedPath = MakeFile("u.bin", 0x50000, 0x44);
    core.m_bPhoneImage = 1;
    core.m_strPhonePath = MakeFile("p.bin", 0x50000, 0x10);
    ENGINE_ReadHeaderBlocks(core, abyHeader);
    EXPECT_EQ(abyHeader[0], static_cast<uint8_t>((0x41800 >> 9) ^ 0x44));
    EXPECT_EQ(abyHeader[512], static_cast<uint8_t>((0x42000 >> 9) ^ 0x44));
    EXPECT_EQ(abyHeader[1024], static_cast<uint8_t>((0x42800 >> 9) ^ 0x44));
    // The last block starts at an odd offset and runs across a 512-byte boundary.
    EXPECT_EQ(abyHeader[1536], static_cast<uint8_t>((0x42FE2 >> 9) ^ 0x44));
    EXPECT_EQ(abyHeader[1536 + 30], static_cast<uint8_t>((0x43000 >> 9) ^ 0x44));
}

TEST(StartPreparation, RunningWorkersKeepTheirPlanAndPartitionFlag)
{
    CVarnDLCore core;
    DOWNLOAD_TICKS ticks;
    ticks.bPhoneBoot = true;
    ENGINE_PrepareStart(core, ticks);
    auto pFirst = ENGINE_GetDownloadPlan();
    ASSERT_TRUE(pFirst);
    EXPECT_EQ(pFirst->g_DownSel.byMibibMask, 0x11);

    // Channel 2 is still running, channel 3 is idle; both were re-partitioned.
    core.m_aChannel[2].m_bThreadStart = 1;
    core.m_aChannel[2].g_bPartitionChanged = 1;
    core.m_aChannel[3].g_bPartitionChanged = 1;
    ticks.bPhone = true;
    ENGINE_PrepareStart(core, ticks);
    auto pSecond = ENGINE_GetDownloadPlan();
    EXPECT_NE(pFirst.get(), pSecond.get());
    // The first plan is untouched for the workers that hold it.
    EXPECT_EQ(pFirst->g_DownSel.byMibibMask, 0x11);
    EXPECT_EQ(pSecond->g_DownSel.byMibibMask, 0x13);
    EXPECT_EQ(core.m_aChannel[2].g_bPartitionChanged.load(), 1u);
    EXPECT_EQ(core.m_aChannel[3].g_bPartitionChanged.load(), 0u);
    core.m_aChannel[2].g_bPartitionChanged = 0;
}

}  // namespace
