// What the dialog would show, printed by quillon-flash: every change of a bar's text, every log
// line, question and message, and how each channel ended, as plain lines or one JSON object per
// line; on a terminal only the questions and messages, as notes above the live view.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "headless/live_view.h"
#include "headless/options.h"
#include "station/terminal_output.h"
#include "images/image_controls.h"
#include "station/channel_context.h"
#include "station/station_view.h"
#include "station/status.h"

class CVarnDLCore;

// Prints what the dialog would show, through the output buffer: bar and log calls arrive with
// the display lock held, and nothing here waits for the reader or for another thread. With the
// terminal view, the bars are drawn from their state and only questions and messages are noted.
class CHeadlessView final : public IStationView {
public:
    CHeadlessView(CVarnDLCore& core, const OPTIONS& opt, CTerminalOutput& out, CLiveView* pLive);

    void OnBarChanged(int nCh) override;
    void OnLogLine(int nCh, const std::string& strLine) override;
    void OnPortText(int nCh, const std::string& strText) override;
    int AskYesNo(int nCh, const std::string& strCaption, const std::string& strText,
                 const std::atomic<uint32_t>&) override;
    void ShowMessage(int nCh, const std::string& strText, const std::atomic<uint32_t>&) override;
    // How the channel's run ended, once: "[CH0] outcome failed in pda: PDA WRITE FLASH Failed!".
    void OnChannelEnded(int nCh) override;
    // Told of every bar change and every channel's end (bEnded), whatever is printed, on the
    // thread that made it; it must not wait. Set while no worker runs.
    void SetOnChannel(std::function<void(int nCh, bool bEnded)> fnChannel) { m_fnChannel = std::move(fnChannel); }
    // The end of a station that took phones as they came: how many passed and how many not,
    // as a line (or JSON event) of its own after the channels' outcomes.
    void OnWatchEnded(uint32_t nPassed, uint32_t nNotPassed);

private:
    static std::string JsonHead(const char* szType, int nCh);
    static std::string PlainHead(int nCh);

    CVarnDLCore& m_core;
    const OPTIONS& m_opt;
    CTerminalOutput& m_out;
    CLiveView* const m_pLive;
    std::function<void(int nCh, bool bEnded)> m_fnChannel;
    std::mutex m_csLast;
    bool m_bHaveText[MAX_CHANNEL] = {};
    BAR_STATE m_aLast[MAX_CHANNEL];
};

// Image selection without a window: the message boxes go to stderr, the stored ticks are the
// ones the command line chose.
class CHeadlessImageControls final : public CNullImageControls {
public:
    explicit CHeadlessImageControls(CVarnDLCore& core) : m_core(core) {}
    void ApplyStoredTicks() override;
    void ShowMessage(const std::string& strText) override;

private:
    CVarnDLCore& m_core;
};
