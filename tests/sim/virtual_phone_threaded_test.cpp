// The virtual phone seen from the wire: what it answers, what it does to its flash, and that
// each injected fault really fires. Talks through a raw pseudo-terminal, not the station's code.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "protocol/frame.h"
#include "sim/virtual_phone.h"
#include "support/sim_link.h"

namespace {

const std::vector<uint8_t> ACK(uint8_t bySeq) { return {0x7E, bySeq, 0x02, 0x00, 0x00}; }
const std::vector<uint8_t> NAK(uint8_t bySeq, uint8_t byReason)
{
    return {0x7E, bySeq, 0x03, 0x00, byReason};
}

std::vector<uint8_t> Pattern(size_t n, uint32_t dwSeed)
{
    std::vector<uint8_t> aby(n);
    uint32_t x = dwSeed * 2654435761u + 1;
    for (auto& by : aby) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        by = static_cast<uint8_t>(x);
    }
    return aby;
}

class PhoneTest : public ::testing::Test {
protected:
    void Plug(PHONE_CONFIG cfg = {})
    {
        m_pPhone = std::make_unique<CVirtualPhone>(std::move(cfg));
        ASSERT_TRUE(m_pPhone->Start());
        m_fd = SIM_LINK_Open(m_pPhone->SlavePath());
        ASSERT_GE(m_fd, 0);
    }
    void TearDown() override
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
        m_pPhone.reset();
    }
    std::vector<uint8_t> Send(uint8_t bySeq, uint8_t byOp, uint32_t dwParam, uint32_t dwLength,
                              const std::vector<uint8_t>& abyPayload = {}, uint8_t byKind = 0)
    {
        return SIM_LINK_Exchange(m_fd, SIM_LINK_Frame(bySeq, byOp, dwParam, dwLength, abyPayload,
                                                      byKind));
    }
    std::vector<uint8_t> Word(uint32_t dw)
    {
        return {uint8_t(dw), uint8_t(dw >> 8), uint8_t(dw >> 16), uint8_t(dw >> 24)};
    }

    std::unique_ptr<CVirtualPhone> m_pPhone;
    int m_fd = -1;
};

TEST_F(PhoneTest, UnlockAndLockEchoTheSequenceAndTheLockTakesThePortAway)
{
    Plug();
    EXPECT_EQ(Send(0x00, 0xA0, 0, 0), ACK(0x00));
    EXPECT_TRUE(m_pPhone->Unlocked());
    EXPECT_EQ(Send(0x37, 0xE6, 0, 0), ACK(0x37));
    EXPECT_EQ(Send(0x38, 0x90, 0, 0), ACK(0x38));
    EXPECT_TRUE(m_pPhone->WaitUnplugged(3000));
    EXPECT_TRUE(m_pPhone->Locked());
    EXPECT_EQ(m_pPhone->SlavePath(), "");
    const auto aRec = m_pPhone->Requests();
    ASSERT_EQ(aRec.size(), 3u);
    EXPECT_EQ(aRec[2].byOpcode, 0x90);
    EXPECT_EQ(aRec[2].bySeq, 0x38);
}


TEST_F(PhoneTest, CapabilityAndReserveAnswersFollowTheConfiguration)
{
    PHONE_CONFIG cfg;
    cfg.bMcci = false;
    cfg.bSafeDownload = false;
    cfg.dwCscReserveCapacity = 0x100000;
    Plug(cfg);
    EXPECT_EQ(Send(0, 0xE6, 0, 0), NAK(0, 1));
    EXPECT_EQ(Send(0, 0xE3, 0, 0), NAK(0, 1));
    EXPECT_EQ(Send(0, 0xE7, 0, 4, Word(123456)), ACK(0));
    EXPECT_EQ(m_pPhone->CscSize(), 123456u);
    EXPECT_EQ(Send(0, 0xE8, 0, 4, Word(0x100000)), ACK(0));
    EXPECT_EQ(Send(0, 0xE8, 0, 4, Word(0x100001)), NAK(0, 1));
    cfg.bReserveAnswerNak6 = true;
    m_pPhone->SetConfig(cfg);
    EXPECT_EQ(Send(0, 0xE8, 0, 4, Word(0x800)), NAK(0, 6));
    EXPECT_EQ(m_pPhone->CscReserve(), 0x800u);
}

