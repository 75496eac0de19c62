// quillon-flash --watch on virtual phones: phones there at its start and phones that come later
// are each flashed, verified and recorded once, also by a line of stations whose broker dies for
// a while; an interrupt stops the phones with nothing lost; a broker that is away holds no phone
// up; a wrong broker setting is one line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/line_run.h"
#include "support/mosquitto_broker.h"
#include "support/sim_process.h"

namespace {

// A few hundred KiB a phone: 24 phones share two cores with the sanitizers.
void SmallImages(IMAGE_SET_SIZES& sizes) { sizes.dwAmss = sizes.dwPda = 0x20000; }

// The simulator's phones each hold every image and were released once.
void ExpectFlashed(const std::string& strReport, size_t nPhones)
{
    const std::vector<LINE_PHONE> aPhones = LINE_RUN_ParseReport(strReport);
    ASSERT_EQ(aPhones.size(), nPhones) << strReport;
    for (const LINE_PHONE& phone : aPhones) {
        EXPECT_EQ(phone.dwLocks, 1u);
        EXPECT_EQ(phone.astrVerify.size(), 10u) << strReport;  // MIBIB, the boot loaders, ... CARRIER
        for (const std::string& strVerify : phone.astrVerify) EXPECT_TRUE(strVerify.ends_with(" ok")) << strVerify;
    }
}

// How often each record's id stands in a results file, and whether all of them passed.
std::map<std::string, int> PassedIds(const std::string& strPath)
{
    std::map<std::string, int> ids;
    for (const auto& [strId, strResult] : LINE_RUN_Records(strPath)) ids[strId] += strResult == "PASS" ? 1 : 100;
    return ids;
}

struct ROW {
    const char* szName;
    std::vector<std::string> astrSim;
    const char* szInterruptAt;  // a line of quillon-flash
    const char* szAlsoSays;     // "" none
    void (*pfnSizes)(IMAGE_SET_SIZES&) = nullptr;  // the usual set: EFS2 where the phones keep it
};
void PrintTo(const ROW& row, std::ostream* pOut) { *pOut << row.szName; }
class QuillonFlashWatchStop : public CLineRunTest<ROW> {};
class QuillonFlashWatch : public CLineRunTest<ROW> {};

// Phones whose partition table differs from the images' (answered Yes), with an EFS2 of their
// own, on a link slow enough for the interrupt to meet them mid-way.
#define REPARTITIONED "--partition-differ", "--efs", "0x120000:0x10000", "--efs-seed", "7", "--bytes-per-second", "262144"
const ROW g_aStopRows[] = {
    {"WhilePdaIsWritten", {REPARTITIONED}, "[CH1] log [Channel 1]  PDA Write Data", ""},
    // EFS2 is only in the PDA area until the phone has taken it back (slowly here): the stop waits.
    {"WhileEfsIsParked", {REPARTITIONED, "--hold", "EC:1:1:1500"}, "[CH0] log [Channel 0]  Write EFS Data",
     "Stop deferred: restoring EFS data first"},
};
const ROW g_aLineRows[] = {{"SmallImages", {}, "", "", SmallImages}};

TEST_P(QuillonFlashWatchStop, AnInterruptStopsThePhonesWithNothingLost)
{
    const std::string strPorts = m_strDir + "/ports", strResults = m_strDir + "/results.jsonl";
    CSimProcess sim, flash;
    ASSERT_TRUE(LINE_RUN_StartPhones(sim, m_Set, strPorts, 1, 2, GetParam().astrSim)) << sim.Output();
    ASSERT_TRUE(LINE_RUN_StartWatch(flash, m_Set, strPorts, {"--plain", "--on-partition-mismatch", "yes", "--results", strResults}));
    ASSERT_TRUE(flash.WaitLine(GetParam().szInterruptAt, 60000)) << flash.Output();
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.WaitExit(40000), 1) << flash.Output();
    for (const char* sz : {"Run stopped: interrupted by SIGINT", "[STATION] phones passed 0, not passed 2"})
        EXPECT_EQ(LINE_RUN_Count(flash.Output(), sz), 1u) << sz << "\n" << flash.Output();
    EXPECT_GE(LINE_RUN_Count(flash.Output(), GetParam().szAlsoSays), *GetParam().szAlsoSays ? 1u : 0u) << flash.Output();
    sim.Stop();
    // Neither phone lost its EFS2, and neither was released half-written.
    EXPECT_EQ(LINE_RUN_Count(sim.Output(), "  efs2 kept: yes"), 2u) << sim.Output();
    EXPECT_EQ(LINE_RUN_Count(sim.Output(), "locks 0\n"), 2u) << sim.Output();
    for (const auto& record : LINE_RUN_Records(strResults)) EXPECT_EQ(record.second, "Stopped") << record.first;
    EXPECT_EQ(LINE_RUN_Records(strResults).size(), 2u);
}
INSTANTIATE_TEST_SUITE_P(Rows, QuillonFlashWatchStop, ::testing::ValuesIn(g_aStopRows),
                         [](const auto& info) { return std::string(info.param.szName); });

