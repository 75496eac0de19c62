// Port numbers for device nodes: lowest free number, sticky per node, fixed numbers for the
// virtual phones' COM<n> links.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "link/port_table.h"

namespace {

class PortTableTest : public ::testing::Test {
protected:
    void SetUp() override { PORT_TABLE_Reset(); }
    void TearDown() override { PORT_TABLE_Reset(); }
};

TEST_F(PortTableTest, NodesGetLowestFreeNumbersAndKeepThem)
{
    EXPECT_EQ(PORT_TABLE_Assign("/dev/ttyUSB0"), 1u);
    EXPECT_EQ(PORT_TABLE_Assign("/dev/ttyUSB1"), 2u);
    EXPECT_EQ(PORT_TABLE_Assign("/dev/ttyUSB0"), 1u);  // plugged again: its old number
    EXPECT_TRUE(PORT_TABLE_AssignFixed("/dev/pts/4", 4));
    EXPECT_EQ(PORT_TABLE_Assign("/dev/ttyACM0"), 3u);
    EXPECT_EQ(PORT_TABLE_Assign("/dev/ttyACM1"), 5u);  // 4 is the virtual port's
    EXPECT_EQ(PORT_TABLE_Find("/dev/ttyACM1"), 5u);
    EXPECT_EQ(PORT_TABLE_Find("/dev/ttyACM9"), 0u);
    EXPECT_EQ(PORT_TABLE_DevNode(4), "/dev/pts/4");
    EXPECT_EQ(PORT_TABLE_DevNode(9), "");
    EXPECT_EQ(PORT_TABLE_Assign(""), 0u);
}

TEST_F(PortTableTest, FixedNumbersNeverTakeARealDevicesNumber)
{
    ASSERT_EQ(PORT_TABLE_Assign("/dev/ttyUSB0"), 1u);
    EXPECT_FALSE(PORT_TABLE_AssignFixed("/dev/pts/3", 1));
    EXPECT_EQ(PORT_TABLE_DevNode(1), "/dev/ttyUSB0");
    EXPECT_FALSE(PORT_TABLE_AssignFixed("/dev/pts/3", 0));
    EXPECT_EQ(PORT_TABLE_Find("/dev/pts/3"), 0u);
}

TEST_F(PortTableTest, RepublishedVirtualPhoneTakesItsNumberToTheNewTerminal)
{
    ASSERT_TRUE(PORT_TABLE_AssignFixed("/dev/pts/3", 7));
    ASSERT_TRUE(PORT_TABLE_AssignFixed("/dev/pts/3", 7));  // seen again: no change
    ASSERT_TRUE(PORT_TABLE_AssignFixed("/dev/pts/9", 7));
    EXPECT_EQ(PORT_TABLE_DevNode(7), "/dev/pts/9");
    EXPECT_EQ(PORT_TABLE_Find("/dev/pts/3"), 0u);
    // A node that had an automatic number moves to its link's number; the old one is free again.
    ASSERT_EQ(PORT_TABLE_Assign("/dev/pts/5"), 1u);
    ASSERT_TRUE(PORT_TABLE_AssignFixed("/dev/pts/5", 12));
    EXPECT_EQ(PORT_TABLE_Find("/dev/pts/5"), 12u);
    EXPECT_EQ(PORT_TABLE_Assign("/dev/ttyUSB0"), 1u);
}

TEST_F(PortTableTest, ConcurrentArrivalsGetDistinctNumbers)
{
    constexpr int THREADS = 4;
    constexpr int NODES = 50;
    std::vector<std::thread> aThread;
    for (int t = 0; t < THREADS; ++t)
        aThread.emplace_back([t] {
            for (int i = 0; i < NODES; ++i) PORT_TABLE_Assign("/dev/ttyUSB" + std::to_string(t * NODES + i));
        });
    for (auto& thread : aThread) thread.join();
    std::set<uint32_t> setNumbers;
    for (int i = 0; i < THREADS * NODES; ++i)
        setNumbers.insert(PORT_TABLE_Find("/dev/ttyUSB" + std::to_string(i)));
    EXPECT_EQ(setNumbers.size(), static_cast<size_t>(THREADS * NODES));
    EXPECT_EQ(*setNumbers.begin(), 1u);
    EXPECT_EQ(*setNumbers.rbegin(), static_cast<uint32_t>(THREADS * NODES));
}

}  // namespace
