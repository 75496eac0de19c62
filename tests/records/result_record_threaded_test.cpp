// Result records: the line written for each channel that ends, the text of its result, and the
// results file kept by a background writer: whole records, digests of the images as flashed,
// the day's counts, and a file that cannot be written never holding up the station.
#include "images/channel_image.h"
#include "records/result_record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "images/image_digest.h"
#include "station/station_core.h"
#include "support/images_fixture.h"

namespace {

RESULT_RECORD SampleRecord()
{
    RESULT_RECORD r;
    r.strTime = "2024-05-01T14:03:22+02:00";
    r.strHost = "line3";
    r.nChannel = 2;
    r.nPort = 7;
    r.strDevNode = "/dev/ttyUSB4";
    r.identity = {"R58M12345", "pci-0000:00:14.0-usb-0:1.2:1.0"};
    r.nModel = 4;
    r.strModel = "TR-650";
    r.aImages = {{1, "/img/phone.bin", 2654400, std::string(64, 'a')}, {3, "/img/pda.pda", 1048768, ""}};
    r.astrSelection = {"pboot", "phone", "pda"};
    r.outcome.eKind = OUTCOME_PASSED;
    r.outcome.strStep = "reboot wait";
    r.outcome.astrWritten = {"qcsbl", "pda"};
    r.dwElapsedMs = 61234;
    r.qwBytesSent = 4072424;
    r.strId = "line3:17";
    return r;
}

// Splits one CSV row as a spreadsheet reads it.
std::vector<std::string> CsvFields(const std::string& strRow)
{
    std::vector<std::string> a(1);
    bool bQuoted = false;
    for (size_t i = 0; i < strRow.size(); ++i) {
        const char c = strRow[i];
        if (bQuoted && c == '"' && i + 1 < strRow.size() && strRow[i + 1] == '"') {
            a.back() += '"';
            ++i;
        } else if (c == '"') {
            bQuoted = !bQuoted;
        } else if (c == ',' && !bQuoted) {
            a.emplace_back();
        } else if (!(c == '\n' && !bQuoted && i + 1 == strRow.size())) {
            a.back() += c;
        }
    }
    return a;
}

std::vector<std::string> Lines(const std::string& strPath)
{
    std::ifstream in(strPath);
    std::vector<std::string> a;
    for (std::string str; std::getline(in, str);) a.push_back(str);
    return a;
}

std::string Today() { return RESULT_RECORD_Time(std::time(nullptr)).substr(0, 10); }

std::string HostName()
{
    char sz[256] = {};
    ::gethostname(sz, sizeof(sz) - 1);
    return sz;
}

// A Start on two image files of the scratch directory.
struct START_FIXTURE {
    CImagesTempDir dir;
    CVarnDLCore core;
    std::shared_ptr<DOWNLOAD_PLAN> pPlan = std::make_shared<DOWNLOAD_PLAN>();
    DOWNLOAD_TICKS ticks;
    std::vector<uint8_t> abyPhone = std::vector<uint8_t>(5000, 0x11), abyPda = std::vector<uint8_t>(70000, 0x22);

    START_FIXTURE()
    {
        ImagesWriteBytes(dir.File("phone.bin"), abyPhone);
        ImagesWriteBytes(dir.File("pda.pda"), abyPda);
        for (int k : {1, 3}) {
            pPlan->astrImagePath[k] = dir.File(k == 1 ? "phone.bin" : "pda.pda");
            pPlan->aImageStamp[k] = ENGINE_StampPath(pPlan->astrImagePath[k]);
        }
        core.m_nModel = 3;
        ticks.bPhoneBoot = ticks.bPhone = ticks.bPda = true;
    }
    static CHANNEL_END End(bool bPassed, const std::string& strText)
    {
        CHANNEL_END end;
        end.nPort = 5;
        end.strDevNode = "/dev/pts/9";
        end.outcome.eKind = bPassed ? OUTCOME_PASSED : OUTCOME_FAILED;
        end.outcome.strText = strText;
        end.dwElapsedMs = 1500;
        end.qwBytesSent = 123456;
        return end;
    }
};

class ResultFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        RESULT_RECORD_SetProblemSink([this](const std::string& str) { m_astrProblems.push_back(str); });
    }
    void TearDown() override
    {
        RESULT_RECORD_Close(5000);
        RESULT_RECORD_SetProblemSink(nullptr);
        RESULT_RECORD_SetOnCounted(nullptr);
    }
    std::vector<std::string> m_astrProblems;  // told on the writer's thread, read after Close
};

}  // namespace

