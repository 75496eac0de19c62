#include "support/channel_fixture.h"

void CRecordingView::OnBarChanged(int nCh)
{
    BAR_STATE state = m_pCore->m_ctrlProgress[nCh].GetState();
    std::lock_guard<std::mutex> lock(m_cs);
    m_aBar.push_back({nCh, std::move(state)});
}

void CRecordingView::OnLogLine(const std::string& strLine)
{
    std::lock_guard<std::mutex> lock(m_cs);
    m_aLog.push_back(strLine);
}

void CRecordingView::OnPortText(int nCh, const std::string& strText)
{
    std::lock_guard<std::mutex> lock(m_cs);
    m_aPort.emplace_back(nCh, strText);
}

int CRecordingView::AskYesNo(int, const std::string&, const std::string&,
                             const std::atomic<uint32_t>& bRun)
{
    ++m_nQuestions;
    return bRun.load() ? m_nAnswer.load() : IDNO;
}

void CRecordingView::ShowMessage(int, const std::string& strText, const std::atomic<uint32_t>&)
{
    std::lock_guard<std::mutex> lock(m_cs);
    m_aMessage.push_back(strText);
}

std::vector<BAR_EVENT> CRecordingView::BarEvents() const
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_aBar;
}

std::vector<std::string> CRecordingView::BarTexts(int nCh) const
{
    std::lock_guard<std::mutex> lock(m_cs);
    std::vector<std::string> aText;
    for (const BAR_EVENT& event : m_aBar) {
        if (event.nCh != nCh) continue;
        if (aText.empty() || aText.back() != event.state.strText) aText.push_back(event.state.strText);
    }
    return aText;
}

std::vector<std::string> CRecordingView::LogLines() const
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_aLog;
}

std::vector<std::string> CRecordingView::PortTexts(int nCh) const
{
    std::lock_guard<std::mutex> lock(m_cs);
    std::vector<std::string> aText;
    for (const auto& entry : m_aPort)
        if (entry.first == nCh) aText.push_back(entry.second);
    return aText;
}

std::vector<std::string> CRecordingView::Messages() const
{
    std::lock_guard<std::mutex> lock(m_cs);
    return m_aMessage;
}

void CRecordingView::Clear()
{
    std::lock_guard<std::mutex> lock(m_cs);
    m_aBar.clear();
    m_aLog.clear();
    m_aPort.clear();
    m_aMessage.clear();
}

std::vector<uint8_t> FIXTURE_Pattern(size_t nSize, uint32_t dwSeed)
{
    std::vector<uint8_t> data(nSize);
    uint32_t dwState = dwSeed * 2654435761u + 1;
    for (size_t i = 0; i < nSize; ++i) {
        dwState = dwState * 1103515245u + 12345u;
        data[i] = static_cast<uint8_t>(dwState >> 16);
    }
    return data;
}
