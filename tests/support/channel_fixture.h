// Shared test scaffolding for everything that drives a channel: a view that records every bar
// change and log line, and a channel opened on a virtual phone over a pseudo-terminal, with the
// core, the transfer buffers and the worker start record ready for the exchanges.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/virtual_phone.h"
#include "station/channel_context.h"
#include "station/clock.h"
#include "station/model_ticks.h"
#include "station/station_core.h"
#include "station/station_view.h"

// One bar change as the view saw it: the whole state copied at that moment.
struct BAR_EVENT {
    int nCh;
    BAR_STATE state;
};

// Keeps everything the core shows. Answers questions with a preset answer.
class CRecordingView : public IStationView {
public:
    explicit CRecordingView(CVarnDLCore* pCore) : m_pCore(pCore) {}

    void OnBarChanged(int nCh) override;
    void OnLogLine(int nCh, const std::string& strLine) override;
    void OnPortText(int nCh, const std::string& strText) override;
    int AskYesNo(int nCh, const std::string& strCaption, const std::string& strText,
                 const std::atomic<uint32_t>& bRun) override;
    void ShowMessage(int nCh, const std::string& strText,
                     const std::atomic<uint32_t>& bRun) override;

    std::vector<BAR_EVENT> BarEvents() const;
    // The texts a channel's bar showed, in order, without repeats of the same text.
    std::vector<std::string> BarTexts(int nCh) const;
    std::vector<std::string> LogLines() const;
    std::vector<std::string> PortTexts(int nCh) const;
    std::vector<std::string> Messages() const;
    void Clear();

    std::atomic<int> m_nAnswer{IDNO};
    std::atomic<int> m_nQuestions{0};

private:
    CVarnDLCore* m_pCore;
    mutable std::mutex m_cs;
    std::vector<BAR_EVENT> m_aBar;
    std::vector<std::string> m_aLog;
    std::vector<std::pair<int, std::string>> m_aPort;
    std::vector<std::string> m_aMessage;
};

// A core with a recording view, a virtual phone, its pseudo-terminal opened as channel nCh,
// the channel's transfer buffers and start record, and a virtual clock for the settles and
// pauses. Everything is undone by the destructor.
class CChannelFixture {
public:
    explicit CChannelFixture(int nCh = 0, PHONE_CONFIG cfg = {});
    ~CChannelFixture();
    CChannelFixture(const CChannelFixture&) = delete;
    CChannelFixture& operator=(const CChannelFixture&) = delete;

    // True when the phone runs and the port is open.
    bool IsOpen() const { return m_bOpen; }
    // Writes `data` to a temporary file and opens it as the channel's image.
    void OpenImage(const std::vector<uint8_t>& data);
    // Points the channel at a region of its own (kept by the fixture).
    void SetRegion(uint32_t dwStart, uint32_t dwFileOffset, uint32_t dwDataLength,
                   uint32_t dwEraseLength = 0);
    // Clears the channel's run flag, from another thread, once the phone has received nCount
    // requests in all: the console's orderly stop, arriving while the exchange waits.
    void StopAfterRequests(size_t nCount);
    // The requests the phone received with this opcode, in order.
    std::vector<REQUEST_RECORD> Requests(int nOpcode = -1) const;

    int m_nCh;
    CVirtualClock m_Clock;
    CClockScope m_ClockScope{m_Clock};
    CVarnDLCore m_Core;
    CRecordingView m_View{&m_Core};
    std::unique_ptr<CVirtualPhone> m_pPhone;
    CBufObj m_Buf;
    ChannelThreadParam m_Param;
    REGION_INFO m_Region{};

private:
    bool m_bOpen = false;
    std::string m_strImagePath;
    std::thread m_Stopper;
};

// A pattern of image bytes that differs at every offset within a region (no two 32 KiB chunks
// alike), so a chunk sent from the wrong offset shows.
std::vector<uint8_t> FIXTURE_Pattern(size_t nSize, uint32_t dwSeed = 1);

// Every "Download Mode" box ticked: a full download of whatever images there are.
MODEL_TICKS FIXTURE_AllTicks();
// A fault on the dwNth to (dwNth + dwCount - 1)-th frame of an opcode (count 0: from the n-th on).
PHONE_FAULT_RULE FIXTURE_Rule(int nOpcode, uint32_t dwNth, PHONE_FAULT_ACTION eAction,
                              uint32_t dwCount = 1);
// How many requests with this opcode (and this kind, unless nKind is -1) the phone received.
size_t FIXTURE_Count(const CVirtualPhone& phone, uint8_t byOpcode, int nKind = -1);
