// How workers reach the window: bar repaints, the log line, port texts and the modal questions
// wait in a small mailbox under a mutex of our own, and one write to an event descriptor that the
// GUI thread watches wakes it; no Qt object is touched off the GUI thread. A worker never touches
// a widget and never waits for the GUI thread, except in a question, whose wait also ends (as No)
// once the channel's run flag is cleared.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/channel_context.h"
#include "station/station_view.h"

#include "settings/message_box.h"
class QWidget;

// What the window does with what arrives; called on the GUI thread only.
struct DIALOG_SINK {
    std::function<void(int nCh)> fnRepaintBar;
    std::function<void(const std::string& strLine)> fnShowLog;
    std::function<void(int nCh, const std::string& strText)> fnPortText;
    std::function<void()> fnDayCounts;  // the day's result counts have changed
    std::function<void(int nCh)> fnChannelEnded;  // the channel's outcome is final
    QWidget* pParent = nullptr;  // of the question boxes
};

class CDialogView final : public QObject, public IStationView {
    Q_OBJECT
public:
    explicit CDialogView(DIALOG_SINK sink, QObject* pParent = nullptr);
    ~CDialogView() override;

    void OnBarChanged(int nCh) override;
    void OnLogLine(int nCh, const std::string& strLine) override;
    void OnPortText(int nCh, const std::string& strText) override;
    int AskYesNo(int nCh, const std::string& strCaption, const std::string& strText,
                 const std::atomic<uint32_t>& bRun) override;
    void ShowMessage(int nCh, const std::string& strText, const std::atomic<uint32_t>& bRun) override;
    void OnChannelEnded(int nCh) override;

    // Question boxes open now (GUI thread).
    int OpenQuestions() const;
    // Any thread: the day's result counts have changed.
    void OnDayCounts();

public slots:
    // Hands everything waiting in the mailbox to the window (GUI thread).
    void Deliver();

private:
    struct QUESTION {
        int nCh = 0;
        std::string strCaption, strText;
        bool bYesNo = true;
        int nAnswer = IDNO;
        bool bAnswered = false;
        bool bAbandoned = false;  // the worker stopped waiting: the box goes away
        QPointer<CMessageBox> pBox;  // GUI thread only
    };

    void Wake();
    bool OnGuiThread() const;
    int Ask(const std::shared_ptr<QUESTION>& pQuestion, const std::atomic<uint32_t>& bRun);
    void OpenBox(const std::shared_ptr<QUESTION>& pQuestion);

    DIALOG_SINK m_Sink;
    const std::thread::id m_GuiThread;
    int m_fdWake = -1;  // an eventfd
    QSocketNotifier* m_pWakeNotifier = nullptr;
    std::atomic<bool> m_bWakePending{false};
    std::atomic<uint32_t> m_dwDirtyBars{0};
    std::atomic<uint32_t> m_dwEnded{0};
    std::atomic<bool> m_bDayCounts{false};

    std::mutex m_csMail;
    std::condition_variable m_cvAnswer;
    bool m_bHaveLog = false;
    std::string m_strLog;
    bool m_abHavePort[MAX_CHANNEL] = {};
    std::string m_astrPort[MAX_CHANNEL];
    std::vector<std::shared_ptr<QUESTION>> m_aNew;        // not shown yet
    std::vector<std::shared_ptr<QUESTION>> m_aAbandoned;  // to be closed
    std::vector<std::shared_ptr<QUESTION>> m_aOpen;       // GUI thread only
};
