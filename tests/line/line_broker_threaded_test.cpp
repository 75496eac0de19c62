// Stations on a real broker: the publisher's records reach quillon-line's file exactly once
// through a broker that dies and comes back, retained states leave each channel's last one, a
// restarted publisher sends only what was not acknowledged, and each connection problem is one
// clear line.
#include "line/line_publisher.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "line/record_feed.h"
#include "support/mosquitto_broker.h"
#include "support/sim_process.h"

namespace {

const std::string g_strLine = std::string(QUILLON_BINARY_DIR) + "/quillon-line";

// A station's results file as its writer keeps it: one JSON record per line, each with its id.
void AppendRecords(const std::string& strPath, const std::string& strStation, int nFrom, int nCount)
{
    std::ofstream out(strPath, std::ios::app);
    for (int i = nFrom; i < nFrom + nCount; ++i)
        out << nlohmann::json{{"host", strStation}, {"result", "PASS"}, {"id", strStation + ":" + std::to_string(i)}}.dump()
            << "\n";
}

std::vector<std::string> Lines(const std::string& strPath)
{
    std::ifstream in(strPath);
    std::vector<std::string> a;
    for (std::string str; std::getline(in, str);) a.push_back(str);
    return a;
}

// How often each id stands in a JSON lines file.
std::map<std::string, int> IdCounts(const std::string& strPath)
{
    std::map<std::string, int> counts;
    for (const std::string& str : Lines(strPath)) {
        const nlohmann::json json = nlohmann::json::parse(str, nullptr, false);
        if (json.is_object() && json.contains("id")) ++counts[json["id"].get<std::string>()];
    }
    return counts;
}

// A publisher and the lines it told.
struct STATION_UNDER_TEST {
    std::string strName;
    std::string strRecords;
    CLinePublisher publisher;
    std::mutex cs;
    std::vector<std::string> astrTold;