TEST_F(PhoneTest, PartitionTableMatchesDiffersAndIsAdoptedAfterTheEfsRestore)
{
    PHONE_CONFIG cfg;
    cfg.abyPartitionTable = Pattern(2048, 1);
    cfg.byPartitionNakReason = 7;
    Plug(cfg);
    EXPECT_EQ(Send(1, 0xAA, 0, 2048, Pattern(2048, 1)), ACK(1));
    const auto abyNew = Pattern(2048, 2);
    EXPECT_EQ(Send(2, 0xAA, 0, 2048, abyNew), NAK(2, 7));
    EXPECT_EQ(m_pPhone->PartitionTable(), Pattern(2048, 1));
    // A table of the wrong size is refused whatever the phone holds.
    EXPECT_EQ(Send(3, 0xAA, 0, 16, Pattern(16, 1)), NAK(3, 1));
    EXPECT_EQ(Send(4, 0xEC, 0x100000, 0), ACK(4));
    EXPECT_EQ(m_pPhone->PartitionTable(), abyNew);
    EXPECT_EQ(Send(5, 0xAA, 0, 2048, abyNew), ACK(5));
}

TEST_F(PhoneTest, DirectWritesLandInMainAndSpareAreasAndErasedFlashReadsFF)
{
    Plug();
    EXPECT_EQ(m_pPhone->ReadFlash(0x123456, 4), std::vector<uint8_t>(4, 0xFF));
    const auto abyPlain = Pattern(0x8000, 3);
    EXPECT_EQ(Send(9, 0xDD, 0x20000, 0x8000, abyPlain, 5), ACK(9));
    EXPECT_EQ(m_pPhone->ReadFlash(0x20000, 0x8000), abyPlain);

    // Sixteen 2,056-byte slots: the page data become one contiguous 32 KiB run, the spare bytes
    // go to the spare area of pages 0x40000 / 2048 + k.
    const auto abySlots = Pattern(0x8080, 4);
    EXPECT_EQ(Send(10, 0xDD, 0x40000, 0x8080, abySlots, 6), ACK(10));
    const auto abyMain = m_pPhone->ReadFlash(0x40000, 0x8000);
    for (uint32_t k = 0; k < 16; ++k) {
        const auto* pbySlot = abySlots.data() + k * 2056;
        ASSERT_TRUE(std::equal(pbySlot, pbySlot + 2048, abyMain.begin() + k * 2048)) << k;
        EXPECT_EQ(m_pPhone->ReadSpare(0x40000 / 2048 + k),
                  std::vector<uint8_t>(pbySlot + 2048, pbySlot + 2056))
            << k;
    }
    // Nothing spills past the 32 KiB the chunk occupies.
    EXPECT_EQ(m_pPhone->ReadFlash(0x48000, 1), std::vector<uint8_t>(1, 0xFF));

    // Page writes must start on a page; other lengths are refused.
    EXPECT_EQ(Send(11, 0xDD, 0x40100, 0x8080, abySlots), NAK(11, 1));
    EXPECT_EQ(Send(12, 0xDD, 0x60000, 0x100, Pattern(0x100, 1)), NAK(12, 1));
    // Beyond the end of the flash.
    EXPECT_EQ(Send(13, 0xEE, 0x0FFF0000, 0x20000), NAK(13, 1));

    EXPECT_EQ(Send(14, 0xEE, 0x40000, 0x8000), ACK(14));
    EXPECT_EQ(m_pPhone->ReadFlash(0x40000, 0x8000), std::vector<uint8_t>(0x8000, 0xFF));
    EXPECT_EQ(m_pPhone->ReadSpare(0x40000 / 2048), std::vector<uint8_t>(8, 0xFF));
    EXPECT_EQ(m_pPhone->ReadFlash(0x20000, 0x8000), abyPlain);
}

