// The bar as it appears on screen: the split, the fill, and the text white over the fill and in
// the bar's colour beyond it, read back from grabbed pixels.

#include <QImage>
#include <QtTest>

#include <mutex>

#include "console/text_progress_ctrl.h"
#include "station/status.h"

namespace {

struct PIXELS {
    int nFill = 0;         // columns of the middle row in the bar's colour or white-on-fill text
    bool bWhiteText = false;   // white pixels inside the fill (the text)
    bool bColourText = false;  // coloured pixels beyond the fill (the text)
    bool bWhiteRest = false;   // white background beyond the fill
};

bool Near(QRgb c, QColor want) { return qAbs(qRed(c) - want.red()) + qAbs(qGreen(c) - want.green()) + qAbs(qBlue(c) - want.blue()) < 60; }

// The fill ends where the top row (no text there) turns white.
PIXELS Read(const QImage& img, QColor colour, int nFillEnd)
{
    PIXELS p;
    for (int x = 0; x < img.width(); ++x)
        if (Near(img.pixel(x, 0), colour)) ++p.nFill;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb c = img.pixel(x, y);
            if (x < nFillEnd && Near(c, Qt::white)) p.bWhiteText = true;
            if (x >= nFillEnd && Near(c, colour)) p.bColourText = true;
            if (x >= nFillEnd && Near(c, Qt::white)) p.bWhiteRest = true;
        }
    }
    return p;
}

}  // namespace

class TextProgressCtrl : public QObject {
    Q_OBJECT
private slots:
    void SplitTruncatesTowardZero()
    {
        const struct {
            int nWidth, nPercent, nSplit;
        } aCase[] = {{150, 1, 1}, {150, 57, 85}, {150, 100, 150}, {150, 0, 0}, {199, 99, 197}};
        for (const auto& c : aCase) QCOMPARE(TEXT_PROGRESS_Split(c.nWidth, c.nPercent), c.nSplit);
    }

    void PaintsFillAndTextOnBothSides()
    {
        std::mutex csDisplay;
        CTextProgressState state;
        CTextProgressCtrl bar;
        bar.Attach(&state);
        bar.InitBar();
        bar.resize(150, 22);
        const QColor red(255, 0, 0), green(0, 255, 0), blue(0, 0, 255);
        const struct {
            const char* szWhy;
            int nKind, nPercent;
            QColor colour;
            int nFill;
            bool bWhiteText, bColourText, bWhiteRest;
        } aCase[] = {
            // An error after 57 %: the fill stays, white text over it, red text beyond.
            {"error at 57 %", Error, 57, red, 85, true, true, true},
            {"1 % of 150 px", PdaDownloading, 1, blue, 1, false, true, true},
            {"PASS at 100 %", Pass, 100, green, 150, true, false, false},
        };
        for (const auto& c : aCase) {
            if (c.nKind == Error) state.ShowStatus(0, csDisplay, nullptr, AmssFlashing, c.nPercent, 0);
            state.ShowStatus(0, csDisplay, " Send Partition Table Fail! Check the phone and its cable", c.nKind, c.nKind == Error ? 0 : c.nPercent, 65999);
            const PIXELS p = Read(bar.grab().toImage(), c.colour, c.nFill);
            QVERIFY2(p.nFill == c.nFill, c.szWhy);
            QVERIFY2(p.bWhiteText == c.bWhiteText, c.szWhy);
            QVERIFY2(p.bColourText == c.bColourText, c.szWhy);
            QVERIFY2(p.bWhiteRest == c.bWhiteRest, c.szWhy);
        }
        // A free text empties the fill and keeps the colour: green text on white.
        state.ShowText(csDisplay, " Ready", 0);
        const PIXELS p = Read(bar.grab().toImage(), green, 0);
        QCOMPARE(p.nFill, 0);
        QVERIFY(p.bColourText && p.bWhiteRest);
    }
};

QTEST_MAIN(TextProgressCtrl)
#include "text_progress_ctrl_test.moc"
