// quillon-flash --watch on virtual phones: phones there at its start and phones that come later
// are each flashed, verified and recorded once; an interrupt stops the phones being flashed with
// nothing lost; a broker that never answers holds no phone up; a wrong broker setting is one line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <set>
#include <string>
#include <vector>

#include "support/line_run.h"
#include "support/sim_process.h"

namespace {

// A few hundred KiB a phone: eight phones share two cores with the sanitizers.
void SmallImages(IMAGE_SET_SIZES& sizes)
{
    sizes.dwAmss = 0x20000;
    sizes.dwPda = 0x20000;
}

// The phones of a simulator's report each hold every image and were released once.
void ExpectFlashed(const std::vector<LINE_PHONE>& aPhones, size_t nPhones, const std::string& strReport)
{
    ASSERT_EQ(aPhones.size(), nPhones) << strReport;
    for (size_t k = 0; k < aPhones.size(); ++k) {
        EXPECT_EQ(aPhones[k].dwLocks, 1u) << "phone " << k + 1;
        EXPECT_FALSE(aPhones[k].astrVerify.empty()) << "phone " << k + 1;
        for (const std::string& strVerify : aPhones[k].astrVerify)
            EXPECT_NE(strVerify.find(" ok"), std::string::npos) << "phone " << k + 1 << ": " << strVerify;
    }
}

// Each record's id once, and every result PASS.
void ExpectRecordsPassed(const std::string& strPath, size_t nPhones)
{
    const auto aRecords = LINE_RUN_Records(strPath);
    std::set<std::string> ids;
    for (const auto& [strId, strResult] : aRecords) {
        ids.insert(strId);
        EXPECT_EQ(strResult, "PASS") << strId;
    }
    EXPECT_EQ(aRecords.size(), nPhones);
    EXPECT_EQ(ids.size(), nPhones);
}

struct STOP_ROW {
    const char* szName;
    std::vector<std::string> astrSim;
    const char* szInterruptAt;  // a line of quillon-flash, on each phone's channel
    const char* szAlsoSays;     // "" none
    // The line's usual set: the phones' EFS2 lies where its partition table has it.
    void (*pfnSizes)(IMAGE_SET_SIZES&) = nullptr;
};

void PrintTo(const STOP_ROW& row, std::ostream* pOut) { *pOut << row.szName; }

// Phones whose partition table differs from the images' (the operator's answer is Yes), with an
// EFS2 of their own, on a link slow enough that the interrupt meets them mid-way.
const std::vector<std::string> REPARTITIONED = {"--partition-differ", "--efs", "0x120000:0x10000", "--efs-seed",
                                                "7", "--bytes-per-second", "262144"};

std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& aMore)
{
    a.insert(a.end(), aMore.begin(), aMore.end());
    return a;
}

const STOP_ROW g_aStopRows[] = {
    {"WhilePdaIsWritten", REPARTITIONED, "[CH1] log [Channel 1]  PDA Write Data", ""},
    // EFS2 is held only in the PDA area until the phone has taken it back (slowly, here): the
    // stop waits for that.
    {"WhileEfsIsParked", Plus(REPARTITIONED, {"--hold", "EC:1:1:1500"}), "[CH0] log [Channel 0]  Write EFS Data",
     "Stop deferred: restoring EFS data first"},
};

using QuillonFlashWatchStop = CLineRunTest<STOP_ROW>;

TEST_P(QuillonFlashWatchStop, AnInterruptStopsThePhonesWithNothingLost)
{
    const STOP_ROW& row = GetParam();
    const std::string strPorts = m_strDir + "/ports", strResults = m_strDir + "/results.jsonl";
    CSimProcess sim, flash;
    ASSERT_TRUE(LINE_RUN_StartPhones(sim, m_Set, strPorts, 1, 2, row.astrSim)) << sim.Output();
    ASSERT_TRUE(LINE_RUN_StartWatch(flash, m_Set, strPorts,
                                    {"--plain", "--on-partition-mismatch", "yes", "--results", strResults}));
    ASSERT_TRUE(flash.WaitLine(row.szInterruptAt, 60000)) << flash.Output();
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.WaitExit(40000), 1) << flash.Output();
    EXPECT_EQ(LINE_RUN_Count(flash.Output(), "Run stopped: interrupted by SIGINT"), 1u) << flash.Output();
    if (*row.szAlsoSays) {
        EXPECT_NE(flash.Output().find(row.szAlsoSays), std::string::npos) << flash.Output();
    }
    EXPECT_NE(flash.Output().find("[STATION] phones passed 0, not passed 2"), std::string::npos) << flash.Output();
    sim.Stop();
    // Neither phone lost its EFS2, and neither was released half-written.
    EXPECT_EQ(LINE_RUN_Count(sim.Output(), "  efs2 kept: yes"), 2u) << sim.Output();
    for (const LINE_PHONE& phone : LINE_RUN_ParseReport(sim.Output())) EXPECT_EQ(phone.dwLocks, 0u);
    const auto aRecords = LINE_RUN_Records(strResults);
    ASSERT_EQ(aRecords.size(), 2u);
    for (const auto& record : aRecords) EXPECT_EQ(record.second, "Stopped") << record.first;
}

INSTANTIATE_TEST_SUITE_P(Rows, QuillonFlashWatchStop, ::testing::ValuesIn(g_aStopRows),
                         [](const auto& info) { return std::string(info.param.szName); });

struct LINE_ROW {
    const char* szName;
    void (*pfnSizes)(IMAGE_SET_SIZES&) = SmallImages;
};
const LINE_ROW g_aLineRow[] = {{"SmallImages"}};
void PrintTo(const LINE_ROW& row, std::ostream* pOut) { *pOut << row.szName; }
using QuillonFlashWatch = CLineRunTest<LINE_ROW>;

