#include "images/image_trailer.h"

namespace {

const IMAGE_KIND_INFO g_aKindInfo[] = {
    {"Phone", "bin", "PhoneLocation"}, {"Eboot", "Eb0", "EbootLocation"},
    {"PDA", "Pda", "PDALocation"},     {"CSC", "Csc", "CarrierLocation"},
    {"Hidden", "Hid", "HiddenLocation"},
};

}  // namespace

const IMAGE_KIND_INFO* IMAGE_KindInfo(int nKind)
{
    if (nKind < IMAGE_PHONE || nKind > IMAGE_HIDDEN) return nullptr;
    return &g_aKindInfo[nKind - 1];
}

std::string IMAGE_RefusalText(int nKind)
{
    const IMAGE_KIND_INFO* pInfo = IMAGE_KindInfo(nKind);
    return std::string("This File is not a ") + (pInfo ? pInfo->szCaption : "Unified") + " Image File!!";
}

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
