// The serial layer between threads: opens and locked sends each one at a time but apart, a
// stalled line that holds back nobody else, waits that end when the console stops a channel or
// closes its port, and closes racing with reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <vector>

#include "link/port_table.h"
#include "link/serial_device.h"
#include "support/run_flags.h"
#include "station/clock.h"
#include "support/pty_pair.h"

namespace {

using namespace std::chrono_literals;

// Long enough that it cannot be taken in while the phone does not read.
constexpr size_t BIG_FRAME = 256 * 1024;
constexpr auto LIVENESS = 2s;  // generous: the waits end within about 100 ms
// How long a send that must not get through is watched: an unlocked one arrives in microseconds.
constexpr int HELD_BACK_MS = 300;

std::vector<uint8_t> Pattern(size_t nSize, uint8_t bySeed)
{
    std::vector<uint8_t> aby(nSize);
    for (size_t i = 0; i < nSize; ++i) aby[i] = static_cast<uint8_t>(i * 31 + bySeed + i / 256);
    return aby;
}

class SerialThreadsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PORT_TABLE_Reset();
        SERIAL_DEVICE_CreateLock();
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(m_aPty[i].IsOpen());
            ASSERT_EQ(m_aPty[i].Register(3 + i), 3u + i);
            ASSERT_EQ(SERIAL_DEVICE_SetPort(i, 3 + i), 1);
        }
    }
    void TearDown() override
    {
        for (int nCh = 0; nCh < 2; ++nCh) {
            SERIAL_DEVICE_Close(nCh);
            SERIAL_DEVICE_SetPort(nCh, 0);
        }
        SERIAL_DEVICE_SetStopTest(nullptr);
        PORT_TABLE_Reset();
    }
    void OpenBoth()
    {
        ASSERT_EQ(SERIAL_DEVICE_Open(0), 1) << SERIAL_DEVICE_LastOpenError(0);
        ASSERT_EQ(SERIAL_DEVICE_Open(1), 1) << SERIAL_DEVICE_LastOpenError(1);
    }
    std::future<int> ReadInBackground(int nCh)
    {
        SERIAL_HANDLE hPort = g_aSerial[nCh].g_hComPort.load();
        return std::async(std::launch::async, [this, nCh, hPort] {
            return SERIAL_DEVICE_Read(nCh, hPort, m_abyIn[nCh], 0, sizeof(m_abyIn[nCh]));
        });
    }

    CVirtualClock m_Clock;
    CClockScope m_ClockScope{m_Clock};
    CPtyPair m_aPty[2];
    uint8_t m_abyIn[2][64] = {};
};

TEST_F(SerialThreadsTest, SilentPhoneIsWaitedForUntilTheChannelStops)
{
    OpenBoth();
    TEST_RUN_FLAGS runFlags;
    TEST_RUN_FLAGS& abRun = runFlags;
    for (int nCh = 0; nCh < MAX_CHANNEL; ++nCh) abRun[nCh] = 1;
    SERIAL_DEVICE_SetStopTest(runFlags.StopTest());

    auto read = ReadInBackground(0);
    // The wake-ups to look at the run flag are no attempts: ten of them would end the read
    // after one second and a slow phone would fail.
    EXPECT_EQ(read.wait_for(1200ms), std::future_status::timeout);
    auto tStop = std::chrono::steady_clock::now();
    abRun[0] = 0;
    ASSERT_EQ(read.wait_for(LIVENESS), std::future_status::ready);
    EXPECT_EQ(read.get(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - tStop, LIVENESS);

    // A reply that arrives while the channel runs is read as usual.
    abRun[0] = 1;
    read = ReadInBackground(0);
    ASSERT_TRUE(m_aPty[0].Send("\x7E\x01\x02", 3));
    ASSERT_EQ(read.wait_for(LIVENESS), std::future_status::ready);
    int nRead = read.get();
    ASSERT_GE(nRead, 1);
    EXPECT_EQ(m_abyIn[0][0], 0x7E);
}

TEST_F(SerialThreadsTest, ClosingThePortEndsABlockedReadAndTheReaderClosesLast)
{
    OpenBoth();  // no run flags bound: only the close can end this read
    SERIAL_HANDLE hPort = g_aSerial[0].g_hComPort.load();
    auto read = ReadInBackground(0);
    EXPECT_EQ(read.wait_for(200ms), std::future_status::timeout);

    // The console recycles the channel.
    SERIAL_DEVICE_ClosePort(0, hPort);
    g_aSerial[0].g_hComPort = SERIAL_HANDLE_NONE;
    ASSERT_EQ(read.wait_for(LIVENESS), std::future_status::ready);
    EXPECT_EQ(read.get(), 0);
    EXPECT_EQ(::fcntl(hPort, F_GETFD), -1);  // really closed once the reader left
    EXPECT_EQ(SERIAL_DEVICE_Open(0), 1) << SERIAL_DEVICE_LastOpenError(0);  // and unlocked
}

TEST_F(SerialThreadsTest, ClosesRacingWithReadsAndWrites)
{
    const std::vector<uint8_t> abyFrame = Pattern(BIG_FRAME, 1);
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(SERIAL_DEVICE_Open(0), 1) << SERIAL_DEVICE_LastOpenError(0);
        SERIAL_HANDLE hPort = g_aSerial[0].g_hComPort.load();
        auto read = ReadInBackground(0);
        auto write = std::async(std::launch::async, [&] {
            return SERIAL_DEVICE_Write(0, hPort, abyFrame.data(), 0, BIG_FRAME);
        });
        if (i % 2) {
            SERIAL_DEVICE_Close(0);  // the worker's own close
        } else {
            SERIAL_DEVICE_ClosePort(0, hPort);  // the console recycling the channel
            g_aSerial[0].g_hComPort = SERIAL_HANDLE_NONE;
        }
        SERIAL_DEVICE_Close(0);  // and a second close that must do nothing
        ASSERT_EQ(read.wait_for(LIVENESS), std::future_status::ready);
        ASSERT_EQ(write.wait_for(LIVENESS), std::future_status::ready);
        EXPECT_EQ(read.get(), 0);
        EXPECT_EQ(write.get(), -1);
        uint8_t abyDrain[4096];
        while (m_aPty[0].Receive(abyDrain, sizeof(abyDrain), 0) > 0) {
        }
    }
}

