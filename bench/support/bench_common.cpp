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

BENCH_LINE BENCH_LineOptions(int argc, char** argv)
{
    BENCH_LINE line;
    line.strFlash = BENCH_TextOption(argc, argv, "--flash", BENCH_SelfDir() + "/quillon-flash");
    line.nPhones = BENCH_IntOption(argc, argv, "--phones", line.nPhones);
    if (line.nPhones < 1 || line.nPhones > 8) line.nPhones = 8;
    line.dwPdaMib = static_cast<uint32_t>(BENCH_IntOption(argc, argv, "--pda-mib", 32));
    line.dwAmssMib = static_cast<uint32_t>(BENCH_IntOption(argc, argv, "--amss-mib", 8));
    return line;
}

IMAGE_SET_SIZES BENCH_LINE::Sizes() const
{
    IMAGE_SET_SIZES sizes;
    sizes.dwPda = dwPdaMib << 20;
    sizes.dwAmss = dwAmssMib << 20;
    return sizes;
}

BENCH_CHILD BENCH_Spawn(std::vector<std::string> astrArgs, bool bOffscreen)
{
    BENCH_CHILD child;
    int afd[2];
    if (::pipe(afd) != 0) return child;
    child.pid = ::fork();
    if (child.pid == 0) {
        ::dup2(afd[1], 1);
        ::close(afd[0]);
        ::close(afd[1]);
        if (bOffscreen) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::vector<char*> argv;
        for (auto& s : astrArgs) argv.push_back(s.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(afd[1]);
    if (child.pid < 0) {
        ::close(afd[0]);
        return child;
    }
    child.fdOut = afd[0];
    return child;
}

void BENCH_ReadLines(int fdOut, const std::function<void(const std::string& strLine, double dNowMs)>& fnLine)
{
    std::string strPending;
    char sz[65536];
    ssize_t n;
    while ((n = ::read(fdOut, sz, sizeof(sz))) > 0) {
        const double dNow = BENCH_NowMs();
        strPending.append(sz, static_cast<size_t>(n));
        size_t nBegin = 0;
        for (size_t nEnd; (nEnd = strPending.find('\n', nBegin)) != std::string::npos; nBegin = nEnd + 1)
            fnLine(strPending.substr(nBegin, nEnd - nBegin), dNow);
        strPending.erase(0, nBegin);
    }
    ::close(fdOut);
}

bool BENCH_EndsWith(const std::string& str, const std::string& strEnd)
{
    return str.size() >= strEnd.size() && str.compare(str.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
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
