#include "console/dialog_view.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

#include "settings/message_box.h"

namespace {
// A question's wait looks at the run flag this often.
constexpr auto QUESTION_POLL = std::chrono::milliseconds(100);
}

CDialogView::CDialogView(DIALOG_SINK sink, QObject* pParent)
    : QObject(pParent), m_Sink(std::move(sink)), m_GuiThread(std::this_thread::get_id())
{
    m_fdWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fdWake >= 0) {
        m_pWakeNotifier = new QSocketNotifier(m_fdWake, QSocketNotifier::Read, this);
        connect(m_pWakeNotifier, &QSocketNotifier::activated, this, [this] {
            uint64_t qwCount;
            [[maybe_unused]] const ssize_t n = ::read(m_fdWake, &qwCount, sizeof(qwCount));
            Deliver();
        });
    }
}

CDialogView::~CDialogView()
{
    for (auto& pQuestion : m_aOpen)
        if (pQuestion->pBox) delete pQuestion->pBox.data();
    delete m_pWakeNotifier;
    if (m_fdWake >= 0) ::close(m_fdWake);
}

bool CDialogView::OnGuiThread() const { return std::this_thread::get_id() == m_GuiThread; }

void CDialogView::Wake()
{
    if (OnGuiThread()) {
        Deliver();
        return;
    }
    // One wake-up at a time, carrying no data: the mailbox holds it, under our own mutex.
    if (!m_bWakePending.exchange(true)) {
        const uint64_t qwOne = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_fdWake, &qwOne, sizeof(qwOne));
    }
}

void CDialogView::OnBarChanged(int nCh)
{
    if (nCh < 0 || nCh >= MAX_CHANNEL) return;
    if (OnGuiThread()) {
        if (m_Sink.fnRepaintBar) m_Sink.fnRepaintBar(nCh);
        return;
    }
    m_dwDirtyBars.fetch_or(1u << nCh);
    Wake();
}

void CDialogView::OnChannelEnded(int nCh)
{
    if (nCh < 0 || nCh >= MAX_CHANNEL) return;
    m_dwEnded.fetch_or(1u << nCh);
    Wake();
}

void CDialogView::OnDayCounts()
{
    m_bDayCounts = true;
    Wake();
}

void CDialogView::OnLogLine(int /*nCh*/, const std::string& strLine)
{
    {
        std::lock_guard<std::mutex> lock(m_csMail);
        m_strLog = strLine;
        m_bHaveLog = true;
    }
    Wake();
}

void CDialogView::OnPortText(int nCh, const std::string& strText)
{
    if (nCh < 0 || nCh >= MAX_CHANNEL) return;
    {
        std::lock_guard<std::mutex> lock(m_csMail);
        m_astrPort[nCh] = strText;
        m_abHavePort[nCh] = true;
    }
    Wake();
}

int CDialogView::AskYesNo(int nCh, const std::string& strCaption, const std::string& strText,
                          const std::atomic<uint32_t>& bRun)
{
    auto pQuestion = std::make_shared<QUESTION>();
    pQuestion->nCh = nCh;
    pQuestion->strCaption = strCaption;
    pQuestion->strText = strText;
    pQuestion->bYesNo = true;
    return Ask(pQuestion, bRun);
}

void CDialogView::ShowMessage(int nCh, const std::string& strText, const std::atomic<uint32_t>& bRun)
{
    auto pQuestion = std::make_shared<QUESTION>();
    pQuestion->nCh = nCh;
    pQuestion->strText = strText;
    pQuestion->bYesNo = false;
    Ask(pQuestion, bRun);
}

int CDialogView::Ask(const std::shared_ptr<QUESTION>& pQuestion, const std::atomic<uint32_t>& bRun)
{
    if (OnGuiThread()) {
        // Not a worker: nothing else can answer meanwhile, so the box is simply modal.
        return CMessageBox::Ask(m_Sink.pParent, QString::fromStdString(pQuestion->strCaption),
                                QString::fromStdString(pQuestion->strText),
                                pQuestion->bYesNo ? CMessageBox::MB_YESNO : CMessageBox::MB_OK);
    }
    std::unique_lock<std::mutex> lock(m_csMail);
    m_aNew.push_back(pQuestion);
    lock.unlock();
    Wake();
    lock.lock();
    while (!pQuestion->bAnswered) {
        if (!bRun) {
            // Stopped: the answer is No and the box must not outlive the question.
            pQuestion->bAbandoned = true;
            pQuestion->nAnswer = pQuestion->bYesNo ? IDNO : IDOK;
            m_aAbandoned.push_back(pQuestion);
            lock.unlock();
            Wake();
            return pQuestion->nAnswer;
        }
        m_cvAnswer.wait_for(lock, QUESTION_POLL);
    }
    return pQuestion->nAnswer;
}

