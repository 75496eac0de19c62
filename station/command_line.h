// One command-line style for every program of the station, on getopt_long: --name=value and
// --name value, unambiguous abbreviations, -- before operands that look like options, and usage
// errors said in one line ("PROGRAM: WHAT IS WRONG (try --help)", exit status 2). Also the small
// number and list parsers the programs share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int CLI_EXIT_USAGE = 2;
// What CCommandLine::Next returns besides an option's id.
constexpr int CLI_END = -1;    // no option left: the operands follow
constexpr int CLI_ERROR = -2;  // a usage error, already said

struct CLI_OPTION {
    const char* szName;  // without the dashes
    bool bValue;         // takes a value
    int nId;             // what Next returns for it (>= 0)
    char cShort = 0;     // a one-letter form, if any
    bool bOptional = false;  // the value may be left out; given only as --name=value
};

class CCommandLine {
public:
    CCommandLine(const char* szProgram, int argc, char** argv, std::vector<CLI_OPTION> aOption);

    // The next option's id, with its value (for one that takes a value) in strValue.
    int Next(std::string& strValue);
    // The operands, in order, once Next has returned CLI_END.
    std::vector<std::string> Operands() const;
    // The option Next returned last, as "--name".
    std::string Name() const;

    // Says a usage error in one line on standard error; CLI_EXIT_USAGE.
    int Usage(const std::string& strWhat) const;
    // A whole number (decimal, or 0x hexadecimal when bHex) from nMin to nMax for the option
    // just returned; otherwise a usage error naming the range, and false.
    bool Number(const std::string& strValue, uint64_t qwMin, uint64_t qwMax, uint64_t* pqw,
                bool bHex = false) const;

private:
    std::string m_strProgram;
    int m_argc;
    char** m_argv;
    std::vector<CLI_OPTION> m_aOption;
    std::string m_strShort;
    int m_nLast = -1;  // the table entry Next returned last
};

// A whole unsigned number; base 0 takes decimal or 0x hexadecimal. A sign is refused, since
// strtoull would turn "-1" into the largest value.
bool CLI_ParseNumber(const std::string& str, uint64_t* pqw, int nBase = 0);
// The pieces of a text between separators.
std::vector<std::string> CLI_Split(const std::string& str, char c);
