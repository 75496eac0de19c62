#include "images/image_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CImageFile::~CImageFile()
{
    if (m_fd >= 0) ::close(m_fd);
}

bool CImageFile::Open(const std::string& strPath)
{
    if (m_fd >= 0 || strPath.empty()) return false;
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_qwLength = static_cast<uint64_t>(st.st_size);
    return true;
}

uint32_t CImageFile::ReadSome(uint64_t qwOffset, void* pBuffer, uint32_t dwCount) const
{
    if (m_fd < 0 || qwOffset >= m_qwLength) return 0;
    uint8_t* pby = static_cast<uint8_t*>(pBuffer);
    uint32_t dwDone = 0;
    while (dwDone < dwCount) {
        const ssize_t n = ::pread(m_fd, pby + dwDone, dwCount - dwDone, static_cast<off_t>(qwOffset + dwDone));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        dwDone += static_cast<uint32_t>(n);
    }
    return dwDone;
}

bool CImageFile::ReadExact(uint64_t qwOffset, void* pBuffer, uint32_t dwCount) const
{
    return ReadSome(qwOffset, pBuffer, dwCount) == dwCount;
}