    bool Start(const std::string& strUrl, uint32_t dwRetryMaxMs = 30000, const std::string& strPasswordFile = "")
    {
        LINE_PUBLISHER_CONFIG config;
        config.strUrl = strUrl;
        config.strPasswordFile = strPasswordFile;
        config.strStation = strName;
        config.strRecordsPath = strRecords;
        config.dwRetryFirstMs = std::min<uint32_t>(1000, dwRetryMaxMs);
        config.dwRetryMaxMs = dwRetryMaxMs;
        std::string strError;
        return publisher.Start(config, [this](const std::string& str) {
            std::lock_guard<std::mutex> lock(cs);
            astrTold.push_back(str);
        }, strError);
    }
    std::vector<std::string> Told()
    {
        std::lock_guard<std::mutex> lock(cs);
        return astrTold;
    }
    size_t ToldWith(const std::string& strPart)
    {
        size_t n = 0;
        for (const std::string& str : Told()) n += str.find(strPart) != std::string::npos;
        return n;
    }
};

class LineBroker : public ::testing::Test {
protected:
    void SetUp() override
    {
        QUILLON_REQUIRE_MOSQUITTO();
        ASSERT_TRUE(m_broker.Start());
        m_strDir = m_broker.Dir();
    }
    std::unique_ptr<STATION_UNDER_TEST> Station(const std::string& strName)
    {
        auto p = std::make_unique<STATION_UNDER_TEST>();
        p->strName = strName;
        p->strRecords = m_strDir + "/" + strName + ".jsonl";
        return p;
    }
    CMosquittoBroker m_broker;
    std::string m_strDir;
};

TEST_F(LineBroker, RecordsOfSeveralStationsArriveOnceThroughABrokerOutage)
{
    const std::string strLineFile = m_strDir + "/line.jsonl";
    CSimProcess line;
    ASSERT_TRUE(line.Start({g_strLine, "--mqtt", m_broker.Url(), "--results", strLineFile, "--json"}));
    ASSERT_TRUE(line.WaitLine("quillon-line: listening to the line's broker " + m_broker.Url(), 20000)) << line.Output();

    std::vector<std::unique_ptr<STATION_UNDER_TEST>> aStations;
    for (const char* sz : {"line3-a", "line3-b", "line3-c"}) {
        aStations.push_back(Station(sz));
        AppendRecords(aStations.back()->strRecords, sz, 1, 5);
        ASSERT_TRUE(aStations.back()->Start(m_broker.Url()));
    }
    const auto allArrived = [&](int nPerStation) {
        return TEST_WaitUntil([&] { return IdCounts(strLineFile).size() == aStations.size() * nPerStation; }, 60000);
    };
    ASSERT_TRUE(allArrived(5)) << line.Output();

    // The broker dies with records on their way; the stations go on recording meanwhile.
    for (auto& p : aStations) AppendRecords(p->strRecords, p->strName, 6, 10), p->publisher.RecordsAppended();
    m_broker.Kill();
    for (auto& p : aStations) AppendRecords(p->strRecords, p->strName, 16, 10), p->publisher.RecordsAppended();
    for (auto& p : aStations)
        ASSERT_TRUE(TEST_WaitUntil([&] { return !p->publisher.Counts().bUp && !p->Told().empty(); }, 20000));
    ASSERT_TRUE(m_broker.Restart());
    for (auto& p : aStations) AppendRecords(p->strRecords, p->strName, 26, 5), p->publisher.RecordsAppended();
    ASSERT_TRUE(allArrived(30)) << [&] {
        std::string str = "missing:";
        const auto counts = IdCounts(strLineFile);
        for (auto& p : aStations)
            for (int i = 1; i <= 30; ++i)
                if (!counts.count(p->strName + ":" + std::to_string(i))) str += " " + p->strName + ":" + std::to_string(i);
        return str;
    }() << "; told: "
                                << [&] {
                                       std::string str;
                                       for (auto& p : aStations)
                                           for (const std::string& strTold : p->Told()) str += strTold + "\n";
                                       return str + (line.Exited(100), line.Output());
                                   }();

    for (const auto& [strId, nTimes] : IdCounts(strLineFile)) EXPECT_EQ(nTimes, 1) << strId;
    for (auto& p : aStations) {
        p->publisher.Stop();
        // Each outage is told once, and its end once.
        EXPECT_EQ(p->ToldWith("Lost the line's broker"), 1u) << p->strName;
        EXPECT_EQ(p->ToldWith("Connected again"), 1u) << p->strName;
    }
    EXPECT_EQ(line.Stop(), 0) << line.Output();
}

TEST_F(LineBroker, RetainedStatesShowEachChannelsLastState)
{
    auto p = Station("line4");
    ASSERT_TRUE(p->Start(m_broker.Url()));
    ASSERT_TRUE(TEST_WaitUntil([&] { return p->publisher.Counts().bUp; }, 20000));
    constexpr int UPDATES = 200;
    for (int i = 1; i <= UPDATES; ++i)
        for (int nCh = 0; nCh < LINE_CHANNELS; ++nCh)
            p->publisher.PublishState(nCh, LINE_State("Write PDA", i * 100 / UPDATES, i == UPDATES ? "passed" : "running",
                                                      static_cast<uint32_t>(nCh + 1)));
    // A collector that comes later sees each channel's last state, and only that.
    CTestSubscriber late(m_broker.Url(), "quillon/line4/channel/+/state");
    const auto lastStates = [](const std::vector<TEST_MESSAGE>& a) {
        std::map<std::string, std::string> last;
        for (const TEST_MESSAGE& m : a) last[m.strTopic] = m.strPayload;
        if (last.size() != LINE_CHANNELS) return false;
        for (const auto& entry : last)
            if (entry.second.find("\"outcome\":\"passed\"") == std::string::npos) return false;
        return true;
    };
    EXPECT_TRUE(late.WaitFor(lastStates, 20000));
    // Coalesced: far fewer states went out than were handed over.
    EXPECT_LT(p->publisher.Counts().qwStatesSent, static_cast<uint64_t>(UPDATES * LINE_CHANNELS / 4));
    p->publisher.Stop();
    CTestSubscriber status(m_broker.Url(), "quillon/line4/status");
    EXPECT_TRUE(status.WaitFor([](const std::vector<TEST_MESSAGE>& a) { return !a.empty() && a.back().strPayload == "offline"; }, 20000));
}

TEST_F(LineBroker, ARestartedPublisherSendsOnlyWhatWasNotAcknowledged)
{
    CTestSubscriber results(m_broker.Url(), "quillon/line5/results");
    ASSERT_TRUE(results.WaitSubscribed(20000));
    auto p = Station("line5");
    AppendRecords(p->strRecords, "line5", 1, 4);
    const auto fileSize = [&p] { return static_cast<uint64_t>(std::ifstream(p->strRecords, std::ios::ate).tellg()); };
    ASSERT_TRUE(p->Start(m_broker.Url()));
    ASSERT_TRUE(TEST_WaitUntil([&] { return p->publisher.Counts().qwAckedOffset == fileSize(); }, 30000));
    p->publisher.Stop();

    struct {
        const char* szWhat;
        std::function<void()> fnChange;
        std::vector<std::string> astrExpected;  // ids sent after the restart
        const char* szTold;
    } aCase[] = {
        {"appended", [&] { AppendRecords(p->strRecords, "line5", 5, 2); }, {"line5:5", "line5:6"}, nullptr},
        {"truncated", [&] { std::ofstream(p->strRecords, std::ios::trunc); AppendRecords(p->strRecords, "line5", 7, 1); },
         {"line5:7"}, "was truncated"},
        {"replaced", [&] {
             AppendRecords(p->strRecords + ".new", "line5", 8, 8);
             std::rename((p->strRecords + ".new").c_str(), p->strRecords.c_str());
         }, {"line5:8", "line5:9", "line5:10", "line5:11", "line5:12", "line5:13", "line5:14", "line5:15"}, "was replaced"},
    };
    size_t nSeen = results.Messages().size();
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szWhat);
        c.fnChange();
        p->astrTold.clear();
        ASSERT_TRUE(p->Start(m_broker.Url()));
        ASSERT_TRUE(TEST_WaitUntil([&] { return p->publisher.Counts().qwAckedOffset == fileSize(); }, 30000));
        p->publisher.Stop();
        std::vector<std::string> astrIds;
        for (size_t i = nSeen; i < results.Messages().size(); ++i)
            astrIds.push_back(nlohmann::json::parse(results.Messages()[i].strPayload)["id"]);
        nSeen = results.Messages().size();
        EXPECT_EQ(astrIds, c.astrExpected);
        if (c.szTold) {
            EXPECT_EQ(p->ToldWith(c.szTold), 1u);
        }
    }
}