TEST_P(QuillonFlashWatch, TakesThePhonesThereAndThePhonesThatCome)
{
    const std::string strPorts = m_strDir + "/ports", strResults = m_strDir + "/results.jsonl";
    CSimProcess early, later, flash;
    ASSERT_TRUE(LINE_RUN_StartPhones(early, m_Set, strPorts, 1, 3)) << early.Output();
    ASSERT_TRUE(LINE_RUN_StartWatch(flash, m_Set, strPorts, {"--plain", "--station", "far", "--results", strResults}));
    ASSERT_TRUE(LINE_RUN_WaitCount(flash, "outcome passed", 3, 60000)) << flash.Output();
    ASSERT_TRUE(LINE_RUN_StartPhones(later, m_Set, strPorts, 4, 2)) << later.Output();
    ASSERT_TRUE(LINE_RUN_WaitCount(flash, "outcome passed", 5, 60000)) << flash.Output();
    flash.Signal(SIGTERM);
    EXPECT_EQ(flash.WaitExit(20000), 0) << flash.Output();
    EXPECT_EQ(LINE_RUN_Count(flash.Output(), "[STATION] phones passed 5, not passed 0"), 1u) << flash.Output();
    // The fourth phone takes a channel never used; the first phone's, freed once it passed, is
    // the fifth's.
    EXPECT_EQ(LINE_RUN_Count(flash.Output(), "[CH3] outcome passed"), 1u) << flash.Output();
    EXPECT_EQ(LINE_RUN_Count(flash.Output(), "[CH0] outcome passed"), 2u) << flash.Output();
    early.Stop();
    later.Stop();
    ExpectFlashed(early.Output(), 3);
    ExpectFlashed(later.Output(), 2);
    EXPECT_EQ(PassedIds(strResults), (std::map<std::string, int>{{"far:1", 1}, {"far:2", 1}, {"far:3", 1}, {"far:4", 1}, {"far:5", 1}}));
}

// Three stations of eight phones, each record through one broker to quillon-line, which the
// broker loses for five seconds once the line's first phone has passed.
TEST_P(QuillonFlashWatch, EveryRecordReachesTheLineOnceThroughABrokerOutage)
{
    QUILLON_REQUIRE_MOSQUITTO();
    CMosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    const std::string strLineFile = m_strDir + "/line.jsonl";
    CSimProcess line, aSim[3], aFlash[3];
    ASSERT_TRUE(line.Start({QUILLON_BINARY_DIR "/quillon-line", "--mqtt", broker.Url(), "--results", strLineFile, "--plain"}));
    ASSERT_TRUE(line.WaitLine("quillon-line: listening to the line's broker " + broker.Url(), 20000)) << line.Output();
    const std::string astrName[3] = {"A", "B", "C"};
    for (int i = 0; i < 3; ++i) {
        const std::string strPorts = m_strDir + "/ports-" + astrName[i];
        ASSERT_TRUE(LINE_RUN_StartPhones(aSim[i], m_Set, strPorts, 1, 8)) << aSim[i].Output();
        ASSERT_TRUE(LINE_RUN_StartWatch(aFlash[i], m_Set, strPorts, {"--plain", "--mqtt", broker.Url(), "--station",
                                                                      astrName[i], "--results", m_strDir + "/" + astrName[i]}));
    }
    ASSERT_TRUE(LINE_RUN_WaitCount(aFlash[0], "outcome passed", 1, 60000)) << aFlash[0].Output();
    broker.Kill();
    for (CSimProcess& flash : aFlash) EXPECT_TRUE(LINE_RUN_WaitCount(flash, "Lost the line's broker", 1, 20000)) << flash.Output();
    EXPECT_FALSE(line.Exited(5000)) << line.Output();  // the outage, quillon-line still there
    ASSERT_TRUE(broker.Restart());
    std::map<std::string, int> expected;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(LINE_RUN_WaitCount(aFlash[i], "outcome passed", 8, 60000)) << aFlash[i].Output();
        for (int n = 1; n <= 8; ++n) expected[astrName[i] + ":" + std::to_string(n)] = 1;
    }
    EXPECT_TRUE(TEST_WaitUntil([&] { return PassedIds(strLineFile).size() == expected.size(); }, 60000)) << line.Output();
    EXPECT_EQ(PassedIds(strLineFile), expected);
    // Each channel's retained state is how its phone ended.
    CTestSubscriber states(broker.Url(), "quillon/+/channel/+/state");
    EXPECT_TRUE(states.WaitFor([](const std::vector<TEST_MESSAGE>& aMessages) {
        std::map<std::string, std::string> last;
        for (const TEST_MESSAGE& m : aMessages) last[m.strTopic] = m.strPayload;
        size_t nPassed = 0;
        for (const auto& entry : last) nPassed += LINE_RUN_Count(entry.second, "\"outcome\":\"passed\"");
        return nPassed == 24;
    }, 20000));
    for (int i = 0; i < 3; ++i) {
        aFlash[i].Signal(SIGINT);
        EXPECT_EQ(aFlash[i].WaitExit(20000), 0) << aFlash[i].Output();
        EXPECT_EQ(LINE_RUN_Count(aFlash[i].Output(), "Lost the line's broker"), 1u) << aFlash[i].Output();
        aSim[i].Stop();
        ExpectFlashed(aSim[i].Output(), 8);
    }
    EXPECT_EQ(line.Stop(), 0) << line.Output();
}

