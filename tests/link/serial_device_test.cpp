// The serial layer over real pseudo-terminal pairs: opening, raw bytes, reads of queued bytes,
// vanished ports and handles that must no longer reach anything.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "link/port_table.h"
#include "link/serial_device.h"
#include "protocol/frame.h"
#include "support/run_flags.h"
#include "station/clock.h"
#include "station/station_core.h"
#include "support/pty_pair.h"

namespace {

constexpr int CH = 2;
constexpr uint32_t PORT = 7;

int OpenDescriptorCount()
{
    int nCount = 0;
    if (DIR* pDir = ::opendir("/proc/self/fd")) {
        while (::readdir(pDir)) ++nCount;
        ::closedir(pDir);
    }
    return nCount;
}

class SerialDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PORT_TABLE_Reset();
        SERIAL_DEVICE_CreateLock();
        ASSERT_TRUE(m_Pty.IsOpen());
        ASSERT_EQ(m_Pty.Register(PORT), PORT);
        ASSERT_EQ(SERIAL_DEVICE_SetPort(CH, PORT), 1);
    }
    void TearDown() override
    {
        for (int nCh = 0; nCh < MAX_CHANNEL; ++nCh) {
            SERIAL_DEVICE_Close(nCh);
            SERIAL_DEVICE_SetPort(nCh, 0);
        }
        SERIAL_DEVICE_SetStopTest(nullptr);
        SERIAL_DEVICE_SetWriteTimeout(0);
        PORT_TABLE_Reset();
    }
    SERIAL_HANDLE OpenChannel()
    {
        EXPECT_EQ(SERIAL_DEVICE_Open(CH), 1) << SERIAL_DEVICE_LastOpenError(CH);
        return g_aSerial[CH].g_hComPort.load();
    }

    CVirtualClock m_Clock;
    CClockScope m_ClockScope{m_Clock};
    CPtyPair m_Pty;
};

TEST(SerialPortName, BelowTenPlainFromTenTheDeviceNamespaceForm)
{
    EXPECT_EQ(SERIAL_DEVICE_PortName(1), "COM1");
    EXPECT_EQ(SERIAL_DEVICE_PortName(9), "COM9");
    EXPECT_EQ(SERIAL_DEVICE_PortName(10), "\\\\.\\\\COM10");
    EXPECT_EQ(SERIAL_DEVICE_PortName(255), "\\\\.\\\\COM255");
}

TEST_F(SerialDeviceTest, OpenSettlesOnceAndAnOpenPortStaysInUse)
{
    const uint8_t abyFrame[] = {0x7E, 0xA0, 0x00, 0x7E};
    EXPECT_EQ(SERIAL_DEVICE_Send(CH, abyFrame, sizeof(abyFrame)), 0);  // nothing open to send on
    SERIAL_HANDLE hPort = OpenChannel();
    ASSERT_NE(hPort, SERIAL_HANDLE_NONE);
    EXPECT_EQ(m_Clock.TotalSlept(), SERIAL_OPEN_SETTLE_MS);

    const int nDescriptors = OpenDescriptorCount();
    EXPECT_EQ(SERIAL_DEVICE_Open(CH), 1);
    EXPECT_EQ(g_aSerial[CH].g_hComPort.load(), hPort);
    EXPECT_EQ(OpenDescriptorCount(), nDescriptors);
    EXPECT_EQ(m_Clock.TotalSlept(), SERIAL_OPEN_SETTLE_MS);

    EXPECT_EQ(SERIAL_DEVICE_SetPort(CH, 9), 0);
    EXPECT_EQ(g_aSerial[CH].g_nComPort.load(), PORT);

    EXPECT_EQ(SERIAL_DEVICE_Close(CH), 1);
    EXPECT_EQ(g_aSerial[CH].g_hComPort.load(), SERIAL_HANDLE_NONE);
    EXPECT_EQ(SERIAL_DEVICE_Close(CH), 1);
    EXPECT_EQ(SERIAL_DEVICE_SetPort(CH, 9), 1);
    EXPECT_EQ(g_aSerial[CH].g_nComPort.load(), 9u);
}