TEST_P(QuillonFlashWatch, TakesThePhonesThereAndThePhonesThatCome)
{
    const std::string strPorts = m_strDir + "/ports", strResults = m_strDir + "/results.jsonl";
    CSimProcess early, later, flash;
    ASSERT_TRUE(LINE_RUN_StartPhones(early, m_Set, strPorts, 1, 3)) << early.Output();
    ASSERT_TRUE(LINE_RUN_StartWatch(flash, m_Set, strPorts, {"--plain", "--results", strResults}));
    ASSERT_TRUE(LINE_RUN_WaitCount(flash, "outcome passed", 3, 60000)) << flash.Output();
    // Two more on ports of their own, and the first three's channels are free again by now.
    ASSERT_TRUE(LINE_RUN_StartPhones(later, m_Set, strPorts, 4, 2)) << later.Output();
    ASSERT_TRUE(LINE_RUN_WaitCount(flash, "outcome passed", 5, 60000)) << flash.Output();
    flash.Signal(SIGTERM);
    EXPECT_EQ(flash.WaitExit(20000), 0) << flash.Output();
    EXPECT_NE(flash.Output().find("[STATION] phones passed 5, not passed 0"), std::string::npos) << flash.Output();
    early.Stop();
    later.Stop();
    ExpectFlashed(LINE_RUN_ParseReport(early.Output()), 3, early.Output());
    ExpectFlashed(LINE_RUN_ParseReport(later.Output()), 2, later.Output());
    ExpectRecordsPassed(strResults, 5);
}

// A loopback port nobody listens on (refused at once), and one that takes the connection and
// never answers it: either way the station flashes at its own pace and tells of it at most once.
TEST_P(QuillonFlashWatch, ABrokerThatNeverAnswersHoldsNoPhoneUp)
{
    const int fdSilent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int fdGone = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof(addr);
    ASSERT_EQ(::bind(fdSilent, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(fdSilent, 8), 0);
    ASSERT_EQ(::getsockname(fdSilent, reinterpret_cast<sockaddr*>(&addr), &nLength), 0);
    const std::string strSilent = "mqtt://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    addr.sin_port = 0;
    ASSERT_EQ(::bind(fdGone, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::getsockname(fdGone, reinterpret_cast<sockaddr*>(&addr), &nLength), 0);
    const std::string strRefused = "mqtt://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    ::close(fdGone);
    const struct {
        const char* szWhat;
        std::string strUrl;
        size_t nToldAtLeast;
    } aCase[] = {{"refused", strRefused, 1}, {"silent", strSilent, 0}};
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szWhat);
        const std::string strResults = m_strDir + "/" + c.szWhat + ".jsonl";
        LINE_RUN_PLAN plan;
        plan.nPhones = 8;
        plan.astrFlash = {"--plain", "--mqtt", c.strUrl, "--station", "far", "--results", strResults};
        plan.dwBoundMs = 120000;
        const std::string strRunDir = m_strDir + "/" + c.szWhat;
        ASSERT_EQ(::mkdir(strRunDir.c_str(), 0700), 0);
        const LINE_RUN_RESULT run = LINE_RUN_Execute(plan, m_Set, strRunDir);
        EXPECT_EQ(run.nFlashExit, 0) << run.strFlashOut;
        EXPECT_LT(run.dwFlashMs, plan.dwBoundMs / 2);
        ExpectFlashed(run.aPhones, 8, run.strSimOut);
        ExpectRecordsPassed(strResults, 8);
        const size_t nTold = LINE_RUN_Count(run.strFlashOut, "Cannot reach the line's broker");
        EXPECT_GE(nTold, c.nToldAtLeast) << run.strFlashOut;
        EXPECT_LE(nTold, 1u) << run.strFlashOut;
    }
    ::close(fdSilent);
}

TEST_P(QuillonFlashWatch, AWrongBrokerSettingIsOneLine)
{
    const std::string strUnreadable = m_strDir + "/no-such-password";
    const struct {
        std::vector<std::string> astrArgs;
        const char* szSays;
    } aCase[] = {
        {{"--mqtt", "http://127.0.0.1"}, "quillon-flash: --mqtt: the broker URL's scheme must be mqtt or mqtts, not 'http'"},
        {{"--mqtt", "mqtt://line@127.0.0.1", "--mqtt-password-file", strUnreadable},
         "quillon-flash: --mqtt: the password file"},
        {{"--station", "a/b", "--mqtt", "mqtt://127.0.0.1"}, "quillon-flash: --station: "},
        {{"--mqtt", "mqtt://127.0.0.1", "/dev/tty"}, "--watch takes phones as they arrive: give no PORT with it"},
    };
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szSays);
        std::vector<std::string> astrArgs = LINE_RUN_FlashArgs(m_Set, {"--watch", "--json"});
        astrArgs.insert(astrArgs.end(), c.astrArgs.begin(), c.astrArgs.end());
        const SIM_RUN_RESULT run = SIM_PROCESS_Run(astrArgs, {}, 20000);
        EXPECT_EQ(run.nExit, 2) << run.strOut;
        // The images' own log lines come first on standard output; the refusal is the one line
        // of standard error.
        EXPECT_EQ(LINE_RUN_Count(run.strOut, "quillon-flash: "), 1u) << run.strOut;
        EXPECT_NE(run.strOut.find(c.szSays), std::string::npos) << run.strOut;
    }
}

INSTANTIATE_TEST_SUITE_P(Line, QuillonFlashWatch, ::testing::ValuesIn(g_aLineRow),
                         [](const auto& info) { return std::string(info.param.szName); });

}  // namespace
