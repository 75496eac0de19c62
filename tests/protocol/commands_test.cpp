// The single-request exchanges against a virtual phone: the frame each one sends, how it moves
// the sequence byte, its texts and log lines, and how it ends on a bad or missing reply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/serial_device.h"
#include "protocol/commands.h"
#include "protocol/frame.h"
#include "support/channel_fixture.h"

namespace {

bool Logged(const CRecordingView& view, const std::string& strLine)
{
    for (const std::string& strLog : view.LogLines())
        if (strLog == strLine) return true;
    return false;
}

PHONE_FAULTS OneFault(int nOpcode, PHONE_FAULT_ACTION eAction, uint8_t byReason = 1)
{
    PHONE_FAULTS faults;
    PHONE_FAULT_RULE rule;
    rule.nOpcode = nOpcode;
    rule.eAction = eAction;
    rule.byReason = byReason;
    faults.aRules.push_back(rule);
    return faults;
}

class CommandTest : public ::testing::Test {
protected:
    explicit CommandTest(PHONE_CONFIG cfg = {}) : m_Fx(3, std::move(cfg)) {}
    void SetUp() override { ASSERT_TRUE(m_Fx.IsOpen()); }
    ChannelThreadParam* P() { return &m_Fx.m_Param; }
    REQUEST_RECORD Last() { return m_Fx.Requests().back(); }

