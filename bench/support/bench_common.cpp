#include "bench/support/bench_common.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

double BENCH_NowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string BENCH_SelfPath()
{
    char sz[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", sz, sizeof(sz) - 1);
    return std::string(sz, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string BENCH_SelfDir()
{
    const std::string str = BENCH_SelfPath();
    return str.substr(0, str.find_last_of('/'));
}

std::string BENCH_TextOption(int argc, char** argv, const char* szName, const std::string& strDefault)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], szName) == 0) return argv[i + 1];
    return strDefault;
}

int BENCH_IntOption(int argc, char** argv, const char* szName, int nDefault)
{
    const std::string str = BENCH_TextOption(argc, argv, szName, "");
    return str.empty() ? nDefault : std::atoi(str.c_str());
}

double BENCH_Median(std::vector<double> ad)
{
    if (ad.empty()) return 0;
    std::sort(ad.begin(), ad.end());
    const size_t n = ad.size();
    return n % 2 ? ad[n / 2] : (ad[n / 2 - 1] + ad[n / 2]) / 2;
}

std::string BENCH_LoadAverage()
{
    double ad[3] = {};
    if (getloadavg(ad, 3) != 3) return "unknown";
    char sz[64];
    std::snprintf(sz, sizeof(sz), "%.2f %.2f %.2f", ad[0], ad[1], ad[2]);
    return sz;
}

CBenchImages::~CBenchImages()
{
    std::error_code ec;
    if (!m_strDir.empty()) std::filesystem::remove_all(m_strDir, ec);
}

bool CBenchImages::Write(const char* szProgram, IMAGE_SET_SIZES sizes)
{
    char szDir[] = "/tmp/quillon-bench-XXXXXX";
    if (!::mkdtemp(szDir)) {
        std::fprintf(stderr, "%s: cannot create a scratch directory in /tmp: %s\n", szProgram, std::strerror(errno));
        return false;
    }
    m_strDir = szDir;
    sizes.dwHiddenErase = 0;
    std::string strError;
    if (IMAGE_BUILDER_WriteStandardSet(m_strDir, 1, sizes, &m_Images, &strError)) return true;
    std::fprintf(stderr, "%s: %s\n", szProgram, strError.c_str());
    return false;
}