TEST_F(PhoneTest, WritingOverUnerasedDataCorruptsItAsNandWould)
{
    Plug();
    const auto abyA = Pattern(0x8000, 5);
    const auto abyB = Pattern(0x8000, 6);
    ASSERT_EQ(Send(1, 0xDD, 0, 0x8000, abyA), ACK(1));
    ASSERT_EQ(Send(2, 0xDD, 0, 0x8000, abyB), ACK(2));
    EXPECT_NE(m_pPhone->ReadFlash(0, 0x8000), abyB);
    uint64_t qwLost = 0;
    m_pPhone->WithFlash([&](const CFlashModel& f) { qwLost = f.BytesProgrammedUnerased(); });
    EXPECT_GT(qwLost, 0u);
}

TEST_F(PhoneTest, StagedImageIsCheckedWithTheStationsCrcAndProgrammedOnlyOnFlash)
{
    Plug();
    // 40,000 bytes padded to two chunks: the station's CRC covers the first 65,536 / 8 bytes.
    std::vector<uint8_t> abyImage = Pattern(0x10000, 7);
    ASSERT_EQ(Send(1, 0xE0, 0x140000, 0x8000, {abyImage.begin(), abyImage.begin() + 0x8000}, 3),
              ACK(1));
    ASSERT_EQ(Send(2, 0xE0, 0x148000, 0x8000, {abyImage.begin() + 0x8000, abyImage.end()}, 3),
              ACK(2));
    EXPECT_EQ(m_pPhone->ReadFlash(0x140000, 16), std::vector<uint8_t>(16, 0xFF));

    const uint32_t dwCrc = FLASH_DOWNLOADER_Crc32(abyImage.data(), 0x10000, 0);
    EXPECT_EQ(Send(0, 0xE1, 0, 4, Word(dwCrc ^ 1)), NAK(0, 1));
    EXPECT_EQ(Send(0, 0xE1, 0, 4, Word(dwCrc)), ACK(0));
    EXPECT_EQ(m_pPhone->LastCrcComputed(), dwCrc);
    // A CRC over all 65,536 bytes is not what the station sends, and the phone agrees.
    EXPECT_NE(FLASH_DOWNLOADER_Crc32(abyImage.data(), 0x10000 * 8, 0), dwCrc);

    ASSERT_EQ(Send(3, 0xE4, 0x140000, 0x20000), ACK(3));
    EXPECT_EQ(Send(0, 0xE2, 0x140000, 40000), ACK(0));
    auto abyFlash = m_pPhone->ReadFlash(0x140000, 0x10000);
    EXPECT_TRUE(std::equal(abyImage.begin(), abyImage.begin() + 40000, abyFlash.begin()));
    EXPECT_EQ(abyFlash[40000], 0xFF);
    // Beyond what was staged.
    EXPECT_EQ(Send(0, 0xE2, 0x150000, 0x8000), NAK(0, 1));

    // The next send starts a new staged image, at its own address.
    const auto abyNext = Pattern(0x8000, 8);
    ASSERT_EQ(Send(1, 0xE0, 0x40000, 0x8000, abyNext), ACK(1));
    EXPECT_EQ(Send(0, 0xE1, 0, 4, Word(FLASH_DOWNLOADER_Crc32(abyNext.data(), 0x8000, 0))),
              ACK(0));
}

