// The exchanges that move a region's data, against a virtual phone: the frames of each chunk
// loop with their sequence bytes, padding and spare bytes, the resends, the stops, the CRC check
// and the flash steps, and the progress they show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "link/serial_device.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "protocol/transfer.h"
#include "support/channel_fixture.h"

namespace {

constexpr uint32_t CHUNK = 0x8000;
constexpr uint32_t SPARE_CHUNK = 0x8080;
constexpr uint32_t BASE = 0x00200000;  // where the test regions lie in the phone's flash

PHONE_FAULTS Faults(std::initializer_list<PHONE_FAULT_RULE> aRule)
{
    PHONE_FAULTS faults;
    faults.aRules.assign(aRule.begin(), aRule.end());
    return faults;
}

uint32_t Crc(const uint8_t* pby, uint32_t dwBytes)
{
    return FLASH_DOWNLOADER_Crc32(pby, dwBytes * 8, 0);
}

// The payload a frame should carry: `dwSize` bytes of the image from dwOffset, zeros past the
// end of the file.
std::vector<uint8_t> Slice(const std::vector<uint8_t>& image, uint32_t dwOffset, uint32_t dwSize)
{
    std::vector<uint8_t> aby(dwSize, 0);
    if (dwOffset < image.size())
        std::memcpy(aby.data(), image.data() + dwOffset,
                    std::min<size_t>(dwSize, image.size() - dwOffset));
    return aby;
}

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_Fx.IsOpen()); }
    ChannelThreadParam* P() { return &m_Fx.m_Param; }
    CTextProgressState& Bar() { return m_Fx.m_Core.m_ctrlProgress[1]; }
    std::vector<int> Percents()
    {
        std::vector<int> a;
        for (const BAR_EVENT& event : m_Fx.m_View.BarEvents()) a.push_back(event.state.nPercent);
        return a;
    }
    // Erases the flash the test writes to, as the region procedures do first.
    void EraseFlash(uint32_t dwLength)
    {
        m_Fx.SetRegion(BASE, 0, 0, dwLength);
        ASSERT_EQ(FLASH_DOWNLOADER_EraseForWrite(P(), 6), 1);
        m_Fx.m_pPhone->ClearRequests();
        m_Fx.m_View.Clear();
    }

    CChannelFixture m_Fx{1};
};

// --- Staged send -------------------------------------------------------------------------

TEST_F(TransferTest, StagedSendFramesCarryOneChunkEachFromSequenceOne)
{
    std::vector<uint8_t> image = FIXTURE_Pattern(0x100 + 3 * CHUNK);
    m_Fx.OpenImage(image);
    m_Fx.SetRegion(0x00148000, 0x100, 2 * CHUNK + 5);  // three chunks, the last one nearly empty
    g_aProtocol[1].g_bySeq = 0x33;
    ASSERT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 1);

    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(aReq[i].byOpcode, 0xE0);
        EXPECT_EQ(aReq[i].bySeq, i + 1);
        EXPECT_EQ(aReq[i].byFlag, 0x51);
        EXPECT_EQ(aReq[i].byKind, 3);
        EXPECT_EQ(aReq[i].dwParam, 0x00148000u + i * CHUNK);
        EXPECT_EQ(aReq[i].dwLength, CHUNK);
        EXPECT_EQ(aReq[i].dwPayloadSize, CHUNK);
        // The last chunk is a full frame: the file's bytes after the region, then zeros.
        std::vector<uint8_t> want = Slice(image, 0x100 + i * CHUNK, CHUNK);
        EXPECT_EQ(aReq[i].dwPayloadCrc, Crc(want.data(), CHUNK)) << "chunk " << i;
    }
    EXPECT_EQ(g_aProtocol[1].g_bySeq, 4);
    // 65536 / 655 = 100 after the second chunk; the third (150) is not shown; the close is 100.
    EXPECT_EQ(m_Fx.m_View.BarTexts(1),
              (std::vector<std::string>{" AMSS Downloading... 50%", " AMSS Downloading... 100%"}));
    EXPECT_EQ(Bar().GetState().nPosition, 100);
}

