#include "console/text_progress_ctrl.h"

#include <QPainter>

#include "station/clock.h"
#include "station/status.h"

int TEXT_PROGRESS_Split(int nWidth, int nPercent)
{
    return static_cast<int>(static_cast<int64_t>(nWidth) * nPercent / 100);
}

CTextProgressCtrl::CTextProgressCtrl(QWidget* pParent) : QProgressBar(pParent)
{
    setTextVisible(false);
}

void CTextProgressCtrl::InitBar()
{
    QFont font("Tahoma");
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);  // a cell height of 13 holds about 11 pixels of character height
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    setFont(font);
    setRange(0, 100);
    setValue(0);
}

void CTextProgressCtrl::Shown(std::string& strText, int& nPercent, uint8_t& byRed, uint8_t& byGreen,
                              uint8_t& byBlue) const
{
    BAR_STATE state;
    if (m_pState) state = m_pState->GetState();
    STATUS_Shown(state, CLOCK_Get().GetTickCount(), strText, nPercent);
    byRed = state.byRed;
    byGreen = state.byGreen;
    byBlue = state.byBlue;
}

void CTextProgressCtrl::paintEvent(QPaintEvent*)
{
    std::string strShown;
    int nPercent;
    uint8_t byRed, byGreen, byBlue;
    Shown(strShown, nPercent, byRed, byGreen, byBlue);
    const QColor colour(byRed, byGreen, byBlue);
    const QRect client = rect();
    const int x = TEXT_PROGRESS_Split(client.width(), nPercent);
    const QRect filled(0, 0, x, client.height());
    const QRect rest(x, 0, client.width() - x, client.height());
    const QString strText = QString::fromStdString(strShown);
    const int nFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;

    QPainter painter(this);
    painter.setFont(font());
    painter.fillRect(filled, colour);
    painter.fillRect(rest, Qt::white);
    painter.setClipRect(filled);
    painter.setPen(Qt::white);
    painter.drawText(client, nFlags, strText);
    painter.setClipRect(rest);
    painter.setPen(colour);
    painter.drawText(client, nFlags, strText);
}
