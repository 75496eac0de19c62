// The text over each channel's progress bar: the phase with its percentage, the result, or a
// connection message, with its colour. The state lives here without any widget; the dialog's
// bar paints it, the headless station prints it. ShowText and ShowStatus run under the display
// lock; the colour and position setters only take the bar's own short lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class CVarnDLCore;

// The numbers are fixed: the fallback text prints them. A region's "Flashing Image" kind is
// its "Downloading" kind plus 16.
enum StatusKind : int {
    MibibDownloading = 0,
    QcsblDownloading = 1,
    OemsblDownloading = 2,
    AmssDownloading = 3,
    EfsErasing = 4,
    AppsblDownloading = 5,
    PdaDownloading = 6,
    CarrierDownloading = 7,
    HiddenDownloading = 8,
    Error = 9,
    Pass = 10,
    EfsBackupDownloading = 11,
    FotaDownloading = 12,
    MibibFlashing = 16,
    QcsblFlashing = 17,
    OemsblFlashing = 18,
    AmssFlashing = 19,
    AppsblFlashing = 21,
    PdaFlashing = 22,
    FotaFlashing = 28,
};

constexpr int STATUS_TEXT_MAX = 99;

// One consistent copy of what a bar shows.
struct BAR_STATE {
    std::string strText;
    int nPercent = 0;
    uint8_t byRed = 0;
    uint8_t byGreen = 0;
    uint8_t byBlue = 255;
    int nPosition = 0;  // the native position: kept, never drawn
    // A wait counted down after the text (the reboot wait): its start on the station's clock and
    // its length; 0: none. Whoever shows the bar adds the seconds left and fills it as it goes.
    uint32_t dwWaitStartTick = 0;
    uint32_t dwWaitMs = 0;
};

// What a bar shows at tick dwNow: its text and fill, or during a wait the text followed by the
// seconds left ("   Varn Reboot  87 s") and the part of the wait that has passed as the fill.
void STATUS_Shown(const BAR_STATE& state, uint32_t dwNow, std::string& strText, int& nPercent);

// Formats the text of a kind (the error text for Error, the seconds for Pass) and its colour.
void STATUS_Format(int nKind, int nPercent, uint32_t dwElapsedMs, const char* szError,
                   std::string& strText, uint8_t& byRed, uint8_t& byGreen, uint8_t& byBlue);

class CTextProgressState {
public:
    // Which channel this bar shows and whom to ask for a repaint.
    void Bind(CVarnDLCore* pCore, int nCh);
    void InitBar();
    void SetBarColor(uint8_t byRed, uint8_t byGreen, uint8_t byBlue);
    void SetPos(int nPosition);
    // A free text with the fill emptied; the colour stays.
    void ShowText(std::mutex& csDisplay, const std::string& strText, int nPosition);
    // A text from the kind table; a percent of 0 keeps the fill reached so far.
    void ShowStatus(int nCh, std::mutex& csDisplay, const char* szError, int nKind, int nPercent,
                    uint32_t dwElapsedMs);
    // Counts a wait of dwWaitMs down from dwStartTick after the text shown; the next text ends it.
    void ShowWait(std::mutex& csDisplay, uint32_t dwStartTick, uint32_t dwWaitMs);
    BAR_STATE GetState() const;

private:
    mutable std::mutex m_csBar;  // the bar's own short lock, held only to copy or store
    BAR_STATE m_State;
    CVarnDLCore* m_pCore = nullptr;
    int m_nCh = 0;
};