TEST_F(TransferTest, StagedSendSequenceSkipsZeroAndOneAndPausesBeforeWaitingOn7E)
{
    const uint32_t dwChunks = 260;
    m_Fx.OpenImage(FIXTURE_Pattern(dwChunks * CHUNK));
    m_Fx.SetRegion(BASE, 0, dwChunks * CHUNK);
    m_Fx.m_Core.m_aChannel[1].m_bMcci = 0;
    const uint64_t qwSleptBefore = m_Fx.m_Clock.TotalSlept();
    ASSERT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 1);

    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests(0xE0);
    ASSERT_EQ(aReq.size(), dwChunks);
    std::vector<int> aWant;
    for (int n = 1; n <= 255; ++n) aWant.push_back(n);
    for (int n = 2; aWant.size() < dwChunks; ++n) aWant.push_back(n);
    for (uint32_t i = 0; i < dwChunks; ++i) ASSERT_EQ(aReq[i].bySeq, aWant[i]) << "chunk " << i;
    EXPECT_EQ(g_aProtocol[1].g_bySeq, aWant.back() + 1);
    // Exactly one chunk went out with 0x7E, and only it cost the pause.
    EXPECT_EQ(m_Fx.m_Clock.TotalSlept() - qwSleptBefore, 500u);
    // A percent is shown only when it changes, so at most about a hundred updates.
    EXPECT_LE(m_Fx.m_View.BarEvents().size(), 102u);
}

TEST_F(TransferTest, StagedSendInMcciModeWrapsAfter112AndNeverPauses)
{
    const uint32_t dwChunks = 130;
    m_Fx.OpenImage(FIXTURE_Pattern(dwChunks * CHUNK));
    m_Fx.SetRegion(BASE, 0, dwChunks * CHUNK);
    m_Fx.m_Core.m_aChannel[1].m_bMcci = 1;
    const uint64_t qwSleptBefore = m_Fx.m_Clock.TotalSlept();
    ASSERT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 1), 1);
    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests(0xE0);
    ASSERT_EQ(aReq.size(), dwChunks);
    EXPECT_EQ(aReq[111].bySeq, 112);
    EXPECT_EQ(aReq[112].bySeq, 2);
    EXPECT_EQ(aReq[129].bySeq, 19);
    for (const REQUEST_RECORD& req : aReq) EXPECT_NE(req.bySeq, 0x7E);
    EXPECT_EQ(m_Fx.m_Clock.TotalSlept(), qwSleptBefore);
}

TEST_F(TransferTest, TheSameFrameIsSentAgainAfterEveryBadReply)
{
    std::vector<uint8_t> image = FIXTURE_Pattern(3 * CHUNK);
    m_Fx.OpenImage(image);
    m_Fx.SetRegion(BASE, 0, 3 * CHUNK);
    m_Fx.m_pPhone->SetFaults(Faults({FIXTURE_Rule(0xE0, 2, FAULT_NAK), FIXTURE_Rule(0xE0, 3, FAULT_WRONG_SEQ),
                                     FIXTURE_Rule(0xE0, 4, FAULT_GARBAGE)}));
    ASSERT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 1);
    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests(0xE0);
    ASSERT_EQ(aReq.size(), 6u);
    // Frames 2 to 5 are the second chunk, sent four times alike.
    for (int i = 2; i <= 4; ++i) {
        EXPECT_EQ(aReq[i].bySeq, aReq[1].bySeq);
        EXPECT_EQ(aReq[i].dwParam, aReq[1].dwParam);
        EXPECT_EQ(aReq[i].dwPayloadCrc, aReq[1].dwPayloadCrc);
    }
    EXPECT_EQ(aReq[5].dwParam, BASE + 2 * CHUNK);
    EXPECT_EQ(aReq[5].bySeq, 3);
    // And the phone holds what it should: the check passes and the flash gets the image.
    ASSERT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 3), 1);
    m_Fx.SetRegion(BASE, 0, 3 * CHUNK, 3 * CHUNK);
    ASSERT_EQ(FLASH_DOWNLOADER_EraseForFlash(P(), 3), 1);
    ASSERT_EQ(FLASH_DOWNLOADER_FlashRegion(P(), 19), 1);
    EXPECT_EQ(m_Fx.m_pPhone->ReadFlash(BASE, 3 * CHUNK), image);
}

TEST_F(TransferTest, StagedSendStopsAtTheNextChunkWhenTheChannelIsStopped)
{
    m_Fx.OpenImage(FIXTURE_Pattern(6 * CHUNK));
    m_Fx.SetRegion(BASE, 0, 6 * CHUNK);
    // The second chunk gets no answer; the console stops the channel meanwhile.
    m_Fx.m_pPhone->SetFaults(Faults({FIXTURE_Rule(0xE0, 2, FAULT_SILENCE)}));
    m_Fx.StopAfterRequests(2);
    EXPECT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 1);
    EXPECT_EQ(m_Fx.Requests().size(), 2u);
    // The stopped chunk counts as done, but no closing 100 claims the region was sent.
    EXPECT_EQ(m_Fx.m_View.BarTexts(1),
              (std::vector<std::string>{" AMSS Downloading... 16%", " AMSS Downloading... 33%"}));
}

