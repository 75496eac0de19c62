// Start judges every selected region against its image file and its erase length, by the flash
// the write loop that carries it covers, and refuses a selection that does not fit before any
// phone is touched.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "images/image_select.h"
#include "images/region_fit.h"
#include "sim/image_builder.h"
#include "station/station_core.h"
#include "support/images_fixture.h"

namespace {

constexpr uint32_t CHUNK = 0x8000;
constexpr uint32_t SPARE_CHUNK = 0x8080;

TEST(RegionFit, EachFormFitsExactlyUpToItsErase)
{
    const struct {
        const char* szCase;
        REGION_INFO region;  // StartAddr, FileOffset, DataLength, EraseLength
        int nForm;
        int64_t qwFileLength;
        const char* szWhy;
    } aCase[] = {
        {"no data needs no file", {0, 0, 0, 0}, FORM_CHUNKS, -1, ""},
        {"staged: exactly its data", {0, 0, CHUNK + 1, CHUNK + 1}, FORM_STAGED, CHUNK + 1, ""},
        {"staged: one byte over", {0, 0, CHUNK + 2, CHUNK + 1}, FORM_STAGED, 1 << 20,
         "AMSS does not fit its flash area: its data need 0x00008002 bytes of flash, its erase length is 0x00008001."},
        {"chunks: the last chunk is whole", {0, 0, CHUNK + 1, 2 * CHUNK}, FORM_CHUNKS, 1 << 20, ""},
        {"chunks: and must fit too", {0, 0, CHUNK + 1, CHUNK + 1}, FORM_CHUNKS, 1 << 20,
         "AMSS does not fit its flash area: its data need 0x00010000 bytes of flash, its erase length is 0x00008001."},
        {"spare: 0x8080 file bytes per chunk", {0, 0, 3 * SPARE_CHUNK, 3 * CHUNK}, FORM_SPARE, 1 << 20, ""},
        {"spare: a byte more takes a chunk more", {0, 0, 3 * SPARE_CHUNK + 1, 3 * CHUNK}, FORM_SPARE, 1 << 20,
         "AMSS does not fit its flash area: its data need 0x00020000 bytes of flash, its erase length is 0x00018000."},
        {"file: ends with the data", {0, 0x100, 0x1000, 0x8000}, FORM_CHUNKS, 0x1100, ""},
        {"file: a byte short", {0, 0x100, 0x1000, 0x8000}, FORM_CHUNKS, 0x10FF,
         "AMSS lies beyond the end of its image file: its data end at byte 0x00001100, the file holds "
         "0x000010ff bytes."},
        {"file: beyond 4 GiB", {0, 0xFFFFFFF0u, 0x20, 0x8000}, FORM_CHUNKS, 0xFFFFFFFFll,
         "AMSS lies beyond the end of its image file: its data end at byte 0x100000010, the file holds "
         "0xffffffff bytes."},
        {"file: unreadable", {0, 0, 1, 0x8000}, FORM_CHUNKS, -1,
         "AMSS cannot be checked: its image file cannot be read."},
    };
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szCase);
        EXPECT_EQ(IMAGE_RegionFitText("AMSS", c.region, c.nForm, c.qwFileLength), c.szWhy);
    }
}

class StartFitTest : public ::testing::Test {
protected:
    // Writes a standard image set as tweaked, takes all of it and validates it as Start does
    // with these boxes ticked.
    IMAGE_START_RESULT Start(const std::function<void(IMAGE_SET_SIZES&)>& fnTweak, const DOWNLOAD_TICKS& ticks,
                             const std::string& strEntry = "ALPHA")
    {
        IMAGE_SET_SIZES sizes;
        fnTweak(sizes);
        IMAGE_SET set;
        std::string strError;
        EXPECT_TRUE(IMAGE_BUILDER_WriteStandardSet(dir.Path(), 7, sizes, &set, &strError)) << strError;
        core.m_strPhonePath = set.strPhone;
        core.m_strEbootPath = set.strEboot;
        core.m_strPdaPath = set.strPda;
        core.m_strCscPath = set.strCsc;
        core.m_strHiddenPath = set.strHidden;
        IMAGE_RevalidateImages(core, controls);
        core.m_CurrentTicks = ticks;
        IMAGE_START_INPUT input;
        input.bCscTicked = ticks.bCsc;
        input.bHasSelection = core.m_bMultiCsc != 0;
        input.strSelected = strEntry;
        return IMAGE_ValidateForStart(core, controls, input);
    }
    static DOWNLOAD_TICKS All()
    {
        DOWNLOAD_TICKS ticks;
        ticks.bPhoneBoot = ticks.bPhone = ticks.bEboot = ticks.bPda = ticks.bCsc = ticks.bHidden = true;
        return ticks;
    }

