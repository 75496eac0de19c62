// The log box line writer and the switchable trace with its optional file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "station/clock.h"
#include "station/log.h"
#include "station/station_core.h"
#include "support/channel_fixture.h"

namespace {

class WriteLogTest : public ::testing::Test {
protected:
    WriteLogTest() { m_Core.SetView(&m_View); }
    CVarnDLCore m_Core;
    CRecordingView m_View{&m_Core};
};

TEST_F(WriteLogTest, EachLineReplacesThePreviousOne)
{
    WriteLog(&m_Core, 3, m_Core.m_csDisplay, "[Channel %d]  FLASH UNLOCK\r\n", 3);
    WriteLog(&m_Core, 3, m_Core.m_csDisplay, "[Channel %d]  FLASH UNLOCK Success!!!\r\n", 3);
    EXPECT_EQ(m_Core.m_strLog, "[Channel 3]  FLASH UNLOCK Success!!!\r\n");
    // Every line is handed over; the box shows the last one handed over.
    ASSERT_EQ(m_View.LogLines().size(), 2u);
    EXPECT_EQ(m_View.LogLines().back(), m_Core.m_strLog);
}

TEST_F(WriteLogTest, LongLinesAreCutToFiveHundredElevenCharacters)
{
    std::string strLong(600, 'x');
    WriteLog(&m_Core, 0, m_Core.m_csDisplay, "%s", strLong.c_str());
    EXPECT_EQ(m_Core.m_strLog, std::string(511, 'x'));

    std::string strExact(511, 'y');
    WriteLog(&m_Core, 0, m_Core.m_csDisplay, "%s", strExact.c_str());
    EXPECT_EQ(m_Core.m_strLog, strExact);
}

TEST_F(WriteLogTest, CutNeverLeavesHalfACharacter)
{
    // 510 bytes, then a two-byte character that would straddle the cut.
    std::string strLine(510, 'a');
    strLine += "\xC3\xA9";
    strLine += "tail";
    WriteLog(&m_Core, 0, m_Core.m_csDisplay, "%s", strLine.c_str());
    EXPECT_EQ(m_Core.m_strLog, std::string(510, 'a'));

    // A whole character right at the end stays.
    std::string strFits(509, 'a');
    strFits += "\xC3\xA9";
    WriteLog(&m_Core, 0, m_Core.m_csDisplay, "%s!", strFits.c_str());
    EXPECT_EQ(m_Core.m_strLog, strFits);
}

TEST_F(WriteLogTest, ThePercentSignOfAnArgumentIsNotFormattedAgain)
{
    WriteLog(&m_Core, 1, m_Core.m_csDisplay, "%s", "100%d done");
    EXPECT_EQ(m_Core.m_strLog, "100%d done");
    WriteLog(&m_Core, 1, m_Core.m_csDisplay, "ERROR");
    EXPECT_EQ(m_Core.m_strLog, "ERROR");
}

// Captures what is written to stderr while it lives.
class CStderrCapture {
public:
    CStderrCapture()
    {
        std::fflush(stderr);
        m_nSaved = ::dup(2);
        char szPath[] = "/tmp/quillon_stderr_XXXXXX";
        m_nFile = ::mkstemp(szPath);
        m_strPath = szPath;
        ::dup2(m_nFile, 2);
    }
    ~CStderrCapture()
    {
        Release();
        ::close(m_nFile);
        ::unlink(m_strPath.c_str());
    }
    std::string Text()
    {
        Release();
        std::ifstream file(m_strPath);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    void Release()
    {
        if (m_nSaved < 0) return;
        std::fflush(stderr);
        ::dup2(m_nSaved, 2);
        ::close(m_nSaved);
        m_nSaved = -1;
    }
    int m_nSaved = -1;
    int m_nFile = -1;
    std::string m_strPath;
};

std::string LogFilePath()
{
    char szExe[512] = {};
    ssize_t n = ::readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    std::string strExe(szExe, n > 0 ? static_cast<size_t>(n) : 0);
    return strExe.substr(0, strExe.find_last_of('/')) + "/DiredIror.log";
}

std::string ReadFile(const std::string& strPath)
{
    std::ifstream file(strPath);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(DebugTraceTest, NoDestinationWritesNothing)
{
    CStderrCapture capture;
    DebugTrace(0, "[Step Ch:%d] Lock  \n", 1);
    EXPECT_EQ(capture.Text(), "");
}

TEST(DebugTraceTest, DebuggerDestinationGetsTheStampThenTheText)
{
    CVirtualClock clock(4242);
    CClockScope scope(clock);
    CStderrCapture capture;
    DebugTrace(TRACE_TO_DEBUGGER, "[Thread%d] %s\n", 2, "50%d");
    EXPECT_EQ(capture.Text(), "{      4242} [Thread2] 50%d\n");
}

TEST(DebugTraceTest, LongTraceTextIsCutNotOverrun)
{
    CStderrCapture capture;
    std::string strLong(3000, 'z');
    DebugTrace(TRACE_TO_DEBUGGER, "%s", strLong.c_str());
    std::string strText = capture.Text();
    EXPECT_EQ(strText.size(), 13u + 1023u);
}

TEST(DebugTraceTest, LogFileOnlyWhenSwitchedOn)
{
    std::string strPath = LogFilePath();
    ::unlink(strPath.c_str());
    OpenLogFile(0);  // the station's call: the facility stays off
    CStderrCapture capture;
    DebugTrace(TRACE_TO_FILE, "[DLG] %d\n", 7);
    CloseLogFile(0);
    EXPECT_EQ(capture.Text(), "");
    EXPECT_NE(::access(strPath.c_str(), F_OK), 0) << "the log file must never be created";

    // Switched on, the file is emptied and gets the texts unchanged. (One test, because the
    // test programs run in parallel and share the file beside the executable.)
    {
        std::ofstream old(strPath);
        old << "old contents\n";
    }
    CVirtualClock clock(17);
    CClockScope scope(clock);
    OpenLogFile(1);
    EXPECT_EQ(ReadFile(strPath), "");
    {
        CStderrCapture capture;
        DebugTrace(TRACE_TO_FILE, "[SERIAL_DEVICE_Read %d] %s\n", 3, "100% 0x%x");
        EXPECT_EQ(capture.Text(), "");  // the debugger destination was not asked for
    }
    CloseLogFile(0);  // enable 0 leaves it open
    DebugTrace(TRACE_TO_FILE | TRACE_TO_DEBUGGER, "second\n");
    CloseLogFile(1);
    DebugTrace(TRACE_TO_FILE, "after close\n");
    EXPECT_EQ(ReadFile(strPath), "{        17} [SERIAL_DEVICE_Read 3] 100% 0x%x\n{        17} second\n");
    ::unlink(strPath.c_str());
}

}  // namespace