TEST_F(TransferTest, FailedSendEndsTheExchange)
{
    m_Fx.OpenImage(FIXTURE_Pattern(CHUNK));
    m_Fx.SetRegion(BASE, 0, CHUNK);
    SERIAL_DEVICE_Close(1);
    EXPECT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegion(P(), 3), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegionSpare(P(), 6), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegionAddSpare(P(), 7), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_SendMibib(P()), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteMibib(P(), 0), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 3), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_FlashRegion(P(), 19), 0);
    // Only a failed resend of the spare loops leaves a line; a failed first send leaves none.
    EXPECT_TRUE(m_Fx.m_View.LogLines().empty());
}

TEST_F(TransferTest, ImageWithoutBytesAtTheRegionFailsEveryLoop)
{
    m_Fx.OpenImage(FIXTURE_Pattern(100));
    m_Fx.SetRegion(BASE, 0x1000, CHUNK);  // past the end of the file
    EXPECT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegion(P(), 3), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegionSpare(P(), 6), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegionAddSpare(P(), 7), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 3), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteMibib(P(), 0), 0);
    EXPECT_EQ(m_Fx.Requests().size(), 0u);
}

TEST_F(TransferTest, ImageEndingInsideTheRegionFailsEveryLoopBeforeTheChunkItCannotFill)
{
    // The file was cut 1,000 bytes short of the region's end: the third chunk of every loop
    // would go out padded in place of the image's data. It is never sent.
    const uint32_t dwLength = 3 * SPARE_CHUNK;
    m_Fx.OpenImage(FIXTURE_Pattern(dwLength - 1000));
    using EXCHANGE = int (*)(ChannelThreadParam*, int);
    const struct {
        const char* szName;
        EXCHANGE pfnExchange;
        int nKind;
    } aLoop[] = {{"staged send", FLASH_DOWNLOADER_SendRegion, 3},
                 {"write", FLASH_DOWNLOADER_WriteRegion, 3},
                 {"spare write", FLASH_DOWNLOADER_WriteRegionSpare, 6},
                 {"added spare", FLASH_DOWNLOADER_WriteRegionAddSpare, 7}};
    for (const auto& loop : aLoop) {
        SCOPED_TRACE(loop.szName);
        EraseFlash(4 * CHUNK);
        m_Fx.SetRegion(BASE, 0, dwLength);
        EXPECT_EQ(loop.pfnExchange(P(), loop.nKind), 0);
        EXPECT_EQ(m_Fx.Requests().size(), 2u);
        ASSERT_FALSE(m_Fx.m_View.LogLines().empty());
        EXPECT_EQ(m_Fx.m_View.LogLines().back().rfind("[Channel 1]  Image file ends early: ", 0), 0u);
    }

    // The CRC check covers the first 4,096 bytes of a 20,000-byte region; the file holds 1,000.
    m_Fx.OpenImage(FIXTURE_Pattern(1000));
    m_Fx.SetRegion(BASE, 0, 20000);
    m_Fx.m_pPhone->ClearRequests();
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 3), 0);
    EXPECT_TRUE(m_Fx.Requests().empty());
}

// --- Zero-length and tiny regions --------------------------------------------------------

TEST_F(TransferTest, ZeroLengthRegionSendsNothingAndShowsDone)
{
    m_Fx.OpenImage(FIXTURE_Pattern(CHUNK));
    m_Fx.SetRegion(BASE, 0, 0);
    EXPECT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 1);
    EXPECT_EQ(Bar().GetState().strText, " AMSS Downloading... 100%");
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegion(P(), 12), 1);
    EXPECT_EQ(Bar().GetState().strText, " FOTA Downloading... 100%");
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegionSpare(P(), 6), 1);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegionAddSpare(P(), 7), 1);
    EXPECT_EQ(FLASH_DOWNLOADER_FlashRegion(P(), 19), 1);
    EXPECT_EQ(Bar().GetState().strText, " AMSS Flashing Image... 100%");
    EXPECT_EQ(m_Fx.Requests().size(), 0u);
}

TEST_F(TransferTest, RegionShorterThanOneHundredBytesShowsOneHundred)
{
    std::vector<uint8_t> image = FIXTURE_Pattern(64);
    m_Fx.OpenImage(image);
    EraseFlash(4 * CHUNK);
    m_Fx.SetRegion(BASE, 0, 64);
    g_aProtocol[1].g_bySeq = 9;
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegion(P(), 5), 1);
    EXPECT_EQ(m_Fx.m_View.BarTexts(1), (std::vector<std::string>{" APPSBL Downloading... 100%"}));
    EXPECT_EQ(g_aProtocol[1].g_bySeq, 100);
    m_Fx.SetRegion(BASE + CHUNK, 0, 64);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegionSpare(P(), 8), 1);
    EXPECT_EQ(Bar().GetState().strText, " HIDDEN Downloading... 100%");
    EXPECT_EQ(m_Fx.m_pPhone->ReadFlash(BASE + CHUNK, 64), image);
    std::vector<uint8_t> tail = m_Fx.m_pPhone->ReadFlash(BASE + CHUNK + 64, 100);
    EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](uint8_t by) { return by == 0xFF; }));
}