TEST_F(SerialThreadsTest, AFullLineHoldsBackNoOtherChannelsSend)
{
    OpenBoth();
    const std::vector<uint8_t> abyBig = Pattern(BIG_FRAME, 2);
    const uint8_t abySmall[] = {0x7E, 0x10, 0x20, 0x7E};

    for (bool bLocked : {true, false}) {
        SCOPED_TRACE(bLocked ? "stalled in a locked send" : "stalled in an unlocked send");
        // Channel 0's phone reads nothing yet: its line fills and its send waits for room.
        auto big = std::async(std::launch::async, [&] {
            return bLocked ? SERIAL_DEVICE_Send(0, abyBig.data(), BIG_FRAME)
                           : SERIAL_DEVICE_SendUnlocked(0, abyBig.data(), BIG_FRAME);
        });
        ASSERT_TRUE(m_aPty[0].WaitReadable(5000));
        auto small = std::async(std::launch::async,
                                [&] { return SERIAL_DEVICE_Send(1, abySmall, sizeof(abySmall)); });
        EXPECT_TRUE(m_aPty[1].WaitReadable(5000));
        EXPECT_EQ(small.wait_for(LIVENESS), std::future_status::ready);

        std::vector<uint8_t> abyOut(BIG_FRAME);
        EXPECT_EQ(m_aPty[0].Receive(abyOut.data(), BIG_FRAME), BIG_FRAME);
        EXPECT_EQ(abyOut, abyBig);
        EXPECT_EQ(big.get(), 1);
        uint8_t abyIn[sizeof(abySmall)];
        EXPECT_EQ(m_aPty[1].Receive(abyIn, sizeof(abyIn)), sizeof(abyIn));
        EXPECT_EQ(0, std::memcmp(abyIn, abySmall, sizeof(abySmall)));
        EXPECT_EQ(small.get(), 1);
    }
}

// A clock whose settle blocks until the test lets it go.
class CHeldClock : public IClock {
public:
    uint32_t GetTickCount() override { return 0; }
    void Sleep(uint32_t) override
    {
        std::unique_lock<std::mutex> lock(m_cs);
        ++m_nSleepers;
        m_bSleeping = true;
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return m_bReleased; });
    }
    bool WaitSleeping()
    {
        std::unique_lock<std::mutex> lock(m_cs);
        return m_cv.wait_for(lock, 5s, [this] { return m_bSleeping; });
    }
    int Sleepers()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        return m_nSleepers;
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_bReleased = true;
        m_cv.notify_all();
    }

private:
    std::mutex m_cs;
    std::condition_variable m_cv;
    bool m_bSleeping = false;
    bool m_bReleased = false;
    int m_nSleepers = 0;
};

