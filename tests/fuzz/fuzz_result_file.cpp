// Arbitrary results files as the window reads them at start for the day's counts: torn lines,
// hand-edited records, other hosts and days, bytes that are no text. The reader must neither
// crash nor count more records than the file has lines.
//
// Input: the file's bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "records/result_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t nSize)
{
    static const int fd = ::memfd_create("results", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0) return 0;
    if (nSize != 0 && ::pwrite(fd, pbyData, nSize, 0) != static_cast<ssize_t>(nSize)) return 0;
    uint32_t nPass = 0, nFail = 0;
    RESULT_RECORD_CountDay(fd, "2024-05-01", "line3", nPass, nFail);
    size_t nLines = 1;
    for (size_t i = 0; i < nSize; ++i) nLines += pbyData[i] == '\n';
    if (nPass + nFail > nLines) {
        std::fprintf(stderr, "broken: %u records counted in %zu lines\n", nPass + nFail, nLines);
        std::abort();
    }
    return 0;
}
