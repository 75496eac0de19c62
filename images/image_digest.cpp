#include "images/image_digest.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "images/channel_image.h"

namespace {

// Files are read in pieces of this size: large enough that system calls cost nothing beside the
// hashing, small enough that a stop is seen at once.
constexpr size_t READ_PIECE = 1 << 20;

bool SameVersion(int fd, const FILE_STAMP& stamp)
{
    struct stat st;
    return stamp.bExists && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
           ENGINE_StampDescriptor(fd) == stamp;
}

}  // namespace

void SHA256_STATE::FreeContext::operator()(EVP_MD_CTX* pCtx) const { EVP_MD_CTX_free(pCtx); }

void IMAGE_DIGEST_Init(SHA256_STATE& state)
{
    if (!state.pCtx) state.pCtx.reset(EVP_MD_CTX_new());
    state.bOk = state.pCtx && EVP_DigestInit_ex(state.pCtx.get(), EVP_sha256(), nullptr) == 1;
}

void IMAGE_DIGEST_Update(SHA256_STATE& state, const void* pData, size_t nCount)
{
    state.bOk = state.bOk && EVP_DigestUpdate(state.pCtx.get(), pData, nCount) == 1;
}

std::string IMAGE_DIGEST_Final(SHA256_STATE& state)
{
    uint8_t abyDigest[EVP_MAX_MD_SIZE];
    unsigned int nLength = 0;
    state.bOk = state.bOk && EVP_DigestFinal_ex(state.pCtx.get(), abyDigest, &nLength) == 1 && nLength == 32;
    // A digest the library could not make is no digest: the record says null.
    if (!state.bOk) return std::string();
    static const char s_szHex[] = "0123456789abcdef";
    std::string strHex(64, '0');
    for (int i = 0; i < 32; ++i) {
        strHex[2 * i] = s_szHex[abyDigest[i] >> 4];
        strHex[2 * i + 1] = s_szHex[abyDigest[i] & 15];
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