TEST(ResultRecordText, JsonHoldsEveryFieldAndNullForWhatIsUnknown)
{
    RESULT_RECORD r = SampleRecord();
    EXPECT_EQ(RESULT_RECORD_Json(r),
              "{\"time\":\"2024-05-01T14:03:22+02:00\",\"host\":\"line3\",\"channel\":2,\"port\":7,"
              "\"device\":\"/dev/ttyUSB4\",\"serial\":\"R58M12345\",\"port_path\":\"pci-0000:00:14.0-usb-0:1.2:1.0\","
              "\"model\":4,\"model_name\":\"TR-650\",\"images\":[{\"kind\":\"phone\",\"path\":\"/img/phone.bin\","
              "\"size\":2654400,\"sha256\":\"" + std::string(64, 'a') + "\"},{\"kind\":\"pda\",\"path\":"
              "\"/img/pda.pda\",\"size\":1048768,\"sha256\":null}],\"selection\":[\"pboot\",\"phone\",\"pda\"],"
              "\"result\":\"PASS\",\"elapsed_ms\":61234,\"bytes_sent\":4072424,\"outcome\":\"passed\","
              "\"step\":\"reboot wait\",\"cause\":null,\"written\":[\"qcsbl\",\"pda\"],\"skipped\":[],"
              "\"id\":\"line3:17\"}\n");
    r.identity = {};
    const std::string strJson = RESULT_RECORD_Json(r);
    EXPECT_NE(strJson.find("\"serial\":null,\"port_path\":null,"), std::string::npos) << strJson;
}

TEST(ResultRecordText, EveryRecordParsesBackWhateverBytesItsTextsHold)
{
    const struct {
        std::string strPath;
        std::string strRead;  // the path as a JSON reader gets it back
    } aCase[] = {
        {"/img/a\"b\\c.bin", "/img/a\"b\\c.bin"},
        {"/img/line\nbreak\ttab\x01.bin", "/img/line\nbreak\ttab\x01.bin"},
        {"/img/t\xe9l\xe9phone.bin", "/img/t\u00e9l\u00e9phone.bin"},  // Latin-1: each byte its character
        {"/img/\xc3\xa9t\xc3", "/img/\u00e9t\u00c3"},                // UTF-8, then a cut sequence
    };
    for (const auto& c : aCase) {
        RESULT_RECORD r = SampleRecord();
        r.aImages[0].strPath = c.strPath;
        r.strHost = c.strPath;
        const std::string strJson = RESULT_RECORD_Json(r);
        EXPECT_EQ(strJson.find('\n'), strJson.size() - 1) << "one line: " << strJson;
        const nlohmann::json record = nlohmann::json::parse(strJson, nullptr, false);
        ASSERT_TRUE(record.is_object()) << strJson;
        EXPECT_EQ(record["images"][0]["path"], c.strRead);
        EXPECT_EQ(record["host"], c.strRead);
        EXPECT_EQ(record["written"], nlohmann::json::array({"qcsbl", "pda"}));
    }
}

TEST(ResultRecordText, CsvRowsLineUpWithTheHeaderWhateverThePaths)
{
    const std::vector<std::string> astrHeader = CsvFields(RESULT_RECORD_CsvHeader());
    ASSERT_EQ(astrHeader.size(), 13u + 6 * 3 + 5 + 1);
    EXPECT_EQ(astrHeader.back(), "id") << "new columns go last";
    const struct {
        std::string strPath;
        std::string strRead;  // as a spreadsheet shows the field
    } aCase[] = {
        {"/img/phone.bin", "/img/phone.bin"},
        {"/img/a,b.bin", "/img/a,b.bin"},
        {"/img/\"quoted\".bin", "/img/\"quoted\".bin"},
        {"/img/line\nbreak.bin", "/img/line\nbreak.bin"},
        {"=HYPERLINK(\"x\")", "'=HYPERLINK(\"x\")"},
        {"+1", "'+1"},
        {"-rf", "'-rf"},
        {"@SUM(A1)", "'@SUM(A1)"},
    };
    for (const auto& c : aCase) {
        RESULT_RECORD r = SampleRecord();
        r.aImages[0].strPath = c.strPath;
        const std::vector<std::string> astr = CsvFields(RESULT_RECORD_CsvRow(r));
        ASSERT_EQ(astr.size(), astrHeader.size()) << c.strPath;
        std::map<std::string, std::string> row;
        for (size_t i = 0; i < astr.size(); ++i) row[astrHeader[i]] = astr[i];
        EXPECT_EQ(row["phone_path"], c.strRead);
        EXPECT_EQ(row["phone_size"], "2654400");
        EXPECT_EQ(row["pda_sha256"], "");
        EXPECT_EQ(row["eboot_path"], "");
        EXPECT_EQ(row["selection"], "pboot,phone,pda");
        EXPECT_EQ(row["result"], "PASS");
        EXPECT_EQ(row["port_path"], "pci-0000:00:14.0-usb-0:1.2:1.0");
        EXPECT_EQ(row["bytes_sent"], "4072424");
        EXPECT_EQ(row["written"], "qcsbl,pda");
    }
}

