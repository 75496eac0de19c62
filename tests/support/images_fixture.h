// Image files made on the spot for the image tests: a scratch directory, descriptor blocks of
// both formats, Multi-CSC containers, and controls that record what the core told the window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "images/image_controls.h"
#include "images/image_trailer.h"

// A scratch directory removed with everything in it.
class CImagesTempDir {
public:
    CImagesTempDir();
    ~CImagesTempDir();
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& strName) const { return m_strPath + "/" + strName; }

private:
    std::string m_strPath;
};

// Descriptor blocks and containers come from the sim's image builder; these shapes are the ones
// the image tests edit.

// A marked new-format block of the given kind word; regions zero.
IMAGE_TRAILER ImagesNewTrailer(uint32_t dwKind);
// The 160 bytes of a marked old-format block with the given kind word and nine regions, head
// word 0x12345678.
std::vector<uint8_t> ImagesOldTrailer(uint32_t dwKind, const REGION_INFO* pRegions = nullptr,
                                      bool bMarked = true);
std::vector<uint8_t> ImagesBytes(const IMAGE_TRAILER& t);

// Writes qwBody bytes of a counting pattern (byte k is k & 0xFF) followed by the tail.
void ImagesWriteFile(const std::string& strPath, uint64_t qwBody, const std::vector<uint8_t>& abyTail);
void ImagesWriteBytes(const std::string& strPath, const std::vector<uint8_t>& aby);

struct IMAGES_ENTRY {
    std::string strName;   // as stored: Windows-1252 bytes
    uint32_t dwDataSize;   // CSC data before the entry's trailer
    uint32_t dwErase;      // the entry trailer's entry 8 EraseLength
};
// A container: header, the entries' images (seeded data, then an old block with the entry's
// erase length), the container's own CSC block. Names longer than the 32-byte field are cut.
// dwCountOverride replaces the entry count word when not ~0.
std::vector<uint8_t> ImagesContainer(const std::vector<IMAGES_ENTRY>& aEntries, uint32_t dwCountOverride = ~0u);
// The seed of entry i's data in a container built by ImagesContainer.
constexpr uint32_t ImagesEntrySeed(uint32_t i) { return 0xA0 + i; }
// Where entry i's image starts inside a container built by ImagesContainer.
uint32_t ImagesEntryOffset(const std::vector<uint8_t>& abyContainer, uint32_t i);

class CRecordingControls : public IImageControls {
public:
    void SetPathText(int nKind, const std::string& strText) override { m_astrPath[nKind] = strText; }
    void EnablePhoneRow() override { ++m_nPhoneRowEnabled; }
    void ApplyStoredTicks() override { ++m_nStoredTicks; }
    void ApplyEnabling(const IMAGE_ENABLING& en) override { m_Enabling = en; }
    void SetMultiCscList(const std::vector<std::string>& astrItems, int nSel, bool bEnabled) override
    {
        m_astrList = astrItems;
        m_nListSel = nSel;
        m_bListEnabled = bEnabled;
    }
    void SetMultiCscLabel(const std::string& strText) override { m_strLabel = strText; }
    void ShowMessage(const std::string& strText) override { m_astrMessages.push_back(strText); }
    bool AskOpenFile(const std::string& strFilter, const std::string&, const std::string&,
                     std::string& strChosen) override
    {
        m_strLastFilter = strFilter;
        strChosen = m_strAnswer;
        return !m_strAnswer.empty();
    }

    std::string m_astrPath[6];
    int m_nPhoneRowEnabled = 0;
    int m_nStoredTicks = 0;
    IMAGE_ENABLING m_Enabling;
    std::vector<std::string> m_astrList;
    int m_nListSel = -2;
    bool m_bListEnabled = false;
    std::string m_strLabel = "(untouched)";
    std::vector<std::string> m_astrMessages;
    std::string m_strAnswer;  // the file dialog's answer; empty: Cancel
    std::string m_strLastFilter;
};
