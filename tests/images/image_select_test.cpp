#include <cctype>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "images/image_select.h"
#include "images/multi_csc.h"
#include "station/station_core.h"
#include "support/images_fixture.h"

namespace {

class CLogRecorder : public CNullStationView {
public:
    void OnLogLine(int, const std::string& strLine) override { m_astrLines.push_back(strLine); }
    std::vector<std::string> m_astrLines;
};

class ImageSelectTest : public ::testing::Test {
protected:
    ImageSelectTest() { core.SetView(&log); }

    // A Phone image whose body is long enough to hold the whole partition block.
    std::string WritePhone(const std::string& strName, const IMAGE_TRAILER& t, uint64_t qwBody = 0x44800 + 2048)
    {
        const std::string strPath = dir.File(strName);
        ImagesWriteFile(strPath, qwBody, ImagesBytes(t));
        return strPath;
    }
    bool Select(int nKind, const std::string& strPath)
    {
        IMAGE_Path(core, nKind) = strPath;
        return IMAGE_SelectImage(core, controls, nKind, false);
    }
    const REGION_INFO& Region(int i) const { return core.m_RegionTable.aRegion[i]; }

    CImagesTempDir dir;
    CLogRecorder log;
    CVarnDLCore core;
    CRecordingControls controls;
};

TEST_F(ImageSelectTest, LengthAndFormatEdges)
{
    IMAGE_TRAILER t;
    // A file of exactly one new block is refused; one more byte makes it an image.
    ImagesWriteFile(dir.File("192.bin"), 0, ImagesBytes(ImagesNewTrailer(IMAGE_PHONE)));
    ImagesWriteFile(dir.File("193.bin"), 1, ImagesBytes(ImagesNewTrailer(IMAGE_PHONE)));
    EXPECT_FALSE(IMAGE_CheckImageTrailer(core, dir.File("192.bin"), IMAGE_PHONE, &t));
    EXPECT_TRUE(IMAGE_CheckImageTrailer(core, dir.File("193.bin"), IMAGE_PHONE, &t));
    EXPECT_EQ(core.m_bHiddenAllowed, 1u);

    // An old block in a file of 192 bytes or less is refused by the same length rule.
    ImagesWriteFile(dir.File("old192.bin"), 32, ImagesOldTrailer(2));
    EXPECT_FALSE(IMAGE_CheckImageTrailer(core, dir.File("old192.bin"), IMAGE_PHONE, &t));

    // Old blocks need the kind bit; the new kind number is not enough.
    ImagesWriteFile(dir.File("bit.eb0"), 100, ImagesOldTrailer(IMAGE_EBOOT));
    EXPECT_FALSE(IMAGE_CheckImageTrailer(core, dir.File("bit.eb0"), IMAGE_EBOOT, &t));
    ImagesWriteFile(dir.File("bit2.eb0"), 100, ImagesOldTrailer(1u << IMAGE_EBOOT));
    EXPECT_TRUE(IMAGE_CheckImageTrailer(core, dir.File("bit2.eb0"), IMAGE_EBOOT, &t));
    EXPECT_EQ(t.dwEndMarker, TRAILER_END_MARKER);  // widened to the new shape

    // Neither a directory nor a FIFO is an image, and a FIFO must not block the check.
    EXPECT_FALSE(IMAGE_CheckImageTrailer(core, dir.Path(), IMAGE_PHONE, &t));
    ASSERT_EQ(::mkfifo(dir.File("fifo.bin").c_str(), 0600), 0);
    EXPECT_FALSE(IMAGE_CheckImageTrailer(core, dir.File("fifo.bin"), IMAGE_PHONE, &t));
}

TEST_F(ImageSelectTest, OldBlockOfRequestedKindWinsOverNewBlockOfAnother)
{
    // A new PDA block whose last 160 bytes also form a marked old Phone block.
    IMAGE_TRAILER t = ImagesNewTrailer(IMAGE_PDA);
    t.aRegion[1].FileOffset = TRAILER_START_MARKER;   // offset 32: the old start marker
    t.aRegion[1].DataLength = 1u << IMAGE_PHONE;      // offset 36: the old kind word
    const std::string strPath = WritePhone("both.bin", t);

    IMAGE_TRAILER out;
    EXPECT_TRUE(IMAGE_CheckImageTrailer(core, strPath, IMAGE_PDA, &out));
    core.m_bHiddenAllowed = 1;
    EXPECT_TRUE(IMAGE_CheckImageTrailer(core, strPath, IMAGE_PHONE, &out));
    EXPECT_EQ(out.dwKind, 2u);
    EXPECT_EQ(core.m_bHiddenAllowed, 0u);  // judged as an old Phone image
}

TEST_F(ImageSelectTest, UnmarkedOldPhoneKindReadsPartitionBlock)
{
    ImagesWriteFile(dir.File("p40.bin"), 0x44800 + 2048, ImagesOldTrailer(TRAILER_OLD_PHONE_KIND, nullptr, false));
    IMAGE_TRAILER t;
    EXPECT_TRUE(IMAGE_CheckImageTrailer(core, dir.File("p40.bin"), IMAGE_PHONE, &t));
    for (int k : {0, 1, 255, 2047}) EXPECT_EQ(core.m_abyPartitionTable[k], uint8_t(0x44800 + k));
    // The unmarked word is a Phone kind only.
    EXPECT_FALSE(IMAGE_CheckImageTrailer(core, dir.File("p40.bin"), IMAGE_EBOOT, &t));
}

TEST_F(ImageSelectTest, ShortPhoneImageLeavesErasedPartitionBytes)
{
    ASSERT_TRUE(Select(IMAGE_PHONE, WritePhone("long.bin", ImagesNewTrailer(IMAGE_PHONE))));
    // 100 body bytes and the 192-byte block lie inside the partition area; the rest is missing.
    const std::string strShort = WritePhone("short.bin", ImagesNewTrailer(IMAGE_PHONE), 0x44800 + 100);
    ASSERT_TRUE(Select(IMAGE_PHONE, strShort));
    EXPECT_EQ(core.m_abyPartitionTable[99], 99);
    EXPECT_EQ(core.m_abyPartitionTable[100], TRAILER_START_MARKER);
    EXPECT_EQ(core.m_abyPartitionTable[291], TRAILER_END_MARKER >> 24);
    for (int k : {292, 1000, 2047}) EXPECT_EQ(core.m_abyPartitionTable[k], 0xFF) << k;
}

TEST_F(ImageSelectTest, OldPhoneTrailerPlacesCarrierAtPdaAndForbidsHidden)
{
    REGION_INFO aRegions[TRAILER_OLD_REGIONS] = {};
    aRegions[REGION_QCSBL] = {0x100, 0x200, 0x300, 0x400};
    aRegions[REGION_APPSBL] = {0x6000, 0x6100, 0x6200, 0x6300};
    aRegions[REGION_PDA] = {0x800000, 0x1000, 0x40000, 0x900000};
    ImagesWriteFile(dir.File("old.bin"), 0x45000, ImagesOldTrailer(2, aRegions));
    ASSERT_TRUE(Select(IMAGE_PHONE, dir.File("old.bin")));

    EXPECT_EQ(Region(REGION_QCSBL).DataLength, 0x300u);
    EXPECT_EQ(Region(REGION_APPSBL).StartAddr, 0x6000u);
    EXPECT_EQ(Region(REGION_APPSBL).FileOffset, 0u);  // the Eboot image's field
    EXPECT_EQ(Region(REGION_PDA).EraseLength, 0x900000u);
    EXPECT_EQ(Region(REGION_CARRIER).StartAddr, 0x800000u);
    EXPECT_EQ(Region(REGION_CARRIER).EraseLength, 0x40000u);  // the PDA DataLength
    EXPECT_EQ(core.m_RegionTable.dwHeadWord, 0x12345678u);

    // Hidden stays unusable even with a Hidden file that is accepted.
    core.m_RegionTable.aRegion[REGION_HIDDEN].DataLength = 10;
    ImagesWriteFile(dir.File("x.hid"), 10, {});
    Select(IMAGE_HIDDEN, dir.File("x.hid"));
    EXPECT_FALSE(controls.m_Enabling.bHidden);
    EXPECT_FALSE(controls.m_Enabling.bHiddenRow);
    EXPECT_TRUE(controls.m_Enabling.bPhone);
}

TEST_F(ImageSelectTest, HiddenLengthFollowsPhoneEraseLength)
{
    IMAGE_TRAILER t = ImagesNewTrailer(IMAGE_PHONE);
    t.aRegion[REGION_HIDDEN] = {0x3000000, 0x55, 0x66, 16777216};
    t.aRegion[REGION_CARRIER] = {0x2000000, 0, 0, 2 * 1048576};
    ASSERT_TRUE(Select(IMAGE_PHONE, WritePhone("new.bin", t)));
    EXPECT_EQ(Region(REGION_HIDDEN).DataLength, 16184832u);
    EXPECT_EQ(Region(REGION_HIDDEN).FileOffset, 0u);
    EXPECT_EQ(Region(REGION_CARRIER).DataLength, (2u * 1048576 / 2048 - 320) * 2056);

    const std::string strHidden = dir.File("h.hid");
    ImagesWriteFile(strHidden, 0, {});
    std::filesystem::resize_file(strHidden, 16184831);
    EXPECT_FALSE(Select(IMAGE_HIDDEN, strHidden));
    EXPECT_EQ(core.m_strHiddenPath, "This File is not a Hidden Image File!!");
    std::filesystem::resize_file(strHidden, 16184832);
    EXPECT_FALSE(Select(IMAGE_HIDDEN, strHidden));  // accepted, yet not a "selected" kind
    EXPECT_EQ(core.m_bHiddenImage, 1u);
    EXPECT_TRUE(controls.m_Enabling.bHiddenRow);
}

TEST_F(ImageSelectTest, SmallEraseLengthsDoNotWrapIntoHugeLengths)
{
    IMAGE_TRAILER t = ImagesNewTrailer(IMAGE_PHONE);
    t.aRegion[REGION_CARRIER].EraseLength = 4096;
    t.aRegion[REGION_HIDDEN].EraseLength = 655360;  // exactly the 320 blocks: no room for data
    ASSERT_TRUE(Select(IMAGE_PHONE, WritePhone("tiny.bin", t)));
    EXPECT_EQ(Region(REGION_CARRIER).DataLength, 0u);
    EXPECT_EQ(Region(REGION_HIDDEN).DataLength, 0u);
    EXPECT_EQ(IMAGE_SpareDataLength(0xFFFFF800u), 0u);  // would not fit a word either

    // With no room, not even an empty file is a Hidden image.
    ImagesWriteFile(dir.File("empty.hid"), 0, {});
    Select(IMAGE_HIDDEN, dir.File("empty.hid"));
    EXPECT_EQ(core.m_bHiddenImage, 0u);
}

TEST_F(ImageSelectTest, CscEntryNineAndPhoneSelectedAgain)
{
    IMAGE_TRAILER phone = ImagesNewTrailer(IMAGE_PHONE);
    phone.aRegion[REGION_CARRIER] = {0x2000000, 0, 0, 0x100000};
    const std::string strPhone = WritePhone("p.bin", phone);
    ASSERT_TRUE(Select(IMAGE_PHONE, strPhone));

    IMAGE_TRAILER csc = ImagesNewTrailer(IMAGE_CSC);
    csc.aRegion[REGION_PDA] = {0, 0x40, 0x5000, 0x80000};
    ImagesWriteFile(dir.File("c.csc"), MULTICSC_HEADER_SIZE, ImagesBytes(csc));
    core.m_dwCscReserve = 77;
    ASSERT_TRUE(Select(IMAGE_CSC, dir.File("c.csc")));
    EXPECT_EQ(Region(REGION_CARRIER).FileOffset, 0x40u);
    EXPECT_EQ(Region(REGION_CARRIER).DataLength, 0x5000u);
    EXPECT_EQ(Region(REGION_CARRIER).EraseLength, 0x80000u + 131072);
    EXPECT_EQ(core.m_dwCscReserve, 0u);
    EXPECT_EQ(core.m_bCscPacked, 0u);
    EXPECT_TRUE(controls.m_astrList.empty());
    EXPECT_FALSE(controls.m_bListEnabled);
    EXPECT_EQ(controls.m_strLabel, "Single CSC");

    // The Phone chosen again takes back StartAddr, EraseLength and DataLength of entry 9.
    ASSERT_TRUE(Select(IMAGE_PHONE, strPhone));
    EXPECT_EQ(Region(REGION_CARRIER).StartAddr, 0x2000000u);
    EXPECT_EQ(Region(REGION_CARRIER).EraseLength, 0x100000u);
    EXPECT_EQ(Region(REGION_CARRIER).DataLength, IMAGE_SpareDataLength(0x100000));
    EXPECT_EQ(Region(REGION_CARRIER).FileOffset, 0x40u);

    // An erase length that would wrap with the added reserve is refused.
    csc.aRegion[REGION_PDA].EraseLength = 0xFFFF0000u;
    ImagesWriteFile(dir.File("wrap.csc"), 0x6000, ImagesBytes(csc));
    EXPECT_FALSE(Select(IMAGE_CSC, dir.File("wrap.csc")));
    EXPECT_EQ(Region(REGION_CARRIER).DataLength, IMAGE_SpareDataLength(0x100000));
}

TEST_F(ImageSelectTest, RefusalTextsLogAndKeepEarlierFields)
{
    IMAGE_TRAILER pda = ImagesNewTrailer(IMAGE_PDA);
    pda.aRegion[REGION_PDA] = {0, 0x10, 0x20, 0};
    pda.aRegion[REGION_RESERVED] = {CSC_SIZE_MARKER, 123456, 0, 0};
    ImagesWriteFile(dir.File("a.pda"), 300, ImagesBytes(pda));
    ASSERT_TRUE(Select(IMAGE_PDA, dir.File("a.pda")));
    EXPECT_EQ(log.m_astrLines.back(), "Open PDA image at : " + dir.File("a.pda") + "\r\n");
    EXPECT_EQ(core.m_dwCscSize, 123456u);

    EXPECT_FALSE(Select(IMAGE_PDA, dir.File("missing.pda")));
    EXPECT_EQ(core.m_strPdaPath, "This File is not a PDA Image File!!");
    EXPECT_EQ(controls.m_astrPath[IMAGE_PDA], "This File is not a PDA Image File!!");
    EXPECT_EQ(log.m_astrLines.back(), "This File is not a PDA Image File!!\r\n");
    EXPECT_EQ(core.m_bPdaImage, 0u);
    EXPECT_EQ(Region(REGION_PDA).DataLength, 0x20u);

    // Another station reading the same image set, or any program holding a lock on the file,
    // does not make it less of an image.
    for (const int nLock : {LOCK_EX, LOCK_SH}) {
        const int fd = ::open(dir.File("a.pda").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, nLock), 0);
        EXPECT_TRUE(Select(IMAGE_PDA, dir.File("a.pda")));
        ::close(fd);
    }