    CChannelFixture m_Fx;
};

// --- Unlock and lock ---------------------------------------------------------------------

TEST_F(CommandTest, UnlockSendsTheCurrentSequenceAndLeavesIt)
{
    g_aProtocol[3].g_bySeq = 0x00;
    EXPECT_EQ(FLASH_DOWNLOADER_Unlock(P()), 1);
    REQUEST_RECORD req = Last();
    EXPECT_EQ(req.byOpcode, 0xA0);
    EXPECT_EQ(req.bySeq, 0x00);
    EXPECT_EQ(req.byFlag, 0);
    EXPECT_EQ(req.dwParam, 0u);
    EXPECT_EQ(req.dwLength, 0u);
    EXPECT_EQ(req.dwPayloadSize, 0u);
    EXPECT_EQ(g_aProtocol[3].g_bySeq, 0x00);
    EXPECT_EQ(m_Fx.m_Core.m_ctrlProgress[3].GetState().strText, "   FLASH UNLOCK");
    std::vector<std::string> aLog = m_Fx.m_View.LogLines();
    ASSERT_EQ(aLog.size(), 2u);
    EXPECT_EQ(aLog[0], "[Channel 3]  FLASH UNLOCK\r\n");
    EXPECT_EQ(aLog[1], "[Channel 3]  FLASH UNLOCK Success!!!\r\n");
}

TEST_F(CommandTest, RefusedUnlockFailsWithoutTheSuccessLine)
{
    PHONE_FAULTS faults;
    faults.bRefuseUnlock = true;
    m_Fx.m_pPhone->SetFaults(faults);
    EXPECT_EQ(FLASH_DOWNLOADER_Unlock(P()), 0);
    EXPECT_EQ(m_Fx.m_View.LogLines().size(), 1u);
}

TEST_F(CommandTest, UnlockWithAWrongSequenceEchoFails)
{
    g_aProtocol[3].g_bySeq = 9;
    m_Fx.m_pPhone->SetFaults(OneFault(0xA0, FAULT_WRONG_SEQ));
    EXPECT_EQ(FLASH_DOWNLOADER_Unlock(P()), 0);
    EXPECT_EQ(m_Fx.Requests(0xA0).size(), 1u) << "a single-request exchange never resends";
}

TEST_F(CommandTest, LockAdvancesTheSequenceAndClosesThePortOnSuccess)
{
    g_aProtocol[3].g_bySeq = 0xFF;
    EXPECT_EQ(FLASH_DOWNLOADER_Lock(P()), 1);
    REQUEST_RECORD req = Last();
    EXPECT_EQ(req.byOpcode, 0x90);
    EXPECT_EQ(req.bySeq, 0x00);  // wraps
    EXPECT_EQ(g_aProtocol[3].g_bySeq, 0x00);
    EXPECT_EQ(g_aSerial[3].g_hComPort.load(), SERIAL_HANDLE_NONE);
    EXPECT_EQ(g_aSerial[3].g_nComPort.load(), 0u);
    EXPECT_EQ(m_Fx.m_Core.m_ctrlProgress[3].GetState().strText, "   Varn Reboot");
    std::vector<std::string> aLog = m_Fx.m_View.LogLines();
    ASSERT_EQ(aLog.size(), 2u);
    EXPECT_EQ(aLog[0], "[Channel 3]  FLASH LOCK \r\n");
    EXPECT_EQ(aLog[1], "[Channel 3]  FLASH LOCK Success!!!\r\n");
}

TEST_F(CommandTest, RefusedLockKeepsThePortAndItsNumber)
{
    const uint32_t nPort = g_aSerial[3].g_nComPort;
    m_Fx.m_pPhone->SetFaults(OneFault(0x90, FAULT_NAK));
    g_aProtocol[3].g_bySeq = 4;
    EXPECT_EQ(FLASH_DOWNLOADER_Lock(P()), 0);
    EXPECT_EQ(g_aProtocol[3].g_bySeq, 5);
    EXPECT_NE(g_aSerial[3].g_hComPort.load(), SERIAL_HANDLE_NONE);
    EXPECT_EQ(g_aSerial[3].g_nComPort.load(), nPort);
    EXPECT_EQ(m_Fx.m_View.LogLines().size(), 1u);
}

// --- Queries and CSC announcements -------------------------------------------------------

TEST_F(CommandTest, QueriesSendSequenceZeroAcceptAnyEchoAndLeaveTheSequence)
{
    g_aProtocol[3].g_bySeq = 0x42;
    m_Fx.m_pPhone->SetFaults(OneFault(0xE6, FAULT_WRONG_SEQ));
    EXPECT_EQ(FLASH_DOWNLOADER_QueryMcci(P()), 1);
    EXPECT_EQ(Last().byOpcode, 0xE6);
    EXPECT_EQ(Last().bySeq, 0);
    EXPECT_TRUE(Logged(m_Fx.m_View, "[Channel 3] MCCI - Enabled\r\n"));

    EXPECT_EQ(FLASH_DOWNLOADER_QuerySafeDownload(P()), 1);
    EXPECT_EQ(Last().byOpcode, 0xE3);
    EXPECT_EQ(Last().bySeq, 0);
    EXPECT_TRUE(Logged(m_Fx.m_View, "[Channel 3] SafeDownload - Enabled\r\n"));
    EXPECT_EQ(g_aProtocol[3].g_bySeq, 0x42);
}

TEST_F(CommandTest, QueriesAnsweredNegativelyLogTheOtherMode)
{
    PHONE_CONFIG cfg = m_Fx.m_pPhone->Config();
    cfg.bMcci = false;
    cfg.bSafeDownload = false;
    m_Fx.m_pPhone->SetConfig(cfg);
    EXPECT_EQ(FLASH_DOWNLOADER_QueryMcci(P()), 0);
    EXPECT_TRUE(Logged(m_Fx.m_View, "[Channel 3] MCCI Download - Disabled ! ! ! !\r\n"));
    EXPECT_EQ(FLASH_DOWNLOADER_QuerySafeDownload(P()), 0);
    EXPECT_TRUE(Logged(m_Fx.m_View, "[Channel 3] Older Version Download - Enabled\r\n"));
}

TEST_F(CommandTest, OnlyAWellFormedRefusalAnswersAQueryWithNo)
{
    PHONE_CONFIG cfg = m_Fx.m_pPhone->Config();
    cfg.bSafeDownload = false;
    m_Fx.m_pPhone->SetConfig(cfg);
    // The answer a query gets after its faults, and how often it was asked.
    const struct {
        PHONE_FAULT_ACTION eFault;
        uint32_t dwFaulted;  // answers faulted, from the first (0: all)
        int nAnswer;
        size_t nAskings;
    } aCase[] = {
        {FAULT_WRONG_SEQ, 1, QUERY_NO, 2},       // a refusal echoing another byte may be another's
        {FAULT_GARBAGE, 2, QUERY_NO, 3},
        {FAULT_GARBAGE, 0, QUERY_UNANSWERED, 3},
        {FAULT_PIECES, 1, QUERY_NO, 1},
    };
    for (const auto& c : aCase) {
        PHONE_FAULTS faults = OneFault(0xE3, c.eFault);
        faults.aRules[0].dwCount = c.dwFaulted;
        m_Fx.m_pPhone->SetFaults(faults);
        m_Fx.m_pPhone->ClearRequests();
        EXPECT_EQ(FLASH_DOWNLOADER_QuerySafeDownload(P()), c.nAnswer) << c.eFault;
        EXPECT_EQ(m_Fx.Requests(0xE3).size(), c.nAskings) << c.eFault;
    }
    EXPECT_TRUE(Logged(m_Fx.m_View, "[Channel 3] No clear answer to the Safe Download query\r\n"));
}

TEST_F(CommandTest, CscSizeCarriesTheSizeLeastSignificantByteFirst)
{
    m_Fx.m_Core.m_dwCscSize = 0x01234567;
    g_aProtocol[3].g_bySeq = 7;
    EXPECT_EQ(FLASH_DOWNLOADER_WriteCscSize(P()), 1);
    REQUEST_RECORD req = Last();
    EXPECT_EQ(req.byOpcode, 0xE7);
    EXPECT_EQ(req.bySeq, 0);
    EXPECT_EQ(req.dwLength, 4u);
    EXPECT_EQ(req.dwPayloadSize, 4u);
    EXPECT_EQ(req.abyFirst[0], 0x67);
    EXPECT_EQ(req.abyFirst[3], 0x01);
    EXPECT_EQ(m_Fx.m_pPhone->CscSize(), 0x01234567u);
    EXPECT_EQ(g_aProtocol[3].g_bySeq, 7);
    EXPECT_TRUE(Logged(m_Fx.m_View, "[Channel 3] Write CSC Size\r\n"));

    m_Fx.m_pPhone->SetFaults(OneFault(0xE7, FAULT_NAK));
    EXPECT_EQ(FLASH_DOWNLOADER_WriteCscSize(P()), 0);
    EXPECT_EQ(m_Fx.m_View.LogLines().back(), "[Channel 3] ERROR: Write CSCSize !\r\n");
}

TEST_F(CommandTest, CscReserveGrantedByAcknowledgementOrReasonSix)
{
    m_Fx.m_Core.m_dwCscReserve = 0x00200000;
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCscReserve(P()), 1);
    EXPECT_EQ(Last().byOpcode, 0xE8);
    EXPECT_EQ(Last().PayloadWord(), 0x00200000u);
    EXPECT_EQ(Last().bySeq, 0);