TEST_F(SerialDeviceTest, FailedOpensSayWhy)
{
    ASSERT_EQ(SERIAL_DEVICE_SetPort(CH, 0), 1);
    EXPECT_EQ(SERIAL_DEVICE_Open(CH), 0);
    EXPECT_NE(SERIAL_DEVICE_LastOpenError(CH).find("COM0"), std::string::npos);

    ASSERT_EQ(SERIAL_DEVICE_SetPort(CH, 33), 1);  // nothing registered under 33
    EXPECT_EQ(SERIAL_DEVICE_Open(CH), 0);
    EXPECT_NE(SERIAL_DEVICE_LastOpenError(CH).find("COM33"), std::string::npos);

    ASSERT_TRUE(PORT_TABLE_AssignFixed("/dev/quillon-no-such-port", 34));
    EXPECT_EQ(SERIAL_DEVICE_OpenPort(CH, 34), SERIAL_HANDLE_NONE);
    EXPECT_NE(SERIAL_DEVICE_LastOpenError(CH).find("/dev/quillon-no-such-port"), std::string::npos);

    if (::geteuid() != 0) {  // root opens everything: the permission text needs an ordinary user
        char szPath[] = "/tmp/quillon-port-XXXXXX";
        int hFile = ::mkstemp(szPath);
        ASSERT_GE(hFile, 0);
        ::close(hFile);
        ::chmod(szPath, 0);
        ASSERT_TRUE(PORT_TABLE_AssignFixed(szPath, 35));
        EXPECT_EQ(SERIAL_DEVICE_OpenPort(CH, 35), SERIAL_HANDLE_NONE);
        EXPECT_NE(SERIAL_DEVICE_LastOpenError(CH).find("dialout"), std::string::npos);
        ::unlink(szPath);
    }
    EXPECT_EQ(g_aSerial[CH].g_hComPort.load(), SERIAL_HANDLE_NONE);
}

TEST_F(SerialDeviceTest, ANodeThatCannotBeSetToRawModeIsNotOpened)
{
    // A file is no terminal: no line settings apply, and nothing may be written to it.
    char szPath[] = "/tmp/quillon-port-XXXXXX";
    const int hFile = ::mkstemp(szPath);
    ASSERT_GE(hFile, 0);
    ::close(hFile);
    ASSERT_TRUE(PORT_TABLE_AssignFixed(szPath, 36));
    const int nDescriptors = OpenDescriptorCount();
    EXPECT_EQ(SERIAL_DEVICE_OpenPort(CH, 36), SERIAL_HANDLE_NONE);
    EXPECT_NE(SERIAL_DEVICE_LastOpenError(CH).find("raw mode"), std::string::npos)
        << SERIAL_DEVICE_LastOpenError(CH);
    EXPECT_EQ(OpenDescriptorCount(), nDescriptors);
    ::unlink(szPath);
}

TEST_F(SerialDeviceTest, ANodeIsOpenedByOneChannelAtATime)
{
    ASSERT_NE(OpenChannel(), SERIAL_HANDLE_NONE);
    EXPECT_EQ(SERIAL_DEVICE_OpenPort(CH + 1, PORT), SERIAL_HANDLE_NONE);
    EXPECT_NE(SERIAL_DEVICE_LastOpenError(CH + 1).find("in use"), std::string::npos);

    SERIAL_DEVICE_Close(CH);
    SERIAL_HANDLE hSecond = SERIAL_DEVICE_OpenPort(CH + 1, PORT);
    EXPECT_NE(hSecond, SERIAL_HANDLE_NONE);
    EXPECT_EQ(SERIAL_DEVICE_LastOpenError(CH + 1), "");
    SERIAL_DEVICE_ClosePort(CH + 1, hSecond);
}

TEST_F(SerialDeviceTest, AllByteValuesPassUnchangedBothWays)
{
    SERIAL_HANDLE hPort = OpenChannel();
    std::vector<uint8_t> abyAll(256);
    std::iota(abyAll.begin(), abyAll.end(), 0);

    ASSERT_TRUE(m_Pty.Send(abyAll.data(), abyAll.size()));
    // A cooked line would hold the bytes back for a line end, and swallow or add some.
    ASSERT_TRUE(PTY_WaitQueued(hPort, 256, 2000));
    std::vector<uint8_t> abyIn(512, 0);
    ASSERT_EQ(SERIAL_DEVICE_Read(CH, hPort, abyIn.data(), 0, 512), 256);
    abyIn.resize(256);
    EXPECT_EQ(abyIn, abyAll);

    EXPECT_EQ(SERIAL_DEVICE_Write(CH, hPort, abyAll.data(), 0, 256), 256);
    std::vector<uint8_t> abyOut(257, 0);
    EXPECT_EQ(m_Pty.Receive(abyOut.data(), 256), 256u);
    EXPECT_EQ(m_Pty.Receive(abyOut.data() + 256, 1, 100), 0u);  // nothing added, e.g. no CR
    abyOut.resize(256);
    EXPECT_EQ(abyOut, abyAll);
}