TEST_F(PhoneTest, EfsBackupAndRestoreKeepTheFileSystemThroughAnErase)
{
    PHONE_CONFIG cfg;
    cfg.dwEfsStart = 0x300000;
    cfg.dwEfsLength = 0x40000;
    Plug(cfg);
    const auto abyEfs = Pattern(0x40000, 9);
    m_pPhone->PreloadFlash(0x300000, abyEfs);
    const uint32_t dwPda = 0x800000;
    ASSERT_EQ(Send(1, 0xEE, dwPda, 0x100000), ACK(1));
    ASSERT_EQ(Send(2, 0xEB, dwPda, 0), ACK(2));
    EXPECT_EQ(m_pPhone->ReadFlash(dwPda, 0x40000), abyEfs);
    ASSERT_EQ(Send(2, 0xEE, 0, dwPda), ACK(2));
    EXPECT_EQ(m_pPhone->ReadFlash(0x300000, 16), std::vector<uint8_t>(16, 0xFF));
    ASSERT_EQ(Send(3, 0xEC, dwPda, 0), ACK(3));
    EXPECT_EQ(m_pPhone->ReadFlash(0x300000, 0x40000), abyEfs);
}

TEST_F(PhoneTest, MibibHeaderIsKeptWithItsMask)
{
    Plug();
    auto abyPayload = Pattern(0x8080, 10);
    EXPECT_EQ(Send(5, 0xC0, 0x1F, 0x8080, abyPayload), ACK(5));
    EXPECT_EQ(m_pPhone->MibibMask(), 0x1Fu);
    EXPECT_EQ(m_pPhone->MibibHeader(),
              std::vector<uint8_t>(abyPayload.begin(), abyPayload.begin() + 2048));
}

TEST_F(PhoneTest, RequireUnlockRefusesFlashChangesUntilUnlocked)
{
    PHONE_CONFIG cfg;
    cfg.bRequireUnlock = true;
    Plug(cfg);
    EXPECT_EQ(Send(0, 0xEE, 0, 0x8000), NAK(0, 1));
    EXPECT_EQ(Send(0, 0xE6, 0, 0), ACK(0));  // queries are fine
    EXPECT_EQ(Send(0, 0xA0, 0, 0), ACK(0));
    EXPECT_EQ(Send(0, 0xEE, 0, 0x8000), ACK(0));
}

TEST_F(PhoneTest, RecordsCarryTheHeaderAndAPayloadDigest)
{
    Plug();
    const auto abyData = Pattern(0x8000, 11);
    Send(7, 0xE0, 0x1000, 0x8000, abyData, 3);
    Send(8, 0xE4, 0x1000, 0x8000);
    const auto aRec = m_pPhone->Requests();
    ASSERT_EQ(aRec.size(), 2u);
    EXPECT_EQ(aRec[0].bySeq, 7);
    EXPECT_EQ(aRec[0].byFlag, 0x51);
    EXPECT_EQ(aRec[0].byKind, 3);
    EXPECT_EQ(aRec[0].dwParam, 0x1000u);
    EXPECT_EQ(aRec[0].dwPayloadSize, 0x8000u);
    EXPECT_EQ(aRec[0].dwPayloadCrc, FLASH_DOWNLOADER_Crc32(abyData.data(), 0x8000 * 8, 0));
    EXPECT_TRUE(std::equal(aRec[0].abyFirst, aRec[0].abyFirst + 16, abyData.begin()));
    // Without a payload the length names a range; no payload bytes are expected.
    EXPECT_EQ(aRec[1].dwLength, 0x8000u);
    EXPECT_EQ(aRec[1].dwPayloadSize, 0u);
    EXPECT_EQ(aRec[1].byFlag, 0x51);
}

// ---- the frame parser keeps its footing ----

TEST_F(PhoneTest, AnUnknownOpcodeOrAnOversizedPayloadIsRefusedOnceTheLineGoesQuiet)
{
    Plug();
    EXPECT_EQ(Send(4, 0x55, 0, 0), NAK(4, 1));
    EXPECT_EQ(Send(5, 0xDD, 0, 0x8081), NAK(5, 1));
    EXPECT_EQ(Send(6, 0xA0, 0, 0), ACK(6));
}