TEST_F(SerialThreadsTest, OpensFollowOneAnotherThroughTheirSettleWhileSendsGoOn)
{
    ASSERT_EQ(SERIAL_DEVICE_Open(1), 1);
    CPtyPair third;
    ASSERT_TRUE(third.IsOpen());
    ASSERT_EQ(third.Register(5), 5u);
    ASSERT_EQ(SERIAL_DEVICE_SetPort(2, 5), 1);
    CHeldClock clock;
    CClockScope scope(clock);
    auto open = std::async(std::launch::async, [] { return SERIAL_DEVICE_Open(0); });
    const uint8_t abyFrame[] = {0x7E, 0x90, 0x7E};
    std::future<int> send, second;
    if (clock.WaitSleeping()) {
        second = std::async(std::launch::async, [] { return SERIAL_DEVICE_Open(2); });
        send = std::async(std::launch::async,
                          [&] { return SERIAL_DEVICE_Send(1, abyFrame, sizeof(abyFrame)); });
        // An arriving phone's settle holds back no phone that is being flashed.
        EXPECT_TRUE(m_aPty[1].WaitReadable(5000));
        EXPECT_EQ(send.wait_for(LIVENESS), std::future_status::ready);
        // The other open waits for the first one's settle to end before it begins its own.
        EXPECT_EQ(second.wait_for(std::chrono::milliseconds(HELD_BACK_MS)), std::future_status::timeout);
        EXPECT_EQ(clock.Sleepers(), 1);
    } else {
        ADD_FAILURE() << "the opening never reached its settle";
    }
    clock.Release();
    EXPECT_EQ(open.get(), 1);
    if (second.valid()) {
        EXPECT_EQ(second.get(), 1);
    }
    EXPECT_EQ(clock.Sleepers(), 2);
    SERIAL_DEVICE_Close(2);
    SERIAL_DEVICE_SetPort(2, 0);
    if (!send.valid()) return;
    EXPECT_EQ(send.get(), 1);
    uint8_t abyIn[sizeof(abyFrame)];
    EXPECT_EQ(m_aPty[1].Receive(abyIn, sizeof(abyIn)), sizeof(abyIn));
}

TEST_F(SerialThreadsTest, WriteToAPhoneThatReadsNothingEndsWhenTheChannelStops)
{
    OpenBoth();
    TEST_RUN_FLAGS runFlags;
    TEST_RUN_FLAGS& abRun = runFlags;
    for (int nCh = 0; nCh < MAX_CHANNEL; ++nCh) abRun[nCh] = 1;
    SERIAL_DEVICE_SetStopTest(runFlags.StopTest());
    const std::vector<uint8_t> abyBig = Pattern(BIG_FRAME, 3);
    auto send = std::async(std::launch::async,
                           [&] { return SERIAL_DEVICE_SendUnlocked(0, abyBig.data(), BIG_FRAME); });
    ASSERT_TRUE(m_aPty[0].WaitReadable(5000));
    abRun[0] = 0;
    ASSERT_EQ(send.wait_for(LIVENESS), std::future_status::ready);
    EXPECT_EQ(send.get(), 0);  // cut short: the frame is not out
}

TEST_F(SerialThreadsTest, TheRestOfAReplyIsAwaitedUntilItIsCompleteOrTheChannelStops)
{
    OpenBoth();
    TEST_RUN_FLAGS runFlags;
    TEST_RUN_FLAGS& abRun = runFlags;
    for (int nCh = 0; nCh < MAX_CHANNEL; ++nCh) abRun[nCh] = 1;
    SERIAL_DEVICE_SetStopTest(runFlags.StopTest());
    const SERIAL_HANDLE hPort = g_aSerial[0].g_hComPort.load();
    auto rest = [&](uint32_t dwOffset, uint32_t dwWant) {
        return std::async(std::launch::async, [=, this] {
            return SERIAL_DEVICE_ReadRest(0, hPort, m_abyIn[0], dwOffset, dwWant, 60000);
        });
    };

    // The reply's first two bytes were read; the other three come later, with the start of
    // something else behind them, which stays queued.
    auto read = rest(2, 3);
    ASSERT_TRUE(m_aPty[0].Send("\x02\x00\x00\x7E", 4));
    ASSERT_EQ(read.wait_for(LIVENESS), std::future_status::ready);
    EXPECT_EQ(read.get(), 3);
    EXPECT_EQ(std::vector<uint8_t>(m_abyIn[0] + 2, m_abyIn[0] + 5), (std::vector<uint8_t>{2, 0, 0}));
    ASSERT_TRUE(PTY_WaitQueued(hPort, 1));

    // What has arrived is taken; the wait for more ends with the channel.
    read = rest(0, 4);
    EXPECT_EQ(read.wait_for(200ms), std::future_status::timeout);
    abRun[0] = 0;
    ASSERT_EQ(read.wait_for(LIVENESS), std::future_status::ready);
    EXPECT_EQ(read.get(), 1);
    EXPECT_EQ(m_abyIn[0][0], 0x7E);
}

}  // namespace