// --- Direct writes -----------------------------------------------------------------------

TEST_F(TransferTest, DirectWriteSendsTheCallersSequenceThenTheLastPercentShown)
{
    std::vector<uint8_t> image = FIXTURE_Pattern(40000 + 0x40);
    m_Fx.OpenImage(image);
    EraseFlash(4 * CHUNK);
    m_Fx.SetRegion(BASE, 0x40, 40000);
    g_aProtocol[1].g_bySeq = 5;
    ASSERT_EQ(FLASH_DOWNLOADER_WriteRegion(P(), 12), 1);

    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 2u);
    EXPECT_EQ(aReq[0].byOpcode, 0xDD);
    EXPECT_EQ(aReq[0].bySeq, 5);
    EXPECT_EQ(aReq[0].byFlag, 0x51);
    EXPECT_EQ(aReq[0].byKind, 12);
    EXPECT_EQ(aReq[0].dwLength, CHUNK);
    EXPECT_EQ(aReq[1].bySeq, 81);  // 32768 / 400
    EXPECT_EQ(aReq[1].dwParam, BASE + CHUNK);
    // 65536 / 400 = 163 is not shown; the close shows 100 with the position left at 81.
    EXPECT_EQ(m_Fx.m_View.BarTexts(1),
              (std::vector<std::string>{" FOTA Downloading... 81%", " FOTA Downloading... 100%"}));
    EXPECT_EQ(Bar().GetState().nPosition, 81);
    EXPECT_EQ(g_aProtocol[1].g_bySeq, 81);
    // Past the end of the file the frame carries zeros.
    EXPECT_EQ(m_Fx.m_pPhone->ReadFlash(BASE, 2 * CHUNK), Slice(image, 0x40, 2 * CHUNK));
}

TEST_F(TransferTest, DirectWriteResendsAndStops)
{
    m_Fx.OpenImage(FIXTURE_Pattern(4 * CHUNK));
    EraseFlash(4 * CHUNK);
    m_Fx.SetRegion(BASE, 0, 4 * CHUNK);
    m_Fx.m_pPhone->SetFaults(Faults({FIXTURE_Rule(0xDD, 1, FAULT_NAK), FIXTURE_Rule(0xDD, 3, FAULT_SILENCE)}));
    m_Fx.StopAfterRequests(3);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegion(P(), 5), 1);
    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 3u);
    EXPECT_EQ(aReq[1].dwParam, aReq[0].dwParam);
    EXPECT_EQ(aReq[1].dwPayloadCrc, aReq[0].dwPayloadCrc);
    EXPECT_EQ(aReq[2].dwParam, BASE + CHUNK);
}

TEST_F(TransferTest, SpareWriteCarriesPagesWithTheirSpareBytesAndPadsWithFF)
{
    // Two frames' worth of paged image, the region ending 100 bytes into the second frame.
    std::vector<uint8_t> image = FIXTURE_Pattern(2 * SPARE_CHUNK + 0x200);
    m_Fx.OpenImage(image);
    EraseFlash(4 * CHUNK);
    const uint32_t dwLength = SPARE_CHUNK + 100;
    m_Fx.SetRegion(BASE, 0x200, dwLength);
    g_aProtocol[1].g_bySeq = 0;
    ASSERT_EQ(FLASH_DOWNLOADER_WriteRegionSpare(P(), 6), 1);

    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 2u);
    EXPECT_EQ(aReq[0].byOpcode, 0xDD);
    EXPECT_EQ(aReq[0].byFlag, 0);
    EXPECT_EQ(aReq[0].byKind, 6);
    EXPECT_EQ(aReq[0].dwLength, SPARE_CHUNK);
    EXPECT_EQ(aReq[0].bySeq, 0);
    EXPECT_EQ(aReq[1].dwParam, BASE + CHUNK);  // the flash advances by 0x8000
    EXPECT_EQ(aReq[1].bySeq, 99);              // 32896 / 329

    std::vector<uint8_t> frame1 = Slice(image, 0x200, SPARE_CHUNK);
    std::vector<uint8_t> frame2(SPARE_CHUNK, 0xFF);
    std::memcpy(frame2.data(), image.data() + 0x200 + SPARE_CHUNK, 100);
    EXPECT_EQ(aReq[0].dwPayloadCrc, Crc(frame1.data(), SPARE_CHUNK));
    EXPECT_EQ(aReq[1].dwPayloadCrc, Crc(frame2.data(), SPARE_CHUNK));
    // The phone put each slot's 2,048 data bytes in the main area and 8 in the spare area.
    std::vector<uint8_t> spare = m_Fx.m_pPhone->ReadSpare(BASE / 2048 + 3);
    EXPECT_EQ(spare, std::vector<uint8_t>(frame1.begin() + 3 * 2056 + 2048,
                                          frame1.begin() + 3 * 2056 + 2056));
    EXPECT_EQ(m_Fx.m_pPhone->ReadFlash(BASE + 2048, 2048),
              std::vector<uint8_t>(frame1.begin() + 2056, frame1.begin() + 2056 + 2048));
    // The spare loops have no closing step; the overshooting last chunk shows 100.
    EXPECT_EQ(m_Fx.m_View.BarTexts(1),
              (std::vector<std::string>{" PDA Downloading... 99%", " PDA Downloading... 100%"}));
    EXPECT_EQ(g_aProtocol[1].g_bySeq, 100);
}

