// The verifier against real image sets: it must pass the flash the station would write, and
// catch a region written in the wrong layout, from the wrong container entry or not at all.
#include <gtest/gtest.h>

#include <cstdlib>

#include <fstream>

#include "sim/flash_verify.h"
#include "sim/image_builder.h"

namespace {

std::vector<uint8_t> FileBytes(const std::string& strPath, uint64_t qwOffset, uint32_t dwLength)
{
    std::vector<uint8_t> aby(dwLength, 0);
    std::ifstream in(strPath, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(qwOffset));
    in.read(reinterpret_cast<char*>(aby.data()), dwLength);
    return aby;
}

// Writes a slice the way the station's chunk loops do.
void WriteLikeTheStation(CFlashModel& flash, const FLASH_SLICE& s)
{
    auto aby = FileBytes(s.strPath, s.qwFileOffset, s.dwLength);
    if (s.eLayout == SLICE_SPARE) {
        aby.resize((aby.size() + 0x807F) / 0x8080 * 0x8080, 0xFF);
        for (size_t c = 0; c * 0x8080 < aby.size(); ++c) {
            flash.ProgramPages(s.dwFlashAddr + static_cast<uint32_t>(c) * 0x8000,
                               aby.data() + c * 0x8080, 16);
        }
        return;
    }
    if (s.eLayout == SLICE_ADD_SPARE && s.nPriorityByte >= 0 && aby.size() > 104) {
        aby[104] = static_cast<uint8_t>(s.nPriorityByte);
    }
    flash.Program(s.dwFlashAddr, aby.data(), static_cast<uint32_t>(aby.size()));
}

class VerifyTest : public ::testing::Test {
protected:
    void Build(CSC_FORM eCsc)
    {
        IMAGE_SET_SIZES sizes;
        sizes.dwAmss = 0x50000;
        sizes.dwPda = 0x8080 * 3 + 2056 * 2 + 100;  // a ragged end inside a page
        sizes.eCsc = eCsc;
        std::string strError;
        // Test programs run side by side: every set gets a folder of its own.
        char szDir[] = "/tmp/quillon-verify-XXXXXX";
        ASSERT_NE(mkdtemp(szDir), nullptr);
        m_strDir = szDir;
        ASSERT_TRUE(IMAGE_BUILDER_WriteStandardSet(m_strDir, 7, sizes, &m_set, &strError))
            << strError;
        m_images = {m_set.strPhone, m_set.strEboot, m_set.strPda, m_set.strCsc, m_set.strHidden, "", 1};
        ASSERT_TRUE(FLASH_VERIFY_SlicesFromImages(m_images, &m_aSlices, &strError)) << strError;
    }
    const FLASH_SLICE& Slice(const std::string& strName)
    {
        for (const auto& s : m_aSlices) {
            if (s.strName == strName) return s;
        }
        static FLASH_SLICE none;
        ADD_FAILURE() << "no slice " << strName;
        return none;
    }
    void TearDown() override
    {
        if (!m_strDir.empty()) std::system(("rm -rf '" + m_strDir + "'").c_str());
    }
    std::string m_strDir;
    IMAGE_SET m_set;
    VERIFY_IMAGES m_images;
    std::vector<FLASH_SLICE> m_aSlices;
};

TEST_F(VerifyTest, AFlashWrittenAsTheStationWritesPassesEveryRegion)
{
    Build(CSC_PLAIN);
    CFlashModel flash;
    for (const auto& s : m_aSlices) WriteLikeTheStation(flash, s);
    for (const auto& r : FLASH_VERIFY_Slices(flash, m_aSlices)) {
        EXPECT_EQ(r.eStatus, VERIFY_OK) << r.slice.strName;
    }
    EXPECT_EQ(Slice("PDA").eLayout, SLICE_SPARE);
    EXPECT_EQ(Slice("CARRIER").dwFlashAddr, m_set.aFlash[REGION_CARRIER].StartAddr);
}

TEST_F(VerifyTest, SpareBytesInTheMainAreaAndUnwrittenRegionsAreReported)
{
    Build(CSC_PLAIN);
    CFlashModel flash;
    FLASH_SLICE pda = Slice("PDA");
    pda.eLayout = SLICE_PLAIN;  // slots copied flat: the spare bytes land in the main area
    WriteLikeTheStation(flash, pda);
    const auto r = FLASH_VERIFY_Slice(flash, Slice("PDA"));
    EXPECT_EQ(r.eStatus, VERIFY_MISMATCH);
    EXPECT_EQ(r.qwFirstBad, 2048u);  // the first spare byte of the first slot
    EXPECT_EQ(FLASH_VERIFY_Slice(flash, Slice("AMSS")).eStatus, VERIFY_NOT_WRITTEN);
}

TEST_F(VerifyTest, ContainerEntryIsTheFirstListedNameAndThePriorityByteIsExpected)
{
    Build(CSC_MULTI);
    // Entries ZULU, ALPHA, MIKE: the list shows ALPHA first, which is entry 1.
    ASSERT_EQ(m_set.astrCscNames[1], "ALPHA");
    const FLASH_SLICE carrier = Slice("CARRIER");
    EXPECT_EQ(carrier.eLayout, SLICE_ADD_SPARE);
    EXPECT_EQ(carrier.dwLength, 0x40000u - 0x1000u);
    CFlashModel flash;
    WriteLikeTheStation(flash, carrier);
    EXPECT_EQ(FLASH_VERIFY_Slice(flash, carrier).eStatus, VERIFY_OK);

    // Written with the file's own byte 104 instead of the priority bit.
    FLASH_SLICE unpatched = carrier;
    unpatched.nPriorityByte = -1;
    CFlashModel other;
    WriteLikeTheStation(other, unpatched);
    const auto abyFile = FileBytes(carrier.strPath, carrier.qwFileOffset + 104, 1);
    if (abyFile[0] != 1) {
        const auto r = FLASH_VERIFY_Slice(other, carrier);
        EXPECT_EQ(r.eStatus, VERIFY_MISMATCH);
        EXPECT_EQ(r.qwFirstBad, 104u);
    }

    // Naming ZULU picks entry 0, whose data differ.
    m_images.strCscEntry = "ZULU";
    std::vector<FLASH_SLICE> aZulu;
    ASSERT_TRUE(FLASH_VERIFY_SlicesFromImages(m_images, &aZulu, nullptr));
    for (const auto& s : aZulu) {
        if (s.strName == "CARRIER") {
            EXPECT_EQ(s.dwLength, 0x40000u);
            EXPECT_EQ(FLASH_VERIFY_Slice(flash, s).eStatus, VERIFY_MISMATCH);
        }
    }
}

TEST_F(VerifyTest, MarkedCscStartsAtTheFirstByteWithItsMarks)
{
    Build(CSC_MARKED);
    const FLASH_SLICE carrier = Slice("CARRIER");
    EXPECT_EQ(carrier.qwFileOffset, 0u);
    EXPECT_EQ(carrier.dwLength, 0x40000u);
    EXPECT_EQ(FileBytes(carrier.strPath, 0, 4), std::vector<uint8_t>(4, 0xCC));
    EXPECT_EQ(FileBytes(carrier.strPath, 124, 4), std::vector<uint8_t>(4, 0xEE));
}

}  // namespace
