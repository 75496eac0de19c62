// The shared command-line parser: what each program's options become, and the one line a usage
// error gives.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "station/command_line.h"

namespace {

enum { ID_A, ID_B, ID_SHARED, ID_OPT };

const std::vector<CLI_OPTION> kOptions = {
    {"alpha", true, ID_A, 'a'},        {"beta", false, ID_B},
    {"verify-one", true, ID_SHARED},   {"verify-two", true, ID_SHARED},
    {"verify-two-more", true, ID_SHARED}, {"maybe", false, ID_OPT, 0, true},
};

// "--name=value" for each option met, then "| operand" for each operand; or "error: LINE".
std::string Parse(std::vector<std::string> astrArgs)
{
    astrArgs.insert(astrArgs.begin(), "prog");
    std::vector<char*> apsz;
    for (std::string& str : astrArgs) apsz.push_back(str.data());
    apsz.push_back(nullptr);
    std::string strOut;
    testing::internal::CaptureStderr();
    CCommandLine cl("prog", static_cast<int>(astrArgs.size()), apsz.data(), kOptions);
    std::string strValue;
    for (int n; (n = cl.Next(strValue)) != CLI_END;) {
        if (n == CLI_ERROR) {
            strOut = "error: " + testing::internal::GetCapturedStderr();
            return strOut;
        }
        strOut += cl.Name() + "=" + strValue + " ";
    }
    testing::internal::GetCapturedStderr();
    for (const std::string& str : cl.Operands()) strOut += "| " + str + " ";
    return strOut;
}

}  // namespace

TEST(CommandLine, NamesValuesAbbreviationsAndOperandsAsEveryProgramTakesThem)
{
    const struct {
        std::vector<std::string> astrArgs;
        const char* szExpected;
    } aRows[] = {
        {{"--alpha=1", "--beta", "x"}, "--alpha=1 --beta= | x "},
        {{"x", "--alpha", "2", "-a3"}, "--alpha=2 --alpha=3 | x "},
        // Options that share one case are still told apart by name, also when abbreviated.
        {{"--verify-two", "p", "--verify-one", "q", "--verify-two-m=r"},
         "--verify-two=p --verify-one=q --verify-two-more=r "},
        {{"--al=4"}, "--alpha=4 "},
        {{"--maybe", "--maybe=@3"}, "--maybe= --maybe=@3 "},
        {{"--", "--beta"}, "| --beta "},
        {{"--bogus"}, "error: prog: unknown option --bogus (try --help)\n"},
        {{"--verify"}, "error: prog: --verify is ambiguous: --verify-one, --verify-two, --verify-two-more (try --help)\n"},
        {{"--beta=1"}, "error: prog: --beta takes no value (try --help)\n"},
        {{"--alpha"}, "error: prog: --alpha needs a value (try --help)\n"},
        {{"--verify-one"}, "error: prog: --verify-one needs a value (try --help)\n"},
    };
    for (const auto& row : aRows) {
        std::string strArgs;
        for (const std::string& str : row.astrArgs) strArgs += str + " ";
        EXPECT_EQ(Parse(row.astrArgs), row.szExpected) << strArgs;
    }
}
