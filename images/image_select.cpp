#include "images/image_select.h"

#include <cctype>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "images/image_file.h"
#include "images/image_paths.h"
#include "images/multi_csc.h"
#include "images/region_fit.h"
#include "station/image_selection.h"

namespace {

const char* const UNIFIED_PATH_TEXT = "Unified Image only";
const char* const WRONG_DROP_TEXT = "Wrong file format : Specify the image file!!!";
const char* const DROP_DURING_RUN_TEXT =
    "Image files cannot be changed while a download is running. Drop them again when it has finished.";

// The fields each kind owns in the region table.
void CopyIntoTable(CImageSelection& core, int nKind, const IMAGE_TRAILER& t, bool bNewFormat)
{
    REGION_INFO* R = core.m_RegionTable.aRegion;
    const REGION_INFO* T = t.aRegion;
    switch (nKind) {
    case IMAGE_PHONE:
        // The head and MIBIB..EFS2 in one piece, then where every later region lies on the phone.
        std::memcpy(&core.m_RegionTable, &t, 12 + 5 * sizeof(REGION_INFO));
        R[REGION_FOTA] = T[REGION_FOTA];
        for (int i : {REGION_APPSBL, REGION_RESERVED, REGION_PDA}) {
            R[i].StartAddr = T[i].StartAddr;
            R[i].EraseLength = T[i].EraseLength;
        }
        // Old phones keep their CARRIER area where the PDA area starts, as large as the PDA data.
        R[REGION_CARRIER].StartAddr = T[REGION_PDA].StartAddr;
        R[REGION_CARRIER].EraseLength = T[REGION_PDA].DataLength;
        if (bNewFormat) {
            for (int i : {REGION_CARRIER, REGION_HIDDEN}) {
                R[i].StartAddr = T[i].StartAddr;
                R[i].EraseLength = T[i].EraseLength;
                R[i].DataLength = IMAGE_SpareDataLength(T[i].EraseLength);
            }
        }
        break;
    case IMAGE_EBOOT:
        for (int i : {REGION_APPSBL, REGION_RESERVED}) {
            R[i].FileOffset = T[i].FileOffset;
            R[i].DataLength = T[i].DataLength;
        }
        break;
    case IMAGE_PDA:
        R[REGION_PDA].FileOffset = T[REGION_PDA].FileOffset;
        R[REGION_PDA].DataLength = T[REGION_PDA].DataLength;
        core.m_dwCscSize =
            T[REGION_RESERVED].StartAddr == CSC_SIZE_MARKER ? T[REGION_RESERVED].FileOffset : 0;
        break;
    case IMAGE_CSC:
        // A CSC image describes its data in the PDA position.
        R[REGION_CARRIER].FileOffset = T[REGION_PDA].FileOffset;
        R[REGION_CARRIER].DataLength = T[REGION_PDA].DataLength;
        R[REGION_CARRIER].EraseLength = T[REGION_PDA].EraseLength + CSC_RESERVE_EXTRA;
        core.m_dwCscReserve = 0;
        break;
    default:
        break;  // Hidden images are sent whole from offset 0
    }
}

void Refuse(CImageSelection& core, int nKind)
{
    std::string& strPath = IMAGE_Path(core, nKind);
    strPath = IMAGE_RefusalText(nKind);
    core.Log(-1, "%s\r\n", strPath.c_str());
    IMAGE_ValidFlag(core, nKind) = 0;
}

// A CSC file is checked, copied and probed as one step: a container the station cannot use
// leaves entry 9 and the reserve as they were, like any other refused file.
bool AcceptCsc(CImageSelection& core, IImageControls& controls, const std::string& strPath,
               const IMAGE_TRAILER& t)
{
    if (uint64_t(t.aRegion[REGION_PDA].EraseLength) + CSC_RESERVE_EXTRA > 0xFFFFFFFFull) return false;
    const REGION_INFO saved = core.m_RegionTable.aRegion[REGION_CARRIER];
    const uint32_t dwSavedReserve = core.m_dwCscReserve;
    CopyIntoTable(core, IMAGE_CSC, t, false);
    if (MULTICSC_ProbeCscContainer(core, controls, strPath) == CSC_PROBE_REFUSED) {
        core.m_RegionTable.aRegion[REGION_CARRIER] = saved;
        core.m_dwCscReserve = dwSavedReserve;
        return false;
    }
    return true;
}

void RefreshAfterSelection(CImageSelection& core, IImageControls& controls, int nKind)
{
    controls.SetPathText(nKind, IMAGE_Path(core, nKind));
    core.m_bImageReady = (core.m_bPhoneImage || core.m_bUnifiedImage) ? 1 : 0;
    controls.ApplyStoredTicks();
    controls.ApplyEnabling(IMAGE_Enabling(core));
}

// Lower case is how the extension is judged. On a case-sensitive file system the lower-cased
// path may name no file at all, so it is kept only when it still names the dropped file.
std::string DroppedPath(const std::string& strPath, const std::string& strLower)
{
    if (strLower == strPath) return strLower;
    struct stat stOrig, stLower;
    if (::stat(strPath.c_str(), &stOrig) != 0) return strLower;
    if (::stat(strLower.c_str(), &stLower) == 0 && stLower.st_dev == stOrig.st_dev &&
        stLower.st_ino == stOrig.st_ino)
        return strLower;
    return strPath;
}

}  // namespace

