// How each channel's run ended, told the same way everywhere: quillon-flash on a virtual phone,
// one row per end (a pass, a failure at each step, a stop and a pull at some, a stall, a CSC
// skipped), and the bar's last text, the JSON outcome event, the result record and the exit
// status must all say what the row says.

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "support/line_run.h"

namespace {

struct OUTCOME_ROW {
    const char* szName;
    std::vector<std::string> astrSim;
    std::vector<std::string> astrFlash;
    const char* szInterrupt;  // the simulator's line at which quillon-flash is interrupted
    const char* szOutcome;
    const char* szStep;
    const char* szResult;
    const char* szWritten;  // the record's "written" array
    const char* szSkipped = "[]";
    void (*pfnSizes)(IMAGE_SET_SIZES&) = nullptr;
};

void PrintTo(const OUTCOME_ROW& row, std::ostream* pOut) { *pOut << row.szName; }

const std::vector<std::string> STALL = {"--stall-timeout", "1"};
void MultiCsc(IMAGE_SET_SIZES& s) { s.eCsc = CSC_MULTI; }

const char* const ALL = R"(["qcsbl","oemsbl","mibib","amss","fota","appsbl","pda","carrier"])";

const OUTCOME_ROW g_aRows[] = {
    {"Pass", {}, {}, "", "passed", "reboot wait", "PASS", ALL},
    {"RefusedUnlock", {"--refuse-unlock"}, {}, "", "failed", "unlock", "FLASH UNLOCK Fail !!!", "[]"},
    {"PartitionTableRefused", {"--nak", "AA:1:1:6"}, {}, "", "failed", "partition",
     "Send Partition Table Fail!", "[]"},
    {"McciNeverAnsweredClearly", {"--garbage", "E6:1:0"}, {}, "", "failed", "mcci", "MCCI QUERY Failed!", "[]"},
    {"CrcRefused", {"--corrupt-staged", "1"}, {}, "", "failed", "qcsbl", "QCSBL CRC CHECK Failed!", "[]"},
    {"MibibEraseRefused", {"--nak", "E4:3"}, {}, "", "failed", "mibib", "MIBIB ERASE FLASH Failed!",
     R"(["qcsbl","oemsbl"])"},
    {"AmssProgrammingRefused", {"--nak", "E2:5"}, {}, "", "failed", "amss", "AMSS FLASHING Failed!",
     R"(["qcsbl","oemsbl","mibib"])"},
    {"PdaEraseRefused", {"--nak", "EE:3"}, {}, "", "failed", "pda", "PDA ERASE FLASH Failed!",
     R"(["qcsbl","oemsbl","mibib","amss","fota","appsbl"])"},
    {"LockRefused", {"--nak", "90:1"}, {}, "", "failed", "lock", "FLASH LOCK Fail !!!", ALL},
    {"StopAtUnlock", {"--hold", "A0:1:1:1000"}, {}, "fault phone 1 A0 held", "stopped", "unlock",
     "Stopped", "[]"},
    {"StopInThePda", {"--hold", "DD:3:1:1000"}, {"--select", "pda"}, "fault phone 1 DD held",
     "stopped", "pda", "Stopped", "[]"},
    {"PulledAtUnlock", {"--drop", "A0:1"}, {}, "", "disconnected", "unlock",
     "ERROR!! Disconnected COM1 Port", "[]"},
    {"PulledInThePda", {"--drop", "DD:3"}, {"--select", "pda"}, "", "disconnected", "pda",
     "ERROR!! Disconnected COM1 Port", "[]"},
    {"StalledInTheAmss", {"--silence", "E0:12"}, STALL, "", "stalled", "amss", "Phone Stopped Answering!",
     R"(["qcsbl","oemsbl","mibib"])"},
    {"CscSkippedForItsReserve", {"--csc-reserve-capacity", "1"}, {}, "", "passed", "reboot wait", "PASS",
     R"(["qcsbl","oemsbl","mibib","amss","fota","appsbl","pda"])",
     R"([{"region":"carrier","reason":"the phone's CSC reserve is too small"}])", MultiCsc},
};

using Outcome = CLineRunTest<OUTCOME_ROW>;

TEST_P(Outcome, BarEventRecordAndExitStatusAgree)
{
    const OUTCOME_ROW& row = GetParam();
    const std::string strResults = m_strDir + "/results.jsonl";
    LINE_RUN_PLAN plan;
    plan.astrSim = row.astrSim;
    plan.astrFlash = {"--json", "--results", strResults};
    plan.astrFlash.insert(plan.astrFlash.end(), row.astrFlash.begin(), row.astrFlash.end());
    plan.strInterruptAt = row.szInterrupt;
    plan.dwBoundMs = 30000;
    const LINE_RUN_RESULT run = LINE_RUN_Execute(plan, m_Set, m_strDir);
    const std::string strWhat = "station:\n" + run.strFlashOut + "\nphones:\n" + run.strSimOut;

    const bool bPassed = std::string(row.szOutcome) == "passed";
    EXPECT_EQ(run.nFlashExit, bPassed ? 0 : 1) << strWhat;

    const std::vector<std::string> astrEvent = LINE_RUN_JsonEvents(run.strFlashOut, "outcome", 0);
    ASSERT_EQ(astrEvent.size(), 1u) << strWhat;
    std::ifstream in(strResults);
    std::string strRecord;
    ASSERT_TRUE(std::getline(in, strRecord)) << strWhat;
    const std::string strCause = std::string(row.szOutcome) == "stopped" ? "interrupted by SIGINT" : "null";
    for (const std::string* pLine : {&astrEvent[0], static_cast<const std::string*>(&strRecord)}) {
        SCOPED_TRACE(*pLine);
        EXPECT_EQ(LINE_RUN_JsonValue(*pLine, "outcome"), row.szOutcome);
        EXPECT_EQ(LINE_RUN_JsonValue(*pLine, "step"), row.szStep);
        EXPECT_EQ(LINE_RUN_JsonValue(*pLine, "result"), row.szResult);
        EXPECT_EQ(LINE_RUN_JsonValue(*pLine, "cause"), strCause);
    }
    EXPECT_EQ(LINE_RUN_JsonValue(strRecord, "written"), row.szWritten);
    EXPECT_EQ(LINE_RUN_JsonValue(strRecord, "skipped"), row.szSkipped);

    // The bar ends on the result's own text, in the colour of its end; a stopped channel keeps
    // the progress text it had.
    const std::vector<std::string> astrBar = LINE_RUN_JsonEvents(run.strFlashOut, "bar", 0);
    ASSERT_FALSE(astrBar.empty());
    const std::string strText = LINE_RUN_JsonValue(astrBar.back(), "text");
    const std::string strColour = LINE_RUN_JsonValue(astrBar.back(), "color");
    if (bPassed) {
        EXPECT_EQ(strText.rfind(" Download PASS. [", 0), 0u) << strText;
        EXPECT_EQ(strColour, "#00ff00");
    } else if (std::string(row.szOutcome) == "stopped") {
        EXPECT_NE(strColour, "#ff0000") << strText;
    } else {
        EXPECT_EQ(strText, std::string(" ") + row.szResult);
        EXPECT_EQ(strColour, "#ff0000");
    }
    // A stop is said once, with its cause (a failure before the regions stops the run too).
    size_t nStopLines = 0;
    for (size_t n = 0; (n = run.strFlashOut.find("Run stopped: ", n)) != std::string::npos; ++n) ++nStopLines;
    EXPECT_LE(nStopLines, 1u) << strWhat;
    if (std::string(row.szOutcome) == "stopped") {
        EXPECT_EQ(nStopLines, 1u) << strWhat;
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, Outcome, ::testing::ValuesIn(g_aRows),
                         [](const ::testing::TestParamInfo<OUTCOME_ROW>& info) {
                             return std::string(info.param.szName);
                         });

}  // namespace
