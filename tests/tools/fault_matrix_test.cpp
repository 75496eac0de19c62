// Phone faults met by the headless station on a production line: quillon-flash against phones
// of quillon-phone-sim, one row per fault, point and number of phones. Each row states how every
// phone ends: passed with every written region verified against the images, failed within the
// bound with no lock and nothing destructive after its fault, or stopped with the others.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/line_run.h"

namespace {

// Every failing run must be over within this (the line's scripts rely on it).
constexpr uint32_t FAIL_BOUND_MS = 20000;
constexpr uint32_t PASS_BOUND_MS = 90000;

struct FAULT_ROW {
    const char* szName;
    uint32_t nPhones;
    std::vector<std::string> astrSim;    // the fault, as quillon-phone-sim options
    std::vector<std::string> astrFlash;  // quillon-flash options besides images and ports
    // One letter per phone: 'P' passes with every region verified; 'F' fails, is never locked,
    // and after its fault frame (below) nothing destructive reaches it; 'S' is stopped with the
    // others, unless it was done before: it passes only locked and verified, or not at all.
    const char* szEnds;
    int nFaultOpcode;         // the failing phones' fault frame: their first one of this opcode
                              // that was not simply acknowledged (-1: of any opcode)
    const char* szLogged;     // a line quillon-flash prints ("" none)
    // quillon-flash is interrupted once this line is out ("" never): its own, or the
    // simulator's "fault phone K OP REPLY" once the fault has met a phone.
    const char* szInterrupt;
};

// Rows print as their names.
void PrintTo(const FAULT_ROW& row, std::ostream* pOut)
{
    *pOut << row.szName;
}

std::vector<std::string> PiecesOnEveryReply()
{
    std::vector<std::string> a = {"--piece-gap-ms", "5"};
    for (const char* szOp : {"A0", "AA", "E6", "E3", "E0", "E1", "E4", "E2", "C0", "EE", "DD", "E7",
                             "E8", "90"}) {
        a.push_back("--pieces");
        a.push_back(std::string(szOp) + ":1:0");
    }
    return a;
}

const FAULT_ROW g_aRows[] = {
    // A reply split across reads is taken whole: the refused CRC check is seen as refused, and
    // the region fails before its flash range is erased.
    {"SplitReplyThenRefusedCrc", 1, {"--pieces", "E0:2", "--nak", "E1:1"}, {}, "F", 0xE1,
     "[CH0] log [Channel 0]  Check CRC QCSBL Data Fail", ""},
    {"EveryReplyInPiecesOnEightPhones", 8, PiecesOnEveryReply(), {}, "PPPPPPPP", -1, "", ""},
    {"DoubleAnswers", 1, {"--double", "E0:2", "--double", "DD:3", "--double", "E6:1"}, {}, "P", -1,
     "", ""},
    // A stop sends nothing more: a query it ended is no answer (no "Older Version Update" with
    // its MIBIB erase), and a write it ended is not followed by the next.
    {"InterruptedSafeDownloadQuery", 1, {"--silence", "E3:1"}, {}, "F", 0xE3, "",
     "fault phone 1 E3 none"},
    {"InterruptedSafeDownloadQueryOnEightPhones", 8, {"--silence", "E3:1@3"}, {}, "SSFSSSSS", 0xE3,
     "", "fault phone 3 E3 none"},
    {"InterruptedWrite", 1, {"--silence", "DD:2"}, {}, "F", 0xDD, "", "fault phone 1 DD none"},
};

class FaultMatrix : public ::testing::TestWithParam<FAULT_ROW> {
protected:
    void SetUp() override
    {
        char szDir[] = "/tmp/quillon-fault-matrix-XXXXXX";
        ASSERT_NE(::mkdtemp(szDir), nullptr);
        m_strDir = szDir;
        ASSERT_TRUE(LINE_RUN_WriteImages(m_strDir, &m_Set));
    }
    void TearDown() override
    {
        const std::string strCmd = "rm -rf '" + m_strDir + "'";
        EXPECT_EQ(std::system(strCmd.c_str()), 0);
    }

    std::string m_strDir;
    IMAGE_SET m_Set;
};

bool Contains(const std::string& strHay, const std::string& strNeedle)
{
    return strHay.find(strNeedle) != std::string::npos;
}

TEST_P(FaultMatrix, EndsAsTheRowSays)
{
    const FAULT_ROW& row = GetParam();
    const std::string strEnds = row.szEnds;
    ASSERT_EQ(strEnds.size(), row.nPhones);
    const bool bAllPass = strEnds.find_first_not_of('P') == std::string::npos;

    LINE_RUN_SPEC spec;
    spec.nPhones = row.nPhones;
    spec.astrSim = row.astrSim;
    spec.astrFlash = row.astrFlash;
    spec.strInterruptAt = row.szInterrupt;
    spec.dwBoundMs = bAllPass ? PASS_BOUND_MS : FAIL_BOUND_MS;
    const LINE_RUN_RESULT run = LINE_RUN_Execute(spec, m_Set, m_strDir);
    // Both programs' output is shown once, under the first failure.
    std::string strWhat = "station:\n" + run.strFlashOut + "\nphones:\n" + run.strSimOut;
    const auto what = [&strWhat] { return std::exchange(strWhat, std::string()); };

    ASSERT_EQ(run.aPhones.size(), row.nPhones) << what();
    EXPECT_EQ(run.nFlashExit, bAllPass ? 0 : 1) << what();
    if (bAllPass) {
        EXPECT_EQ(run.nSimExit, 0) << what();
    } else {
        EXPECT_LT(run.dwFlashMs, FAIL_BOUND_MS);
    }
    if (row.szInterrupt[0] != '\0') {
        EXPECT_TRUE(run.bInterrupted) << what();
    }
    if (row.szLogged[0] != '\0') {
        EXPECT_TRUE(Contains(run.strFlashOut, row.szLogged)) << what();
    }

    for (uint32_t k = 0; k < row.nPhones; ++k) {
        const LINE_PHONE& phone = run.aPhones[k];
        const std::string strCh = "[CH" + std::to_string(k) + "] ";
        const bool bPassed = Contains(run.strFlashOut, strCh + "bar  Download PASS. [");
        SCOPED_TRACE("phone " + std::to_string(k + 1) + " should end " + strEnds[k]);
        if (strEnds[k] == 'P' || (strEnds[k] == 'S' && bPassed)) {
            EXPECT_TRUE(bPassed) << what();
            EXPECT_EQ(phone.dwLocks, 1u);
            EXPECT_FALSE(phone.astrVerify.empty());
            for (const std::string& strVerify : phone.astrVerify)
                EXPECT_TRUE(strVerify.size() > 3 && strVerify.substr(strVerify.size() - 3) == " ok")
                    << strVerify;
            continue;
        }
        EXPECT_FALSE(bPassed) << what();
        EXPECT_EQ(phone.dwLocks, 0u) << what();
        if (strEnds[k] == 'F') {
            const int nFault = LINE_RUN_FirstFault(phone, row.nFaultOpcode);
            ASSERT_GE(nFault, 0) << "the fault never met the phone\n" << what();
            EXPECT_EQ(LINE_RUN_DestructiveAfter(phone, nFault), "") << what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(g_aRows),
                         [](const ::testing::TestParamInfo<FAULT_ROW>& info) {
                             return std::string(info.param.szName);
                         });

}  // namespace
