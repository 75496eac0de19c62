// A line of three quillon-flash stations taking eight virtual phones each, telling one broker,
// and quillon-line collecting their records: the broker dies for a while in the middle of the
// runs, and still every phone's record reaches the line's file exactly once and the retained
// states show how each channel ended.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/line_run.h"
#include "support/mosquitto_broker.h"
#include "support/sim_process.h"

namespace {

constexpr uint32_t PHONES = 8;

struct LINE_STATION {
    std::string strName;
    CSimProcess sim;
    CSimProcess flash;
};

struct SIZES_ROW {
    void (*pfnSizes)(IMAGE_SET_SIZES&);
};
// A few hundred KiB a phone: 24 phones on two cores.
void SmallImages(IMAGE_SET_SIZES& sizes)
{
    sizes.dwAmss = 0x20000;
    sizes.dwPda = 0x20000;
}
void PrintTo(const SIZES_ROW&, std::ostream* pOut) { *pOut << "SmallImages"; }
using LineStations = CLineRunTest<SIZES_ROW>;

TEST_P(LineStations, EveryRecordReachesTheLineOnceThroughABrokerOutage)
{
    QUILLON_REQUIRE_MOSQUITTO();
    CMosquittoBroker broker;
    ASSERT_TRUE(broker.Start());
    const std::string strLineFile = m_strDir + "/line.jsonl";
    CSimProcess line;
    ASSERT_TRUE(line.Start({QUILLON_BINARY_DIR "/quillon-line", "--mqtt", broker.Url(), "--results", strLineFile, "--plain"}));
    ASSERT_TRUE(line.WaitLine("quillon-line: listening to the line's broker " + broker.Url(), 20000)) << line.Output();

    std::vector<std::unique_ptr<LINE_STATION>> aStations;
    for (const char* szName : {"A", "B", "C"}) {
        auto p = std::make_unique<LINE_STATION>();
        p->strName = szName;
        const std::string strPorts = m_strDir + "/ports-" + p->strName;
        ASSERT_TRUE(LINE_RUN_StartPhones(p->sim, m_Set, strPorts, 1, PHONES)) << p->sim.Output();
        ASSERT_TRUE(LINE_RUN_StartWatch(p->flash, m_Set, strPorts,
                                        {"--plain", "--mqtt", broker.Url(), "--station", p->strName, "--results",
                                         m_strDir + "/" + p->strName + ".jsonl"}));
        aStations.push_back(std::move(p));
    }
    // The broker dies once the first phone of the line has passed, the others still going.
    ASSERT_TRUE(LINE_RUN_WaitCount(aStations[0]->flash, "outcome passed", 1, 60000)) << aStations[0]->flash.Output();
    broker.Kill();
    for (auto& p : aStations)
        EXPECT_TRUE(LINE_RUN_WaitCount(p->flash, "Lost the line's broker", 1, 20000)) << p->flash.Output();
    // Five seconds of outage, while quillon-line goes on.
    EXPECT_FALSE(line.Exited(5000)) << line.Output();
    ASSERT_TRUE(broker.Restart());

    for (auto& p : aStations)
        EXPECT_TRUE(LINE_RUN_WaitCount(p->flash, "outcome passed", PHONES, 60000)) << p->flash.Output();
    const auto countIds = [&] {
        std::map<std::string, int> counts;
        for (const auto& record : LINE_RUN_Records(strLineFile)) ++counts[record.first];
        return counts;
    };
    EXPECT_TRUE(TEST_WaitUntil([&] { return countIds().size() == aStations.size() * PHONES; }, 60000))
        << line.Output();
    std::map<std::string, int> expected;
    for (auto& p : aStations)
        for (const auto& record : LINE_RUN_Records(m_strDir + "/" + p->strName + ".jsonl")) expected[record.first] = 1;
    EXPECT_EQ(expected.size(), aStations.size() * PHONES);
    EXPECT_EQ(countIds(), expected);

    // Each channel's retained state is its phone's end.
    CTestSubscriber states(broker.Url(), "quillon/+/channel/+/state");
    const auto allPassed = [&](const std::vector<TEST_MESSAGE>& aMessages) {
        std::map<std::string, std::string> last;
        for (const TEST_MESSAGE& m : aMessages) last[m.strTopic] = m.strPayload;
        size_t nPassed = 0;
        for (const auto& entry : last) nPassed += entry.second.find("\"outcome\":\"passed\"") != std::string::npos;
        return nPassed == aStations.size() * PHONES;
    };
    EXPECT_TRUE(states.WaitFor(allPassed, 20000));

    for (auto& p : aStations) {
        p->flash.Signal(SIGINT);
        EXPECT_EQ(p->flash.WaitExit(20000), 0) << p->flash.Output();
        EXPECT_EQ(LINE_RUN_Count(p->flash.Output(), "Lost the line's broker"), 1u) << p->flash.Output();
        p->sim.Stop();
        const auto aPhones = LINE_RUN_ParseReport(p->sim.Output());
        ASSERT_EQ(aPhones.size(), PHONES) << p->sim.Output();
        for (const LINE_PHONE& phone : aPhones) EXPECT_EQ(phone.dwLocks, 1u);
        EXPECT_EQ(LINE_RUN_Count(p->sim.Output(), "MISMATCH"), 0u) << p->sim.Output();
    }
    EXPECT_EQ(line.Stop(), 0) << line.Output();
}

INSTANTIATE_TEST_SUITE_P(Line, LineStations, ::testing::Values(SIZES_ROW{SmallImages}),
                         [](const auto&) { return std::string("SmallImages"); });

}  // namespace