TEST_F(PhoneTest, AFrameLeftIncompleteIsDroppedSoTheResendIsParsedCleanly)
{
    PHONE_CONFIG cfg;
    cfg.dwInterByteTimeoutMs = 100;
    Plug(cfg);
    auto abyFrame = SIM_LINK_Frame(1, 0xDD, 0, 0x8000, Pattern(0x8000, 12));
    ASSERT_TRUE(SIM_LINK_Write(m_fd, {abyFrame.begin(), abyFrame.begin() + 1000}));
    EXPECT_TRUE(SIM_LINK_Read(m_fd, 5, 400).empty());
    EXPECT_EQ(SIM_LINK_Exchange(m_fd, abyFrame), ACK(1));
    EXPECT_EQ(m_pPhone->RequestCount(), 1u);
}

// ---- faults ----

TEST_F(PhoneTest, NakRuleHitsOnlyTheNthFrameOfItsOpcode)
{
    Plug();
    PHONE_FAULTS faults;
    faults.aRules.push_back({0xE6, 2, 1, FAULT_NAK, 0x07});
    m_pPhone->SetFaults(faults);
    EXPECT_EQ(Send(0, 0xA0, 0, 0), ACK(0));
    EXPECT_EQ(Send(0, 0xE6, 0, 0), ACK(0));
    EXPECT_EQ(Send(0, 0xE6, 0, 0), NAK(0, 7));
    EXPECT_EQ(Send(0, 0xE6, 0, 0), ACK(0));
    const auto aRec = m_pPhone->Requests();
    EXPECT_EQ(aRec[2].eReply, REPLIED_NAK);
    EXPECT_FALSE(aRec[2].bAcked);
}

TEST_F(PhoneTest, AFrameRejectedByAFaultIsNotCarriedOut)
{
    Plug();
    PHONE_FAULTS faults;
    faults.aRules.push_back({0xDD, 1, 1, FAULT_NAK, 1});
    m_pPhone->SetFaults(faults);
    EXPECT_EQ(Send(1, 0xDD, 0, 0x8000, Pattern(0x8000, 1)), NAK(1, 1));
    EXPECT_EQ(m_pPhone->ReadFlash(0, 4), std::vector<uint8_t>(4, 0xFF));
}

TEST_F(PhoneTest, ReplyFaultsMangleTheAnswerButTheCommandIsCarriedOut)
{
    Plug();
    PHONE_FAULTS faults;
    faults.aRules.push_back({0xE6, 1, 1, FAULT_WRONG_SEQ, 0});
    faults.aRules.push_back({0xE6, 2, 1, FAULT_GARBAGE, 0});
    faults.aRules.push_back({0xE6, 3, 1, FAULT_DOUBLE, 0});
    faults.aRules.push_back({0xDD, 1, 1, FAULT_SILENCE, 0});
    m_pPhone->SetFaults(faults);
    EXPECT_EQ(Send(0x10, 0xE6, 0, 0), ACK(0x11));
    auto aby = Send(0x10, 0xE6, 0, 0);
    ASSERT_EQ(aby.size(), 5u);
    EXPECT_NE(aby[0], 0x7E);
    ASSERT_TRUE(SIM_LINK_Write(m_fd, SIM_LINK_Frame(0x12, 0xE6, 0, 0)));
    auto abyTwo = ACK(0x12);
    abyTwo.insert(abyTwo.end(), abyTwo.begin(), abyTwo.end());
    EXPECT_EQ(SIM_LINK_Read(m_fd, 10), abyTwo);

    const auto abyData = Pattern(0x8000, 13);
    ASSERT_TRUE(SIM_LINK_Write(m_fd, SIM_LINK_Frame(1, 0xDD, 0, 0x8000, abyData)));
    ASSERT_TRUE(m_pPhone->WaitRequestCount(4, 3000));
    EXPECT_TRUE(SIM_LINK_Read(m_fd, 5, 300).empty());
    EXPECT_EQ(m_pPhone->ReadFlash(0, 0x8000), abyData);
    EXPECT_EQ(m_pPhone->Requests()[3].eReply, REPLIED_NONE);
}

