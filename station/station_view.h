// What the engine asks of whoever shows the station: the dialog, the headless command and the
// tests each implement this one small interface. No call may wait for the window thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

class IStationView {
public:
    virtual ~IStationView() = default;

    // A bar's text, percent or colour changed: repaint it soon. Called with the display lock
    // held, so it only records the request.
    virtual void OnBarChanged(int nCh) = 0;
    // The log box now shows this line of channel nCh (-1: the station's own); when several
    // arrive before the window runs, the last one wins. Called with the display lock held.
    virtual void OnLogLine(int nCh, const std::string& strLine) = 0;
    // The channel's port box text ("NONE" when a worker ends without passing).
    virtual void OnPortText(int nCh, const std::string& strText) = 0;
    // A modal Yes/No question from a worker thread: blocks only that worker. Returns IDYES or
    // IDNO; IDNO as soon as the channel's run flag is cleared.
    virtual int AskYesNo(int nCh, const std::string& strCaption, const std::string& strText,
                         const std::atomic<uint32_t>& bRun) = 0;
    // A modal notice with one OK button, shown by the thread that meets the problem; returns
    // when acknowledged or once the run flag is cleared.
    virtual void ShowMessage(int nCh, const std::string& strText,
                             const std::atomic<uint32_t>& bRun) = 0;
    // The channel's run has ended and its outcome (station/outcome.h) is final. Called on the
    // ending worker's thread without the display lock.
    virtual void OnChannelEnded(int /*nCh*/) {}
};

// Shows nothing and answers No: the default until a real view is attached.
class CNullStationView : public IStationView {
public:
    void OnBarChanged(int) override {}
    void OnLogLine(int, const std::string&) override {}
    void OnPortText(int, const std::string&) override {}
    int AskYesNo(int, const std::string&, const std::string&, const std::atomic<uint32_t>&) override
    {
        return IDNO;
    }
    void ShowMessage(int, const std::string&, const std::atomic<uint32_t>&) override {}
};
