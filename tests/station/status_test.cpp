// The bar's texts by kind, its colours, and how the two setters treat fill, colour and position.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "station/station_core.h"
#include "station/status.h"
#include "support/channel_fixture.h"

namespace {

struct KIND_TEXT {
    int nKind;
    const char* szText;  // with the percent 42
};

std::string Format(int nKind, int nPercent, uint32_t dwMs = 0, const char* szError = nullptr)
{
    std::string strText;
    uint8_t r, g, b;
    STATUS_Format(nKind, nPercent, dwMs, szError, strText, r, g, b);
    return strText;
}

void Colour(int nKind, uint8_t& r, uint8_t& g, uint8_t& b)
{
    std::string strText;
    STATUS_Format(nKind, 1, 0, "x", strText, r, g, b);
}

TEST(StatusTextTable, EveryRegionKindShowsItsTextWithThePercentInBlue)
{
    const KIND_TEXT aTable[] = {
        {0, " MIBIB Downloading... 42%"},          {1, " QCSBL Downloading... 42%"},
        {2, " OEMSBL Downloading... 42%"},         {3, " AMSS Downloading... 42%"},
        {5, " APPSBL Downloading... 42%"},         {6, " PDA Downloading... 42%"},
        {7, " CARRIER Downloading... 42%"},        {8, " HIDDEN Downloading... 42%"},
        {11, " EFS Backup Downloading... 42%"},    {12, " FOTA Downloading... 42%"},
        {16, " MIBIB Flashing Image... 42%"},      {17, " QCSBL Flashing Image... 42%"},
        {18, " OEMSBL Flashing Image... 42%"},     {19, " AMSS Flashing Image... 42%"},
        {21, " APPSBL Flashing Image... 42%"},     {22, " PDA Flashing Image... 42%"},
        {28, " FOTA Flashing Image... 42%"},
    };
    for (const KIND_TEXT& row : aTable) {
        EXPECT_EQ(Format(row.nKind, 42), row.szText) << "kind " << row.nKind;
        uint8_t r, g, b;
        Colour(row.nKind, r, g, b);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(g, 0);
        EXPECT_EQ(b, 255) << "kind " << row.nKind;
    }
}

TEST(StatusTextTable, KindsWithoutTextFallBackToNumberAndPercent)
{
    for (int nKind : {13, 14, 15, 20, 23, 24, 25, 26, 27, 29, 200}) {
        char szWant[64];
        std::snprintf(szWant, sizeof(szWant), " non %d - %d%%... ", nKind, 40);
        EXPECT_EQ(Format(nKind, 40), szWant);
        uint8_t r, g, b;
        Colour(nKind, r, g, b);
        EXPECT_EQ(b, 255);
        EXPECT_EQ(r, 0);
    }
    EXPECT_EQ(Format(23, 40), " non 23 - 40%... ");
}

TEST(StatusTextTable, SpecialKinds)
{
    EXPECT_EQ(Format(EfsErasing, 0), " EFS Erase Data... ");
    EXPECT_EQ(Format(EfsErasing, 77), " EFS Erase Data... ");

    // Whole seconds, truncated; the percent plays no part.
    EXPECT_EQ(Format(Pass, 100, 65999), " Download PASS. [ 65 Sec.]");
    EXPECT_EQ(Format(Pass, 3, 999), " Download PASS. [ 0 Sec.]");
    EXPECT_EQ(Format(Pass, 100, 0xFFFFFFFFu), " Download PASS. [ 4294967 Sec.]");
    uint8_t r, g, b;
    Colour(Pass, r, g, b);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(g, 255);
    EXPECT_EQ(b, 0);

    // The error text is shown as given: a percent sign in it is not a format.
    EXPECT_EQ(Format(Error, 0, 0, " AMSS ERASE FLASH Failed! 100%d"), " AMSS ERASE FLASH Failed! 100%d");
    EXPECT_EQ(Format(Error, 0, 0, nullptr), "");
    Colour(Error, r, g, b);
    EXPECT_EQ(r, 255);
    EXPECT_EQ(g, 0);
    EXPECT_EQ(b, 0);
}

class StatusBarTest : public ::testing::Test {
protected:
    StatusBarTest() { m_Core.SetView(&m_View); }
    CTextProgressState& Bar(int nCh = 2) { return m_Core.m_ctrlProgress[nCh]; }

