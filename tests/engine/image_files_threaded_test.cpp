// Image files that change under a running station: a file replaced, rewritten, cut short or
// touched after Start fails the channel (red text and log line) instead of passing a phone whose
// data may not be the images chosen; one the cycle has yet to open fails before a byte of it is
// sent. (A read cut short mid-region: the exchange tests and the fault matrix.)

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "protocol/commands.h"
#include "support/e2e_station.h"

namespace {

constexpr auto BOUND = std::chrono::seconds(30);
constexpr uint32_t HOLD_BOUND_MS = 20000;

PHONE_CONFIG RefusingFrom(uint8_t byOpcode, uint32_t dwNth)
{
    PHONE_CONFIG cfg;
    cfg.faults.aRules.push_back(FIXTURE_Rule(byOpcode, dwNth, FAULT_NAK, 0));
    return cfg;
}

bool Refused(const CVirtualPhone& phone, uint8_t byOpcode)
{
    for (const REQUEST_RECORD& r : phone.Requests())
        if (r.byOpcode == byOpcode && r.eReply == REPLIED_NAK) return true;
    return false;
}

// Makes a change while the station is held on a frame the phone keeps refusing (it sends it
// again and again), then lifts the refusals. They are lifted after a bound in any case, so that
// the run always ends.
class CChangeWhileHeld {
public:
    CChangeWhileHeld(CVirtualPhone& phone, uint8_t byOpcode, std::function<void()> fnChange)
        : m_thread([this, &phone, byOpcode, fnChange] {
              const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(HOLD_BOUND_MS);
              for (size_t n = 1; std::chrono::steady_clock::now() < deadline; n = phone.RequestCount() + 1) {
                  if (!phone.WaitRequestCount(n, HOLD_BOUND_MS)) break;
                  if (!Refused(phone, byOpcode)) continue;
                  fnChange();
                  m_bChanged = true;
                  break;
              }
              phone.SetFaults(PHONE_FAULTS{});
          })
    {
    }
    ~CChangeWhileHeld() { Join(); }
    // True once the change was made while the station was held.
    bool Join()
    {
        if (m_thread.joinable()) m_thread.join();
        return m_bChanged;
    }

private:
    bool m_bChanged = false;
    std::thread m_thread;
};

void RunBounded(CE2EStation& st)
{
    const auto start = std::chrono::steady_clock::now();
    st.Run();
    EXPECT_LT(std::chrono::steady_clock::now() - start, BOUND);
}

off_t FileSize(const std::string& strPath)
{
    struct stat st;
    return ::stat(strPath.c_str(), &st) == 0 ? st.st_size : -1;
}

// Erases and writes that reached a flash area.
size_t WritesInto(const CVirtualPhone& phone, const REGION_INFO& area)
{
    size_t n = 0;
    for (const REQUEST_RECORD& r : phone.Requests())
        if ((r.byOpcode == CMD_ERASE_FOR_WRITE || r.byOpcode == CMD_WRITE_FLASH) && r.dwParam >= area.StartAddr &&
            r.dwParam - area.StartAddr < area.EraseLength)
            ++n;
    return n;
}

}  // namespace

TEST(ImageFiles, ImageFileChangedAfterStartFailsTheChannelInsteadOfPassingIt)
{
    enum CHANGE { REWRITE, REPLACE, CUT, TOUCH };
    const struct {
        const char* szCase;
        int nKind;  // whose file changes
        CHANGE eChange;
        int nRegion;  // the region the change keeps untouched (-1: the change comes after its data)
    } aCase[] = {
        // The Phone file is read while the station is held; the change shows only before Lock.
        {"Phone rewritten in place", 1, REWRITE, -1},
        {"Eboot replaced by a copy of itself", 2, REPLACE, REGION_APPSBL},
        {"PDA cut short", 3, CUT, REGION_PDA},
        {"CSC touched", 4, TOUCH, REGION_CARRIER},
    };
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szCase);
        // Held on the second FOTA frame, after the Phone image was opened.
        CE2EStation st(1, RefusingFrom(CMD_WRITE_FLASH, 2));
        ASSERT_TRUE(st.BuildImages());
        const std::string astrPath[] = {"", st.m_Images.strPhone, st.m_Images.strEboot, st.m_Images.strPda,
                                        st.m_Images.strCsc};
        // Written an hour ago: a rewrite now always gives a new modification time.
        const struct timespec aTimes[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
        for (int k = 1; k <= 4; ++k) ASSERT_EQ(::utimensat(AT_FDCWD, astrPath[k].c_str(), aTimes, 0), 0);
        ASSERT_TRUE(st.Load(FIXTURE_AllTicks(), 3).empty());

        const std::string strPath = astrPath[c.nKind];
        CChangeWhileHeld change(st.Phone(0), CMD_WRITE_FLASH, [&] {
            switch (c.eChange) {
            case REWRITE: {
                const int fd = ::open(strPath.c_str(), O_WRONLY);
                uint8_t by = 0x5A;
                EXPECT_EQ(::pwrite(fd, &by, 1, 7), 1);
                ::close(fd);
                break;
            }
            case REPLACE:
                std::filesystem::copy_file(strPath, strPath + ".new");
                std::filesystem::rename(strPath + ".new", strPath);
                break;
            case CUT: EXPECT_EQ(::truncate(strPath.c_str(), FileSize(strPath) - 1000), 0); break;
            case TOUCH: EXPECT_EQ(::utimensat(AT_FDCWD, strPath.c_str(), nullptr, 0), 0); break;
            }
        });
        RunBounded(st);
        ASSERT_TRUE(change.Join());

        const std::string strCaption[] = {"", "Phone", "Eboot", "PDA", "CSC"};
        EXPECT_FALSE(st.Passed(0));
        EXPECT_EQ(st.LastBarText(0), " " + strCaption[c.nKind] + " image file changed during download!");
        const BAR_STATE bar = st.m_pCore->m_ctrlProgress[0].GetState();
        EXPECT_TRUE(bar.byRed == 255 && bar.byGreen == 0 && bar.byBlue == 0);
        EXPECT_TRUE(st.Logged("[Channel 0]  " + strCaption[c.nKind] + " image file changed during download: " +
                              strPath + "\r\n"));
        EXPECT_EQ(FIXTURE_Count(st.Phone(0), CMD_FLASH_LOCK), 0u);
        if (c.nRegion >= 0) {
            EXPECT_EQ(WritesInto(st.Phone(0), st.m_Images.aFlash[c.nRegion]), 0u);
        }
    }
}
