#include "images/channel_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int g_fileImage[MAX_CHANNEL] = {-1, -1, -1, -1, -1, -1, -1, -1};

namespace {

// The paths were judged as regular files when they were chosen, but the name may since point
// elsewhere: opening a FIFO would block the worker (or Start) for good, beyond any run flag, and
// a directory or device would be read as image data. Only a regular file is opened.
int OpenRegularFile(const char* szPath)
{
    const int fd = ::open(szPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

FILE_STAMP Stamp(const struct stat& st)
{
    FILE_STAMP stamp;
    stamp.bExists = true;
    stamp.qwDevice = static_cast<uint64_t>(st.st_dev);
    stamp.qwInode = static_cast<uint64_t>(st.st_ino);
    stamp.qwSize = static_cast<int64_t>(st.st_size);
    stamp.qwMtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
    stamp.qwMtimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
    stamp.qwCtimeSec = static_cast<int64_t>(st.st_ctim.tv_sec);
    stamp.qwCtimeNsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
    return stamp;
}

}  // namespace

FILE_STAMP ENGINE_StampPath(const std::string& strPath)
{
    struct stat st;
    if (strPath.empty() || ::stat(strPath.c_str(), &st) != 0) return FILE_STAMP{};
    return Stamp(st);
}

FILE_STAMP ENGINE_StampDescriptor(int fd)
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return FILE_STAMP{};
    return Stamp(st);
}

FILE_STAMP ENGINE_StampOpenImage(int nCh) { return ENGINE_StampDescriptor(g_fileImage[nCh]); }

int ENGINE_OpenImage(int nCh, const char* szPath)
{
    ENGINE_CloseImage(nCh);
    if (!szPath || !*szPath) return 0;
    const int fd = OpenRegularFile(szPath);
    if (fd < 0) return 0;
    g_fileImage[nCh] = fd;
    return 1;
}

void ENGINE_CloseImage(int nCh)
{
    if (g_fileImage[nCh] >= 0) {
        ::close(g_fileImage[nCh]);
        g_fileImage[nCh] = -1;
    }
}

uint32_t ENGINE_ReadImage(int nCh, uint64_t qwOffset, void* pBuffer, uint32_t dwCount)
{
    int fd = g_fileImage[nCh];
    if (fd < 0) return 0;
    uint32_t dwDone = 0;
    auto* pby = static_cast<uint8_t*>(pBuffer);
    while (dwDone < dwCount) {
        ssize_t n = ::pread(fd, pby + dwDone, dwCount - dwDone, static_cast<off_t>(qwOffset + dwDone));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        dwDone += static_cast<uint32_t>(n);
    }
    return dwDone;
}
