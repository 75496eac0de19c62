// Small parsing helpers shared by the command-line programs: numbers in decimal or 0x
// hexadecimal, and lists split at a separator.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// A whole unsigned number; base 0 takes decimal or 0x hexadecimal. A sign is refused, since
// strtoull would turn "-1" into the largest value.
inline bool CLI_ParseNumber(const std::string& str, uint64_t* pqw, int nBase = 0)
{
    if (str.empty() || str[0] == '-' || str[0] == '+') return false;
    char* pEnd = nullptr;
    *pqw = std::strtoull(str.c_str(), &pEnd, nBase);
    return pEnd != nullptr && *pEnd == '\0';
}

inline std::vector<std::string> CLI_Split(const std::string& str, char c)
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
