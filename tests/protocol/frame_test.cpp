// Frames as they go on the wire, reply classes and the reply waits.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "link/serial_device.h"
#include "station/clock.h"
#include "station/station_core.h"
#include "support/pty_pair.h"

namespace {

std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

std::vector<uint8_t> Hex(const std::string& strHex)
{
    std::vector<uint8_t> v;
    for (size_t i = 0; i + 1 < strHex.size(); ++i) {
        if (strHex[i] == ' ') continue;
        v.push_back(static_cast<uint8_t>(std::stoul(strHex.substr(i, 2), nullptr, 16)));
        ++i;
    }
    return v;
}

class RequestBuild : public ::testing::Test {
protected:
    CBufObj buf;
};

TEST_F(RequestBuild, GoldenFramesMatchTheWire)
{
    // Unlock with sequence 0.
    buf.ClearPacket();
    int n = FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, 0xA0, 0x00, 0, 0, nullptr, 0);
    EXPECT_EQ(Bytes(buf.m_pPacket, n), Hex("00 A0 00 00 00 00 00 00 00 00 00 00"));

    // A staged chunk: full 32 KiB, so the flag byte is 0x51.
    buf.ClearPacket();
    buf.FillData(0x5A);
    n = FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, 0xE0, 0x02, 0x00148000, 0x8000, buf.m_pData, 3);
    ASSERT_EQ(n, 32780);
    EXPECT_EQ(Bytes(buf.m_pPacket, 12), Hex("02 E0 51 03 00 80 14 00 00 80 00 00"));
    EXPECT_EQ(buf.m_pPacket[12], 0x5A);
    EXPECT_EQ(buf.m_pPacket[32779], 0x5A);

    // A write with spare bytes: not exactly 0x8000, so no flag.
    buf.ClearPacket();
    n = FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, 0xDD, 0x05, 0x00020000, 0x8080, buf.m_pData, 7);
    ASSERT_EQ(n, 32908);
    EXPECT_EQ(Bytes(buf.m_pPacket, 12), Hex("05 DD 00 07 00 00 02 00 80 80 00 00"));

    // An erase names a range; only the header goes out.
    buf.ClearPacket();
    n = FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, 0xE4, 0x01, 0x00140000, 0x00020000, nullptr, 0);
    EXPECT_EQ(Bytes(buf.m_pPacket, n), Hex("01 E4 00 00 00 00 14 00 00 00 02 00"));

    // The CRC check carries its value least significant byte first.
    buf.ClearPacket();
    const uint8_t abyCrc[4] = {0x8C, 0x39, 0x17, 0x2C};
    n = FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, 0xE1, 0x00, 0, 4, abyCrc, 0);
    EXPECT_EQ(Bytes(buf.m_pPacket, n), Hex("00 E1 00 00 00 00 00 00 04 00 00 00 8C 39 17 2C"));
}

TEST_F(RequestBuild, FlagDependsOnlyOnTheLengthField)
{
    // A 32,768-byte range without payload (an erase or flash) also carries the flag.
    buf.ClearPacket();
    int n = FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, 0xE2, 0, 0x40000, 0x8000, nullptr, 0);
    EXPECT_EQ(n, 12);
    EXPECT_EQ(buf.m_pPacket[2], 0x51);

    for (uint32_t dwLength : {0u, 4u, 0x7FFFu, 0x8001u, 0x8080u, 0x20000u}) {
        buf.ClearPacket();
        FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, 0xEE, 0, 0, dwLength, nullptr, 0);
        EXPECT_EQ(buf.m_pPacket[2], 0) << dwLength;
    }
}

TEST(Crc32, CheckValues)
{
    const uint8_t* digits = reinterpret_cast<const uint8_t*>("123456789");
    const uint8_t* abc = reinterpret_cast<const uint8_t*>("abc");
    EXPECT_EQ(FLASH_DOWNLOADER_Crc32(digits, 72, 0), 0x89A1897Fu);
    EXPECT_EQ(FLASH_DOWNLOADER_Crc32(abc, 24, 0), 0x2C17398Cu);
    // 20 bits: the last byte contributes only its top four bits.
    EXPECT_EQ(FLASH_DOWNLOADER_Crc32(abc, 20, 0), 0x73F134F5u);
    const uint8_t abyOtherLowNibble[3] = {'a', 'b', static_cast<uint8_t>('c' ^ 0x0F)};
    EXPECT_EQ(FLASH_DOWNLOADER_Crc32(abyOtherLowNibble, 20, 0), 0x73F134F5u);
}

