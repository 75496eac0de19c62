#include "link/tty_node.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The kernel's tty drivers, one a line: name, node, major, minor or minor range, type.
constexpr const char* TTY_DRIVERS = "/proc/tty/drivers";
// Majors of pseudo-terminal slaves, for a system whose drivers table cannot be read.
constexpr unsigned PTY_SLAVE_MAJOR_FIRST = 136;
constexpr unsigned PTY_SLAVE_MAJOR_LAST = 143;

enum DRIVER_MATCH : int {
    DRIVER_TABLE_UNREADABLE = -1,
    DRIVER_NOT_TTY = 0,
    DRIVER_TTY = 1,
    DRIVER_PTY_SLAVE = 2,
    DRIVER_ALIAS = 3,       // /dev/tty, /dev/console, /dev/ptmx, /dev/tty0
    DRIVER_PTY_MASTER = 4,
};

int MatchDriver(dev_t rdev)
{
    FILE* pFile = std::fopen(TTY_DRIVERS, "re");
    if (pFile == nullptr) return DRIVER_TABLE_UNREADABLE;
    int nMatch = DRIVER_NOT_TTY;
    char szLine[256];
    while (std::fgets(szLine, sizeof(szLine), pFile) != nullptr) {
        unsigned nMajor = 0, nFirst = 0, nLast = 0;
        char szMinors[64], szType[64];
        if (std::sscanf(szLine, "%*s %*s %u %63s %63s", &nMajor, szMinors, szType) != 3) continue;
        const int nRange = std::sscanf(szMinors, "%u-%u", &nFirst, &nLast);
        if (nRange < 1) continue;
        if (nRange == 1) nLast = nFirst;
        if (nMajor != major(rdev) || minor(rdev) < nFirst || minor(rdev) > nLast) continue;
        if (std::strncmp(szType, "system", 6) == 0)
            nMatch = DRIVER_ALIAS;
        else if (std::strcmp(szType, "pty:master") == 0)
            nMatch = DRIVER_PTY_MASTER;
        else if (std::strcmp(szType, "pty:slave") == 0)
            nMatch = DRIVER_PTY_SLAVE;
        else
            nMatch = DRIVER_TTY;
        break;
    }
    std::fclose(pFile);
    return nMatch;
}

// Without the drivers table the node has to be asked itself; read-only, so nothing is sent.
int AskNode(const std::string& strPath, dev_t rdev)
{
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return DRIVER_NOT_TTY;
    const bool bTty = ::isatty(fd) != 0;
    ::close(fd);
    if (!bTty) return DRIVER_NOT_TTY;
    const unsigned nMajor = major(rdev);
    return nMajor >= PTY_SLAVE_MAJOR_FIRST && nMajor <= PTY_SLAVE_MAJOR_LAST ? DRIVER_PTY_SLAVE
                                                                            : DRIVER_TTY;
}

const char* FileTypeText(mode_t mode)
{
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISBLK(mode)) return "a block device";
    return "not a terminal device";
}

bool AllDigits(const char* sz)
{
    if (*sz == '\0') return false;
    for (; *sz; ++sz)
        if (*sz < '0' || *sz > '9') return false;
    return true;
}

// True when one of the process's descriptors is the device rdev.
bool HoldsDevice(int fdProc, const char* szPid, dev_t rdev)
{
    const std::string strFds = std::string(szPid) + "/fd";
    const int fdDir = ::openat(fdProc, strFds.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0) return false;  // gone, or not ours to look at
    DIR* pDir = ::fdopendir(fdDir);
    if (pDir == nullptr) {
        ::close(fdDir);
        return false;
    }
    bool bHolds = false;
    while (const dirent* pEntry = ::readdir(pDir)) {
        if (!AllDigits(pEntry->d_name)) continue;
        struct stat st;
        // stat follows the descriptor's link to what it is open on, without opening anything.
        if (::fstatat(fdDir, pEntry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == rdev) {
            bHolds = true;
            break;
        }
    }
    ::closedir(pDir);
    return bHolds;
}

std::string ProcessName(int fdProc, const char* szPid)
{
    const std::string strComm = std::string(szPid) + "/comm";
    std::string strName = "?";
    const int fd = ::openat(fdProc, strComm.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return strName;
    char sz[64];
    const ssize_t n = ::read(fd, sz, sizeof(sz) - 1);
    ::close(fd);
    if (n > 0) {
        strName.assign(sz, static_cast<size_t>(n));
        while (!strName.empty() && strName.back() == '\n') strName.pop_back();
    }
    return strName;
}

}  // namespace

int TTY_NODE_Kind(const std::string& strPath, std::string* pstrWhy)
{
    std::string strWhy;
    int nKind = TTY_NODE_NONE;
    struct stat st;
    if (::stat(strPath.c_str(), &st) != 0) {
        strWhy = std::strerror(errno);
    } else if (!S_ISCHR(st.st_mode)) {
        strWhy = FileTypeText(st.st_mode);
    } else {
        int nMatch = MatchDriver(st.st_rdev);
        if (nMatch == DRIVER_TABLE_UNREADABLE) nMatch = AskNode(strPath, st.st_rdev);
        switch (nMatch) {
        case DRIVER_TTY: nKind = TTY_NODE_SERIAL; break;
        case DRIVER_PTY_SLAVE: nKind = TTY_NODE_PSEUDO; break;
        case DRIVER_ALIAS: strWhy = "a terminal alias, not a port"; break;
        case DRIVER_PTY_MASTER: strWhy = "the master side of a pseudo-terminal"; break;
        default: strWhy = "not a terminal device"; break;
        }
    }
    if (pstrWhy) *pstrWhy = strWhy;
    return nKind;
}

std::string TTY_NODE_OtherHolder(const std::string& strPath)
{
    struct stat stNode;
    if (::stat(strPath.c_str(), &stNode) != 0 || !S_ISCHR(stNode.st_mode)) return std::string();
    const int fdProc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdProc < 0) return std::string();
    DIR* pProc = ::fdopendir(fdProc);
    if (pProc == nullptr) {
        ::close(fdProc);
        return std::string();
    }
    const std::string strSelf = std::to_string(::getpid());
    std::string strHolder;
    while (const dirent* pEntry = ::readdir(pProc)) {
        if (!AllDigits(pEntry->d_name) || strSelf == pEntry->d_name) continue;
        if (!HoldsDevice(fdProc, pEntry->d_name, stNode.st_rdev)) continue;
        strHolder = ProcessName(fdProc, pEntry->d_name) + " (pid " + pEntry->d_name + ")";
        break;
    }
    ::closedir(pProc);
    return strHolder;
}
