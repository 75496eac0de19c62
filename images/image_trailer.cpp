#include "images/image_trailer.h"

TrailerFormat IMAGE_ParseTrailer(const uint8_t* pbyTail, int nKind, IMAGE_TRAILER* pTrailer)
{
    if (nKind < IMAGE_UNIFIED || nKind > IMAGE_HIDDEN) return TRAILER_REFUSED;
    const uint32_t dwKind = static_cast<uint32_t>(nKind);

    if (IMAGE_ReadWord(pbyTail) == TRAILER_START_MARKER &&
        IMAGE_ReadWord(pbyTail + TRAILER_NEW_SIZE - 4) == TRAILER_END_MARKER &&
        IMAGE_ReadWord(pbyTail + 4) == dwKind) {
        std::memcpy(pTrailer, pbyTail, TRAILER_NEW_SIZE);
        return TRAILER_NEW;
    }

    // Old images put only 160 bytes at the end; a file carrying a new block of another kind can
    // still be an old image of this kind.
    const uint8_t* pbyOld = pbyTail + (TRAILER_NEW_SIZE - TRAILER_OLD_SIZE);
    const uint32_t dwOldKind = IMAGE_ReadWord(pbyOld + 4);
    const bool bMarked = IMAGE_ReadWord(pbyOld) == TRAILER_START_MARKER &&
                         IMAGE_ReadWord(pbyOld + TRAILER_OLD_END_OFFSET) == TRAILER_END_MARKER &&
                         dwOldKind == (1u << dwKind);
    // The earliest Phone images wrote 0x40 and no markers at all.
    const bool bOldPhone = dwOldKind == TRAILER_OLD_PHONE_KIND && nKind == IMAGE_PHONE;
    if (!bMarked && !bOldPhone) return TRAILER_REFUSED;
    *pTrailer = IMAGE_WidenOldTrailer(pbyOld);
    return TRAILER_OLD;
}