TEST(Crc32, ZeroBitsReturnTheInitialValueAndPiecesChain)
{
    EXPECT_EQ(FLASH_DOWNLOADER_Crc32(nullptr, 0, 0x12345678), 0x12345678u);
    std::vector<uint8_t> data(10000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
    uint32_t dwWhole = FLASH_DOWNLOADER_Crc32(data.data(), 10000 * 8, 0);
    uint32_t dwPieces = FLASH_DOWNLOADER_Crc32(data.data(), 4096 * 8, 0);
    dwPieces = FLASH_DOWNLOADER_Crc32(data.data() + 4096, (10000 - 4096) * 8, dwPieces);
    EXPECT_EQ(dwWhole, dwPieces);
}

class ReplyClass : public ::testing::Test {
protected:
    void SetUp() override { g_aProtocol[0].g_bySeq = 0x02; }
    int Classify(const std::string& strHex, bool bAnySeq = false)
    {
        uint8_t aby[8] = {};
        auto v = Hex(strHex);
        std::memcpy(aby, v.data(), v.size());
        return FLASH_DOWNLOADER_ClassifyReply(0, aby, bAnySeq);
    }
};

TEST_F(ReplyClass, TableOfClasses)
{
    EXPECT_EQ(Classify("7E 02 02 00 00"), REPLY_ACK);
    EXPECT_EQ(Classify("7E 02 03 00 06"), REPLY_NAK_6);
    EXPECT_EQ(Classify("7E 02 03 00 07"), REPLY_NAK_7);
    EXPECT_EQ(Classify("7E 02 03 00 01"), REPLY_NAK);
    EXPECT_EQ(Classify("7E 02 05 00 00"), REPLY_INVALID);
    EXPECT_EQ(Classify("7F 02 02 00 00"), REPLY_INVALID);
    g_aProtocol[0].g_bySeq = 0x03;
    EXPECT_EQ(Classify("7E 02 02 00 00"), REPLY_SEQ_ERROR);
    EXPECT_EQ(Classify("7E 02 02 00 00", true), REPLY_ACK);
    // The start byte is judged before the sequence byte.
    EXPECT_EQ(Classify("00 02 02 00 00"), REPLY_INVALID);
}

TEST_F(ReplyClass, ShortRepliesReadMissingBytesAsZero)
{
    g_aProtocol[0].g_bySeq = 0x05;
    EXPECT_EQ(Classify("7E"), REPLY_SEQ_ERROR);
    EXPECT_EQ(Classify("7E", true), REPLY_INVALID);
    g_aProtocol[0].g_bySeq = 0x00;
    EXPECT_EQ(Classify("7E"), REPLY_INVALID);
    // A NAK cut before its reason byte reads reason 0: a plain NAK.
    EXPECT_EQ(Classify("7E 00 03"), REPLY_NAK);
}

// Scripts the classes that FLASH_DOWNLOADER_Receive hands to the waits.
class ReplyWaits : public ::testing::Test {
protected:
    struct Script {
        std::deque<int> classes;
        int nSilentForever = 0;  // after the script: REPLY_NONE
        uint32_t dwReceives = 0;
        CVarnDLCore* pCore = nullptr;
        uint32_t dwStopAfter = 0;  // clear the run flag at this receive (0 = never)
    };
    static int Receive(int nCh, bool, void* pContext)
    {
        auto* s = static_cast<Script*>(pContext);
        ++s->dwReceives;
        if (s->dwStopAfter && s->dwReceives == s->dwStopAfter) s->pCore->m_aChannel[nCh].m_bRun = 0;
        if (s->classes.empty()) return REPLY_NONE;
        int n = s->classes.front();
        s->classes.pop_front();
        return n;
    }
    void SetUp() override
    {
        script.pCore = &core;
        core.m_aChannel[0].m_bRun = 1;
        STATION_BindParam(param, core, 0);
        FLASH_DOWNLOADER_SetReceiveSeam(&Receive, &script);
    }
    void TearDown() override { FLASH_DOWNLOADER_SetReceiveSeam(nullptr, nullptr); }

    CVarnDLCore core;
    ChannelThreadParam param;
    Script script;
};

TEST_F(ReplyWaits, BoundedWaitGivesUpAfterExactly10002SilentReceives)
{
    EXPECT_EQ(FLASH_DOWNLOADER_WaitAckBounded(&param), 0);
    EXPECT_EQ(script.dwReceives, 10002u);
    EXPECT_EQ(core.m_aChannel[0].m_bRun.load(), 1u);

    // An acknowledgement on the last allowed receive still counts.
    script = Script{};
    script.pCore = &core;
    script.classes.assign(10001, REPLY_NONE);
    script.classes.push_back(REPLY_ACK);
    EXPECT_EQ(FLASH_DOWNLOADER_WaitAckBounded(&param), 1);
    EXPECT_EQ(script.dwReceives, 10002u);
}

TEST_F(ReplyWaits, UnboundedWaitsKeepReceivingWhileTheChannelRuns)
{
    script.classes.assign(20000, REPLY_NONE);
    script.classes.push_back(REPLY_ACK);
    EXPECT_EQ(FLASH_DOWNLOADER_WaitAck(&param), 1);
    EXPECT_EQ(script.dwReceives, 20001u);
}

TEST_F(ReplyWaits, ClearingTheRunFlagEndsEveryWait)
{
    script.dwStopAfter = 3;
    EXPECT_EQ(FLASH_DOWNLOADER_WaitReply(&param), REPLY_NONE);
    EXPECT_EQ(script.dwReceives, 3u);

    for (auto pfnWait : {&FLASH_DOWNLOADER_WaitAck, &FLASH_DOWNLOADER_WaitAckBounded,
                         &FLASH_DOWNLOADER_WaitAckAnySeq}) {
        core.m_aChannel[0].m_bRun = 1;
        script.dwReceives = 0;
        EXPECT_EQ(pfnWait(&param), 0);
        EXPECT_EQ(script.dwReceives, 3u);
    }
    core.m_aChannel[0].m_bRun = 1;
    script.dwReceives = 0;
    int nOut = 99;
    EXPECT_EQ(FLASH_DOWNLOADER_WaitResult(&param, &nOut), 0);
    EXPECT_EQ(nOut, 99);
}

TEST_F(ReplyWaits, SequenceErrorAndInvalidReplyEndEveryWaitAtOnce)
{
    for (int nClass : {REPLY_SEQ_ERROR, REPLY_INVALID}) {
        script.classes = {REPLY_NONE, nClass, REPLY_ACK};
        script.dwReceives = 0;
        EXPECT_EQ(FLASH_DOWNLOADER_WaitReply(&param), nClass);
        EXPECT_EQ(script.dwReceives, 2u);
        for (auto pfnWait : {&FLASH_DOWNLOADER_WaitAck, &FLASH_DOWNLOADER_WaitAckBounded,
                             &FLASH_DOWNLOADER_WaitAckAnySeq}) {
            script.classes = {nClass, REPLY_ACK};
            EXPECT_EQ(pfnWait(&param), 0);
            EXPECT_EQ(script.classes.size(), 1u);
        }
    }
}

TEST_F(ReplyWaits, WaitResultHandsBackOnlyAnswersThatMeanSomething)
{
    for (int nClass : {REPLY_ACK, REPLY_NAK, REPLY_NAK_6, REPLY_NAK_7}) {
        script.classes = {REPLY_NONE, nClass};
        int nOut = -1;
        EXPECT_EQ(FLASH_DOWNLOADER_WaitResult(&param, &nOut), nClass == REPLY_ACK ? 1 : 0);
        EXPECT_EQ(nOut, nClass);
    }
    for (int nClass : {REPLY_SEQ_ERROR, REPLY_INVALID}) {
        script.classes = {nClass};
        int nOut = 42;
        EXPECT_EQ(FLASH_DOWNLOADER_WaitResult(&param, &nOut), 0);
        EXPECT_EQ(nOut, 42);
    }
    // No out-value at all is fine too.
    script.classes = {REPLY_ACK};
    EXPECT_EQ(FLASH_DOWNLOADER_WaitResult(&param, nullptr), 1);
}

// Channel 1 open on a pseudo-terminal whose master plays the phone.
class ReplyWaitsOnAPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        SERIAL_DEVICE_CreateLock();
        SERIAL_DEVICE_SetStopTest(&core.m_Sink);
        ASSERT_TRUE(pty.IsOpen());
        ASSERT_EQ(pty.Register(31), 31u);
        ASSERT_EQ(SERIAL_DEVICE_SetPort(1, 31), 1);
        ASSERT_EQ(SERIAL_DEVICE_Open(1), 1);
        core.m_aChannel[1].m_bRun = 1;
        g_aProtocol[1].g_bySeq = 0;
        STATION_BindParam(param, core, 1);
        param.pnBufObj = &buf;
        FLASH_DOWNLOADER_BeginSession(&param);
    }
    void TearDown() override
    {
        SERIAL_DEVICE_Close(1);
        SERIAL_DEVICE_SetPort(1, 0);
        SERIAL_DEVICE_SetStopTest(nullptr);
    }

    CVirtualClock clock;
    CClockScope scope{clock};
    CVarnDLCore core;
    CPtyPair pty;
    CBufObj buf;
    ChannelThreadParam param;
};