bool IMAGE_CheckImageTrailer(CImageSelection& core, const std::string& strPath, int nKind,
                             IMAGE_TRAILER* pTrailer)
{
    if (nKind < IMAGE_UNIFIED || nKind > IMAGE_HIDDEN) return false;
    CImageFile file;
    if (!file.Open(strPath)) return false;
    const uint64_t qwLength = file.Length();

    if (nKind == IMAGE_HIDDEN) {
        // A Hidden image fills its area exactly. Without a new Phone trailer the area is unknown
        // (length 0), and an empty file is never a Hidden image.
        const uint32_t dwWanted = core.m_RegionTable.aRegion[REGION_HIDDEN].DataLength;
        return dwWanted != 0 && qwLength == dwWanted;
    }
    if (qwLength <= TRAILER_NEW_SIZE) return false;

    uint8_t abyTail[TRAILER_NEW_SIZE];
    if (!file.ReadExact(qwLength - TRAILER_NEW_SIZE, abyTail, sizeof(abyTail))) return false;
    const TrailerFormat eFormat = IMAGE_ParseTrailer(abyTail, nKind, pTrailer);
    if (eFormat == TRAILER_REFUSED) return false;

    const bool bCarriesPartition =
        eFormat == TRAILER_NEW ? (nKind == IMAGE_PHONE || nKind == IMAGE_UNIFIED)
                               : IMAGE_OldKindCarriesPartition(pTrailer->dwKind);
    if (bCarriesPartition) {
        // Bytes the file does not have stay erased-flash 0xFF.
        std::memset(core.m_abyPartitionTable, 0xFF, sizeof(core.m_abyPartitionTable));
        file.ReadSome(PARTITION_TABLE_OFFSET, core.m_abyPartitionTable, sizeof(core.m_abyPartitionTable));
        // Only the new trailer knows where the Hidden area lies.
        core.m_bHiddenAllowed = eFormat == TRAILER_NEW ? 1 : 0;
    }
    return true;
}

bool IMAGE_SelectImage(CImageSelection& core, IImageControls& controls, int nKind, bool bShowDialog)
{
    const IMAGE_KIND_INFO* pInfo = IMAGE_KindInfo(nKind);
    if (!pInfo) return false;
    std::string& strPath = IMAGE_Path(core, nKind);
    uint32_t& bValid = IMAGE_ValidFlag(core, nKind);
    bool bSelected = false;

    if (bShowDialog) {
        const std::string strExt = pInfo->szExtension;
        const std::string strFilter = std::string(pInfo->szCaption) + " Image (*." + strExt + ")|*." + strExt +
                                      "|All Files(*.*)|*.*|";
        std::string strChosen;
        if (!controls.AskOpenFile(strFilter, "*", strPath, strChosen)) {
            RefreshAfterSelection(core, controls, nKind);
            return false;
        }
        strPath = strChosen;
    }

    if (strPath.empty()) {
        bValid = 0;
    } else {
        IMAGE_TRAILER t;
        std::memset(&t, 0, sizeof(t));
        bool bAccepted = IMAGE_CheckImageTrailer(core, strPath, nKind, &t);
        if (bAccepted && nKind == IMAGE_CSC) bAccepted = AcceptCsc(core, controls, strPath, t);
        if (!bAccepted) {
            Refuse(core, nKind);
        } else {
            if (nKind != IMAGE_CSC) CopyIntoTable(core, nKind, t, core.m_bHiddenAllowed != 0);
            core.Log(-1, "Open %s image at : %s\r\n", pInfo->szCaption, strPath.c_str());
            bValid = 1;
            // A Hidden image has no trailer of its own to take a head word from.
            if (nKind != IMAGE_HIDDEN) core.m_RegionTable.dwHeadWord = t.dwHeadWord;
            bSelected = nKind != IMAGE_HIDDEN;
        }
    }
    RefreshAfterSelection(core, controls, nKind);
    return bSelected;
}

void IMAGE_RevalidateImages(CImageSelection& core, IImageControls& controls)
{
    for (int k = IMAGE_UNIFIED; k <= IMAGE_HIDDEN; ++k) IMAGE_ValidFlag(core, k) = 0;
    std::memset(&core.m_RegionTable, 0, sizeof(core.m_RegionTable));
    controls.EnablePhoneRow();
    // Phone first: it places CARRIER and HIDDEN, which the CSC and Hidden checks rely on.
    for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k) IMAGE_SelectImage(core, controls, k, false);
    core.m_strUnifiedPath = UNIFIED_PATH_TEXT;
    controls.SetPathText(IMAGE_UNIFIED, core.m_strUnifiedPath);
    core.m_bImageReady = (core.m_bPhoneImage || core.m_bUnifiedImage) ? 1 : 0;
}