    PHONE_CONFIG cfg = m_Fx.m_pPhone->Config();
    cfg.bReserveAnswerNak6 = true;
    m_Fx.m_pPhone->SetConfig(cfg);
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCscReserve(P()), 1);

    // Reason 1 (a reserve above the phone's 16 MiB), reason 7 and an unreadable reply refuse.
    m_Fx.m_Core.m_dwCscReserve = 0x02000000;
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCscReserve(P()), 0);
    m_Fx.m_pPhone->SetFaults(OneFault(0xE8, FAULT_NAK, 7));
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCscReserve(P()), 0);
    m_Fx.m_pPhone->SetFaults(OneFault(0xE8, FAULT_GARBAGE));
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCscReserve(P()), 0);
    EXPECT_TRUE(m_Fx.m_View.LogLines().empty());
}

// --- Erases ------------------------------------------------------------------------------

TEST_F(CommandTest, EraseForWriteShowsTheKindsTextAndNamesTheRange)
{
    m_Fx.SetRegion(0x00140000, 0, 0, 1048576);
    g_aProtocol[3].g_bySeq = 0x11;
    EXPECT_EQ(FLASH_DOWNLOADER_EraseForWrite(P(), 6), 1);
    REQUEST_RECORD req = Last();
    EXPECT_EQ(req.byOpcode, 0xEE);
    EXPECT_EQ(req.bySeq, 0x11);
    EXPECT_EQ(req.dwParam, 0x00140000u);
    EXPECT_EQ(req.dwLength, 1048576u);
    EXPECT_EQ(req.dwPayloadSize, 0u);
    EXPECT_EQ(g_aProtocol[3].g_bySeq, 0x11);
    BAR_STATE state = m_Fx.m_Core.m_ctrlProgress[3].GetState();
    EXPECT_EQ(state.strText, " PDA ERASE 1048576 Bytes");
    EXPECT_EQ(state.nPercent, 0);
}

