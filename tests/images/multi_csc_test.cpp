#include <cstring>

#include <gtest/gtest.h>

#include "images/image_select.h"
#include "images/multi_csc.h"
#include "sim/image_builder.h"
#include "station/station_core.h"
#include "support/images_fixture.h"

namespace {

class MultiCscTest : public ::testing::Test {
protected:
    // Writes the container as the CSC image and selects it.
    bool SelectContainer(const std::vector<uint8_t>& aby)
    {
        core.m_strCscPath = dir.File("multi.csc");
        ImagesWriteBytes(core.m_strCscPath, aby);
        return IMAGE_SelectImage(core, controls, IMAGE_CSC, false);
    }
    IMAGE_START_RESULT Start(bool bHasSelection, const std::string& strSelected, bool bCscTicked = true)
    {
        return IMAGE_ValidateForStart(core, controls, {true, bCscTicked, bHasSelection, strSelected});
    }
    static void PutWord(std::vector<uint8_t>& aby, size_t nAt, uint32_t dw) { std::memcpy(&aby[nAt], &dw, 4); }
    static size_t EntryField(uint32_t i, uint32_t dwField)
    {
        return MULTICSC_ENTRY_BASE + MULTICSC_ENTRY_SIZE * i + dwField;
    }
    const REGION_INFO& Carrier() const { return core.m_RegionTable.aRegion[REGION_CARRIER]; }