    // An empty path only clears the flag.
    const size_t nLines = log.m_astrLines.size();
    EXPECT_FALSE(Select(IMAGE_PDA, ""));
    EXPECT_EQ(core.m_bPdaImage, 0u);
    EXPECT_EQ(log.m_astrLines.size(), nLines);
}

TEST_F(ImageSelectTest, FileDialogFilterAndCancel)
{
    const std::string strPhone = WritePhone("p.bin", ImagesNewTrailer(IMAGE_PHONE));
    controls.m_strAnswer = strPhone;
    EXPECT_TRUE(IMAGE_SelectImage(core, controls, IMAGE_PHONE, true));
    EXPECT_EQ(controls.m_strLastFilter, "Phone Image (*.bin)|*.bin|All Files(*.*)|*.*|");
    EXPECT_EQ(core.m_bImageReady, 1u);
    EXPECT_FALSE(controls.m_Enabling.bDisableStart);

    controls.m_strAnswer.clear();
    EXPECT_FALSE(IMAGE_SelectImage(core, controls, IMAGE_PHONE, true));
    EXPECT_EQ(core.m_bPhoneImage, 1u);  // Cancel checks nothing
    EXPECT_EQ(controls.m_astrPath[IMAGE_PHONE], strPhone);
}

TEST_F(ImageSelectTest, EnablingRules)
{
    core.m_bEbootImage = core.m_bPdaImage = core.m_bCscImage = core.m_bHiddenImage = 1;
    core.m_bHiddenAllowed = 1;
    IMAGE_ENABLING en = IMAGE_Enabling(core);
    EXPECT_FALSE(en.bPhone || en.bEboot || en.bSelectAll || en.bImageRows || en.bHidden || en.bHiddenRow);
    EXPECT_TRUE(en.bDisableStart);

    core.m_bPhoneImage = core.m_bImageReady = 1;
    core.m_bPdaImage = 0;
    en = IMAGE_Enabling(core);
    EXPECT_TRUE(en.bPhoneBoot && en.bEfsClear && en.bEboot && en.bCsc && en.bHidden && en.bImageRows);
    EXPECT_FALSE(en.bPda);
    EXPECT_FALSE(en.bSelectAll);
    EXPECT_FALSE(en.bDisableStart);
}