TEST_F(ReplyWaitsOnAPort, APulledPhoneEndsEveryWaitInsteadOfSpinning)
{
    // Nobody clears the run flag here: only the hung-up line can end the waits.
    pty.CloseMaster();

    EXPECT_EQ(FLASH_DOWNLOADER_WaitReply(&param), REPLY_NONE);
    EXPECT_EQ(FLASH_DOWNLOADER_WaitAck(&param), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_WaitAckBounded(&param), 0);
    EXPECT_EQ(FLASH_DOWNLOADER_WaitAckAnySeq(&param), 0);
    int nOut = 77;
    EXPECT_EQ(FLASH_DOWNLOADER_WaitResult(&param, &nOut), 0);
    EXPECT_EQ(nOut, 77);
    EXPECT_EQ(core.m_aChannel[1].m_bRun.load(), 1u);
}

TEST_F(ReplyWaitsOnAPort, BytesLeftFromEarlierAreDroppedBeforeANewRequestButCountForTheSameAgain)
{
    const SERIAL_HANDLE hPort = g_aSerial[1].g_hComPort.load();
    const uint32_t dwLength = static_cast<uint32_t>(
        FLASH_DOWNLOADER_BuildRequest(buf.m_pPacket, 0xA0, 0, 0, 0, nullptr, 0));
    const uint8_t abyAck[] = {0x7E, 0x00, 0x02, 0x00, 0x00};
    const uint8_t abyNak[] = {0x7E, 0x00, 0x03, 0x00, 0x01};
    uint8_t abyFrame[FRAME_HEADER_SIZE];

    // An acknowledgement left over from an earlier exchange must not answer a new request.
    ASSERT_TRUE(pty.Send(abyAck, sizeof(abyAck)));
    ASSERT_TRUE(PTY_WaitQueued(hPort, sizeof(abyAck)));
    ASSERT_EQ(FLASH_DOWNLOADER_SendRequest(&param, dwLength, SEND_NEW), 1);
    ASSERT_EQ(pty.Receive(abyFrame, sizeof(abyFrame)), sizeof(abyFrame));
    ASSERT_TRUE(pty.Send(abyNak, sizeof(abyNak)));
    EXPECT_EQ(FLASH_DOWNLOADER_WaitReply(&param), REPLY_NAK);

    // A late answer to the first sending of a request answers its resend.
    ASSERT_TRUE(pty.Send(abyAck, sizeof(abyAck)));
    ASSERT_TRUE(PTY_WaitQueued(hPort, sizeof(abyAck)));
    ASSERT_EQ(FLASH_DOWNLOADER_SendRequest(&param, dwLength, SEND_AGAIN), 1);
    ASSERT_EQ(pty.Receive(abyFrame, sizeof(abyFrame)), sizeof(abyFrame));
    EXPECT_EQ(FLASH_DOWNLOADER_WaitReply(&param), REPLY_ACK);
}