// A loopback port nobody listens on: the station flashes at its own pace and says so once.
TEST_P(QuillonFlashWatch, ABrokerThatIsAwayHoldsNoPhoneUp)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof(addr);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLength), 0);
    ::close(fd);
    LINE_RUN_PLAN plan;
    plan.nPhones = 8;
    plan.astrFlash = {"--plain", "--mqtt", "mqtt://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), "--results", m_strDir + "/r"};
    plan.dwBoundMs = 120000;
    const LINE_RUN_RESULT run = LINE_RUN_Execute(plan, m_Set, m_strDir);
    EXPECT_EQ(run.nFlashExit, 0) << run.strFlashOut;
    EXPECT_LT(run.dwFlashMs, plan.dwBoundMs / 2);
    ExpectFlashed(run.strSimOut, 8);
    EXPECT_EQ(PassedIds(m_strDir + "/r").size(), 8u);
    EXPECT_EQ(LINE_RUN_Count(run.strFlashOut, "Cannot reach the line's broker"), 1u) << run.strFlashOut;
}

TEST_P(QuillonFlashWatch, AWrongBrokerSettingIsOneLine)
{
    const struct {
        std::vector<std::string> astrArgs;
        const char* szSays;
    } aCase[] = {
        {{"--mqtt", "http://127.0.0.1"}, "quillon-flash: --mqtt: the broker URL's scheme must be mqtt or mqtts, not 'http'"},
        {{"--mqtt", "mqtt://line@127.0.0.1", "--mqtt-password-file", m_strDir + "/none"}, "quillon-flash: --mqtt: the password file"},
        {{"--station", "a/b", "--mqtt", "mqtt://127.0.0.1"}, "quillon-flash: --station: "},
        {{"/dev/tty"}, "--watch takes phones as they arrive: give no PORT with it"},
    };
    for (const auto& c : aCase) {
        std::vector<std::string> astrArgs = LINE_RUN_FlashArgs(m_Set, {"--watch", "--json"});
        astrArgs.insert(astrArgs.end(), c.astrArgs.begin(), c.astrArgs.end());
        const SIM_RUN_RESULT run = SIM_PROCESS_Run(astrArgs, {}, 20000);
        EXPECT_EQ(run.nExit, 2) << run.strOut;
        // Standard error's one line, after the images' log lines.
        EXPECT_EQ(LINE_RUN_Count(run.strOut, "quillon-flash: "), 1u) << run.strOut;
        EXPECT_EQ(LINE_RUN_Count(run.strOut, c.szSays), 1u) << run.strOut;
    }
}
INSTANTIATE_TEST_SUITE_P(Line, QuillonFlashWatch, ::testing::ValuesIn(g_aLineRows),
                         [](const auto& info) { return std::string(info.param.szName); });

}  // namespace
