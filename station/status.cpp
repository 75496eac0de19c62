#include "station/status.h"

#include <algorithm>
#include <cstdio>

#include "station/station_core.h"

namespace {
// The format of a region kind, or null for the kinds that have none of their own.
const char* KindFormat(int nKind)
{
    switch (nKind) {
    case MibibDownloading: return " MIBIB Downloading... %d%%";
    case QcsblDownloading: return " QCSBL Downloading... %d%%";
    case OemsblDownloading: return " OEMSBL Downloading... %d%%";
    case AmssDownloading: return " AMSS Downloading... %d%%";
    case AppsblDownloading: return " APPSBL Downloading... %d%%";
    case PdaDownloading: return " PDA Downloading... %d%%";
    case CarrierDownloading: return " CARRIER Downloading... %d%%";
    case HiddenDownloading: return " HIDDEN Downloading... %d%%";
    case EfsBackupDownloading: return " EFS Backup Downloading... %d%%";
    case FotaDownloading: return " FOTA Downloading... %d%%";
    case MibibFlashing: return " MIBIB Flashing Image... %d%%";
    case QcsblFlashing: return " QCSBL Flashing Image... %d%%";
    case OemsblFlashing: return " OEMSBL Flashing Image... %d%%";
    case AmssFlashing: return " AMSS Flashing Image... %d%%";
    case AppsblFlashing: return " APPSBL Flashing Image... %d%%";
    case PdaFlashing: return " PDA Flashing Image... %d%%";
    case FotaFlashing: return " FOTA Flashing Image... %d%%";
    default: return nullptr;
    }
}
}  // namespace

void STATUS_Format(int nKind, int nPercent, uint32_t dwElapsedMs, const char* szError,
                   std::string& strText, uint8_t& byRed, uint8_t& byGreen, uint8_t& byBlue)
{
    char szBuf[STATUS_TEXT_MAX + 1];
    byRed = 0;
    byGreen = 0;
    byBlue = 255;
    if (nKind == Error) {
        byRed = 255;
        byBlue = 0;
        strText = szError ? szError : "";
        return;
    }
    if (nKind == Pass) {
        byGreen = 255;
        byBlue = 0;
        std::snprintf(szBuf, sizeof(szBuf), " Download PASS. [ %u Sec.]", dwElapsedMs / 1000);
    } else if (nKind == EfsErasing) {
        std::snprintf(szBuf, sizeof(szBuf), " EFS Erase Data... ");
    } else if (const char* szFormat = KindFormat(nKind)) {
        std::snprintf(szBuf, sizeof(szBuf), szFormat, nPercent);
    } else {
        std::snprintf(szBuf, sizeof(szBuf), " non %d - %d%%... ", nKind, nPercent);
    }
    strText = szBuf;
}

void STATUS_Shown(const BAR_STATE& state, uint32_t dwNow, std::string& strText, int& nPercent)
{
    strText = state.strText;
    nPercent = state.nPercent;
    if (state.dwWaitMs == 0) return;
    const uint32_t dwPassed = std::min(dwNow - state.dwWaitStartTick, state.dwWaitMs);
    const uint32_t dwLeftMs = state.dwWaitMs - dwPassed;
    char szLeft[32];
    std::snprintf(szLeft, sizeof(szLeft), "  %u s", dwLeftMs / 1000 + (dwLeftMs % 1000 != 0));
    strText += szLeft;
    nPercent = static_cast<int>(uint64_t(dwPassed) * 100 / state.dwWaitMs);
}

void CTextProgressState::Bind(CVarnDLCore* pCore, int nCh)
{
    m_pCore = pCore;
    m_nCh = nCh;
}

void CTextProgressState::InitBar()
{
    // The range is 0..100 by construction; the face belongs to whoever paints.
    std::lock_guard<std::mutex> lock(m_csBar);
    m_State.nPosition = 0;
}

void CTextProgressState::SetBarColor(uint8_t byRed, uint8_t byGreen, uint8_t byBlue)
{
    std::lock_guard<std::mutex> lock(m_csBar);
    m_State.byRed = byRed;
    m_State.byGreen = byGreen;
    m_State.byBlue = byBlue;
}

void CTextProgressState::SetPos(int nPosition)
{
    std::lock_guard<std::mutex> lock(m_csBar);
    m_State.nPosition = nPosition;
}

void CTextProgressState::ShowText(std::mutex& csDisplay, const std::string& strText, int nPosition)
{
    {
        std::lock_guard<std::mutex> display(csDisplay);
        std::lock_guard<std::mutex> lock(m_csBar);
        m_State.strText = strText;
        m_State.nPercent = 0;
        m_State.nPosition = nPosition;
        m_State.dwWaitMs = 0;
    }
    // The repaint is only requested, after the lock is released: a worker never waits for
    // the window thread.
    if (m_pCore) m_pCore->View().OnBarChanged(m_nCh);
}

void CTextProgressState::ShowStatus(int /*nCh*/, std::mutex& csDisplay, const char* szError,
                                    int nKind, int nPercent, uint32_t dwElapsedMs)
{
    std::string strText;
    uint8_t byRed, byGreen, byBlue;
    STATUS_Format(nKind, nPercent, dwElapsedMs, szError, strText, byRed, byGreen, byBlue);
    std::lock_guard<std::mutex> display(csDisplay);
    {
        std::lock_guard<std::mutex> lock(m_csBar);
        // The fill never leaves the bar, whatever a caller passes; the text keeps the number.
        if (nPercent != 0) m_State.nPercent = nPercent < 0 ? 0 : (nPercent > 100 ? 100 : nPercent);
        m_State.byRed = byRed;
        m_State.byGreen = byGreen;
        m_State.byBlue = byBlue;
        m_State.strText = std::move(strText);
        m_State.dwWaitMs = 0;
    }
    // Drawn at once by whoever shows the bar; the view only records the request and never
    // waits, so holding the display lock here is safe.
    if (m_pCore) m_pCore->View().OnBarChanged(m_nCh);
}

void CTextProgressState::ShowWait(std::mutex& csDisplay, uint32_t dwStartTick, uint32_t dwWaitMs)
{
    {
        std::lock_guard<std::mutex> display(csDisplay);
        std::lock_guard<std::mutex> lock(m_csBar);
        m_State.dwWaitStartTick = dwStartTick;
        m_State.dwWaitMs = dwWaitMs;
    }
    if (m_pCore) m_pCore->View().OnBarChanged(m_nCh);
}

BAR_STATE CTextProgressState::GetState() const
{
    std::lock_guard<std::mutex> lock(m_csBar);
    return m_State;
}