IMAGE_ENABLING IMAGE_Enabling(const CImageSelection& core)
{
    const bool P = core.m_bPhoneImage, E = core.m_bEbootImage, D = core.m_bPdaImage;
    const bool C = core.m_bCscImage, H = core.m_bHiddenImage, N = core.m_bHiddenAllowed;
    IMAGE_ENABLING en;
    en.bPhoneBoot = en.bPhone = en.bEfsClear = P;
    en.bEboot = P && E;
    en.bPda = P && D;
    en.bSelectAll = P && E && D;
    en.bImageRows = P;
    en.bCsc = P && C;
    en.bHidden = P && H && N;
    en.bHiddenRow = P && N;
    en.bDisableStart = core.m_bImageReady == 0;
    return en;
}

int IMAGE_KindFromExtension(const std::string& strExt)
{
    if (strExt == "bin") return IMAGE_PHONE;
    if (strExt == "eb0") return IMAGE_EBOOT;
    if (strExt == "pda" || strExt == "nb0") return IMAGE_PDA;
    if (strExt == "csc") return IMAGE_CSC;
    if (strExt == "hid") return IMAGE_HIDDEN;
    return IMAGE_NONE;
}

void IMAGE_DropFiles(CImageSelection& core, IImageControls& controls, const std::vector<std::string>& astrPaths,
                     bool bRunActive)
{
    if (astrPaths.empty()) return;
    if (bRunActive || core.AnyWorkerBusy()) {
        controls.ShowMessage(DROP_DURING_RUN_TEXT);
        return;
    }
    for (const std::string& strDropped : astrPaths) {
        std::string strLower = strDropped;
        for (char& c : strLower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const size_t nDot = strLower.rfind('.');
        const int nKind =
            nDot == std::string::npos ? IMAGE_NONE : IMAGE_KindFromExtension(strLower.substr(nDot + 1, 3));
        if (nKind == IMAGE_NONE) {
            controls.ShowMessage(WRONG_DROP_TEXT);
            continue;
        }
        IMAGE_Path(core, nKind) = DroppedPath(strDropped, strLower);
        IMAGE_SelectImage(core, controls, nKind, false);
    }
}

IMAGE_START_RESULT IMAGE_ValidateForStart(CImageSelection& core, IImageControls& controls,
                                          const IMAGE_START_INPUT& input)
{
    IMAGE_START_RESULT result;
    core.m_bCscPriority = input.bCscPriority ? 1 : 0;

    if (core.m_bCscPacked && core.m_bMultiCsc) {
        if (!input.bHasSelection && input.bCscTicked) {
            result.strMessage = "Select CSC File in Multi CSC ComboBox";
            controls.ShowMessage(result.strMessage);
            return result;
        }
        // Without a selection there is no text to match: an entry with an empty name must not
        // be taken as the operator's choice.
        result.nEntry = input.bHasSelection ? MULTICSC_FindEntry(core, input.strSelected) : -1;
        if (result.nEntry < 0) {
            result.strMessage = "ERROR: Invalid MulitCSC Header";
            controls.ShowMessage(result.strMessage);
            return result;
        }
    }

    for (int k = IMAGE_PHONE; k <= IMAGE_CSC; ++k) {
        if (k == IMAGE_CSC && result.nEntry >= 0)
            MULTICSC_SelectMultiCscEntry(core, static_cast<uint32_t>(result.nEntry));
        else
            IMAGE_SelectImage(core, controls, k, false);
        if (!IMAGE_ValidFlag(core, k) && IMAGE_Path(core, k) == IMAGE_RefusalText(k))
            result.astrRefused.push_back(IMAGE_Path(core, k));
    }

    result.astrUnfit = IMAGE_CheckSelectedRegions(core, core.CurrentTicks());
    if (!result.astrUnfit.empty()) {
        for (const std::string& strWhy : result.astrUnfit) {
            core.Log(-1, "%s\r\n", strWhy.c_str());
            result.strMessage += (result.strMessage.empty() ? "" : "\n") + strWhy;
        }
        controls.ShowMessage(result.strMessage);
        return result;
    }
    result.bGoOn = true;
    return result;
}

bool IMAGE_RegionFitsFile(int fd, const REGION_INFO& region)
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < 0) return false;
    return uint64_t(region.FileOffset) + region.DataLength <= static_cast<uint64_t>(st.st_size);
}

bool IMAGE_RegionFitsFile(const std::string& strPath, const REGION_INFO& region)
{
    CImageFile file;
    if (!file.Open(strPath)) return false;
    return uint64_t(region.FileOffset) + region.DataLength <= file.Length();
}
