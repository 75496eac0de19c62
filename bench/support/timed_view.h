// A station view for the benchmarks that run the dialog in a child process: it passes every
// call on to the dialog's own view and prints each log line with its channel and the channel's
// port on standard output, so that the parent stamps them with its own clock.
#pragma once

#include <atomic>
#include <string>

#include "station/station_view.h"

class CVarnDLCore;

// Lines printed: "[CH<n> COM<p>] <log line>", n -1 for a line of the window thread, p the port
// the station holds for the channel (0 for none).
class CBenchTimedView final : public IStationView {
public:
    CBenchTimedView(IStationView& inner, const CVarnDLCore& core) : m_Inner(inner), m_Core(core) {}
    void OnBarChanged(int nCh) override { m_Inner.OnBarChanged(nCh); }
    void OnLogLine(int nCh, const std::string& strLine) override;
    void OnPortText(int nCh, const std::string& strText) override { m_Inner.OnPortText(nCh, strText); }
    int AskYesNo(int nCh, const std::string& strCaption, const std::string& strText,
                 const std::atomic<uint32_t>& bRun) override
    {
        return m_Inner.AskYesNo(nCh, strCaption, strText, bRun);
    }
    void ShowMessage(int nCh, const std::string& strText, const std::atomic<uint32_t>& bRun) override
    {
        m_Inner.ShowMessage(nCh, strText, bRun);
    }

private:
    IStationView& m_Inner;
    const CVarnDLCore& m_Core;
};