TEST_F(PhoneTest, AReplyInPiecesArrivesAsTwoSeparateReads)
{
    PHONE_CONFIG cfg;
    cfg.dwPieceGapMs = 150;
    Plug(cfg);
    PHONE_FAULTS faults;
    faults.aRules.push_back({0xA0, 1, 1, FAULT_PIECES, 0});
    m_pPhone->SetFaults(faults);
    ASSERT_TRUE(SIM_LINK_Write(m_fd, SIM_LINK_Frame(3, 0xA0, 0, 0)));
    const auto abyFirst = SIM_LINK_Read(m_fd, 5, 3000, 50);
    EXPECT_EQ(abyFirst, std::vector<uint8_t>({0x7E, 3}));
    EXPECT_EQ(SIM_LINK_Read(m_fd, 3, 3000, 50), std::vector<uint8_t>({0x02, 0x00, 0x00}));
}

TEST_F(PhoneTest, RefusedUnlockAndCorruptedStagingFailTheirChecks)
{
    Plug();
    PHONE_FAULTS faults;
    faults.bRefuseUnlock = true;
    faults.aRules.push_back({0xE1, 1, 1, FAULT_CORRUPT_STAGED, 0});
    m_pPhone->SetFaults(faults);
    EXPECT_EQ(Send(0, 0xA0, 0, 0), NAK(0, 1));
    EXPECT_FALSE(m_pPhone->Unlocked());
    const auto abyData = Pattern(0x8000, 14);
    ASSERT_EQ(Send(1, 0xE0, 0, 0x8000, abyData), ACK(1));
    EXPECT_EQ(Send(0, 0xE1, 0, 4, Word(FLASH_DOWNLOADER_Crc32(abyData.data(), 0x8000, 0))),
              NAK(0, 1));
}

TEST_F(PhoneTest, TheLinkDropsAfterTheGivenNumberOfBytes)
{
    Plug();
    PHONE_FAULTS faults;
    faults.qwDropAfterBytes = 12 + 1000;
    m_pPhone->SetFaults(faults);
    EXPECT_EQ(Send(0, 0xA0, 0, 0), ACK(0));
    SIM_LINK_Write(m_fd, SIM_LINK_Frame(1, 0xDD, 0, 0x8000, Pattern(0x8000, 1)));
    EXPECT_TRUE(m_pPhone->WaitUnplugged(3000));
    EXPECT_EQ(m_pPhone->RequestCount(), 1u);
    // The station's side of the port is dead: reads end at once.
    EXPECT_TRUE(SIM_LINK_Read(m_fd, 5, 500).empty());
}

TEST_F(PhoneTest, AStalledLinkTakesTheFramesHeaderAndNothingMoreUntilReplugged)
{
    PHONE_CONFIG cfg;
    cfg.faults.aRules.push_back({0xDD, 2, 1, FAULT_STALL});
    Plug(cfg);
    EXPECT_EQ(Send(0, 0xA0, 0, 0), ACK(0));
    EXPECT_EQ(Send(1, 0xDD, 0, 0x8000, Pattern(0x8000, 1)), ACK(1));
    const std::vector<uint8_t> abyFrame = SIM_LINK_Frame(2, 0xDD, 0x8000, 0x8000, Pattern(0x8000, 2));
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    auto fill = [&](size_t nFrom) {
        while (nFrom < abyFrame.size()) {
            const ssize_t n = write(m_fd, abyFrame.data() + nFrom, abyFrame.size() - nFrom);
            if (n <= 0) break;
            nFrom += static_cast<size_t>(n);
        }
        return nFrom;
    };
    size_t nOut = fill(0);
    ASSERT_TRUE(m_pPhone->WaitRequestCount(3, 3000));
    EXPECT_TRUE(m_pPhone->IsStalled());
    nOut = fill(nOut);
    // The line is full with the rest of the frame: the phone reads nothing more, answers nothing.
    EXPECT_LT(nOut, abyFrame.size());
    EXPECT_TRUE(SIM_LINK_Read(m_fd, 1, 300).empty());
    const REQUEST_RECORD rec = m_pPhone->Requests().back();
    EXPECT_EQ(rec.byOpcode, 0xDD);
    EXPECT_EQ(rec.eReply, REPLIED_STALLED);
    EXPECT_EQ(m_pPhone->ReadFlash(0x8000, 16), std::vector<uint8_t>(16, 0xFF));

    close(m_fd);
    m_fd = -1;
    ASSERT_TRUE(m_pPhone->Replug());
    EXPECT_FALSE(m_pPhone->IsStalled());
    m_fd = SIM_LINK_Open(m_pPhone->SlavePath());
    ASSERT_GE(m_fd, 0);
    EXPECT_EQ(Send(0, 0xA0, 0, 0), ACK(0));
}

