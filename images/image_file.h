// Read-only access to an image file for the checks: a regular file only (a FIFO or a device
// named by a hostile path must not block or stream forever), 64-bit positions, whole reads.
#pragma once

#include <cstdint>
#include <string>

class CImageFile {
public:
    CImageFile() = default;
    ~CImageFile();
    CImageFile(const CImageFile&) = delete;
    CImageFile& operator=(const CImageFile&) = delete;

    // Takes no lock: several stations read one image set at once, and a change while the file
    // is in use is caught by its stamp instead.
    bool Open(const std::string& strPath);
    uint64_t Length() const { return m_qwLength; }
    // All dwCount bytes at qwOffset, or false.
    bool ReadExact(uint64_t qwOffset, void* pBuffer, uint32_t dwCount) const;
    // As many of dwCount bytes at qwOffset as the file holds; the count read.
    uint32_t ReadSome(uint64_t qwOffset, void* pBuffer, uint32_t dwCount) const;

private:
    int m_fd = -1;
    uint64_t m_qwLength = 0;
};
