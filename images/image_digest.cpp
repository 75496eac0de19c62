#include "images/image_digest.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// Files are read in pieces of this size: large enough that system calls cost nothing beside the
// hashing, small enough that a stop is seen at once.
constexpr size_t READ_PIECE = 1 << 20;

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(uint32_t* h, const uint8_t* p)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 |
               uint32_t(p[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
        const uint32_t t1 = k + s1 + ((e & f) ^ (~e & g)) + K[i] + w[i];
        const uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
        const uint32_t t2 = s0 + ((a & b) ^ (a & c) ^ (b & c));
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += k;
}

bool SameVersion(int fd, const FILE_STAMP& stamp)
{
    struct stat st;
    return stamp.bExists && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
           ENGINE_StampDescriptor(fd) == stamp;
}

}  // namespace

void IMAGE_DIGEST_Init(SHA256_STATE& state)
{
    static const uint32_t s_adwStart[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(state.adwHash, s_adwStart, sizeof(s_adwStart));
    state.qwLength = 0;
    state.dwUsed = 0;
}

void IMAGE_DIGEST_Update(SHA256_STATE& state, const void* pData, size_t nCount)
{
    const auto* pby = static_cast<const uint8_t*>(pData);
    state.qwLength += nCount;
    if (state.dwUsed != 0) {
        const size_t nTake = std::min<size_t>(nCount, 64 - state.dwUsed);
        std::memcpy(state.abyBlock + state.dwUsed, pby, nTake);
        state.dwUsed += static_cast<uint32_t>(nTake);
        pby += nTake;
        nCount -= nTake;
        if (state.dwUsed < 64) return;
        Compress(state.adwHash, state.abyBlock);
        state.dwUsed = 0;
    }
    for (; nCount >= 64; pby += 64, nCount -= 64) Compress(state.adwHash, pby);
    std::memcpy(state.abyBlock, pby, nCount);
    state.dwUsed = static_cast<uint32_t>(nCount);
}

std::string IMAGE_DIGEST_Final(SHA256_STATE& state)
{
    const uint64_t qwBits = state.qwLength * 8;
    uint8_t abyPad[72] = {0x80};
    // Pad to 56 bytes past a block boundary, then the length in bits, big-endian.
    const size_t nPad = state.dwUsed < 56 ? 56 - state.dwUsed : 120 - state.dwUsed;
    for (int i = 0; i < 8; ++i) abyPad[nPad + i] = static_cast<uint8_t>(qwBits >> (56 - 8 * i));
    const uint64_t qwLength = state.qwLength;
    IMAGE_DIGEST_Update(state, abyPad, nPad + 8);
    state.qwLength = qwLength;
    static const char s_szHex[] = "0123456789abcdef";
    std::string strHex(64, '0');
    for (int i = 0; i < 32; ++i) {
        const uint8_t by = static_cast<uint8_t>(state.adwHash[i / 4] >> (24 - 8 * (i % 4)));
        strHex[2 * i] = s_szHex[by >> 4];
        strHex[2 * i + 1] = s_szHex[by & 15];
    }
    return strHex;
}

std::string IMAGE_DIGEST_Bytes(const void* pData, size_t nCount)
{
    SHA256_STATE state;
    IMAGE_DIGEST_Init(state);
    IMAGE_DIGEST_Update(state, pData, nCount);
    return IMAGE_DIGEST_Final(state);
}

std::string IMAGE_DIGEST_File(const std::string& strPath, const FILE_STAMP& stamp,
                              const std::atomic<bool>& bStop)
{
    // Read-only and without any lock, like every reader of an image.
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return std::string();
    std::string strDigest;
    std::unique_ptr<uint8_t[]> pBuffer(new (std::nothrow) uint8_t[READ_PIECE]);
    if (pBuffer && SameVersion(fd, stamp)) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        SHA256_STATE state;
        IMAGE_DIGEST_Init(state);
        int64_t qwDone = 0;
        bool bFailed = false;
        while (!bStop) {
            const ssize_t n = ::read(fd, pBuffer.get(), READ_PIECE);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) bFailed = true;
            if (n <= 0) break;
            IMAGE_DIGEST_Update(state, pBuffer.get(), static_cast<size_t>(n));
            qwDone += n;
        }
        // Rewritten, grown or cut short while it was read: the bytes hashed are no one version.
        if (!bStop && !bFailed && qwDone == stamp.qwSize && SameVersion(fd, stamp))
            strDigest = IMAGE_DIGEST_Final(state);
    }
    ::close(fd);
    return strDigest;
}