TEST_F(SerialDeviceTest, QueuedBytesAreReadWithoutWaitingAtMostTheMaximum)
{
    SERIAL_HANDLE hPort = OpenChannel();
    ASSERT_TRUE(m_Pty.Send("0123456789", 10));
    ASSERT_TRUE(PTY_WaitQueued(hPort, 10));

    // A stopped channel ends any wait at once, so bytes read now were read without one.
    TEST_RUN_FLAGS runFlags;
    SERIAL_DEVICE_SetStopTest(runFlags.StopTest());

    uint8_t aby[16];
    std::fill(std::begin(aby), std::end(aby), 0xEE);
    ASSERT_EQ(SERIAL_DEVICE_Read(CH, hPort, aby, 3, 4), 4);
    EXPECT_EQ(std::string(aby + 3, aby + 7), "0123");
    EXPECT_EQ(aby[2], 0xEE);
    EXPECT_EQ(aby[7], 0xEE);

    ASSERT_EQ(SERIAL_DEVICE_Read(CH, hPort, aby, 0, sizeof(aby)), 6);
    EXPECT_EQ(std::string(aby, aby + 6), "456789");
    EXPECT_EQ(SERIAL_DEVICE_Read(CH, hPort, aby, 0, sizeof(aby)), 0);
}

TEST_F(SerialDeviceTest, AWriteThatDoesNotGoOutWholeInTimeFails)
{
    SERIAL_HANDLE hPort = OpenChannel();
    SERIAL_DEVICE_SetWriteTimeout(100);
    // More than the line takes in while the phone reads nothing.
    const std::vector<uint8_t> abyBig(256 * 1024, 0x5A);
    EXPECT_EQ(SERIAL_DEVICE_Write(CH, hPort, abyBig.data(), 0, static_cast<uint32_t>(abyBig.size())), -1);
    EXPECT_EQ(SERIAL_DEVICE_SendUnlocked(CH, abyBig.data(), static_cast<uint32_t>(abyBig.size())), 0);
}

TEST_F(SerialDeviceTest, VanishedPhoneEndsReadsAndFailsWrites)
{
    SERIAL_HANDLE hPort = OpenChannel();
    m_Pty.CloseMaster();
    uint8_t aby[8];
    EXPECT_EQ(SERIAL_DEVICE_Read(CH, hPort, aby, 0, sizeof(aby)), 0);  // ten hang-ups, no hang
    EXPECT_EQ(SERIAL_DEVICE_Write(CH, hPort, aby, 0, sizeof(aby)), -1);
    EXPECT_EQ(SERIAL_DEVICE_Send(CH, aby, sizeof(aby)), 0);
    EXPECT_EQ(SERIAL_DEVICE_SendUnlocked(CH, aby, sizeof(aby)), 0);
}

TEST_F(SerialDeviceTest, AHungUpLineIsReportedUntilThePortIsOpenedAgain)
{
    SERIAL_HANDLE hPort = OpenChannel();
    uint8_t aby[8];
    EXPECT_EQ(SERIAL_DEVICE_IsHungUp(CH), 0);
    m_Pty.CloseMaster();
    EXPECT_EQ(SERIAL_DEVICE_Read(CH, hPort, aby, 0, sizeof(aby)), 0);
    EXPECT_EQ(SERIAL_DEVICE_IsHungUp(CH), 1);
    SERIAL_DEVICE_Close(CH);

    CPtyPair other;
    ASSERT_TRUE(other.IsOpen());
    ASSERT_EQ(other.Register(PORT + 1), PORT + 1);
    ASSERT_EQ(SERIAL_DEVICE_SetPort(CH, PORT + 1), 1);
    hPort = OpenChannel();
    EXPECT_EQ(SERIAL_DEVICE_IsHungUp(CH), 0);
    // A write finds it as well as a read.
    other.CloseMaster();
    EXPECT_EQ(SERIAL_DEVICE_Write(CH, hPort, aby, 0, sizeof(aby)), -1);
    EXPECT_EQ(SERIAL_DEVICE_IsHungUp(CH), 1);
}