TEST_F(CommandTest, EraseForFlashOfExactlyOneChunkCarriesTheFullChunkFlag)
{
    m_Fx.SetRegion(0x00140000, 0, 0, 0x8000);
    g_aProtocol[3].g_bySeq = 1;
    EXPECT_EQ(FLASH_DOWNLOADER_EraseForFlash(P(), 3), 1);
    REQUEST_RECORD req = Last();
    EXPECT_EQ(req.byOpcode, 0xE4);
    EXPECT_EQ(req.byFlag, 0x51);
    EXPECT_EQ(req.dwLength, 0x8000u);
    EXPECT_EQ(m_Fx.m_Core.m_ctrlProgress[3].GetState().strText, " AMSS ERASE 32768 Bytes");
}

TEST_F(CommandTest, EraseTextsByKind)
{
    const std::pair<int, const char*> aText[] = {
        {0, " MIBIB ERASE 4096 Bytes"},  {1, " QCSBL ERASE 4096 Bytes"},
        {2, " OEMSBL ERASE 4096 Bytes"}, {3, " AMSS ERASE 4096 Bytes"},
        {4, " EFS2 ERASE 4096 Bytes"},   {5, " APPSBL ERASE 4096 Bytes"},
        {6, " PDA ERASE 4096 Bytes"},    {7, " CARRIER ERASE 4096 Bytes"},
        {8, " HIDDEN ERASE 4096 Bytes"}, {11, " EFS2 ERASE 4096 Bytes"},
        {12, " FOTA ERASE 4096 Bytes"},
    };
    m_Fx.SetRegion(0x00100000, 0, 0, 4096);
    for (const auto& entry : aText) {
        EXPECT_EQ(FLASH_DOWNLOADER_EraseForWrite(P(), entry.first), 1);
        EXPECT_EQ(m_Fx.m_Core.m_ctrlProgress[3].GetState().strText, entry.second);
    }
}

TEST_F(CommandTest, EraseRejectedOrEchoedWronglyFails)
{
    m_Fx.SetRegion(0x00100000, 0, 0, 0x20000);
    m_Fx.m_pPhone->SetFaults(OneFault(0xEE, FAULT_NAK));
    EXPECT_EQ(FLASH_DOWNLOADER_EraseForWrite(P(), 7), 0);
    m_Fx.m_pPhone->SetFaults(OneFault(0xE4, FAULT_WRONG_SEQ));
    EXPECT_EQ(FLASH_DOWNLOADER_EraseForFlash(P(), 3), 0);
    EXPECT_EQ(m_Fx.Requests().size(), 2u);
}

// --- Failed sends and stops --------------------------------------------------------------

TEST_F(CommandTest, EveryExchangeFailsAtOnceWithoutALogLineWhenTheSendFails)
{
    SERIAL_DEVICE_Close(3);
    m_Fx.m_View.Clear();
    // A question that could not be asked is not answered "no".
    EXPECT_EQ(FLASH_DOWNLOADER_QueryMcci(P()), QUERY_UNANSWERED);
    EXPECT_EQ(FLASH_DOWNLOADER_QuerySafeDownload(P()), QUERY_UNANSWERED);
    EXPECT_EQ(FLASH_DOWNLOADER_WriteCscSize(P()), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCscReserve(P()), QUERY_UNANSWERED);
    EXPECT_EQ(FLASH_DOWNLOADER_EraseForWrite(P(), 6), 0);
    const std::vector<std::string> aLog = m_Fx.m_View.LogLines();
    for (const std::string& strLine : aLog) EXPECT_NE(strLine.find("No clear answer"), std::string::npos);
    EXPECT_EQ(m_Fx.Requests().size(), 0u);
}

