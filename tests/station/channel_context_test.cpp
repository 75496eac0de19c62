// The channel context: transfer buffers, the selection computed at Start, the header blocks and
// the plan that running workers keep while a later Start prepares a new one.
#include "station/channel_context.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "station/clock.h"
#include "station/station_core.h"

namespace {

TEST(TransferBuffers, ClearAndFillCoverTheWholeBuffers)
{
    CBufObj buf;
    ASSERT_TRUE(buf.IsValid());
    EXPECT_EQ(buf.m_dwPacketSize, 0x808Cu);
    EXPECT_EQ(buf.m_dwDataSize, 0x808Cu);
    buf.FillData(0xFF);
    EXPECT_EQ(buf.m_pData[0], 0xFF);
    EXPECT_EQ(buf.m_pData[0x808B], 0xFF);
    buf.ClearData();
    EXPECT_EQ(buf.m_pData[0x808B], 0);
    buf.m_pPacket[0x808B] = 9;
    buf.ClearPacket();
    EXPECT_EQ(buf.m_pPacket[0x808B], 0);
}

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
    core.m_bThreadStart[2] = 1;
    g_bPartitionChanged[2] = 1;
    g_bPartitionChanged[3] = 1;
    ticks.bPhone = true;
    ENGINE_PrepareStart(core, ticks);
    auto pSecond = ENGINE_GetDownloadPlan();
    EXPECT_NE(pFirst.get(), pSecond.get());
    // The first plan is untouched for the workers that hold it.
    EXPECT_EQ(pFirst->g_DownSel.byMibibMask, 0x11);
    EXPECT_EQ(pSecond->g_DownSel.byMibibMask, 0x13);
    EXPECT_EQ(g_bPartitionChanged[2].load(), 1u);
    EXPECT_EQ(g_bPartitionChanged[3].load(), 0u);
    g_bPartitionChanged[2] = 0;
}

TEST(ImageSlices, ReadsAtOffsetsAndStopsAtTheEnd)
{
    char szPath[] = "/tmp/quillon-slice-XXXXXX";
    int fd = mkstemp(szPath);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(write(fd, data.data(), data.size()), 1000);
    close(fd);

    ASSERT_EQ(ENGINE_OpenImage(5, szPath), 1);
    uint8_t aby[64];
    EXPECT_EQ(ENGINE_ReadImage(5, 990, aby, sizeof(aby)), 10u);
    EXPECT_EQ(aby[0], static_cast<uint8_t>(990));
    EXPECT_EQ(ENGINE_ReadImage(5, 5000, aby, sizeof(aby)), 0u);
    ENGINE_CloseImage(5);
    EXPECT_EQ(g_fileImage[5], -1);
    EXPECT_EQ(ENGINE_ReadImage(5, 0, aby, sizeof(aby)), 0u);
    EXPECT_EQ(ENGINE_OpenImage(5, "/nonexistent/quillon"), 0);
    unlink(szPath);

    // A path that names a FIFO by the time the worker opens it must not block the worker for
    // good, and a directory is no image data either; the header blocks read at Start likewise.
    ASSERT_EQ(mkfifo(szPath, 0600), 0);
    EXPECT_EQ(ENGINE_OpenImage(5, szPath), 0);
    EXPECT_EQ(g_fileImage[5], -1);
    CVarnDLCore core;
    core.m_bPhoneImage = 1;
    core.m_strPhonePath = szPath;
    uint8_t abyHeader[HEADER_BLOCK_TOTAL];
    ENGINE_ReadHeaderBlocks(core, abyHeader);
    EXPECT_EQ(abyHeader[0], 0);
    unlink(szPath);
    EXPECT_EQ(ENGINE_OpenImage(5, "/tmp"), 0);
}

TEST(VirtualClock, SleepsAddUpWithoutRealTime)
{
    CVirtualClock clock(5000);
    CClockScope scope(clock);
    uint32_t dwStart = CLOCK_Get().GetTickCount();
    CLOCK_Get().Sleep(240000);
    EXPECT_EQ(CLOCK_Get().GetTickCount() - dwStart, 240000u);
    EXPECT_EQ(clock.TotalSlept(), 240000u);
}

}  // namespace
