#include "support/sim_link.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

int SIM_LINK_Open(const std::string& strPath)
{
    const int fd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

std::vector<uint8_t> SIM_LINK_Frame(uint8_t bySeq, uint8_t byOpcode, uint32_t dwParam,
                                    uint32_t dwLength, const std::vector<uint8_t>& abyPayload,
                                    uint8_t byKind)
{
    // Sized once: growing a 12-byte vector by insert trips GCC 12's -Warray-bounds at -O3.
    std::vector<uint8_t> aby(12 + abyPayload.size(), 0);
    aby[0] = bySeq;
    aby[1] = byOpcode;
    aby[2] = dwLength == 0x8000 ? 0x51 : 0;
    aby[3] = byKind;
    for (int i = 0; i < 4; ++i) {
        aby[4 + i] = static_cast<uint8_t>(dwParam >> (8 * i));
        aby[8 + i] = static_cast<uint8_t>(dwLength >> (8 * i));
    }
    std::copy(abyPayload.begin(), abyPayload.end(), aby.begin() + 12);
    return aby;
}

bool SIM_LINK_Write(int fd, const std::vector<uint8_t>& aby)
{
    size_t nDone = 0;
    while (nDone < aby.size()) {
        const ssize_t n = write(fd, aby.data() + nDone, aby.size() - nDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        nDone += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> SIM_LINK_Read(int fd, size_t nWant, uint32_t dwFirstMs, uint32_t dwQuietMs)
{
    std::vector<uint8_t> aby;
    uint8_t abyBuf[256];
    while (aby.size() < nWant) {
        pollfd pfd{fd, POLLIN, 0};
        const int r = poll(&pfd, 1, static_cast<int>(aby.empty() ? dwFirstMs : dwQuietMs));
        if (r <= 0 || (pfd.revents & POLLIN) == 0) {
            break;
        }
        const ssize_t n = read(fd, abyBuf, sizeof(abyBuf));
        if (n <= 0) {
            break;
        }
        aby.insert(aby.end(), abyBuf, abyBuf + n);
    }
    return aby;
}

std::vector<uint8_t> SIM_LINK_Exchange(int fd, const std::vector<uint8_t>& abyFrame,
                                       uint32_t dwFirstMs)
{
    if (!SIM_LINK_Write(fd, abyFrame)) {
        return {};
    }
    return SIM_LINK_Read(fd, 5, dwFirstMs);
}