    CImagesTempDir dir;
    CVarnDLCore core;
    CRecordingControls controls;
};

TEST_F(StartFitTest, ARegionThatDoesNotFitStopsStartWithItsSentence)
{
    DOWNLOAD_TICKS noPhone = All();
    noPhone.bPhone = false;
    const struct {
        const char* szCase;
        std::function<void(IMAGE_SET_SIZES&)> fnTweak;
        DOWNLOAD_TICKS ticks;
        std::vector<std::string> astrUnfit;
    } aCase[] = {
        {"a healthy set", [](IMAGE_SET_SIZES&) {}, All(), {}},
        {"AMSS data longer than its erase",
         [](IMAGE_SET_SIZES& s) {
             s.dwAmss = 0x1A0000;
             s.adwEraseLength[REGION_AMSS] = 0x180000;
         },
         All(),
         {"AMSS does not fit its flash area: its data need 0x001a0000 bytes of flash, its erase length is "
          "0x00180000."}},
        {"the same AMSS, not selected", [](IMAGE_SET_SIZES& s) {
             s.dwAmss = 0x1A0000;
             s.adwEraseLength[REGION_AMSS] = 0x180000;
         },
         noPhone, {}},
        // Staged, QCSBL would fit; the phone may take it by the direct write all the same.
        {"QCSBL judged by the direct write",
         [](IMAGE_SET_SIZES& s) {
             s.dwQcsbl = 0x27001;
             s.adwEraseLength[REGION_QCSBL] = 0x27001;
         },
         All(),
         {"QCSBL does not fit its flash area: its data need 0x00028000 bytes of flash, its erase length is "
          "0x00027001."}},
        {"PDA data longer than the Phone image's PDA erase",
         [](IMAGE_SET_SIZES& s) { s.adwEraseLength[REGION_PDA] = 0xE0000; },
         All(),
         {"PDA does not fit its flash area: its data need 0x00100000 bytes of flash, its erase length is "
          "0x000e0000."}},
        {"Multi-CSC entry longer than its erase",
         [](IMAGE_SET_SIZES& s) {
             s.eCsc = CSC_MULTI;
             s.adwEraseLength[REGION_CARRIER] = 0x20000;
         },
         All(),
         {"CARRIER does not fit its flash area: its data need 0x00040000 bytes of flash, its erase length is "
          "0x00020000."}},
        // A plain CSC's erase is its block's plus the 0x20000 the station adds: data that
        // need that reserve still fit.
        {"plain CSC within the added reserve",
         [](IMAGE_SET_SIZES& s) { s.adwEraseLength[REGION_CARRIER] = 0x40000; },
         All(), {}},
        {"plain CSC beyond it",
         [](IMAGE_SET_SIZES& s) { s.adwEraseLength[REGION_CARRIER] = 0x38000; },
         All(),
         {"CARRIER does not fit its flash area: its data need 0x00040000 bytes of flash, its erase length is "
          "0x00038000."}},
        {"two regions, both named",
         [](IMAGE_SET_SIZES& s) {
             s.adwEraseLength[REGION_FOTA] = 0x20000;
             s.adwEraseLength[REGION_APPSBL] = 0x40000;
         },
         All(),
         {"FOTA does not fit its flash area: its data need 0x00030000 bytes of flash, its erase length is "
          "0x00020000.",
          "APPSBL does not fit its flash area: its data need 0x00048000 bytes of flash, its erase length is "
          "0x00040000."}},
    };
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szCase);
        controls.m_astrMessages.clear();
        const IMAGE_START_RESULT result = Start(c.fnTweak, c.ticks);
        EXPECT_TRUE(result.astrRefused.empty());
        EXPECT_EQ(result.astrUnfit, c.astrUnfit);
        EXPECT_EQ(result.bGoOn, c.astrUnfit.empty());
        if (c.astrUnfit.empty()) {
            EXPECT_TRUE(controls.m_astrMessages.empty());
            continue;
        }
        std::string strMessage = c.astrUnfit[0];
        for (size_t i = 1; i < c.astrUnfit.size(); ++i) strMessage += "\n" + c.astrUnfit[i];
        EXPECT_EQ(result.strMessage, strMessage);
        EXPECT_EQ(controls.m_astrMessages, std::vector<std::string>{strMessage});
        EXPECT_EQ(core.m_strLog, c.astrUnfit.back() + "\r\n");
    }
}

}  // namespace