// How the replies a phone sends match the requests: the station's side of one channel, the
// test playing the phone byte by byte. 'n' sends a new request with the sequence byte, 'a' the
// same again (each expecting it to go out, 1, or be held back, 0); 'p' is what the phone sends,
// and it has arrived before the next step; 'w' waits for a reply of the expected class.
struct REPLY_STEP {
    char cWhat;
    int nValue;  // the sequence byte of 'n', the outcome of 'n'/'a', the class of 'w'
    std::vector<uint8_t> aby;
};
struct REPLY_CASE {
    const char* szName;
    std::vector<REPLY_STEP> aStep;
    bool bOutOfStep;
};

std::vector<uint8_t> Ack(uint8_t bySeq) { return {0x7E, bySeq, 0x02, 0x00, 0x00}; }
std::vector<uint8_t> Nak(uint8_t bySeq) { return {0x7E, bySeq, 0x03, 0x00, 0x01}; }
std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
REPLY_STEP New(uint8_t bySeq, int nSent = 1) { return {'n', bySeq | nSent << 8, {}}; }
REPLY_STEP Again(int nSent = 1) { return {'a', nSent << 8, {}}; }
REPLY_STEP Phone(const std::vector<uint8_t>& aby) { return {'p', 0, aby}; }
REPLY_STEP Wait(int nClass) { return {'w', nClass, {}}; }