TEST(ResultRecordText, TheResultIsPassStoppedOrTheBarsTextOfTheEnd)
{
    const struct {
        OUTCOME_KIND eKind;
        const char* szText;
        const char* szResult;
    } aCase[] = {
        {OUTCOME_PASSED, " Download PASS. [ 3 Sec.]", "PASS"},
        {OUTCOME_FAILED, " FLASH UNLOCK Fail !!!\r\n", "FLASH UNLOCK Fail !!!"},
        {OUTCOME_FAILED, "   ", "failed"},
        {OUTCOME_STOPPED, "", "Stopped"},
        {OUTCOME_DISCONNECTED, " ERROR!! Disconnected COM3 Port", "ERROR!! Disconnected COM3 Port"},
        {OUTCOME_STALLED, " Phone Stopped Answering!", "Phone Stopped Answering!"},
    };
    for (const auto& c : aCase) {
        CHANNEL_OUTCOME outcome;
        outcome.eKind = c.eKind;
        outcome.strText = c.szText;
        EXPECT_EQ(OUTCOME_ResultText(outcome), c.szResult) << c.szText;
    }
}

TEST(ResultRecordText, TimeCarriesTheZoneOffset)
{
    const char* szOldTz = std::getenv("TZ");
    const std::string strOldTz = szOldTz ? szOldTz : "";
    const struct {
        const char* szTz;
        const char* szTime;
    } aCase[] = {
        {"UTC0", "2024-05-01T12:03:22+00:00"},
        {"XYZ-2", "2024-05-01T14:03:22+02:00"},
        {"XYZ-5:30", "2024-05-01T17:33:22+05:30"},
        {"XYZ3", "2024-05-01T09:03:22-03:00"},
    };
    for (const auto& c : aCase) {
        ::setenv("TZ", c.szTz, 1);
        ::tzset();
        EXPECT_EQ(RESULT_RECORD_Time(1714565002), c.szTime) << c.szTz;
    }
    if (szOldTz)
        ::setenv("TZ", strOldTz.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST_F(ResultFile, EveryEndedChannelAppendsOneRecordWithTheImagesDigests)
{
    START_FIXTURE st;
    for (const char* szName : {"results.jsonl", "results.CSV"}) {
        SCOPED_TRACE(szName);
        const std::string strPath = st.dir.File(szName);
        std::string strError;
        ASSERT_TRUE(RESULT_RECORD_Open(strPath, strError)) << strError;
        std::atomic<int> nCounted{0};
        RESULT_RECORD_SetOnCounted([&nCounted] { ++nCounted; });
        auto pStart = RESULT_RECORD_BeginStart(st.core, st.pPlan, st.ticks);
        ASSERT_TRUE(pStart);
        RESULT_RECORD_ChannelEnded(pStart, 0, START_FIXTURE::End(true, "PASS"));
        RESULT_RECORD_ChannelEnded(pStart, 1, START_FIXTURE::End(false, "FLASH UNLOCK Fail !!!"));
        ASSERT_TRUE(RESULT_RECORD_Flush(5000));
        uint32_t nPass = 0, nFail = 0;
        RESULT_RECORD_DayCounts(nPass, nFail);
        EXPECT_EQ(nPass, 1u);
        EXPECT_EQ(nFail, 1u);
        EXPECT_EQ(nCounted, 2);
        ASSERT_TRUE(RESULT_RECORD_Close(5000));

        const std::vector<std::string> astrLines = Lines(strPath);
        const bool bCsv = szName[8] == 'C';
        ASSERT_EQ(astrLines.size(), bCsv ? 3u : 2u);
        const std::string& strFirst = astrLines[bCsv ? 1 : 0];
        for (const std::vector<uint8_t>* p : {&st.abyPhone, &st.abyPda})
            EXPECT_NE(strFirst.find(IMAGE_DIGEST_Bytes(p->data(), p->size())), std::string::npos) << strFirst;
        EXPECT_NE(astrLines.back().find("FLASH UNLOCK Fail !!!"), std::string::npos);
        if (bCsv) {
            EXPECT_EQ(astrLines[0] + "\n", RESULT_RECORD_CsvHeader());
            // A second station run on the same file adds rows, not another header.
            ASSERT_TRUE(RESULT_RECORD_Open(strPath, strError));
            RESULT_RECORD_ChannelEnded(RESULT_RECORD_BeginStart(st.core, st.pPlan, st.ticks), 3,
                                       START_FIXTURE::End(true, "PASS"));
            ASSERT_TRUE(RESULT_RECORD_Close(5000));
            ASSERT_EQ(Lines(strPath).size(), 4u);
            EXPECT_EQ(Lines(strPath)[3].find("time"), std::string::npos);
        } else {
            EXPECT_EQ(strFirst.rfind("{\"time\":\"" + Today(), 0), 0u) << strFirst;
            EXPECT_NE(strFirst.find("\"device\":\"/dev/pts/9\",\"serial\":null"), std::string::npos);
            EXPECT_NE(strFirst.find("\"selection\":[\"pboot\",\"phone\",\"pda\"],\"result\":\"PASS\","
                                    "\"elapsed_ms\":1500,\"bytes_sent\":123456,\"outcome\":\"passed\""),
                      std::string::npos)
                << strFirst;
        }
    }
    EXPECT_TRUE(m_astrProblems.empty());
}

// The line keeps one record per id: ids never repeat, across restarts of the station, and even
// when the counter kept beside the file is lost.
TEST_F(ResultFile, RecordIdsStayUniqueAcrossRestartsAndALostCounter)
{
    START_FIXTURE st;
    for (const char* szName : {"results.jsonl", "results.csv"}) {
        SCOPED_TRACE(szName);
        const std::string strPath = st.dir.File(szName);
        const auto writeOne = [&] {
            std::string strError;
            ASSERT_TRUE(RESULT_RECORD_Open(strPath, strError)) << strError;
            RESULT_RECORD_ChannelEnded(RESULT_RECORD_BeginStart(st.core, st.pPlan, st.ticks), 0,
                                       START_FIXTURE::End(true, "PASS"));
            ASSERT_TRUE(RESULT_RECORD_Close(5000));
        };
        RESULT_RECORD_SetStation("line7");
        writeOne();
        writeOne();
        std::filesystem::remove(strPath + ".seq");
        writeOne();
        RESULT_RECORD_SetStation("");
        writeOne();
        std::vector<std::string> astrIds;
        for (const std::string& strLine : Lines(strPath)) {
            const std::vector<std::string> astr = CsvFields(strLine);
            if (szName[8] == 'c') astrIds.push_back(astr.back());
            else astrIds.push_back(nlohmann::json::parse(strLine)["id"]);
        }
        if (szName[8] == 'c') astrIds.erase(astrIds.begin());  // the header row
        EXPECT_EQ(astrIds, (std::vector<std::string>{"line7:1", "line7:2", "line7:3", HostName() + ":4"}));
    }
    EXPECT_TRUE(m_astrProblems.empty());
}

TEST_F(ResultFile, AnImageChangedBeforeItIsHashedGetsNoDigest)
{
    START_FIXTURE st;
    const std::string strPath = st.dir.File("results.jsonl");
    std::string strError;
    ASSERT_TRUE(RESULT_RECORD_Open(strPath, strError));
    st.abyPda.push_back(0x33);  // the PDA grows after the plan stamped it
    ImagesWriteBytes(st.dir.File("pda.pda"), st.abyPda);
    RESULT_RECORD_ChannelEnded(RESULT_RECORD_BeginStart(st.core, st.pPlan, st.ticks), 0,
                               START_FIXTURE::End(false, "PDA image file changed during download!"));
    ASSERT_TRUE(RESULT_RECORD_Close(5000));
    const std::vector<std::string> astrLines = Lines(strPath);
    ASSERT_EQ(astrLines.size(), 1u);
    EXPECT_NE(astrLines[0].find("\"path\":\"" + st.dir.File("pda.pda") + "\",\"size\":70000,\"sha256\":null"),
              std::string::npos)
        << astrLines[0];
    EXPECT_NE(astrLines[0].find(IMAGE_DIGEST_Bytes(st.abyPhone.data(), st.abyPhone.size())), std::string::npos);
}

TEST_F(ResultFile, TheDayCountsStartFromThisHostsRecordsOfToday)
{
    CImagesTempDir dir;
    const std::string strPath = dir.File("results.jsonl");
    const std::string strHost = ",\"host\":\"" + HostName() + "\",";
    const std::string strToday = "{\"time\":\"" + Today() + "T08:00:00+00:00\"";
    const std::string strLong = std::string(70000, 'x');  // lines that straddle the pieces read back
    std::ofstream(strPath) << "{\"time\":\"2000-01-01T08:00:00+00:00\"" << strHost << "\"result\":\"PASS\",\"x\":1}\n"
                           << strToday << strHost << "\"result\":\"PASS\",\"x\":\"" << strLong << "\"}\n"
                           << "{\"time\":\"" << Today() << "T09:00:00+00:00\",\"host\":\"other\",\"result\":\"PASS\",\"x\":1}\n"
                           << strToday << strHost << "\"path\":\"\\\",\\\"result\\\":\\\"PASS\\\"\",\"result\":\"Stopped\",\"x\":1}\n"
                           << "{\"time\":\"" << Today() << "T10:0"  // a torn record
                           << "\n"
                           << strToday << strHost << "\"result\":\"PASS\",\"x\":1}\n";
    std::string strError;
    ASSERT_TRUE(RESULT_RECORD_Open(strPath, strError));
    uint32_t nPass = 0, nFail = 0;
    RESULT_RECORD_DayCounts(nPass, nFail);
    EXPECT_EQ(nPass, 2u);
    EXPECT_EQ(nFail, 1u);
}

TEST_F(ResultFile, AFileTakenAwayBetweenTwoRecordsIsMadeAgainAtItsPath)
{
    START_FIXTURE st;
    const std::string strPath = st.dir.File("results.jsonl");
    for (const bool bRename : {false, true}) {
        SCOPED_TRACE(bRename ? "renamed" : "deleted");
        m_astrProblems.clear();
        std::string strError;
        ASSERT_TRUE(RESULT_RECORD_Open(strPath, strError)) << strError;
        auto pStart = RESULT_RECORD_BeginStart(st.core, st.pPlan, st.ticks);
        RESULT_RECORD_ChannelEnded(pStart, 0, START_FIXTURE::End(true, "PASS"));
        ASSERT_TRUE(RESULT_RECORD_Flush(5000));
        if (bRename)
            ASSERT_EQ(::rename(strPath.c_str(), (strPath + ".1").c_str()), 0);
        else
            ASSERT_EQ(::unlink(strPath.c_str()), 0);
        RESULT_RECORD_ChannelEnded(pStart, 1, START_FIXTURE::End(false, "FLASH LOCK Fail !!!"));
        RESULT_RECORD_ChannelEnded(pStart, 2, START_FIXTURE::End(false, "FLASH LOCK Fail !!!"));
        ASSERT_TRUE(RESULT_RECORD_Flush(5000));
        uint32_t nPass = 0, nFail = 0;
        RESULT_RECORD_DayCounts(nPass, nFail);
        EXPECT_EQ(nPass, 0u) << "the PASS is in a file that is gone";
        EXPECT_EQ(nFail, 2u);
        ASSERT_TRUE(RESULT_RECORD_Close(5000));
        EXPECT_EQ(Lines(strPath).size(), 2u);
        ASSERT_EQ(m_astrProblems.size(), 1u);
        EXPECT_NE(m_astrProblems[0].find("deleted or renamed"), std::string::npos);
        ::unlink(strPath.c_str());
    }
}

TEST_F(ResultFile, AFileThatCannotBeOpenedIsRefusedAndTheStationRunsOn)
{
    CImagesTempDir dir;
    START_FIXTURE st;
    const std::string astrPath[] = {"/dev/null", dir.Path(), dir.File("missing/results.jsonl")};
    for (const std::string& strPath : astrPath) {
        std::string strError;
        EXPECT_FALSE(RESULT_RECORD_Open(strPath, strError)) << strPath;
        EXPECT_FALSE(strError.empty());
        EXPECT_EQ(RESULT_RECORD_BeginStart(st.core, st.pPlan, st.ticks), nullptr) << "nothing to hash for";
        RESULT_RECORD_ChannelEnded(nullptr, 0, START_FIXTURE::End(true, "PASS"));
        uint32_t nPass = 0, nFail = 0;
        RESULT_RECORD_DayCounts(nPass, nFail);
        EXPECT_EQ(nPass + nFail, 0u) << "the counts are what the file holds";
        EXPECT_TRUE(RESULT_RECORD_Close(5000));
    }
    EXPECT_TRUE(m_astrProblems.empty()) << "the caller tells why the file was refused";
}

TEST_F(ResultFile, AFullDiskIsToldOnceAndATornRecordLeavesTheNextWhole)
{
    START_FIXTURE st;
    const std::string strPath = st.dir.File("results.jsonl");
    std::string strError;
    ASSERT_TRUE(RESULT_RECORD_Open(strPath, strError));
    auto pStart = RESULT_RECORD_BeginStart(st.core, st.pPlan, st.ticks);
    RESULT_RECORD_ChannelEnded(pStart, 0, START_FIXTURE::End(true, "PASS"));
    ASSERT_TRUE(RESULT_RECORD_Close(5000));
    const size_t nOne = Lines(strPath)[0].size() + 1;

    // The file may grow by half a record: the next one is cut short, those after it find no room.
    rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = old;
    tight.rlim_cur = nOne + nOne / 2;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    ASSERT_TRUE(RESULT_RECORD_Open(strPath, strError));
    pStart = RESULT_RECORD_BeginStart(st.core, st.pPlan, st.ticks);
    for (int i = 1; i <= 3; ++i) RESULT_RECORD_ChannelEnded(pStart, i, START_FIXTURE::End(true, "PASS"));
    ASSERT_TRUE(RESULT_RECORD_Close(5000));
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_EQ(m_astrProblems.size(), 1u);
    EXPECT_EQ(m_astrProblems[0], "Result records cannot be written to " + strPath +
                                     ": the disk took only part of a record. Downloads go on without them.");

    // Room again: the next record starts on a line of its own.
    ASSERT_TRUE(RESULT_RECORD_Open(strPath, strError));
    RESULT_RECORD_ChannelEnded(RESULT_RECORD_BeginStart(st.core, st.pPlan, st.ticks), 7,
                               START_FIXTURE::End(false, "FLASH LOCK Fail !!!"));
    ASSERT_TRUE(RESULT_RECORD_Close(5000));
    const std::vector<std::string> astrLines = Lines(strPath);
    ASSERT_EQ(astrLines.size(), 3u);
    EXPECT_EQ(astrLines[1].size(), nOne / 2) << "the torn part, alone on its line";
    EXPECT_EQ(astrLines[2].rfind("{\"time\":", 0), 0u);
    EXPECT_NE(astrLines[2].find("\"channel\":7,"), std::string::npos);
    EXPECT_EQ(astrLines[2].back(), '}');
}

TEST_F(ResultFile, RelativePathsAreRecordedAsAbsoluteOnes)
{
    START_FIXTURE st;
    const std::string strPath = st.dir.File("results.jsonl");
    std::string strError;
    ASSERT_TRUE(RESULT_RECORD_Open(strPath, strError));
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(st.dir.File(""));
    st.pPlan->astrImagePath[1] = "./phone.bin";
    CHANNEL_END end = START_FIXTURE::End(true, "PASS");
    end.strDevNode = "ports/COM1";
    RESULT_RECORD_ChannelEnded(RESULT_RECORD_BeginStart(st.core, st.pPlan, st.ticks), 0, end);
    ASSERT_TRUE(RESULT_RECORD_Close(5000));
    std::filesystem::current_path(cwd);
    const std::string strLine = Lines(strPath).at(0);
    EXPECT_NE(strLine.find("\"device\":\"" + st.dir.File("ports/COM1") + "\""), std::string::npos) << strLine;
    EXPECT_NE(strLine.find("\"path\":\"" + st.dir.File("phone.bin") + "\",\"size\":5000,\"sha256\":\"" +
                           IMAGE_DIGEST_Bytes(st.abyPhone.data(), st.abyPhone.size())),
              std::string::npos)
        << strLine;
}
