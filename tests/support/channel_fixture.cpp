#include "images/channel_image.h"
#include "support/channel_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "link/port_table.h"
#include "link/serial_device.h"
#include "protocol/frame.h"

void CRecordingView::OnBarChanged(int nCh)
{
    BAR_STATE state = m_pCore->m_ctrlProgress[nCh].GetState();
    std::lock_guard<std::mutex> lock(m_cs);
    m_aBar.push_back({nCh, std::move(state)});
}

void CRecordingView::OnLogLine(int /*nCh*/, const std::string& strLine)
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

MODEL_TICKS FIXTURE_AllTicks()
{
    MODEL_TICKS t;
    t.dwPBoot = t.dwPhone = t.dwEboot = t.dwPda = t.dwCarrier = t.dwHidden = 1;
    return t;
}

PHONE_FAULT_RULE FIXTURE_Rule(int nOpcode, uint32_t dwNth, PHONE_FAULT_ACTION eAction, uint32_t dwCount)
{
    PHONE_FAULT_RULE rule;
    rule.nOpcode = nOpcode;
    rule.dwNth = dwNth;
    rule.dwCount = dwCount;
    rule.eAction = eAction;
    return rule;
}

size_t FIXTURE_Count(const CVirtualPhone& phone, uint8_t byOpcode, int nKind)
{
    const std::vector<REQUEST_RECORD> aReq = phone.Requests();
    return static_cast<size_t>(std::count_if(aReq.begin(), aReq.end(), [&](const REQUEST_RECORD& r) {
        return r.byOpcode == byOpcode && (nKind < 0 || r.byKind == nKind);
    }));
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

CChannelFixture::CChannelFixture(int nCh, PHONE_CONFIG cfg)
    : m_nCh(nCh), m_pPhone(std::make_unique<CVirtualPhone>(std::move(cfg)))
{
    m_Core.SetView(&m_View);
    STATION_BindParam(m_Param, m_Core, nCh);
    m_Param.pnBufObj = &m_Buf;
    g_aProtocol[nCh].g_bySeq = 0;
    m_Core.m_aChannel[nCh].g_pRegion = &m_Region;
    SERIAL_DEVICE_CreateLock();
    SERIAL_DEVICE_SetStopTest(&m_Core.m_Sink);
    if (!m_pPhone->Start()) return;
    uint32_t nPort = PORT_TABLE_Assign(m_pPhone->SlavePath());
    SERIAL_DEVICE_Close(nCh);
    SERIAL_DEVICE_SetPort(nCh, nPort);
    m_Core.m_aChannel[nCh].m_nComPort = nPort;
    m_Core.m_aChannel[nCh].m_bRun = 1;
    m_bOpen = SERIAL_DEVICE_Open(nCh) == 1;
    FLASH_DOWNLOADER_BeginSession(&m_Param);
}

CChannelFixture::~CChannelFixture()
{
    if (m_Stopper.joinable()) m_Stopper.join();
    m_Core.m_aChannel[m_nCh].m_bRun = 0;
    SERIAL_DEVICE_Close(m_nCh);
    SERIAL_DEVICE_SetPort(m_nCh, 0);
    SERIAL_DEVICE_SetStopTest(nullptr);
    ENGINE_CloseImage(m_nCh);
    m_Core.m_aChannel[m_nCh].g_pRegion = nullptr;
    m_pPhone->Stop();
    if (!m_strImagePath.empty()) ::unlink(m_strImagePath.c_str());
}

void CChannelFixture::OpenImage(const std::vector<uint8_t>& data)
{
    if (m_strImagePath.empty()) {
        char szPath[] = "/tmp/quillon_image_XXXXXX";
        int fd = ::mkstemp(szPath);
        if (fd >= 0) ::close(fd);
        m_strImagePath = szPath;
    }
    FILE* pFile = std::fopen(m_strImagePath.c_str(), "wb");
    if (pFile) {
        if (!data.empty()) std::fwrite(data.data(), 1, data.size(), pFile);
        std::fclose(pFile);
    }
    ENGINE_OpenImage(m_nCh, m_strImagePath.c_str());
}

void CChannelFixture::SetRegion(uint32_t dwStart, uint32_t dwFileOffset, uint32_t dwDataLength,
                                uint32_t dwEraseLength)
{
    m_Region.StartAddr = dwStart;
    m_Region.FileOffset = dwFileOffset;
    m_Region.DataLength = dwDataLength;
    m_Region.EraseLength = dwEraseLength;
    m_Core.m_aChannel[m_nCh].g_pRegion = &m_Region;
}

void CChannelFixture::StopAfterRequests(size_t nCount)
{
    if (m_Stopper.joinable()) m_Stopper.join();
    m_Stopper = std::thread([this, nCount] {
        m_pPhone->WaitRequestCount(nCount, 60000);
        m_Core.m_aChannel[m_nCh].m_bRun = 0;
    });
}

std::vector<REQUEST_RECORD> CChannelFixture::Requests(int nOpcode) const
{
    std::vector<REQUEST_RECORD> aAll = m_pPhone->Requests();
    if (nOpcode < 0) return aAll;
    std::vector<REQUEST_RECORD> aSome;
    for (const REQUEST_RECORD& record : aAll)
        if (record.byOpcode == nOpcode) aSome.push_back(record);
    return aSome;
}
