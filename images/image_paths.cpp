#include "images/image_paths.h"

#include "images/image_trailer.h"
#include "station/image_selection.h"

uint32_t& IMAGE_ValidFlag(CImageSelection& core, int nKind)
{
    switch (nKind) {
    case IMAGE_PHONE: return core.m_bPhoneImage;
    case IMAGE_EBOOT: return core.m_bEbootImage;
    case IMAGE_PDA: return core.m_bPdaImage;
    case IMAGE_CSC: return core.m_bCscImage;
    case IMAGE_HIDDEN: return core.m_bHiddenImage;
    default: return core.m_bUnifiedImage;
    }
}

std::string& IMAGE_Path(CImageSelection& core, int nKind)
{
    switch (nKind) {
    case IMAGE_PHONE: return core.m_strPhonePath;
    case IMAGE_EBOOT: return core.m_strEbootPath;
    case IMAGE_PDA: return core.m_strPdaPath;
    case IMAGE_CSC: return core.m_strCscPath;
    case IMAGE_HIDDEN: return core.m_strHiddenPath;
    default: return core.m_strUnifiedPath;
    }
}