    CImagesTempDir dir;
    CVarnDLCore core;
    CRecordingControls controls;
};

TEST_F(MultiCscTest, ListIsSortedAndStartUsesTheMatchingEntry)
{
    const std::vector<uint8_t> aby =
        ImagesContainer({{"ZULU", 5000, 0x300000}, {"ALPHA", 7000, 0x400000}, {"mike", 10, 0x1000}});
    ASSERT_TRUE(SelectContainer(aby));
    EXPECT_EQ(controls.m_astrList, (std::vector<std::string>{"ALPHA", "mike", "ZULU"}));
    EXPECT_EQ(controls.m_nListSel, 0);
    EXPECT_TRUE(controls.m_bListEnabled);
    EXPECT_EQ(controls.m_strLabel, "Multi CSC");
    EXPECT_EQ(core.m_bCscPacked, 1u);
    EXPECT_EQ(core.m_bMultiCsc, 1u);

    const IMAGE_START_RESULT result = Start(true, "ALPHA");
    ASSERT_TRUE(result.bGoOn);
    EXPECT_EQ(result.nEntry, 1);
    EXPECT_EQ(Carrier().FileOffset, ImagesEntryOffset(aby, 1));
    for (uint32_t k = 0; k < 16; ++k)  // ALPHA's own data
        EXPECT_EQ(aby[Carrier().FileOffset + k], IMAGE_BUILDER_SeededByte(ImagesEntrySeed(1), k)) << k;
    EXPECT_EQ(Carrier().DataLength, 7000u);
    EXPECT_EQ(Carrier().EraseLength, 0x400000u);  // nothing added for packed data
    EXPECT_EQ(core.m_dwCscReserve, 0x400000u);
    EXPECT_EQ(core.m_bCscImage, 1u);
    EXPECT_TRUE(IMAGE_RegionFitsFile(core.m_strCscPath, Carrier()));
}

TEST_F(MultiCscTest, DuplicateNamesResolveToTheEarliestEntry)
{
    ASSERT_TRUE(SelectContainer(ImagesContainer({{"B", 10, 1}, {"SAME", 20, 2}, {"SAME", 30, 3}})));
    EXPECT_EQ(controls.m_astrList, (std::vector<std::string>{"B", "SAME", "SAME"}));
    EXPECT_EQ(Start(true, "SAME").nEntry, 1);
    EXPECT_EQ(Carrier().DataLength, 20u);
}

TEST_F(MultiCscTest, StartStopsOnMissingOrUnknownSelection)
{
    ASSERT_TRUE(SelectContainer(ImagesContainer({{"ONE", 10, 1}})));
    core.m_strPhonePath = dir.File("missing.bin");
    core.m_bPhoneImage = 1;

    IMAGE_START_RESULT result = Start(false, "", true);
    EXPECT_FALSE(result.bGoOn);
    EXPECT_EQ(result.strMessage, "Select CSC File in Multi CSC ComboBox");
    EXPECT_EQ(core.m_bPhoneImage, 1u);  // nothing revalidated
    EXPECT_EQ(core.m_strPhonePath, dir.File("missing.bin"));

    result = Start(false, "", false);
    EXPECT_FALSE(result.bGoOn);
    EXPECT_EQ(result.strMessage, "ERROR: Invalid MulitCSC Header");
    result = Start(true, "one");  // names compare exactly
    EXPECT_FALSE(result.bGoOn);
    EXPECT_EQ(controls.m_astrMessages.size(), 3u);

    // An entry with an empty name is chosen only when the operator selects it.
    ASSERT_TRUE(SelectContainer(ImagesContainer({{"ONE", 10, 1}, {"", 20, 2}})));
    result = Start(false, "", false);
    EXPECT_FALSE(result.bGoOn);
    EXPECT_EQ(result.nEntry, -1);
    EXPECT_EQ(Start(true, "").nEntry, 1);
}

TEST_F(MultiCscTest, EntryCountOutsideTheHeaderIsRefused)
{
    for (uint32_t dwCount : {0u, 1024u, 0xFFFFFFFEu}) {
        controls.m_astrMessages.clear();
        EXPECT_FALSE(SelectContainer(ImagesContainer({{"ONE", 10, 1}}, dwCount))) << dwCount;
        EXPECT_EQ(core.m_bCscImage, 0u);
        EXPECT_EQ(core.m_strCscPath, "This File is not a CSC Image File!!");
        EXPECT_EQ(core.m_bCscPacked, 0u);
        EXPECT_EQ(core.m_bMultiCsc, 0u);
        ASSERT_EQ(controls.m_astrMessages.size(), 1u);
        EXPECT_NE(controls.m_astrMessages[0].find("1 to 1023"), std::string::npos);
        EXPECT_FALSE(controls.m_bListEnabled);
    }
    // The largest table that fits the header is usable, last entry included.
    std::vector<IMAGES_ENTRY> aEntries(MULTICSC_MAX_ENTRIES, IMAGES_ENTRY{"E", 1, 1});
    aEntries.back().strName = "LAST";
    ASSERT_TRUE(SelectContainer(ImagesContainer(aEntries)));
    EXPECT_EQ(controls.m_astrList.size(), MULTICSC_MAX_ENTRIES);
    EXPECT_EQ(Start(true, "LAST").nEntry, int(MULTICSC_MAX_ENTRIES - 1));
    EXPECT_EQ(core.m_bCscImage, 1u);
}

TEST_F(MultiCscTest, EntriesOutsideTheFileAreRefusedAtStart)
{
    const std::vector<uint8_t> good = ImagesContainer({{"A", 100, 1}, {"B", 100, 2}});
    const uint32_t dwLength = uint32_t(good.size());
    struct CASE {
        uint32_t dwOffset, dwSize;
    };
    for (const CASE c : {CASE{dwLength - 100, 160}, CASE{0, 159}, CASE{0xFFFFFF00u, 0x200}, CASE{100, 0xFFFFFFFFu}}) {
        std::vector<uint8_t> aby = good;
        PutWord(aby, EntryField(1, MULTICSC_DATA_OFFSET), c.dwOffset);
        PutWord(aby, EntryField(1, MULTICSC_SIZE_OFFSET), c.dwSize);
        ASSERT_TRUE(SelectContainer(aby));
        const IMAGE_START_RESULT result = Start(true, "B");
        EXPECT_TRUE(result.bGoOn);  // Start goes on without CARRIER data
        EXPECT_EQ(core.m_bCscImage, 0u) << c.dwOffset << " " << c.dwSize;
        EXPECT_EQ(core.m_strCscPath, "This File is not a CSC Image File!!");
        EXPECT_EQ(result.astrRefused.back(), "This File is not a CSC Image File!!");
    }

    // An entry trailer whose data offset wraps once the entry's position is added.
    std::vector<uint8_t> aby = good;
    const uint32_t dwTrailer = ImagesEntryOffset(good, 0) + 100;
    PutWord(aby, dwTrailer + 12 + 16 * REGION_PDA + 4, 0xFFFFFFF0u);
    ASSERT_TRUE(SelectContainer(aby));
    IMAGE_TRAILER t;
    EXPECT_FALSE(MULTICSC_CheckMultiCscEntry(core, core.m_strCscPath, 0, &t));
    EXPECT_TRUE(MULTICSC_CheckMultiCscEntry(core, core.m_strCscPath, 1, &t));
    EXPECT_FALSE(MULTICSC_CheckMultiCscEntry(core, core.m_strCscPath, 2, &t));  // no such entry
    // An entry's own trailer must be a marked CSC block.
    PutWord(aby, dwTrailer + 4, 1u << IMAGE_PDA);
    ImagesWriteBytes(core.m_strCscPath, aby);
    EXPECT_FALSE(MULTICSC_CheckMultiCscEntry(core, core.m_strCscPath, 0, &t));
}

TEST_F(MultiCscTest, MarkedSingleCsc)
{
    std::vector<uint8_t> aby(5000000, 0x5A);
    PutWord(aby, 0, MULTICSC_SINGLE_START);
    PutWord(aby, MULTICSC_END_OFFSET, MULTICSC_SINGLE_END);
    REGION_INFO aRegions[TRAILER_OLD_REGIONS] = {};
    aRegions[REGION_PDA] = {0, 0x999, 0x888, 0x600000};
    const std::vector<uint8_t> abyTrailer = ImagesOldTrailer(1u << IMAGE_CSC, aRegions);
    aby.insert(aby.end(), abyTrailer.begin(), abyTrailer.end());
    ASSERT_TRUE(SelectContainer(aby));

    EXPECT_EQ(Carrier().FileOffset, 0u);
    EXPECT_EQ(Carrier().DataLength, 5000000u);
    EXPECT_EQ(Carrier().EraseLength, 0x600000u);
    EXPECT_EQ(core.m_dwCscReserve, 0x600000u);
    EXPECT_EQ(core.m_bCscPacked, 1u);
    EXPECT_EQ(core.m_bMultiCsc, 0u);
    EXPECT_EQ(controls.m_strLabel, "Single CSC");
    EXPECT_FALSE(controls.m_bListEnabled);
    // Start checks it as an ordinary CSC file again.
    EXPECT_EQ(Start(false, "").nEntry, -1);
    EXPECT_EQ(Carrier().DataLength, 5000000u);
}

TEST_F(MultiCscTest, ShortCscLeavesTheListAlone)
{
    ASSERT_TRUE(SelectContainer(ImagesContainer({{"KEEP", 10, 1}})));
    ImagesWriteFile(dir.File("short.csc"), 1000, ImagesOldTrailer(1u << IMAGE_CSC));
    core.m_strCscPath = dir.File("short.csc");
    ASSERT_TRUE(IMAGE_SelectImage(core, controls, IMAGE_CSC, false));
    EXPECT_EQ(controls.m_astrList, std::vector<std::string>{"KEEP"});
    EXPECT_EQ(core.m_bCscPacked, 0u);
    EXPECT_EQ(core.m_bMultiCsc, 0u);
}

TEST_F(MultiCscTest, NamesAreDecodedFromWindows1252)
{
    const uint8_t abyName[] = {'C', 'a', 'f', 0xE9, ' ', 0x80, ' ', 0x9F, 0x81, 0};
    EXPECT_EQ(MULTICSC_DecodeAnsi(abyName, 32), "Caf\xC3\xA9 \xE2\x82\xAC \xC5\xB8\xC2\x81");
    // A name without its NUL ends with its 32-byte field.
    std::string strLong(40, 'x');
    ASSERT_TRUE(SelectContainer(ImagesContainer({{strLong, 10, 1}, {"\xC4pfel", 10, 1}})));
    EXPECT_EQ(MULTICSC_EntryName(core, 0), std::string(32, 'x'));
    EXPECT_EQ(Start(true, "\xC3\x84pfel").nEntry, 1);
}

}  // namespace
