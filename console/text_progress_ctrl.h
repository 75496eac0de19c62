// A channel's progress bar with one line of text over its fill: white over the coloured part,
// in the bar's colour over the white rest. It paints the state a worker stored in the core's
// CTextProgressState, copied under that state's own short lock; workers never paint. A wait the
// state counts down is drawn as of the station's clock at the moment of painting.
#pragma once

#include <QProgressBar>

#include <cstdint>
#include <string>

class CTextProgressState;

// The split between fill and rest for a client width and a percent, truncated toward zero.
int TEXT_PROGRESS_Split(int nWidth, int nPercent);

class CTextProgressCtrl : public QProgressBar {
    Q_OBJECT
public:
    explicit CTextProgressCtrl(QWidget* pParent = nullptr);
    // The state this bar shows; it outlives the bar.
    void Attach(const CTextProgressState* pState) { m_pState = pState; }
    // The face ("Tahoma", 13 pixels of cell height, normal weight; the nearest sans face where
    // it is missing) and the range 0..100.
    void InitBar();
    // What the bar shows now: its text and fill, a wait's seconds and progress among them.
    void Shown(std::string& strText, int& nPercent, uint8_t& byRed, uint8_t& byGreen, uint8_t& byBlue) const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    const CTextProgressState* m_pState = nullptr;
};