TEST_F(ImageSelectTest, DroppedFiles)
{
    // The scratch directory's own name may hold capitals; its lower-cased twin points to it.
    std::string strLowerDir = dir.Path();
    for (char& c : strLowerDir) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (strLowerDir != dir.Path()) std::filesystem::create_directory_symlink(dir.Path(), strLowerDir);
    struct CRemoveTwin {
        std::string str;
        bool bOwn;
        ~CRemoveTwin() { if (bOwn) std::filesystem::remove(str); }
    } twin{strLowerDir, strLowerDir != dir.Path()};
    const std::string strLowerPhone = strLowerDir + "/phone.bin";

    const std::string strUpper = WritePhone("PHONE.BIN", ImagesNewTrailer(IMAGE_PHONE));
    // On a case-sensitive disk the lower-cased name is another (missing) file: the path stays.
    IMAGE_DropFiles(core, controls, {strUpper}, false);
    EXPECT_EQ(core.m_strPhonePath, strUpper);
    EXPECT_EQ(core.m_bPhoneImage, 1u);

    // Where the lower-cased path names the same file, as on a case-insensitive disk, it is kept.
    std::filesystem::create_hard_link(strUpper, dir.File("phone.bin"));
    IMAGE_DropFiles(core, controls, {strUpper}, false);
    EXPECT_EQ(core.m_strPhonePath, strLowerPhone);
    EXPECT_EQ(controls.m_astrPath[IMAGE_PHONE], strLowerPhone);

    // Only the first three characters of the extension count; unknown ones get a message.
    ImagesWriteFile(dir.File("x.pdax"), 10, ImagesBytes(ImagesNewTrailer(IMAGE_PDA)));
    IMAGE_DropFiles(core, controls, {dir.File("a.txt"), dir.File("noext"), dir.File("x.pdax")}, false);
    EXPECT_EQ(controls.m_astrMessages, std::vector<std::string>(2, "Wrong file format : Specify the image file!!!"));
    EXPECT_EQ(core.m_bPdaImage, 1u);

    // A running download is never handed new images.
    core.m_aChannel[3].m_bRebootWait = 1;
    IMAGE_DropFiles(core, controls, {dir.File("other.bin")}, false);
    EXPECT_EQ(core.m_strPhonePath, strLowerPhone);
    core.m_aChannel[3].m_bRebootWait = 0;
    IMAGE_DropFiles(core, controls, {dir.File("other.bin")}, true);
    EXPECT_EQ(core.m_strPhonePath, strLowerPhone);
    EXPECT_EQ(controls.m_astrMessages.size(), 4u);

    EXPECT_EQ(IMAGE_KindFromExtension("nb0"), IMAGE_PDA);
    EXPECT_EQ(IMAGE_KindFromExtension("BIN"), IMAGE_NONE);
}