TEST_F(ReplyWaitsOnAPort, ARefusalIsNeverThrownAwayAndRepliesOutOfStepFailTheChannel)
{
    const REPLY_CASE aCase[] = {
        {"a refusal read behind the acknowledgement it came with",
         {New(5), Phone(Join(Ack(5), Nak(5))), Wait(REPLY_INVALID), New(6, 0)}, true},
        {"a refusal waiting before the next request",
         {New(5), Phone(Ack(5)), Wait(REPLY_ACK), Phone(Nak(5)), New(6, 0)}, true},
        {"a phone that merely answers twice keeps working",
         {New(5), Phone(Join(Ack(5), Ack(5))), Wait(REPLY_ACK), Phone(Ack(5)), New(6), Phone(Ack(6)),
          Wait(REPLY_ACK), New(7)}, false},
        {"a refusal taken as an answer, then one reply too many",
         {New(5), Phone(Nak(5)), Wait(REPLY_NAK), Again(), Phone(Ack(5)), Wait(REPLY_ACK),
          Phone(Ack(5)), New(6, 0)}, true},
        {"a refusal answered, then shown in step by a new sequence byte, then a repeat",
         {New(5), Phone(Nak(5)), Wait(REPLY_NAK), Again(), Phone(Ack(5)), Wait(REPLY_ACK), New(6),
          Phone(Ack(6)), Wait(REPLY_ACK), Phone(Ack(6)), New(7)}, false},
        {"two requests with one sequence byte show nothing after a refusal",
         {New(5), Phone(Nak(5)), Wait(REPLY_NAK), Again(), Phone(Ack(5)), Wait(REPLY_ACK), New(5),
          Phone(Ack(5)), Wait(REPLY_ACK), Phone(Ack(5)), New(5, 0)}, true},
    };
    const SERIAL_HANDLE hPort = g_aSerial[1].g_hComPort.load();
    for (const REPLY_CASE& c : aCase) {
        SCOPED_TRACE(c.szName);
        FLASH_DOWNLOADER_BeginSession(&param);
        uint32_t dwFrameLength = 0;
        for (const REPLY_STEP& step : c.aStep) {
            if (step.cWhat == 'n' || step.cWhat == 'a') {
                if (step.cWhat == 'n')
                    dwFrameLength = static_cast<uint32_t>(FLASH_DOWNLOADER_BuildRequest(
                        buf.m_pPacket, 0xEE, static_cast<uint8_t>(step.nValue), 0, 0, nullptr, 0));
                g_aProtocol[1].g_bySeq = buf.m_pPacket[0];
                const int nSent = FLASH_DOWNLOADER_SendRequest(
                    &param, dwFrameLength, step.cWhat == 'n' ? SEND_NEW : SEND_AGAIN);
                ASSERT_EQ(nSent, step.nValue >> 8);
                uint8_t abyFrame[FRAME_HEADER_SIZE];
                if (nSent) {
                    ASSERT_EQ(pty.Receive(abyFrame, sizeof(abyFrame)), sizeof(abyFrame));
                }
            } else if (step.cWhat == 'p') {
                ASSERT_TRUE(pty.Send(step.aby.data(), step.aby.size()));
                ASSERT_TRUE(PTY_WaitQueued(hPort, static_cast<uint32_t>(step.aby.size())));
            } else {
                ASSERT_EQ(FLASH_DOWNLOADER_WaitReply(&param), step.nValue);
            }
        }
        EXPECT_EQ(core.m_aChannel[1].m_bOutOfStep.load() != 0, c.bOutOfStep);
    }
}

}  // namespace