TEST_F(SerialDeviceTest, AClosedHandleNeverReachesTheDescriptorThatReusesItsNumber)
{
    SERIAL_HANDLE hPort = OpenChannel();
    SERIAL_DEVICE_Close(CH);
    // The number comes back for something else, here a socket with a byte waiting in it.
    int ahSocket[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ahSocket), 0);
    ASSERT_EQ(::dup2(ahSocket[0], hPort), hPort);
    ASSERT_EQ(::write(ahSocket[1], "x", 1), 1);

    uint8_t aby[4] = {'y'};
    EXPECT_EQ(SERIAL_DEVICE_Read(CH, hPort, aby, 0, sizeof(aby)), 0);
    EXPECT_EQ(SERIAL_DEVICE_Write(CH, hPort, aby, 0, 1), -1);
    SERIAL_DEVICE_ClosePort(CH, hPort);  // the console and the worker both closing
    EXPECT_EQ(::recv(hPort, aby, sizeof(aby), MSG_DONTWAIT), 1);  // still open, byte untouched
    EXPECT_EQ(::recv(ahSocket[1], aby, sizeof(aby), MSG_DONTWAIT), -1);  // nothing written
    ::close(hPort);
    ::close(ahSocket[0]);
    ::close(ahSocket[1]);
}

TEST_F(SerialDeviceTest, AnotherChannelsHandleIsRefused)
{
    SERIAL_HANDLE hPort = OpenChannel();
    ASSERT_TRUE(m_Pty.Send("ab", 2));
    ASSERT_TRUE(PTY_WaitQueued(hPort, 2));
    uint8_t aby[4];
    EXPECT_EQ(SERIAL_DEVICE_Read(CH + 1, hPort, aby, 0, sizeof(aby)), 0);
    EXPECT_EQ(SERIAL_DEVICE_Write(CH + 1, hPort, aby, 0, 1), -1);
    SERIAL_DEVICE_ClosePort(CH + 1, hPort);
    EXPECT_EQ(SERIAL_DEVICE_Read(CH, hPort, aby, 0, sizeof(aby)), 2);
    EXPECT_EQ(SERIAL_DEVICE_Read(-1, hPort, aby, 0, sizeof(aby)), 0);
    EXPECT_EQ(SERIAL_DEVICE_Open(MAX_CHANNEL), 0);
}

TEST_F(SerialDeviceTest, InitResetsOnlyChannelsWithoutAWorker)
{
    CVarnDLCore core;
    CPtyPair ptyBusy;
    ASSERT_EQ(ptyBusy.Register(8), 8u);
    constexpr int BUSY = 5;
    constexpr int REBOOTING = 6;
    ASSERT_EQ(SERIAL_DEVICE_SetPort(BUSY, 8), 1);
    ASSERT_EQ(SERIAL_DEVICE_Open(BUSY), 1);
    const SERIAL_HANDLE hBusy = g_aSerial[BUSY].g_hComPort.load();
    core.m_aChannel[BUSY].m_bThreadStart = 1;
    core.m_aChannel[REBOOTING].m_bRebootWait = 1;
    g_aProtocol[BUSY].g_bySeq = 7;
    g_aProtocol[REBOOTING].g_bySeq = 9;
    SERIAL_DEVICE_SetPort(REBOOTING, 44);
    core.m_aChannel[BUSY].m_nComPort = 3;
    core.m_aChannel[REBOOTING].m_nComPort = 3;

    // An idle channel left with its port open: the port must not stay locked for good.
    OpenChannel();
    g_aProtocol[CH].g_bySeq = 5;
    core.m_aChannel[CH].m_nComPort = PORT;
    core.m_aChannel[0].m_nComPort = 4;

    EXPECT_EQ(SERIAL_DEVICE_Init(core.m_aChannel), 1);
    FLASH_DOWNLOADER_Init(core.m_aChannel);
    EXPECT_EQ(g_aSerial[CH].g_hComPort.load(), SERIAL_HANDLE_NONE);
    EXPECT_EQ(g_aProtocol[CH].g_bySeq, 0);
    EXPECT_EQ(g_aSerial[CH].g_nComPort.load(), PORT);
    EXPECT_EQ(g_aSerial[0].g_nComPort.load(), 4u);
    EXPECT_EQ(SERIAL_DEVICE_Open(CH), 1) << SERIAL_DEVICE_LastOpenError(CH);

    EXPECT_EQ(g_aSerial[BUSY].g_hComPort.load(), hBusy);
    EXPECT_EQ(g_aProtocol[BUSY].g_bySeq, 7);
    EXPECT_EQ(g_aSerial[BUSY].g_nComPort.load(), 8u);
    EXPECT_EQ(g_aProtocol[REBOOTING].g_bySeq, 9);
    EXPECT_EQ(g_aSerial[REBOOTING].g_nComPort.load(), 44u);
    g_aProtocol[BUSY].g_bySeq = g_aProtocol[REBOOTING].g_bySeq = 0;
}

}  // namespace
