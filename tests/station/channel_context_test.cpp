// The channel context: the transfer buffers, and the clock the workers count on.
#include "station/channel_context.h"

#include <gtest/gtest.h>

#include "station/clock.h"

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