TEST_F(TransferTest, SpareWriteResendsOnBadRepliesAndStops)
{
    m_Fx.OpenImage(FIXTURE_Pattern(3 * SPARE_CHUNK));
    EraseFlash(4 * CHUNK);
    m_Fx.SetRegion(BASE, 0, 3 * SPARE_CHUNK);
    m_Fx.m_pPhone->SetFaults(Faults({FIXTURE_Rule(0xDD, 2, FAULT_WRONG_SEQ), FIXTURE_Rule(0xDD, 3, FAULT_NAK),
                                     FIXTURE_Rule(0xDD, 5, FAULT_SILENCE)}));
    m_Fx.StopAfterRequests(5);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteRegionSpare(P(), 7), 1);
    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 5u);
    EXPECT_EQ(aReq[2].dwPayloadCrc, aReq[1].dwPayloadCrc);
    EXPECT_EQ(aReq[3].dwPayloadCrc, aReq[1].dwPayloadCrc);
    EXPECT_EQ(aReq[4].dwParam, BASE + 2 * CHUNK);
}

// Builds the frame the spare expansion should produce from a 32 KiB chunk.
std::vector<uint8_t> Expand(std::vector<uint8_t> chunk, bool bFirst, uint8_t byPriority)
{
    if (bFirst) chunk[104] = byPriority;
    std::vector<uint8_t> frame(SPARE_CHUNK, 0xFF);
    for (uint32_t k = 0; k < 16; ++k) std::memcpy(&frame[k * 2056], &chunk[k * 2048], 2048);
    return frame;
}

TEST_F(TransferTest, AddedSpareSpreadsPagesSetsThePriorityByteOnceAndPadsWithFF)
{
    std::vector<uint8_t> image = FIXTURE_Pattern(3 * CHUNK);
    m_Fx.OpenImage(image);
    EraseFlash(4 * CHUNK);
    const uint32_t dwLength = CHUNK + 3000;  // the second chunk holds 3,000 region bytes
    m_Fx.SetRegion(BASE, 0, dwLength);
    m_Fx.m_Core.m_bCscPriority = 0;
    g_aProtocol[1].g_bySeq = 2;
    ASSERT_EQ(FLASH_DOWNLOADER_WriteRegionAddSpare(P(), 7), 1);

    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 2u);
    EXPECT_EQ(aReq[0].dwLength, SPARE_CHUNK);
    EXPECT_EQ(aReq[0].byFlag, 0);
    EXPECT_EQ(aReq[0].byKind, 7);
    EXPECT_EQ(aReq[0].bySeq, 2);
    EXPECT_EQ(aReq[1].dwParam, BASE + CHUNK);

    std::vector<uint8_t> chunk1 = Slice(image, 0, CHUNK);
    std::vector<uint8_t> chunk2(CHUNK, 0xFF);
    std::memcpy(chunk2.data(), image.data() + CHUNK, 3000);
    std::vector<uint8_t> frame1 = Expand(chunk1, true, 0);
    std::vector<uint8_t> frame2 = Expand(chunk2, false, 0);
    EXPECT_EQ(aReq[0].dwPayloadCrc, Crc(frame1.data(), SPARE_CHUNK));
    EXPECT_EQ(aReq[1].dwPayloadCrc, Crc(frame2.data(), SPARE_CHUNK));
    EXPECT_EQ(aReq[0].abyFirst[0], image[0]);

    // Read back: contiguous data with the priority byte, erased spare bytes.
    std::vector<uint8_t> flash = m_Fx.m_pPhone->ReadFlash(BASE, CHUNK);
    chunk1[104] = 0;
    EXPECT_EQ(flash, chunk1);
    EXPECT_EQ(m_Fx.m_pPhone->ReadSpare(BASE / 2048 + 15), std::vector<uint8_t>(8, 0xFF));
    EXPECT_EQ(m_Fx.m_pPhone->ReadFlash(BASE + CHUNK + 2999, 2),
              (std::vector<uint8_t>{image[CHUNK + 2999], 0xFF}));
}

// --- CRC check ---------------------------------------------------------------------------