void CDialogView::OpenBox(const std::shared_ptr<QUESTION>& pQuestion)
{
    auto* pBox = new CMessageBox(m_Sink.pParent, QString::fromStdString(pQuestion->strCaption),
                                 QString::fromStdString(pQuestion->strText),
                                 pQuestion->bYesNo ? CMessageBox::MB_YESNO : CMessageBox::MB_OK);
    pBox->setObjectName(QString("question%1").arg(pQuestion->nCh));
    // Modal for the operator, but shown without a nested event loop: the Start loop and the
    // other channels go on while the box waits.
    pBox->setWindowModality(Qt::ApplicationModal);
    pQuestion->pBox = pBox;
    connect(pBox, &QDialog::finished, this, [this, pQuestion](int nResult) {
        {
            std::lock_guard<std::mutex> lock(m_csMail);
            if (!pQuestion->bAbandoned) {
                pQuestion->nAnswer = !pQuestion->bYesNo ? IDOK : nResult == IDYES ? IDYES : IDNO;
                pQuestion->bAnswered = true;
            }
        }
        m_cvAnswer.notify_all();
        if (pQuestion->pBox) pQuestion->pBox->deleteLater();
        std::erase(m_aOpen, pQuestion);
    });
    m_aOpen.push_back(pQuestion);
    pBox->show();
}

void CDialogView::Deliver()
{
    m_bWakePending = false;
    const uint32_t dwBars = m_dwDirtyBars.exchange(0);
    std::string strLog;
    bool bLog = false;
    std::string astrPort[MAX_CHANNEL];
    bool abPort[MAX_CHANNEL] = {};
    std::vector<std::shared_ptr<QUESTION>> aNew, aAbandoned;
    {
        std::lock_guard<std::mutex> lock(m_csMail);
        bLog = m_bHaveLog;
        m_bHaveLog = false;
        strLog.swap(m_strLog);
        for (int i = 0; i < MAX_CHANNEL; ++i) {
            abPort[i] = m_abHavePort[i];
            m_abHavePort[i] = false;
            astrPort[i].swap(m_astrPort[i]);
        }
        aNew.swap(m_aNew);
        aAbandoned.swap(m_aAbandoned);
    }
    for (int i = 0; i < MAX_CHANNEL; ++i)
        if ((dwBars & (1u << i)) && m_Sink.fnRepaintBar) m_Sink.fnRepaintBar(i);
    if (bLog && m_Sink.fnShowLog) m_Sink.fnShowLog(strLog);
    // After the bars: a channel's end is told with the bar it ended on.
    const uint32_t dwEnded = m_dwEnded.exchange(0);
    for (int i = 0; i < MAX_CHANNEL; ++i)
        if ((dwEnded & (1u << i)) && m_Sink.fnChannelEnded) m_Sink.fnChannelEnded(i);
    if (m_bDayCounts.exchange(false) && m_Sink.fnDayCounts) m_Sink.fnDayCounts();
    for (int i = 0; i < MAX_CHANNEL; ++i)
        if (abPort[i] && m_Sink.fnPortText) m_Sink.fnPortText(i, astrPort[i]);
    for (auto& pQuestion : aNew) {
        // A question given up before its box was shown needs no box.
        bool bGone;
        {
            std::lock_guard<std::mutex> lock(m_csMail);
            bGone = pQuestion->bAbandoned;
        }
        if (!bGone) OpenBox(pQuestion);
    }
    for (auto& pQuestion : aAbandoned)
        if (pQuestion->pBox) pQuestion->pBox->reject();
}

int CDialogView::OpenQuestions() const { return static_cast<int>(m_aOpen.size()); }