TEST_F(CommandTest, AStoppedChannelSendsNothingButTheWriteBackOfAParkedEfs)
{
    m_Fx.SetRegion(0x00100000, 0, 0, 0x20000);
    m_Fx.m_Core.m_aChannel[3].m_bRun = 0;
    for (int (*pfnExchange)(ChannelThreadParam*) :
         {&FLASH_DOWNLOADER_Unlock, &FLASH_DOWNLOADER_Lock, &FLASH_DOWNLOADER_WriteCscSize})
        EXPECT_EQ(pfnExchange(P()), 0);
    for (int (*pfnQuery)(ChannelThreadParam*) :
         {&FLASH_DOWNLOADER_QueryMcci, &FLASH_DOWNLOADER_QuerySafeDownload,
          &FLASH_DOWNLOADER_CheckCscReserve})
        EXPECT_EQ(pfnQuery(P()), QUERY_UNANSWERED);
    EXPECT_EQ(FLASH_DOWNLOADER_EraseForFlash(P(), 3), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_EraseForWrite(P(), 6), 0);
    // A query the stop ended found out nothing about the phone.
    EXPECT_FALSE(Logged(m_Fx.m_View, "[Channel 3] Older Version Download - Enabled\r\n"));
    EXPECT_FALSE(Logged(m_Fx.m_View, "[Channel 3] MCCI Download - Disabled ! ! ! !\r\n"));

    CBufObj& buf = m_Fx.m_Buf;
    const auto send = [&](uint8_t byOpcode) {
        buf.ClearPacket();
        const int n = FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, byOpcode, 1, 0x00400000, 0, nullptr, 0);
        return FLASH_DOWNLOADER_SendRequest(P(), static_cast<uint32_t>(n), SEND_NEW);
    };
    // What goes out is what puts a parked phone's data back in place, and nothing else.
    const struct {
        uint32_t dwParked;
        uint8_t byOpcode;
        int nSent;
    } aGate[] = {
        {PARKED_NONE, CMD_EFS_RESTORE, 0},         {PARKED_EFS, CMD_ERASE_FOR_WRITE, 0},
        {PARKED_EFS, CMD_FLASH_DATA, 0},           {PARKED_EFS_STOP, CMD_EFS_RESTORE, 1},
        {PARKED_ERASED, CMD_EFS_RESTORE, 0},       {PARKED_ERASED, CMD_ERASE_FOR_FLASH, 0},
        {PARKED_ERASED_STOP, CMD_FLASH_DATA, 1},
    };
    std::vector<uint8_t> abySent;
    for (const auto& gate : aGate) {
        m_Fx.m_Core.m_aChannel[3].m_dwParked = gate.dwParked;
        EXPECT_EQ(send(gate.byOpcode), gate.nSent) << std::hex << int(gate.byOpcode);
        if (gate.nSent) abySent.push_back(gate.byOpcode);
    }
    m_Fx.m_Core.m_aChannel[3].m_dwParked = PARKED_NONE;
    ASSERT_TRUE(m_Fx.m_pPhone->WaitRequestCount(abySent.size(), 5000));
    std::vector<uint8_t> abyGot;
    for (const REQUEST_RECORD& req : m_Fx.Requests()) abyGot.push_back(req.byOpcode);
    EXPECT_EQ(abyGot, abySent);
}

TEST_F(CommandTest, SilentPhoneIsWaitedForUntilTheChannelIsStopped)
{
    PHONE_FAULTS faults = OneFault(-1, FAULT_SILENCE);
    faults.aRules[0].dwCount = 0;  // every frame
    m_Fx.m_pPhone->SetFaults(faults);
    m_Fx.SetRegion(0x00100000, 0, 0, 0x20000);

    m_Fx.StopAfterRequests(1);
    EXPECT_EQ(FLASH_DOWNLOADER_Unlock(P()), 0);
    m_Fx.m_Core.m_aChannel[3].m_bRun = 1;
    m_Fx.StopAfterRequests(2);
    EXPECT_EQ(FLASH_DOWNLOADER_QueryMcci(P()), QUERY_UNANSWERED);
    m_Fx.m_Core.m_aChannel[3].m_bRun = 1;
    m_Fx.StopAfterRequests(3);
    EXPECT_EQ(FLASH_DOWNLOADER_CheckCscReserve(P()), QUERY_UNANSWERED);
    m_Fx.m_Core.m_aChannel[3].m_bRun = 1;
    m_Fx.StopAfterRequests(4);
    EXPECT_EQ(FLASH_DOWNLOADER_EraseForFlash(P(), 3), 0);
    m_Fx.m_Core.m_aChannel[3].m_bRun = 1;
    m_Fx.StopAfterRequests(5);
    EXPECT_EQ(FLASH_DOWNLOADER_Lock(P()), 0);
    EXPECT_NE(g_aSerial[3].g_hComPort.load(), SERIAL_HANDLE_NONE);
}

}  // namespace