// Each problem with the broker is one line, from the publisher and from quillon-line alike;
// both go on trying (a bad URL is refused before anything starts).
TEST_F(LineBroker, ConnectionProblemsAreOneClearLine)
{
    CMosquittoBroker guarded;
    ASSERT_TRUE(guarded.Start("operator", "right"));
    const std::string strWrong = m_strDir + "/wrong-password";
    std::ofstream(strWrong) << "s3cret-guess\n";
    const std::string strUnused = "mqtt://127.0.0.1:" + std::to_string(m_broker.Port());
    m_broker.Kill();  // its port is now one nobody listens on
    const std::string strGuarded = "mqtt://operator@127.0.0.1:" + std::to_string(guarded.Port());
    struct {
        const char* szWhat;
        std::string strUrl;
        std::string strPasswordFile;
        std::string strLine;  // what the one line says
    } aCase[] = {
        {"wrong password", strGuarded, strWrong, "refused us: the broker refused the login"},
        {"unreachable", strUnused, "", "Cannot reach the line's broker " + strUnused + ": Connection refused"},
        {"bad URL", "http://127.0.0.1", "", "the broker URL's scheme must be mqtt or mqtts, not 'http'"},
        {"bad port", "mqtt://127.0.0.1:70000", "", "port must be a number from 1 to 65535, not '70000'"},
    };
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szWhat);
        const bool bBadUrl = c.strLine.find("broker URL") != std::string::npos || c.strLine.find("port") == 0 ||
                             c.strLine.find("port must") != std::string::npos;
        auto p = Station("line6");
        if (bBadUrl) {
            EXPECT_FALSE(p->Start(c.strUrl));
        } else {
            ASSERT_TRUE(p->Start(c.strUrl, 50, c.strPasswordFile));
            ASSERT_TRUE(TEST_WaitUntil([&] { return p->publisher.Counts().qwAttempts >= 4; }, 20000));
            p->publisher.Stop();
            ASSERT_EQ(p->Told().size(), 1u);
            EXPECT_NE(p->Told()[0].find(c.strLine), std::string::npos) << p->Told()[0];
            EXPECT_EQ(p->Told()[0].find("s3cret"), std::string::npos);
        }
        std::vector<std::string> astrArgs = {g_strLine, "--mqtt", c.strUrl, "--results", m_strDir + "/line6.jsonl", "--plain"};
        if (!c.strPasswordFile.empty()) astrArgs.insert(astrArgs.end(), {"--mqtt-password-file", c.strPasswordFile});
        CSimProcess line;
        ASSERT_TRUE(line.Start(astrArgs));
        if (bBadUrl) {
            EXPECT_EQ(line.WaitExit(20000), 2);
        } else {
            ASSERT_TRUE(TEST_WaitUntil([&] { line.Exited(50); return line.Output().find(c.strLine) != std::string::npos; }, 20000))
                << line.Output();
            line.Exited(2500);  // several more attempts, none of them told
            EXPECT_EQ(line.Stop(), 0);
        }
        EXPECT_EQ(std::count(line.Output().begin(), line.Output().end(), '\n'), 1) << line.Output();
        EXPECT_NE(line.Output().find(c.strLine), std::string::npos) << line.Output();
        EXPECT_EQ(line.Output().find("s3cret"), std::string::npos) << "the password stays out of messages";
    }
}

}  // namespace