TEST_F(TransferTest, CrcCheckCoversTheFirstEighthOfThePaddedRegion)
{
    std::vector<uint8_t> image = FIXTURE_Pattern(0x300 + 2 * CHUNK);
    m_Fx.OpenImage(image);
    m_Fx.SetRegion(BASE, 0x300, 40000);
    ASSERT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 1);
    g_aProtocol[1].g_bySeq = 0x21;
    m_Fx.m_pPhone->ClearRequests();
    ASSERT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 3), 1);

    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 1u);
    EXPECT_EQ(aReq[0].byOpcode, 0xE1);
    EXPECT_EQ(aReq[0].bySeq, 0);
    EXPECT_EQ(aReq[0].dwLength, 4u);
    // 40,000 bytes pad to 65,536; the value covers the first 8,192.
    EXPECT_EQ(aReq[0].PayloadWord(), Crc(image.data() + 0x300, 8192));
    EXPECT_EQ(g_aProtocol[1].g_bySeq, 0);
}

TEST_F(TransferTest, CrcCheckCountsBytesPastTheEndOfTheFileAsZeros)
{
    // The file ends with the 1,000-byte region; the covered 4,096 bytes are the file's 1,000
    // and then the zeros the staged send put into its frame.
    std::vector<uint8_t> image = FIXTURE_Pattern(1000);
    m_Fx.OpenImage(image);
    m_Fx.SetRegion(BASE, 0, 1000);
    ASSERT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 1);
    ASSERT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 3), 1);
    std::vector<uint8_t> covered = Slice(image, 0, 4096);
    EXPECT_EQ(m_Fx.m_pPhone->LastCrcReceived(), Crc(covered.data(), 4096));
}

TEST_F(TransferTest, CrcCheckOfAPagedRegionPadsToWholeFrames)
{
    // Kind 6 pads to 0x8080: 40,000 bytes give 65,792, covered by the first 8,224.
    std::vector<uint8_t> image = FIXTURE_Pattern(70000);
    m_Fx.OpenImage(image);
    m_Fx.SetRegion(BASE, 0, 40000);
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 6), 0);  // nothing staged: the phone refuses
    EXPECT_EQ(m_Fx.Requests().back().PayloadWord(), Crc(image.data(), 8224));
    EXPECT_EQ(m_Fx.m_View.LogLines().back(), "[Channel 1]  Fail to CRC Check \r\n");
}

TEST_F(TransferTest, CrcCheckLargeRegionReadsInPiecesAndFailsWhenCorrupted)
{
    const uint32_t dwLength = 20 * CHUNK + 1;
    std::vector<uint8_t> image = FIXTURE_Pattern(dwLength);
    m_Fx.OpenImage(image);
    m_Fx.SetRegion(BASE, 0, dwLength);
    ASSERT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 1);
    ASSERT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 3), 1);
    EXPECT_EQ(m_Fx.m_pPhone->LastCrcReceived(), Crc(image.data(), 21 * CHUNK / 8));

    PHONE_FAULTS faults;
    faults.bCorruptStaged = true;
    m_Fx.m_pPhone->SetFaults(faults);
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 3), 0);
    EXPECT_EQ(m_Fx.Requests(0xE1).size(), 2u) << "a failed check is not resent";
}

TEST_F(TransferTest, CrcCheckRefusesRegionsPastTheLimitWithoutReadingThem)
{
    m_Fx.OpenImage(FIXTURE_Pattern(80 * CHUNK));  // what the check of 640 chunks covers
    // 640 chunks pad to 20,971,520 bytes, within the limit; 21,000,000 pads past it.
    m_Fx.SetRegion(BASE, 0, 640 * CHUNK);
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 3), 0);
    EXPECT_EQ(m_Fx.Requests(0xE1).size(), 1u);
    m_Fx.m_View.Clear();
    m_Fx.SetRegion(BASE, 0, 21000000);
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCrc(P(), 3), 0);
    EXPECT_EQ(m_Fx.Requests(0xE1).size(), 1u);
    ASSERT_EQ(m_Fx.m_View.LogLines().size(), 1u);
    EXPECT_NE(m_Fx.m_View.LogLines()[0].find("[Channel 1]  CRC Check refused"), std::string::npos);
}

// --- Flash from the phone's memory -------------------------------------------------------

class FlashRegionTest : public TransferTest {
protected:
    // Stages `dwLength` bytes so that the phone can program them.
    void Stage(uint32_t dwLength)
    {
        m_Fx.OpenImage(FIXTURE_Pattern(dwLength));
        m_Fx.SetRegion(BASE, 0, dwLength, dwLength);
        ASSERT_EQ(FLASH_DOWNLOADER_SendRegion(P(), 3), 1);
        ASSERT_EQ(FLASH_DOWNLOADER_EraseForFlash(P(), 3), 1);
        m_Fx.m_pPhone->ClearRequests();
        m_Fx.m_View.Clear();
    }
};

