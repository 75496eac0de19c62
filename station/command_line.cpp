#include "station/command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// "--name", built piece by piece (GCC 12 takes "--" + string for an overlapping copy).
std::string Dashed(const char* szName)
{
    std::string str = "--";
    return str.append(szName);
}

}  // namespace

CCommandLine::CCommandLine(const char* szProgram, int argc, char** argv, std::vector<CLI_OPTION> aOption)
    : m_strProgram(szProgram), m_argc(argc), m_argv(argv), m_aOption(std::move(aOption)),
      // A leading ':' makes a missing value its own answer; messages are ours, never getopt's.
      m_strShort(1, ':')
{
    for (const CLI_OPTION& o : m_aOption) {
        if (o.cShort == 0) continue;
        m_strShort += o.cShort;
        if (o.bValue) m_strShort += ':';
    }
    opterr = 0;
    optind = 0;  // a fresh scan, also for a second command line in one process (the tests)
}

int CCommandLine::Next(std::string& strValue)
{
    std::vector<option> aLong;
    // Each entry answers with its own place in the table, not its id: options that share an id
    // (one case for several names) must still be told apart by Name() and by abbreviations.
    for (size_t k = 0; k < m_aOption.size(); ++k) {
        const CLI_OPTION& o = m_aOption[k];
        aLong.push_back({o.szName, o.bOptional ? optional_argument : o.bValue ? required_argument : no_argument,
                         nullptr, 0x100 + static_cast<int>(k)});
    }
    aLong.push_back({nullptr, 0, nullptr, 0});
    const int n = ::getopt_long(m_argc, m_argv, m_strShort.c_str(), aLong.data(), nullptr);
    if (n == -1) return CLI_END;
    const std::string strWord = optind - 1 >= 1 && optind - 1 < m_argc ? m_argv[optind - 1] : "";
    if (n == ':') {
        for (size_t k = 0; k < m_aOption.size(); ++k)
            if (optopt == 0x100 + static_cast<int>(k) || (m_aOption[k].cShort != 0 && optopt == m_aOption[k].cShort))
                return Usage(Dashed(m_aOption[k].szName).append(" needs a value"));
        return Usage(std::string(strWord).append(" needs a value"));
    }
    if (n == '?') {
        if (optopt != 0 && optopt < 0x100) return Usage(std::string("unknown option -").append(1, static_cast<char>(optopt)));
        // A long option: unknown, ambiguous, or given a value it does not take.
        const std::string& strArg = strWord;
        if (strArg.size() < 2) return Usage(std::string("unknown option ").append(strArg));
        const std::string strName = strArg.substr(2, strArg.find('=') - 2);
        std::string strMatches;
        const CLI_OPTION* pOnly = nullptr;
        int nMatches = 0;
        for (const CLI_OPTION& o : m_aOption) {
            const std::string strOption = o.szName;
            if (strOption.compare(0, strName.size(), strName) != 0) continue;
            if (strOption == strName) {
                pOnly = &o;
                nMatches = 1;
                break;
            }
            strMatches.append(nMatches++ ? ", " : "").append(Dashed(o.szName));
            pOnly = &o;
        }
        if (nMatches > 1) return Usage(Dashed(strName.c_str()).append(" is ambiguous: ").append(strMatches));
        if (nMatches == 1 && !pOnly->bValue && !pOnly->bOptional) return Usage(Dashed(pOnly->szName).append(" takes no value"));
        return Usage(std::string("unknown option ").append(strArg, 0, strArg.find('=')));
    }
    strValue = optarg != nullptr ? optarg : "";
    for (size_t k = 0; k < m_aOption.size(); ++k) {
        const CLI_OPTION& o = m_aOption[k];
        if (n == 0x100 + static_cast<int>(k) || (o.cShort != 0 && n == o.cShort)) {
            m_nLast = static_cast<int>(k);
            return o.nId;
        }
    }
    return Usage(std::string("unknown option ").append(strWord));
}

std::vector<std::string> CCommandLine::Operands() const
{
    std::vector<std::string> a;
    for (int i = optind; i < m_argc; ++i) a.push_back(m_argv[i]);
    return a;
}

std::string CCommandLine::Name() const
{
    if (m_nLast < 0 || m_nLast >= static_cast<int>(m_aOption.size())) return std::string();
    return Dashed(m_aOption[static_cast<size_t>(m_nLast)].szName);
}

int CCommandLine::Usage(const std::string& strWhat) const
{
    std::fprintf(stderr, "%s: %s (try --help)\n", m_strProgram.c_str(), strWhat.c_str());
    return CLI_ERROR;
}

bool CCommandLine::Number(const std::string& strValue, uint64_t qwMin, uint64_t qwMax, uint64_t* pqw,
                          bool bHex) const
{
    uint64_t qw = 0;
    if (CLI_ParseNumber(strValue, &qw, bHex ? 0 : 10) && qw >= qwMin && qw <= qwMax) {
        *pqw = qw;
        return true;
    }
    std::string strWhat = Name();
    strWhat.append(" takes a whole number from ").append(std::to_string(qwMin)).append(" to ");
    strWhat.append(std::to_string(qwMax)).append(", not '").append(strValue).append("'");
    Usage(strWhat);
    return false;
}

bool CLI_ParseNumber(const std::string& str, uint64_t* pqw, int nBase)
{
    if (str.empty() || str[0] == '-' || str[0] == '+' || str[0] == ' ') return false;
    char* pEnd = nullptr;
    errno = 0;
    *pqw = std::strtoull(str.c_str(), &pEnd, nBase);
    return pEnd != nullptr && *pEnd == '\0' && errno == 0;
}

std::vector<std::string> CLI_Split(const std::string& str, char c)
{
    std::vector<std::string> a;
    size_t nStart = 0;
    for (;;) {
        const size_t n = str.find(c, nStart);
        a.push_back(str.substr(nStart, n - nStart));
        if (n == std::string::npos) return a;
        nStart = n + 1;
    }
}