TEST_F(ImageSelectTest, RevalidateForgetsTheTableAndChecksInOrder)
{
    core.m_RegionTable.aRegion[REGION_FOTA].DataLength = 99;
    core.m_bUnifiedImage = 1;
    IMAGE_TRAILER phone = ImagesNewTrailer(IMAGE_PHONE);
    phone.aRegion[REGION_HIDDEN].EraseLength = 1048576;
    core.m_strPhonePath = WritePhone("p.bin", phone);
    core.m_strHiddenPath = dir.File("h.hid");
    ImagesWriteFile(core.m_strHiddenPath, IMAGE_SpareDataLength(1048576), {});
    core.m_strPdaPath = dir.File("gone.pda");

    IMAGE_RevalidateImages(core, controls);
    EXPECT_EQ(Region(REGION_FOTA).DataLength, 0u);
    EXPECT_EQ(core.m_bUnifiedImage, 0u);
    EXPECT_EQ(core.m_bHiddenImage, 1u);  // possible only because Phone came first
    EXPECT_EQ(core.m_bPdaImage, 0u);
    EXPECT_EQ(core.m_strUnifiedPath, "Unified Image only");
    EXPECT_EQ(controls.m_astrPath[IMAGE_UNIFIED], "Unified Image only");
    EXPECT_EQ(controls.m_nPhoneRowEnabled, 1);
    EXPECT_EQ(controls.m_nStoredTicks, 5);
}