TEST_F(FlashRegionTest, ApplicationImageIsProgrammedIn128KiBSteps)
{
    Stage(300000);
    g_aProtocol[1].g_bySeq = 7;
    ASSERT_EQ(FLASH_DOWNLOADER_FlashRegion(P(), 19), 1);
    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 3u);
    const uint32_t adwParam[3] = {BASE, BASE + 131072, BASE + 262144};
    const uint32_t adwLength[3] = {131072, 131072, 37856};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(aReq[i].byOpcode, 0xE2);
        EXPECT_EQ(aReq[i].bySeq, 0);
        EXPECT_EQ(aReq[i].dwParam, adwParam[i]);
        EXPECT_EQ(aReq[i].dwLength, adwLength[i]);
        EXPECT_EQ(aReq[i].dwPayloadSize, 0u);
    }
    EXPECT_EQ(Percents(), (std::vector<int>{43, 87, 100}));
    EXPECT_EQ(Bar().GetState().strText, " AMSS Flashing Image... 100%");
    EXPECT_EQ(g_aProtocol[1].g_bySeq, 0);
    EXPECT_EQ(m_Fx.m_pPhone->ReadFlash(BASE, 300000), FIXTURE_Pattern(300000));
}

TEST_F(FlashRegionTest, BootLoadersAndShortRegionsAreProgrammedInOneRequest)
{
    Stage(300000);
    ASSERT_EQ(FLASH_DOWNLOADER_FlashRegion(P(), 17), 1);
    EXPECT_EQ(Bar().GetState().strText, " QCSBL Flashing Image... 100%");
    // Shorter than one 128 KiB step: one request of the region's own length, never more.
    m_Fx.SetRegion(BASE, 0, 100000);
    ASSERT_EQ(FLASH_DOWNLOADER_FlashRegion(P(), 19), 1);
    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 2u);
    EXPECT_EQ(aReq[0].dwLength, 300000u);
    EXPECT_EQ(aReq[1].dwLength, 100000u);
    EXPECT_EQ(Percents(), (std::vector<int>{100, 100}));
}

TEST_F(FlashRegionTest, RefusedStepEndsTheExchangeWithoutResend)
{
    Stage(300000);
    m_Fx.m_pPhone->SetFaults(Faults({FIXTURE_Rule(0xE2, 2, FAULT_NAK)}));
    EXPECT_EQ(FLASH_DOWNLOADER_FlashRegion(P(), 19), 0);
    EXPECT_EQ(m_Fx.Requests().size(), 2u);
    EXPECT_EQ(Percents(), (std::vector<int>{43}));
}

// --- MIBIB -------------------------------------------------------------------------------

TEST_F(TransferTest, StagedMibibSendsTwoAreasEachErasedAndProgrammed)
{
    std::vector<uint8_t> image = FIXTURE_Pattern(0x60000);
    m_Fx.OpenImage(image);
    g_aProtocol[1].g_bySeq = 0x40;
    ASSERT_EQ(FLASH_DOWNLOADER_SendMibib(P()), 1);

    struct WANT {
        uint8_t byOpcode, bySeq, byFlag;
        uint32_t dwParam, dwLength;
    };
    const WANT aWant[] = {
        {0xE0, 1, 0x51, 0x40000, CHUNK}, {0xE0, 2, 0x51, 0x48000, CHUNK},
        {0xE0, 3, 0x51, 0x50000, CHUNK}, {0xE0, 4, 0x51, 0x58000, CHUNK},
        {0xE4, 5, 0, 0x40000, 0x20000},  {0xE2, 0, 0, 0x40000, 0x20000},
        {0xE0, 1, 0x51, 0, CHUNK},       {0xE4, 2, 0x51, 0, CHUNK},
        {0xE2, 0, 0x51, 0, CHUNK},
    };
    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), std::size(aWant));
    for (size_t i = 0; i < aReq.size(); ++i) {
        EXPECT_EQ(aReq[i].byOpcode, aWant[i].byOpcode) << i;
        EXPECT_EQ(aReq[i].bySeq, aWant[i].bySeq) << i;
        EXPECT_EQ(aReq[i].byFlag, aWant[i].byFlag) << i;
        EXPECT_EQ(aReq[i].byKind, 0) << i;
        EXPECT_EQ(aReq[i].dwParam, aWant[i].dwParam) << i;
        EXPECT_EQ(aReq[i].dwLength, aWant[i].dwLength) << i;
    }
    EXPECT_EQ(g_aProtocol[1].g_bySeq, 2);
    EXPECT_EQ(m_Fx.m_pPhone->ReadFlash(0x40000, 0x20000), Slice(image, 0x40000, 0x20000));
    EXPECT_EQ(m_Fx.m_pPhone->ReadFlash(0, CHUNK), Slice(image, 0, CHUNK));
    EXPECT_EQ(m_Fx.m_View.BarTexts(1),
              (std::vector<std::string>{" MIBIB Downloading... 0%", " MIBIB Downloading... 25%",
                                        " MIBIB Downloading... 100%"}));
    EXPECT_EQ(Bar().GetState().nPosition, 100);
}

