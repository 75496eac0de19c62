// SHA-256 of the image files, for the result records: which bytes a phone was given can be
// checked later against the files kept. A file is hashed only while it is still the version
// stamped at Start, so that a record never names a digest of other data.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "station/channel_context.h"

typedef struct evp_md_ctx_st EVP_MD_CTX;

// A SHA-256 in progress (libcrypto's); Init starts or restarts it.
struct SHA256_STATE {
    struct FreeContext {
        void operator()(EVP_MD_CTX* pCtx) const;
    };
    std::unique_ptr<EVP_MD_CTX, FreeContext> pCtx;
    bool bOk = false;
};

void IMAGE_DIGEST_Init(SHA256_STATE& state);
void IMAGE_DIGEST_Update(SHA256_STATE& state, const void* pData, size_t nCount);
// The digest as 64 lower-case hexadecimal digits ("" when the library failed); the state is
// spent until the next Init.
std::string IMAGE_DIGEST_Final(SHA256_STATE& state);
// The digest of a buffer.
std::string IMAGE_DIGEST_Bytes(const void* pData, size_t nCount);

// The digest of the file at strPath, read only while it stays the version `stamp` describes;
// "" when it cannot be read, is not or no longer that version, or bStop is raised meanwhile.
std::string IMAGE_DIGEST_File(const std::string& strPath, const FILE_STAMP& stamp,
                              const std::atomic<bool>& bStop);