TEST_F(PhoneTest, LinkSpeedAndReplyLatencyAreEmulated)
{
    PHONE_CONFIG cfg;
    cfg.dBytesPerSecond = 256 * 1024;
    cfg.dwReplyLatencyUs = 100000;
    Plug(cfg);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(0, 0xE6, 0, 0), ACK(0));
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_GE(t1 - t0, std::chrono::milliseconds(100));
    // Two 32 KiB frames at 256 KiB/s take a quarter of a second on the wire, plus the latency.
    EXPECT_EQ(Send(1, 0xDD, 0, 0x8000, Pattern(0x8000, 1)), ACK(1));
    EXPECT_EQ(Send(2, 0xDD, 0x8000, 0x8000, Pattern(0x8000, 2)), ACK(2));
    EXPECT_GE(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(330));
}

TEST_F(PhoneTest, ReplugGivesAFreshBootLoaderButKeepsTheFlash)
{
    Plug();
    const auto abyData = Pattern(0x8000, 15);
    ASSERT_EQ(Send(0, 0xA0, 0, 0), ACK(0));
    ASSERT_EQ(Send(1, 0xDD, 0x8000, 0x8000, abyData), ACK(1));
    close(m_fd);
    m_fd = -1;
    ASSERT_TRUE(m_pPhone->Replug());
    EXPECT_FALSE(m_pPhone->Unlocked());
    EXPECT_EQ(m_pPhone->PlugCount(), 2u);
    m_fd = SIM_LINK_Open(m_pPhone->SlavePath());
    ASSERT_GE(m_fd, 0);
    EXPECT_EQ(Send(0, 0xA0, 0, 0), ACK(0));
    EXPECT_EQ(m_pPhone->ReadFlash(0x8000, 0x8000), abyData);
    EXPECT_EQ(m_pPhone->Requests().back().dwPlug, 2u);
}

TEST_F(PhoneTest, AfterALockThePortComesBackWhenConfiguredTo)
{
    PHONE_CONFIG cfg;
    cfg.nReturnAfterLockMs = 10;
    cfg.strPublishLink = ::testing::TempDir() + "COM77";
    Plug(cfg);
    ASSERT_EQ(Send(1, 0x90, 0, 0), ACK(1));
    ASSERT_TRUE(m_pPhone->WaitLockCount(1, 3000));
    ASSERT_TRUE(m_pPhone->WaitPlugCount(2, 3000));
    char szTarget[256] = {};
    ASSERT_GT(readlink(cfg.strPublishLink.c_str(), szTarget, sizeof(szTarget) - 1), 0);
    EXPECT_EQ(std::string(szTarget), m_pPhone->SlavePath());
    close(m_fd);
    m_fd = SIM_LINK_Open(cfg.strPublishLink);
    EXPECT_EQ(Send(2, 0xA0, 0, 0), ACK(2));
    m_pPhone->Unplug();
    EXPECT_NE(access(cfg.strPublishLink.c_str(), F_OK), 0);
}

}  // namespace
