// Arbitrary bytes as an image file of every kind: the descriptor check, the per-kind copy into
// the region table, the Hidden length rule and Start's revalidation with its judgement of every
// region must neither crash nor leave a region length that wrapped.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "images/image_select.h"
#include "images/multi_csc.h"
#include "station/station_core.h"

namespace {

void Require(bool bHolds, const char* szWhat)
{
    if (bHolds) return;
    std::fprintf(stderr, "broken: %s\n", szWhat);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbyData, size_t nSize)
{
    static const int fd = ::memfd_create("image", MFD_CLOEXEC);
    static const std::string strPath = "/proc/self/fd/" + std::to_string(fd);
    static CVarnDLCore* pCore = new CVarnDLCore;
    CVarnDLCore& core = *pCore;
    CNullImageControls controls;

    if (fd < 0 || ::ftruncate(fd, 0) != 0) return 0;
    if (nSize && ::pwrite(fd, pbyData, nSize, 0) != static_cast<ssize_t>(nSize)) return 0;

    if (nSize >= TRAILER_NEW_SIZE) {
        IMAGE_TRAILER t;
        for (int k = IMAGE_UNIFIED; k <= IMAGE_HIDDEN; ++k) IMAGE_ParseTrailer(pbyData + nSize - TRAILER_NEW_SIZE, k, &t);
    }
    IMAGE_TRAILER t;
    IMAGE_CheckImageTrailer(core, strPath, IMAGE_UNIFIED, &t);

    // The same bytes as every kind, checked in the station's order.
    for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k) IMAGE_Path(core, k) = strPath;
    IMAGE_RevalidateImages(core, controls);

    const REGION_INFO* R = core.m_RegionTable.aRegion;
    if (core.m_bPhoneImage && core.m_bHiddenAllowed) {
        for (int i : {REGION_CARRIER, REGION_HIDDEN}) {
            // An accepted CSC image rewrites the CARRIER slice after the Phone image set it.
            if (i == REGION_CARRIER && core.m_bCscImage) continue;
            const uint64_t qwGross = uint64_t(R[i].EraseLength) + uint64_t(R[i].EraseLength >> 11) * 8;
            Require(R[i].DataLength == 0 || R[i].DataLength + uint64_t(657920) == qwGross, "spare length");
        }
    }
    if (core.m_bHiddenImage) Require(R[REGION_HIDDEN].DataLength == nSize && nSize != 0, "hidden length");
    for (int i = 0; i < REGION_COUNT; ++i)
        Require(IMAGE_RegionFitsFile(fd, R[i]) == (uint64_t(R[i].FileOffset) + R[i].DataLength <= nSize),
                "region check");

    // Every region selected, so that Start judges each against its file and its erase.
    core.m_CurrentTicks = DOWNLOAD_TICKS{true, true, true, true, true, true, true};
    IMAGE_START_INPUT input;
    input.bHasSelection = true;
    input.strSelected = MULTICSC_EntryName(core, 0);
    IMAGE_ValidateForStart(core, controls, input);
    for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k) IMAGE_Path(core, k).clear();
    return 0;
}