TEST_F(TransferTest, StagedMibibResendsChunksButNotTheEraseOrFlash)
{
    m_Fx.OpenImage(FIXTURE_Pattern(0x60000));
    m_Fx.m_pPhone->SetFaults(Faults({FIXTURE_Rule(0xE0, 3, FAULT_GARBAGE)}));
    ASSERT_EQ(FLASH_DOWNLOADER_SendMibib(P()), 1);
    EXPECT_EQ(m_Fx.Requests(0xE0).size(), 6u);

    m_Fx.m_pPhone->ClearRequests();
    m_Fx.m_pPhone->SetFaults(Faults({FIXTURE_Rule(0xE4, 1, FAULT_NAK)}));
    EXPECT_EQ(FLASH_DOWNLOADER_SendMibib(P()), 0);
    EXPECT_EQ(m_Fx.Requests().size(), 5u);
}

TEST_F(TransferTest, StagedMibibStoppedMidAreaSendsNothingMore)
{
    m_Fx.OpenImage(FIXTURE_Pattern(0x60000));
    m_Fx.m_pPhone->SetFaults(Faults({FIXTURE_Rule(0xE0, 2, FAULT_SILENCE)}));
    m_Fx.StopAfterRequests(2);
    EXPECT_EQ(FLASH_DOWNLOADER_SendMibib(P()), 0);
    EXPECT_EQ(m_Fx.Requests().size(), 2u);
}

TEST_F(TransferTest, DirectMibibWritesTwoPagesWithOneSequence)
{
    std::vector<uint8_t> image = FIXTURE_Pattern(0x60000);
    m_Fx.OpenImage(image);
    m_Fx.SetRegion(0, 0x0, 0x60000, 0x60000);
    ASSERT_EQ(FLASH_DOWNLOADER_EraseForWrite(P(), 0), 1);
    m_Fx.m_pPhone->ClearRequests();
    m_Fx.m_View.Clear();
    m_Fx.SetRegion(0x12345, 0x8000, 0x60000);  // the file offset is the flash address
    g_aProtocol[1].g_bySeq = 0xFF;
    ASSERT_EQ(FLASH_DOWNLOADER_WriteMibib(P(), 1), 1);

    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 2u);
    EXPECT_EQ(aReq[0].byOpcode, 0xDD);
    EXPECT_EQ(aReq[0].bySeq, 0);
    EXPECT_EQ(aReq[0].byKind, 0);
    EXPECT_EQ(aReq[0].byFlag, 0x51);
    EXPECT_EQ(aReq[0].dwParam, 0x8000u);
    EXPECT_EQ(aReq[1].bySeq, 0);
    EXPECT_EQ(aReq[1].dwParam, 0x40000u);
    EXPECT_EQ(g_aProtocol[1].g_bySeq, 0);
    EXPECT_EQ(m_Fx.m_pPhone->ReadFlash(0x8000, CHUNK), Slice(image, 0x8000, CHUNK));
    EXPECT_EQ(m_Fx.m_pPhone->ReadFlash(0x40000, CHUNK), Slice(image, 0x40000, CHUNK));
    EXPECT_EQ(m_Fx.m_View.BarTexts(1),
              (std::vector<std::string>{" QCSBL Downloading... 50%", " QCSBL Downloading... 100%"}));
    EXPECT_EQ(Bar().GetState().nPosition, 0);
}

TEST_F(TransferTest, DirectMibibResendsEachPageUntilAcknowledged)
{
    m_Fx.OpenImage(FIXTURE_Pattern(0x60000));
    m_Fx.SetRegion(0, 0, 0x60000, 0x60000);
    ASSERT_EQ(FLASH_DOWNLOADER_EraseForWrite(P(), 0), 1);
    m_Fx.m_pPhone->ClearRequests();
    g_aProtocol[1].g_bySeq = 3;
    m_Fx.m_pPhone->SetFaults(Faults({FIXTURE_Rule(0xDD, 2, FAULT_WRONG_SEQ, 2)}));
    ASSERT_EQ(FLASH_DOWNLOADER_WriteMibib(P(), 0), 1);
    std::vector<REQUEST_RECORD> aReq = m_Fx.Requests();
    ASSERT_EQ(aReq.size(), 4u);
    for (const REQUEST_RECORD& req : aReq) EXPECT_EQ(req.bySeq, 4);
    EXPECT_EQ(aReq[3].dwParam, 0x40000u);
}

}  // namespace