TEST_F(ImageSelectTest, StartValidationReportsRefusalsAndGoesOn)
{
    core.m_strPhonePath = WritePhone("p.bin", ImagesNewTrailer(IMAGE_PHONE));
    core.m_strEbootPath = dir.File("missing.eb0");
    const IMAGE_START_RESULT result = IMAGE_ValidateForStart(core, controls, {false, true, false, ""});
    EXPECT_TRUE(result.bGoOn);
    EXPECT_EQ(result.nEntry, -1);
    EXPECT_EQ(result.astrRefused, std::vector<std::string>{"This File is not a Eboot Image File!!"});
    EXPECT_EQ(core.m_bCscPriority, 0u);
    EXPECT_EQ(core.m_bPhoneImage, 1u);
}

TEST_F(ImageSelectTest, RegionMustLieInsideItsFile)
{
    ImagesWriteFile(dir.File("r.bin"), 1000, {});
    EXPECT_TRUE(IMAGE_RegionFitsFile(dir.File("r.bin"), REGION_INFO{0, 900, 100, 0}));
    EXPECT_FALSE(IMAGE_RegionFitsFile(dir.File("r.bin"), REGION_INFO{0, 901, 100, 0}));
    // A sum that wraps a 32-bit word must not look small.
    EXPECT_FALSE(IMAGE_RegionFitsFile(dir.File("r.bin"), REGION_INFO{0, 0xFFFFFFF0u, 0x20, 0}));
    EXPECT_FALSE(IMAGE_RegionFitsFile(dir.File("none.bin"), REGION_INFO{0, 0, 0, 0}));

    const int fd = ::open(dir.File("r.bin").c_str(), O_RDONLY);
    EXPECT_TRUE(IMAGE_RegionFitsFile(fd, REGION_INFO{0, 0, 1000, 0}));
    EXPECT_FALSE(IMAGE_RegionFitsFile(fd, REGION_INFO{0, 1, 1000, 0}));
    ::close(fd);
    EXPECT_FALSE(IMAGE_RegionFitsFile(-1, REGION_INFO{0, 0, 0, 0}));
}

}  // namespace