    CVarnDLCore m_Core;
    CRecordingView m_View{&m_Core};
};

TEST_F(StatusBarTest, ZeroPercentKeepsTheFillSoAnErrorShowsOverTheFillReached)
{
    Bar().ShowStatus(2, m_Core.m_csDisplay, nullptr, AmssDownloading, 57, 0);
    Bar().ShowStatus(2, m_Core.m_csDisplay, " AMSS WRITE FLASH Failed!", Error, 0, 0);
    BAR_STATE state = Bar().GetState();
    EXPECT_EQ(state.strText, " AMSS WRITE FLASH Failed!");
    EXPECT_EQ(state.nPercent, 57);
    EXPECT_EQ(state.byRed, 255);
    EXPECT_EQ(state.byBlue, 0);
}

TEST_F(StatusBarTest, ShowTextEmptiesTheFillKeepsTheColourAndSetsThePosition)
{
    Bar().ShowStatus(2, m_Core.m_csDisplay, nullptr, Pass, 100, 65999);
    Bar().ShowText(m_Core.m_csDisplay, " Ready - Detect COM7 Port", 3);
    BAR_STATE state = Bar().GetState();
    EXPECT_EQ(state.strText, " Ready - Detect COM7 Port");
    EXPECT_EQ(state.nPercent, 0);
    EXPECT_EQ(state.byGreen, 255);  // the PASS colour stays
    EXPECT_EQ(state.byBlue, 0);
    EXPECT_EQ(state.nPosition, 3);
}

TEST_F(StatusBarTest, ShowStatusLeavesThePositionToTheCaller)
{
    Bar().SetPos(12);
    Bar().ShowStatus(2, m_Core.m_csDisplay, nullptr, PdaDownloading, 90, 0);
    EXPECT_EQ(Bar().GetState().nPosition, 12);
    EXPECT_EQ(Bar().GetState().nPercent, 90);
    Bar().InitBar();
    EXPECT_EQ(Bar().GetState().nPosition, 0);
}

TEST_F(StatusBarTest, FillStaysWithinTheBar)
{
    Bar().ShowStatus(2, m_Core.m_csDisplay, nullptr, AmssDownloading, 130, 0);
    EXPECT_EQ(Bar().GetState().nPercent, 100);
    EXPECT_EQ(Bar().GetState().strText, " AMSS Downloading... 130%");
    Bar().ShowStatus(2, m_Core.m_csDisplay, nullptr, AmssDownloading, -5, 0);
    EXPECT_EQ(Bar().GetState().nPercent, 0);
}

TEST_F(StatusBarTest, EverySetterAsksTheViewToRepaintItsOwnBar)
{
    Bar(5).ShowText(m_Core.m_csDisplay, "Download Start !!!", 0);
    Bar(5).ShowStatus(5, m_Core.m_csDisplay, nullptr, QcsblDownloading, 10, 0);
    std::vector<BAR_EVENT> aEvent = m_View.BarEvents();
    ASSERT_EQ(aEvent.size(), 2u);
    EXPECT_EQ(aEvent[0].nCh, 5);
    EXPECT_EQ(aEvent[0].state.strText, "Download Start !!!");
    EXPECT_EQ(aEvent[1].nCh, 5);
    EXPECT_EQ(aEvent[1].state.strText, " QCSBL Downloading... 10%");
    // Another channel's bar is untouched.
    EXPECT_EQ(Bar(4).GetState().strText, "");
}

}  // namespace
