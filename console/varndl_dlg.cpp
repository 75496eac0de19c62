#include "console/varndl_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdio>

#include "console/dialog_view.h"
#include "console/text_progress_ctrl.h"
#include "engine/port_channels.h"
#include "images/image_select.h"
#include "images/model_table.h"
#include "line/line_publisher.h"
#include "link/serial_device.h"
#include "ports/phone_identity.h"
#include "ports/port_discovery.h"
#include "records/result_record.h"
#include "settings/message_box.h"
#include "settings/option_dialogs.h"
#include "station/clock.h"
#include "station/log.h"
#include "station/model_ticks.h"
#include "station/version.h"

const char* const VARNDL_WINDOW_TITLE = VERSION_WINDOW_TITLE;
const char* const VARNDL_PATH_TOO_LONG_TEXT =
    "The path of this image file is longer than 255 characters and cannot be kept with the "
    "model's selection. Move the file to a shorter path and choose it again.";

namespace {

enum CONTROL_TYPE { CT_GROUP, CT_BUTTON, CT_EDIT, CT_CHECK, CT_COMBO, CT_LABEL, CT_LOG, CT_PORT, CT_BAR };

struct CONTROL_LAYOUT {
    int nId;  // 0: a label without an id
    CONTROL_TYPE eType;
    const char* szText;
    int x, y, w, h;  // pixels; controls of the lower block relative to the "Log..." group
};

// Group boxes first, so that the controls they frame lie above them.
const CONTROL_LAYOUT g_aTop[] = {
    {1070, CT_GROUP, "Select Image", 2, 25, 547, 199},
    {0, CT_LABEL, "Model", 8, 5, 40, 16},
    {1069, CT_COMBO, "", 50, 2, 200, 20},
    {1032, CT_BUTTON, "Phone", 8, 42, 70, 21},    {1031, CT_EDIT, "", 82, 42, 459, 21},
    {1027, CT_BUTTON, "Eboot", 8, 66, 70, 21},    {1026, CT_EDIT, "", 82, 66, 459, 21},
    {1030, CT_BUTTON, "PDA", 8, 90, 70, 21},      {1029, CT_EDIT, "", 82, 90, 459, 21},
    {1052, CT_BUTTON, "CSC", 8, 114, 70, 21},     {1054, CT_EDIT, "", 82, 114, 459, 21},
    {1063, CT_LABEL, "MultiCSC Select", 8, 138, 70, 21},
    {1062, CT_COMBO, "", 82, 138, 250, 21},
    {1064, CT_CHECK, "CSC Priority Bit", 345, 138, 150, 21},
    {1053, CT_BUTTON, "Hidden", 8, 162, 70, 21},  {1055, CT_EDIT, "", 82, 162, 459, 21},
    {1038, CT_BUTTON, "Unified", 8, 186, 70, 21}, {1039, CT_EDIT, "", 82, 186, 459, 21},
};

// The lower block, moved as one so that the "Log..." group lands on the layout's point.
const CONTROL_LAYOUT g_aLower[] = {
    {1071, CT_GROUP, "Log...", 0, 0, 547, 46},
    {1072, CT_GROUP, "Download Mode", 0, 50, 404, 64},
    {1073, CT_GROUP, "Port", 0, 118, 547, 122},
    {1000, CT_LOG, "", 6, 14, 535, 30},
    {1061, CT_CHECK, "Select/Deselect All", 8, 66, 128, 18},
    {1020, CT_CHECK, "Phone Boot", 140, 66, 86, 18},
    {1021, CT_CHECK, "Phone", 230, 66, 60, 18},
    {1024, CT_CHECK, "EFS Clear", 294, 66, 84, 18},
    {1022, CT_CHECK, "Eboot", 8, 88, 60, 18},
    {1023, CT_CHECK, "PDA", 72, 88, 52, 18},
    {1057, CT_CHECK, "CSC", 128, 88, 52, 18},
    {1058, CT_CHECK, "Hidden", 184, 88, 64, 18},
    {1056, CT_CHECK, "Clean Boot", 252, 88, 90, 18},
    {1, CT_BUTTON, "Start", 410, 56, 66, 26},
    {2, CT_BUTTON, "Cancel", 480, 56, 67, 26},
    {3, CT_BUTTON, "Option", 410, 86, 137, 26},
};
constexpr int PORT_ROW_Y = 136, PORT_ROW_STEP = 26, PORT_H = 22;
constexpr int PORT_COLUMN_X[2] = {8, 280}, PORT_W = 64, BAR_OFFSET = 68, BAR_W = 193;
// The day's result counts, at the right of the model list's row: the log box needs the whole
// width of its group, so that a long line (a path, the start-up notes) wraps into two lines.
constexpr QRect DAY_COUNTS_RECT(297, 2, 250, 20);

// Where the lower block and the "Select Image" group go, and the window height, per layout.
struct LAYOUT_GEOMETRY {
    int nImageGroupHeight;
    QPoint ptLower;
};
LAYOUT_GEOMETRY Geometry(ModelLayout eLayout)
{
    if (eLayout == LAYOUT_COMPACT) return {91, QPoint(2, 120)};
    return {199, QPoint(2, 237)};
}

constexpr int IMAGE_BUTTON_ID[6] = {1038, 1032, 1027, 1030, 1052, 1053};
constexpr int IMAGE_EDIT_ID[6] = {1039, 1031, 1026, 1029, 1054, 1055};
constexpr int SELECTION_IDS[] = {1020, 1021, 1024, 1022, 1023, 1057, 1058, 1061, 1031, 1026, 1029,
                                 1054, 1055, 1032, 1027, 1030, 1052, 1053, 1062, 1064, 1069, 1};
// Hidden in the compact layout, and in the full one without the Multi-CSC controls.
constexpr int COMPACT_HIDDEN[] = {1052, 1054, 1063, 1062, 1064, 1053, 1055, 1038, 1039, 1058, 1057, 1056};
constexpr int MULTICSC_IDS[] = {1063, 1062, 1064};

uint32_t& TickMember(MODEL_TICKS& r, int nId)
{
    switch (nId) {
    case 1020: return r.dwPBoot;
    case 1021: return r.dwPhone;
    case 1024: return r.dwEfs;
    case 1022: return r.dwEboot;
    case 1023: return r.dwPda;
    case 1057: return r.dwCarrier;
    case 1058: return r.dwHidden;
    case 1056: return r.dwClean;
    default: return r.dwSelectAll;
    }
}

QString Chomp(const std::string& str)
{
    QString s = QString::fromStdString(str);
    while (s.endsWith('\n') || s.endsWith('\r')) s.chop(1);
    return s;
}

// "Phone Image (*.bin)|*.bin|All Files(*.*)|*.*|" as the file dialog's filter list.
QString QtFilter(const std::string& strFilter)
{
    const QStringList parts = QString::fromStdString(strFilter).split('|', Qt::SkipEmptyParts);
    QStringList names;
    for (int i = 0; i + 1 < parts.size(); i += 2) names << parts[i];
    return names.join(";;");
}

bool PathTooLong(const std::string& strPath)
{
    return QString::fromStdString(strPath).size() > VARNDL_PATH_MAX;
}

QIcon AppIcon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0, 0, 200));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(1, 1, 30, 30, 6, 6);
    painter.setPen(Qt::white);
    QFont font;
    font.setPixelSize(22);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, "Q");
    return QIcon(pixmap);
}

}  // namespace

// Image selection shows itself through these; all calls come on the GUI thread.
class CVarnDLDlg::CImageControls final : public IImageControls {
public:
    explicit CImageControls(CVarnDLDlg& dlg) : m_Dlg(dlg) {}

    void SetPathText(int nKind, const std::string& strText) override
    {
        if (nKind >= 0 && nKind <= IMAGE_HIDDEN) m_Dlg.m_apPathEdit[nKind]->setText(QString::fromStdString(strText));
    }
    void EnablePhoneRow() override
    {
        m_Dlg.m_apPathEdit[IMAGE_PHONE]->setEnabled(true);
        m_Dlg.m_apImageButton[IMAGE_PHONE]->setEnabled(true);
    }
    void ApplyStoredTicks() override
    {
        MODEL_TICKS_ApplyStored(m_Dlg.Core());
        m_Dlg.PutTicksOnBoxes();
    }
    void ApplyEnabling(const IMAGE_ENABLING& en) override { m_Dlg.ApplyEnabling(en); }
    void SetMultiCscList(const std::vector<std::string>& astrItems, int nSel, bool bEnabled) override
    {
        QComboBox* pList = m_Dlg.m_pMultiCsc;
        pList->clear();
        for (const std::string& str : astrItems) pList->addItem(QString::fromStdString(str));
        pList->setCurrentIndex(nSel);
        pList->setEnabled(bEnabled);
    }
    void SetMultiCscLabel(const std::string& strText) override
    {
        m_Dlg.m_pMultiCscLabel->setText(QString::fromStdString(strText));
    }
    void ShowMessage(const std::string& strText) override
    {
        CMessageBox::Ask(&m_Dlg, m_Dlg.windowTitle(), QString::fromStdString(strText));
    }
    bool AskOpenFile(const std::string& strFilter, const std::string&, const std::string& strCurrentPath,
                     std::string& strChosen) override
    {
        if (!m_Dlg.AskOpenFile(strFilter, strCurrentPath, strChosen)) return false;
        if (PathTooLong(strChosen)) {
            ShowMessage(VARNDL_PATH_TOO_LONG_TEXT);
            return false;
        }
        return true;
    }

private:
    CVarnDLDlg& m_Dlg;
};

CVarnDLDlg::CVarnDLDlg(ISettingsStore* pStore, QWidget* pParent)
    : QDialog(pParent),
      m_pCore(std::make_unique<CVarnDLCore>()),
      m_pThreads(std::make_unique<STATION_THREADS>()),
      m_pStore(pStore ? pStore : &m_NullStore)
{
    m_pImageControls = std::make_unique<CImageControls>(*this);
    DIALOG_SINK sink;
    sink.fnRepaintBar = [this](int nCh) { OnBarChanged(nCh); };
    sink.fnShowLog = [this](const std::string& strLine) { ShowLogLine(strLine); };
    sink.fnPortText = [this](int nCh, const std::string& strText) {
        m_apPortBox[nCh]->setText(QString::fromStdString(strText));
    };
    sink.fnDayCounts = [this] {
        ShowDayCounts();
        // A record counted is a record in the file: the line hears of it now, not at its poll.
        if (m_pLine) m_pLine->RecordsAppended();
    };
    sink.fnChannelEnded = [this](int nCh) { PublishLineState(nCh); };
    sink.pParent = this;
    m_pView = new CDialogView(std::move(sink), this);
    m_pCore->SetView(m_pView);
    m_pCore->m_nModel = 0;
    // The run is watched from the event loop, never from a loop inside a handler.
    m_pRunTimer = new QTimer(this);
    m_pRunTimer->setInterval(VARNDL_RUN_TICK_MS);
    connect(m_pRunTimer, &QTimer::timeout, this, &CVarnDLDlg::OnRunTick);
    m_pWaitTimer = new QTimer(this);
    m_pWaitTimer->setInterval(VARNDL_WAIT_TICK_MS);
    connect(m_pWaitTimer, &QTimer::timeout, this, &CVarnDLDlg::OnWaitTick);
    // The log file stays off, so nothing is opened.
    OpenLogFile(0);
    m_pStore->LoadSettings(SETTINGS_Get());
    CreateControls();
    InitDialog();
    // A settings file that could not be read is told after the start's own lines.
    m_pStore->SetReport([this](const std::string& strLine) {
        WriteLog(&Core(), -1, Core().m_csDisplay, "%s\r\n", strLine.c_str());
    });
    // From the event loop: the results file is named after the window is built.
    QMetaObject::invokeMethod(this, &CVarnDLDlg::ApplyLineBroker, Qt::QueuedConnection);
}

CVarnDLDlg::~CVarnDLDlg()
{
    // Nothing may arrive at a dialog that is going away.
    m_pRunTimer->stop();
    m_pWaitTimer->stop();
    m_pDiscovery.reset();
    qApp->removeEventFilter(this);
    bool bJoined = true;
    for (int i = 0; i < MAX_CHANNEL; ++i)
        if (m_pThreads->m_hThread[i].joinable()) bJoined = false;
    if (!bJoined) bJoined = STATION_Cancel(*m_pCore, *m_pThreads, STATION_LOOP_OPTIONS{}, VARNDL_CANCEL_BOUND_MS);
    StopRecording();
    StopLine(true);
    m_pCore->SetView(nullptr);
    if (!bJoined || !m_bAllJoined) {
        // A worker that never ended may still touch its channel: the program is ending, so its
        // state is let go rather than freed under it.
        (void)m_pCore.release();
        (void)m_pThreads.release();
    }
    m_pStore->SetReport(nullptr);
    m_pStore->SaveSettings(SETTINGS_Get());
    CloseLogFile(0);
}

QWidget* CVarnDLDlg::Control(int nId) const { return findChild<QWidget*>(QString::number(nId)); }

QCheckBox* CVarnDLDlg::Box(int nId) const { return findChild<QCheckBox*>(QString::number(nId)); }

void CVarnDLDlg::CreateControls()
{
    QFont font("Tahoma", 8);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);
    setWindowIcon(AppIcon());
    setAcceptDrops(true);

    auto create = [this](const CONTROL_LAYOUT& ctl) -> QWidget* {
        QWidget* pWidget = nullptr;
        const QString strText = QString::fromUtf8(ctl.szText);
        switch (ctl.eType) {
        case CT_GROUP: pWidget = new QGroupBox(strText, this); break;
        case CT_BUTTON: pWidget = new QPushButton(strText, this); break;
        case CT_EDIT: pWidget = new QLineEdit(this); break;
        case CT_CHECK: pWidget = new QCheckBox(strText, this); break;
        case CT_COMBO: pWidget = new QComboBox(this); break;
        case CT_LABEL: pWidget = new QLabel(strText, this); break;
        case CT_LOG: {
            auto* pLog = new QPlainTextEdit(this);
            pLog->setReadOnly(true);
            // A line longer than the box wraps; the bar reaches what does not fit.
            pLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            pLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            pLog->document()->setDocumentMargin(1);
            pWidget = pLog;
            break;
        }
        default: return nullptr;
        }
        if (ctl.nId != 0) pWidget->setObjectName(QString::number(ctl.nId));
        pWidget->setGeometry(ctl.x, ctl.y, ctl.w, ctl.h);
        return pWidget;
    };
    for (const CONTROL_LAYOUT& ctl : g_aTop) create(ctl);
    for (const CONTROL_LAYOUT& ctl : g_aLower) create(ctl);
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        auto* pPort = new QLineEdit(this);
        pPort->setObjectName(QString::number(1040 + i));
        pPort->setAlignment(Qt::AlignCenter);
        pPort->setReadOnly(true);
        pPort->setAutoFillBackground(true);
        m_apPortBox[i] = pPort;
        auto* pBar = new CTextProgressCtrl(this);
        pBar->setObjectName(QString::number(1011 + i));
        pBar->Attach(&m_pCore->m_ctrlProgress[i]);
        m_apBar[i] = pBar;
    }

    m_pModel = findChild<QComboBox*>("1069");
    m_pSelectImage = findChild<QGroupBox*>("1070");
    for (int k = IMAGE_UNIFIED; k <= IMAGE_HIDDEN; ++k) {
        m_apImageButton[k] = findChild<QPushButton*>(QString::number(IMAGE_BUTTON_ID[k]));
        m_apPathEdit[k] = findChild<QLineEdit*>(QString::number(IMAGE_EDIT_ID[k]));
        m_apPathEdit[k]->installEventFilter(this);
        if (k == IMAGE_UNIFIED) continue;
        connect(m_apImageButton[k], &QPushButton::clicked, this, [this, k] { OnImageButton(k); });
    }
    m_pMultiCsc = findChild<QComboBox*>("1062");
    m_pMultiCscLabel = findChild<QLabel*>("1063");
    m_pCscPriority = Box(1064);
    m_pLog = findChild<QPlainTextEdit*>("1000");
    // Hidden until records are kept.
    m_pDayCounts = new QLabel(this);
    m_pDayCounts->setObjectName("DayCounts");
    m_pDayCounts->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_pDayCounts->setGeometry(DAY_COUNTS_RECT);
    m_pDayCounts->hide();
    m_pModeGroup = findChild<QGroupBox*>("1072");
    m_pStart = findChild<QPushButton*>("1");
    m_pCancel = findChild<QPushButton*>("2");
    m_pOption = findChild<QPushButton*>("3");
    for (QPushButton* p : {m_pStart, m_pCancel, m_pOption}) {
        p->setAutoDefault(false);
        p->setDefault(false);
    }
    connect(m_pStart, &QPushButton::clicked, this, &CVarnDLDlg::OnStart);
    connect(m_pCancel, &QPushButton::clicked, this, [this] { OnCancel(); });
    connect(m_pOption, &QPushButton::clicked, this, &CVarnDLDlg::OnOption);
    for (int nId : {1020, 1021, 1022, 1023, 1057, 1058, 1056})
        connect(Box(nId), &QCheckBox::clicked, this, [this, nId] { OnPlainTick(nId); });
    connect(Box(1024), &QCheckBox::clicked, this, &CVarnDLDlg::OnEfsClearTick);
    connect(Box(1061), &QCheckBox::clicked, this, &CVarnDLDlg::OnSelectAll);
    connect(m_pModel, &QComboBox::activated, this, &CVarnDLDlg::OnModelActivated);

    // Created disabled, and nothing enables them.
    for (int nId : {1038, 1039, 1056}) Control(nId)->setEnabled(false);
    setFixedWidth(553);
    qApp->installEventFilter(this);
}

void CVarnDLDlg::InitDialog()
{
    CVarnDLCore& core = Core();
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        m_apBar[i]->InitBar();
        core.m_ctrlProgress[i].InitBar();
        m_apPortBox[i]->setText("NONE");
    }
    setWindowTitle(VARNDL_WINDOW_TITLE);
    for (int k = IMAGE_UNIFIED; k <= IMAGE_HIDDEN; ++k) IMAGE_ValidFlag(core, k) = 0;
    m_pStart->setEnabled(false);
    SERIAL_DEVICE_CreateLock();
    SERIAL_DEVICE_SetStopTest(&core.m_Sink);
    UpdatePortColours();
    m_pMultiCsc->setEnabled(false);
    m_pMultiCscLabel->setText(" ");
    for (int m = 0; m < MODEL_COUNT; ++m) m_pModel->addItem(QString::fromUtf8(MODEL_Get(m).szName));
    m_pModel->setCurrentIndex(0);
    // An unreadable store leaves model 0, which the model change below then makes current.
    if (m_pStore->LoadModelSettings(core, m_aLocations)) m_pModel->setCurrentIndex(4);
    ModelChange(m_pModel->currentIndex());
    m_pCscPriority->setChecked(true);
}

void CVarnDLDlg::ShowLogLine(const std::string& strLine)
{
    m_pLog->setPlainText(Chomp(strLine));
    // The end of the line is its news (a path's file name, what to do about it).
    m_pLog->verticalScrollBar()->setValue(m_pLog->verticalScrollBar()->maximum());
}

void CVarnDLDlg::RecordResults(const std::string& strPath)
{
    CVarnDLCore* pCore = m_pCore.get();
    RESULT_RECORD_SetProblemSink([pCore](const std::string& strProblem) {
        WriteLog(pCore, -1, pCore->m_csDisplay, "%s\r\n", strProblem.c_str());
    });
    RESULT_RECORD_SetIdentify(PHONE_IDENTITY_Lookup);
    CDialogView* pView = m_pView;
    RESULT_RECORD_SetOnCounted([pView] { pView->OnDayCounts(); });
    std::string strError;
    if (!RESULT_RECORD_Open(strPath, strError))
        WriteLog(pCore, -1, pCore->m_csDisplay,
                 "Result records cannot be written to %s: %s. Downloads go on without them.\r\n",
                 strPath.c_str(), strError.c_str());
    m_bRecording = true;
    m_strRecordsPath = strPath;
    // A publisher already started sends from this file from now on.
    if (m_pLine) ApplyLineBroker();
    m_pDayCounts->setToolTip(QString::fromStdString("Today's channels at this station, from " + strPath));
    m_pDayCounts->show();
    ShowDayCounts();
}

void CVarnDLDlg::StopRecording()
{
    if (!m_bRecording) return;
    m_bRecording = false;
    // A writer stuck in its disk is let go with the program, as a worker that did not end is.
    if (!RESULT_RECORD_Close(VARNDL_CANCEL_BOUND_MS)) m_bAllJoined = false;
    RESULT_RECORD_SetProblemSink(nullptr);
    RESULT_RECORD_SetIdentify(nullptr);
    RESULT_RECORD_SetOnCounted(nullptr);
}

void CVarnDLDlg::ApplyLineBroker()
{
    const std::string& strUrl = SETTINGS_Get().m_strLineBroker;
    if (m_pLine && strUrl == m_strLineUrl && m_strRecordsPath == m_strLineRecords) return;
    StopLine(false);
    if (strUrl.empty()) return;
    LINE_PUBLISHER_CONFIG config;
    config.strUrl = strUrl;
    config.strRecordsPath = m_strRecordsPath;
    auto pLine = std::make_unique<CLinePublisher>();
    std::string strError;
    // Told on the publisher's thread. The line goes the way a worker's lines go, through the
    // station's log and the view's mailbox: the publisher is stopped before the window goes.
    const auto fnMessage = [this](const std::string& strLine) { ShowLineMessage(strLine); };
    if (!pLine->Start(config, fnMessage, strError)) {
        ShowLineMessage(std::string("The station cannot go on the line: ").append(strError));
        return;
    }
    m_pLine = std::move(pLine);
    m_strLineUrl = strUrl;
    m_strLineRecords = m_strRecordsPath;
    // Record ids name the station as the line knows it.
    RESULT_RECORD_SetStation(m_pLine->Station());
    for (int i = 0; i < MAX_CHANNEL; ++i) PublishLineState(i);
}

void CVarnDLDlg::StopLine(bool bEnd)
{
    if (!m_pLine) return;
    // The bars as they stand now, ends not yet delivered among them.
    for (int i = 0; i < MAX_CHANNEL; ++i) PublishLineState(i);
    // At the end the last phones' records reach the line now rather than at the next start; a
    // publisher started again sends them anyway.
    if (bEnd) m_pLine->WaitRecordsAcknowledged(VARNDL_LINE_STOP_BOUND_MS);
    m_pLine->Stop(VARNDL_LINE_STOP_BOUND_MS);
    m_pLine.reset();
    m_strLineUrl.clear();
    m_strLineRecords.clear();
}

void CVarnDLDlg::PublishLineState(int nCh)
{
    if (!m_pLine || nCh < 0 || nCh >= MAX_CHANNEL) return;
    const BAR_STATE bar = m_pCore->m_ctrlProgress[nCh].GetState();
    const QString strPhase = QString::fromStdString(bar.strText).trimmed();
    // A channel that never ran has no outcome yet, rather than "running".
    const std::string strOutcome =
        m_pThreads->m_dwStarted[nCh] == 0 ? std::string() : OUTCOME_KindName(OUTCOME_Get(Core(), nCh).eKind);
    m_pLine->PublishState(nCh, LINE_State(strPhase.toStdString(), bar.nPercent, strOutcome,
                                          Core().m_aChannel[nCh].m_nComPort));
}

void CVarnDLDlg::ShowLineMessage(const std::string& strLine)
{
    // Also on standard error: the log box keeps only the latest line.
    DebugTrace(TRACE_TO_DEBUGGER, "%s\n", strLine.c_str());
    WriteLog(&Core(), -1, Core().m_csDisplay, "%s\r\n", strLine.c_str());
}

void CVarnDLDlg::ShowDayCounts()
{
    uint32_t nPass = 0, nFail = 0;
    RESULT_RECORD_DayCounts(nPass, nFail);
    m_pDayCounts->setText(QString("Today: %1 PASS, %2 failed").arg(nPass).arg(nFail));
}

// ---- image rows, ticks and models ----

bool CVarnDLDlg::AskOpenFile(const std::string& strFilter, const std::string& strCurrentPath,
                             std::string& strChosen)
{
    const QString strPath =
        QFileDialog::getOpenFileName(this, QString(), QString::fromStdString(strCurrentPath), QtFilter(strFilter));
    if (strPath.isEmpty()) return false;
    strChosen = strPath.toStdString();
    return true;
}

std::string CVarnDLDlg::PathOf(int nKind)
{
    // A worker may rewrite the paths of missing images (a forced download) under this lock,
    // the Unified one among them.
    std::lock_guard<std::mutex> lock(Core().m_csTicks);
    return IMAGE_Path(Core(), nKind);
}

void CVarnDLDlg::OnImageButton(int nKind)
{
    if (IMAGE_SelectImage(Core(), *m_pImageControls, nKind, true)) TickSelected(nKind);
}

void CVarnDLDlg::TickSelected(int nKind)
{
    static const std::vector<int> s_aTicks[6] = {{}, {1020, 1021}, {1022}, {1023}, {1057}, {}};
    for (int nId : s_aTicks[nKind]) {
        Box(nId)->setChecked(true);
        OnPlainTick(nId);
    }
}

bool CVarnDLDlg::SelectImageFile(int nKind, const std::string& strPath)
{
    if (nKind < IMAGE_PHONE || nKind > IMAGE_HIDDEN) return false;
    if (PathTooLong(strPath)) {
        m_pImageControls->ShowMessage(VARNDL_PATH_TOO_LONG_TEXT);
        return false;
    }
    IMAGE_Path(Core(), nKind) = strPath;
    if (!IMAGE_SelectImage(Core(), *m_pImageControls, nKind, false)) return IMAGE_ValidFlag(Core(), nKind) != 0;
    TickSelected(nKind);
    return true;
}

void CVarnDLDlg::SelectModel(int nModel)
{
    if (nModel < 0 || nModel >= MODEL_COUNT) return;
    ModelChange(nModel);
}

void CVarnDLDlg::OnPathFocusLost(int nKind)
{
    m_apPathEdit[nKind]->setText(QString::fromStdString(PathOf(nKind)));
}

void CVarnDLDlg::OnPlainTick(int nId)
{
    CVarnDLCore& core = Core();
    const bool bTicked = Box(nId)->isChecked();
    {
        std::lock_guard<std::mutex> lock(core.m_csTicks);
        TickMember(core.m_aModelTicks[core.m_nModel], nId) = bTicked ? 1 : 0;
    }
    if (!bTicked) Box(1061)->setChecked(false);
    SyncTicksFromBoxes();
}

void CVarnDLDlg::OnEfsClearTick()
{
    CVarnDLCore& core = Core();
    OnPlainTick(1024);
    if (!Box(1024)->isChecked()) return;
    if (SETTINGS_ConfirmEfsClear(this)) return;
    Box(1024)->setChecked(false);
    {
        std::lock_guard<std::mutex> lock(core.m_csTicks);
        core.m_aModelTicks[core.m_nModel].dwEfs = 0;
    }
    SyncTicksFromBoxes();
}

void CVarnDLDlg::OnSelectAll()
{
    CVarnDLCore& core = Core();
    const bool A = Box(1061)->isChecked();
    const bool P = core.m_bPhoneImage && A, E = core.m_bEbootImage, D = core.m_bPdaImage;
    MODEL_TICKS r;
    {
        std::lock_guard<std::mutex> lock(core.m_csTicks);
        MODEL_TICKS& rec = core.m_aModelTicks[core.m_nModel];
        rec.dwPBoot = rec.dwPhone = P;
        rec.dwEboot = P && E;
        rec.dwPda = P && D;
        rec.dwCarrier = P && core.m_bCscImage;
        rec.dwHidden = P && core.m_bHiddenImage;
        rec.dwClean = P && E && D;
        r = rec;
    }
    for (int nId : {1020, 1021, 1022, 1023, 1057, 1058}) Box(nId)->setChecked(TickMember(r, nId) != 0);
    SyncTicksFromBoxes();
}

void CVarnDLDlg::PutTicksOnBoxes()
{
    CVarnDLCore& core = Core();
    DOWNLOAD_TICKS t;
    bool bSelectAll;
    {
        std::lock_guard<std::mutex> lock(core.m_csTicks);
        t = core.m_CurrentTicks;
        bSelectAll = core.m_bPhoneImage && core.m_aModelTicks[core.m_nModel].dwSelectAll;
        m_dwTicksSeen = core.m_dwTicksVersion;
    }
    Box(1061)->setChecked(bSelectAll);
    Box(1020)->setChecked(t.bPhoneBoot);
    Box(1021)->setChecked(t.bPhone);
    Box(1024)->setChecked(t.bEfsClear);
    Box(1022)->setChecked(t.bEboot);
    Box(1023)->setChecked(t.bPda);
    Box(1057)->setChecked(t.bCsc);
    Box(1058)->setChecked(t.bHidden);
}

void CVarnDLDlg::SyncTicksFromBoxes()
{
    CVarnDLCore& core = Core();
    std::lock_guard<std::mutex> lock(core.m_csTicks);
    DOWNLOAD_TICKS& t = core.m_CurrentTicks;
    t.bPhoneBoot = Box(1020)->isChecked();
    t.bPhone = Box(1021)->isChecked();
    t.bEfsClear = Box(1024)->isChecked();
    t.bEboot = Box(1022)->isChecked();
    t.bPda = Box(1023)->isChecked();
    t.bCsc = Box(1057)->isChecked();
    t.bHidden = Box(1058)->isChecked();
}

// A worker that forced a full download changed the selection and perhaps the paths of missing
// images: the boxes and fields follow.
void CVarnDLDlg::RefreshFromWorkers()
{
    if (Core().m_dwTicksVersion == m_dwTicksSeen) return;
    PutTicksOnBoxes();
    for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k) OnPathFocusLost(k);
    OnPathFocusLost(IMAGE_UNIFIED);
}

void CVarnDLDlg::OnModelActivated(int nModel) { ModelChange(nModel); }

void CVarnDLDlg::ModelChange(int nModel)
{
    CVarnDLCore& core = Core();
    ApplyModelLayout(nModel);
    {
        std::lock_guard<std::mutex> lock(core.m_csTicks);
        core.m_nModel = nModel;
    }
    m_pModel->setCurrentIndex(nModel);
    for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k) {
        IMAGE_Path(core, k) = m_aLocations[nModel].astrPath[k];
        m_apPathEdit[k]->setText(QString::fromStdString(IMAGE_Path(core, k)));
    }
    m_pImageControls->ApplyStoredTicks();
    IMAGE_RevalidateImages(core, *m_pImageControls);
}

void CVarnDLDlg::ApplyModelLayout(int nModel)
{
    const MODEL_INFO& info = MODEL_Get(nModel);
    for (int nId : COMPACT_HIDDEN) Control(nId)->setVisible(info.eLayout != LAYOUT_COMPACT);
    for (int nId : MULTICSC_IDS) Control(nId)->setVisible(info.eLayout == LAYOUT_FULL_MULTICSC);
    const LAYOUT_GEOMETRY geo = Geometry(info.eLayout);
    m_pSelectImage->setGeometry(2, 25, 547, geo.nImageGroupHeight);
    for (const CONTROL_LAYOUT& ctl : g_aLower)
        Control(ctl.nId)->setGeometry(geo.ptLower.x() + ctl.x, geo.ptLower.y() + ctl.y, ctl.w, ctl.h);
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        const int x = geo.ptLower.x() + PORT_COLUMN_X[i / 4];
        const int y = geo.ptLower.y() + PORT_ROW_Y + (i % 4) * PORT_ROW_STEP;
        m_apPortBox[i]->setGeometry(x, y, PORT_W, PORT_H);
        m_apBar[i]->setGeometry(x + BAR_OFFSET, y, BAR_W, PORT_H);
    }
    m_nLayoutHeight = info.nDialogHeight;
    ApplyHeight();
}

int CVarnDLDlg::FrameHeight() const
{
    // Offscreen there is no window manager and nothing to take off (a shown window's new size
    // limits would only make Qt warn).
    if (QGuiApplication::platformName() == "offscreen") return 0;
    return frameGeometry().height() - height();
}

void CVarnDLDlg::ApplyHeight()
{
    // The height is the outer window's. The window manager's frame is known only once the window
    // is shown and decorated, which may come after the show itself (a move tells of it).
    m_nFrameApplied = FrameHeight();
    const int nHeight = m_nLayoutHeight - m_nFrameApplied;
    if (minimumHeight() != nHeight || maximumHeight() != nHeight) setFixedHeight(nHeight);
}

void CVarnDLDlg::showEvent(QShowEvent* pEvent)
{
    QDialog::showEvent(pEvent);
    ApplyHeight();
}

void CVarnDLDlg::moveEvent(QMoveEvent* pEvent)
{
    QDialog::moveEvent(pEvent);
    if (FrameHeight() != m_nFrameApplied) ApplyHeight();
}

void CVarnDLDlg::ApplyEnabling(const IMAGE_ENABLING& en)
{
    const struct {
        int nId;
        bool bEnabled;
    } aRule[] = {{1020, en.bPhoneBoot}, {1021, en.bPhone},     {1024, en.bEfsClear}, {1022, en.bEboot},
                 {1023, en.bPda},       {1061, en.bSelectAll}, {1026, en.bImageRows}, {1029, en.bImageRows},
                 {1054, en.bImageRows}, {1027, en.bImageRows}, {1030, en.bImageRows}, {1052, en.bImageRows},
                 {1057, en.bCsc},       {1058, en.bHidden},    {1055, en.bHiddenRow}, {1053, en.bHiddenRow}};
    for (const auto& rule : aRule) Control(rule.nId)->setEnabled(rule.bEnabled);
    if (en.bDisableStart) m_pStart->setEnabled(false);
}

void CVarnDLDlg::SetSelectionEnabled(bool bEnabled)
{
    for (int nId : SELECTION_IDS) Control(nId)->setEnabled(bEnabled);
    // The Multi-CSC list is usable only while it lists a container's entries.
    if (bEnabled) m_pMultiCsc->setEnabled(Core().m_bCscPacked && Core().m_bMultiCsc);
}

// ---- channels ----

void CVarnDLDlg::SetPortBox(int nCh, uint32_t nPort, const std::string& strDevNode)
{
    m_apPortBox[nCh]->setText(nPort ? QString("COM%1").arg(nPort) : QString("NONE"));
    m_apPortBox[nCh]->setToolTip(QString::fromStdString(strDevNode));
}

void CVarnDLDlg::UpdatePortColours()
{
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        // A phone in its reboot wait has its port closed, whether or not the port is still there.
        const bool bPort = Core().m_aChannel[i].m_nComPort != 0 && !Core().m_aChannel[i].m_bRebootWait;
        QPalette palette = m_apPortBox[i]->palette();
        if (palette.color(QPalette::Base) == (bPort ? QColor(0, 255, 0) : QColor(222, 222, 222))) continue;
        palette.setColor(QPalette::Base, bPort ? QColor(0, 255, 0) : QColor(222, 222, 222));
        palette.setColor(QPalette::Window, bPort ? QColor(0, 255, 0) : QColor(222, 222, 222));
        palette.setColor(QPalette::Text, bPort ? Qt::black : Qt::white);
        m_apPortBox[i]->setPalette(palette);
    }
}

void CVarnDLDlg::PortArrived(uint32_t nPort, const std::string& strDevNode)
{
    const auto portBox = [this](int nCh, uint32_t n, const std::string& str) { SetPortBox(nCh, n, str); };
    if (STATION_PortArrived(Core(), *m_pThreads, nPort, strDevNode, portBox) >= 0 && Core().m_bImageReady) {
        m_pStart->setEnabled(true);
        m_pStart->setFocus();
        if (AutoStart()) PressStartSoon();
    }
    UpdatePortColours();
    STATION_NotifyChange();
}

void CVarnDLDlg::PortRemoved(uint32_t nPort)
{
    const auto portBox = [this](int nCh, uint32_t n, const std::string& str) { SetPortBox(nCh, n, str); };
    if (!STATION_PortRemoved(Core(), *m_pThreads, nPort, portBox)) return;
    m_pStart->setEnabled(false);
    UpdatePortColours();
    STATION_NotifyChange();
}

void CVarnDLDlg::StartPortDiscovery(std::vector<std::unique_ptr<IPortSource>> apSources)
{
    PORT_DISCOVERY_SINK sink;
    sink.fnArrived = [this](uint32_t nPort, const std::string& strDevNode) { PortArrived(nPort, strDevNode); };
    sink.fnRemoved = [this](uint32_t nPort) { PortRemoved(nPort); };
    sink.fnLog = [this](const std::string& strLine) {
        // Also on standard error: the log box keeps only the latest line.
        DebugTrace(TRACE_TO_DEBUGGER, "%s\n", strLine.c_str());
        WriteLog(&Core(), -1, Core().m_csDisplay, "%s\r\n", strLine.c_str());
    };
    m_pDiscovery.reset();
    m_pDiscovery = std::make_unique<CPortDiscovery>(std::move(sink));
    m_pDiscovery->Start(std::move(apSources));
}

bool CVarnDLDlg::AutoStart() const { return m_bAutoStartRun || SETTINGS_Get().m_byAutoStart != 0; }

// Pressed from the event loop, not from inside the arrival: the other arrivals of the same moment
// get their channels first, and one press starts them all.
void CVarnDLDlg::PressStartSoon()
{
    if (m_bStartPressPending) return;
    m_bStartPressPending = true;
    QMetaObject::invokeMethod(this, &CVarnDLDlg::PressPendingStart, Qt::QueuedConnection);
}

void CVarnDLDlg::PressPendingStart()
{
    m_bStartPressPending = false;
    // The operator cannot press Start past a modal window (a worker's question, the option
    // dialog): neither does Auto Start. The press waits until such a window has closed.
    QWidget* pModal = QApplication::activeModalWidget();
    if (pModal != nullptr && pModal != this) {
        m_bStartDeferred = true;
        return;
    }
    m_bStartDeferred = false;
    if (!m_bCancelling) m_pStart->click();  // does nothing while Start is disabled
}

bool CVarnDLDlg::AnyWorkerBusy() const
{
    for (int i = 0; i < MAX_CHANNEL; ++i)
        if (m_pCore->m_aChannel[i].m_bThreadStart || m_pCore->m_aChannel[i].m_bRebootWait) return true;
    return false;
}

int CVarnDLDlg::DownloadingCount() const
{
    int n = 0;
    for (int i = 0; i < MAX_CHANNEL; ++i)
        if (m_pCore->m_aChannel[i].m_bThreadStart && !m_pCore->m_aChannel[i].m_bDownloadDone) ++n;
    return n;
}

STATION_LOOP_OPTIONS CVarnDLDlg::LoopOptions()
{
    STATION_LOOP_OPTIONS loop;
    loop.dwPollMs = 5;
    loop.fnProcessEvents = [this] {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        RefreshFromWorkers();
    };
    return loop;
}

void CVarnDLDlg::OnStart()
{
    if (m_bCancelling) return;
    CVarnDLCore& core = Core();
    // While workers run they read the images and the region table: the first Start validated
    // them and nothing can have changed them since (selection disabled, drops refused).
    if (!AnyWorkerBusy()) {
        IMAGE_START_INPUT input;
        input.bCscPriority = m_pCscPriority->isChecked();
        input.bCscTicked = Box(1057)->isChecked();
        input.bHasSelection = m_pMultiCsc->currentIndex() >= 0;
        input.strSelected = m_pMultiCsc->currentText().toStdString();
        if (!IMAGE_ValidateForStart(core, *m_pImageControls, input).bGoOn) return;
    }
    SetSelectionEnabled(false);
    m_pStore->SaveModelSettings(core, m_aLocations, Box(1061)->isChecked());
    // A Start during a run adds its channels to that run.
    STATION_StartRun(core, *m_pThreads, m_Run);
    if (!m_pRunTimer->isActive()) m_pRunTimer->start();
}

void CVarnDLDlg::OnRunTick()
{
    RefreshFromWorkers();
    UpdatePortColours();
    // The dialog's watch: no stall bound, no parked bound (an operator watches and can Cancel).
    if (STATION_RunStep(Core(), *m_pThreads, m_Run, STATION_LOOP_OPTIONS{}) == STATION_RUN_GOING) return;
    m_pRunTimer->stop();
    if (m_bCancelling) return;
    SetSelectionEnabled(true);
    ApplyEnabling(IMAGE_Enabling(Core()));
    RefreshFromWorkers();
}

void CVarnDLDlg::OnBarChanged(int nCh)
{
    m_apBar[nCh]->update();
    PublishLineState(nCh);
    UpdatePortColours();
    if (m_pCore->m_ctrlProgress[nCh].GetState().dwWaitMs != 0 && !m_pWaitTimer->isActive()) m_pWaitTimer->start();
}

void CVarnDLDlg::OnWaitTick()
{
    bool bWaiting = false;
    for (int i = 0; i < MAX_CHANNEL; ++i) {
        if (m_pCore->m_ctrlProgress[i].GetState().dwWaitMs == 0) continue;
        bWaiting = true;
        m_apBar[i]->update();
    }
    if (!bWaiting) m_pWaitTimer->stop();
}

void CVarnDLDlg::OnCancel(STOP_REASON reason)
{
    if (m_bCancelling) return;
    // A click beside Start must not stop eight downloads; a signal or the session's end is no
    // click, and nobody would be there to answer.
    const int nDownloading = DownloadingCount();
    if (reason.eCause != STOP_OPERATOR || nDownloading == 0 || qApp->isSavingSession()) {
        Cancel(reason);
        return;
    }
    if (m_pConfirm) {
        m_pConfirm->raise();
        return;
    }
    m_pConfirm = new CMessageBox(this, windowTitle(),
                                 QString("Stop %1 phones that are downloading?").arg(nDownloading),
                                 CMessageBox::MB_YESNO);
    m_pConfirm->setObjectName("confirmCancel");
    // Shown without an event loop of its own: the run is watched and the bars move meanwhile.
    m_pConfirm->setWindowModality(Qt::ApplicationModal);
    m_pConfirm->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_pConfirm, &QDialog::finished, this, [this](int nAnswer) {
        if (nAnswer == IDYES) Cancel(STOP_REASON{STOP_OPERATOR, 0});
    });
    m_pConfirm->show();
}

void CVarnDLDlg::Cancel(STOP_REASON reason)
{
    if (m_bCancelling) return;
    m_bCancelling = true;
    if (m_pConfirm) m_pConfirm->close();
    m_pRunTimer->stop();
    // Runs stop (a parked EFS2 is written back first) and the workers are joined.
    m_bAllJoined = STATION_Cancel(Core(), *m_pThreads, LoopOptions(), VARNDL_CANCEL_BOUND_MS,
                                  STATION_EFS_RESTORE_BOUND_MS, reason);
    StopRecording();
    StopLine(true);
    m_pStore->SaveModelSettings(Core(), m_aLocations, Box(1061)->isChecked());
    QDialog::done(QDialog::Rejected);
}

void CVarnDLDlg::OnOption()
{
    if (SETTINGS_EditOptions(this, *m_pStore)) ApplyLineBroker();
}

void CVarnDLDlg::ShowAbout()
{
    QDialog about(this);
    about.setWindowTitle("About VarnDL");
    auto* pLayout = new QHBoxLayout(&about);
    auto* pIcon = new QLabel(&about);
    pIcon->setPixmap(windowIcon().pixmap(32, 32));
    pLayout->addWidget(pIcon);
    auto* pColumn = new QVBoxLayout;
    pColumn->addWidget(new QLabel(VERSION_ABOUT_LINE, &about));
    auto* pOk = new QPushButton("OK", &about);
    pOk->setObjectName("1");
    connect(pOk, &QPushButton::clicked, &about, &QDialog::accept);
    pColumn->addWidget(pOk);
    pLayout->addLayout(pColumn);
    pLayout->activate();
    about.exec();
}

void CVarnDLDlg::reject() { OnCancel(); }

void CVarnDLDlg::closeEvent(QCloseEvent* pEvent)
{
    pEvent->ignore();
    OnCancel();
}

QMenu* CVarnDLDlg::CreateContextMenu()
{
    auto* pMenu = new QMenu(this);
    const QString strText = QString("&About %1/%2 Image Downlodaer...").arg(MODEL_Get(0).szName, MODEL_Get(1).szName);
    pMenu->addAction(strText, this, &CVarnDLDlg::ShowAbout);
    return pMenu;
}

void CVarnDLDlg::contextMenuEvent(QContextMenuEvent* pEvent)
{
    // Window managers keep their window menu to themselves, so About lives here.
    std::unique_ptr<QMenu> pMenu(CreateContextMenu());
    pMenu->exec(pEvent->globalPos());
}

void CVarnDLDlg::dragEnterEvent(QDragEnterEvent* pEvent)
{
    if (pEvent->mimeData()->hasUrls()) pEvent->acceptProposedAction();
}

void CVarnDLDlg::dropEvent(QDropEvent* pEvent)
{
    std::vector<std::string> astrPaths;
    for (const QUrl& url : pEvent->mimeData()->urls())
        if (url.isLocalFile()) astrPaths.push_back(url.toLocalFile().toStdString());
    pEvent->acceptProposedAction();
    DropFiles(astrPaths);
}

void CVarnDLDlg::DropFiles(const std::vector<std::string>& astrPaths)
{
    std::vector<std::string> astrKept;
    bool bTooLong = false;
    for (const std::string& strPath : astrPaths) {
        if (PathTooLong(strPath)) bTooLong = true;
        else astrKept.push_back(strPath);
    }
    if (bTooLong) m_pImageControls->ShowMessage(VARNDL_PATH_TOO_LONG_TEXT);
    IMAGE_DropFiles(Core(), *m_pImageControls, astrKept, RunGoing());
}

bool CVarnDLDlg::eventFilter(QObject* pWatched, QEvent* pEvent)
{
    if (m_bStartDeferred && pEvent->type() == QEvent::Hide && pWatched->isWidgetType() &&
        static_cast<QWidget*>(pWatched)->isWindow()) {
        // A window closed: perhaps the modal one an Auto Start press waits for.
        m_bStartDeferred = false;
        PressStartSoon();
    }
    if (pEvent->type() == QEvent::FocusOut) {
        for (int k = IMAGE_UNIFIED; k <= IMAGE_HIDDEN; ++k)
            if (pWatched == m_apPathEdit[k]) OnPathFocusLost(k);
        return false;
    }
    const bool bKey = pEvent->type() == QEvent::KeyPress || pEvent->type() == QEvent::ShortcutOverride;
    auto* pWidget = qobject_cast<QWidget*>(pWatched);
    if (!bKey || !pWidget || (pWidget != this && !isAncestorOf(pWidget))) return false;
    auto* pKey = static_cast<QKeyEvent*>(pEvent);
    if (pEvent->type() == QEvent::ShortcutOverride) {
        // No key of this window is a shortcut.
        pEvent->accept();
        return true;
    }
    static bool s_bResending = false;
    if (s_bResending) return false;
    switch (pKey->key()) {
    case Qt::Key_Left: m_ptModeGroup.rx() -= 1; break;
    case Qt::Key_Up: m_ptModeGroup.ry() -= 1; break;
    case Qt::Key_Right: m_ptModeGroup.rx() += 1; break;
    case Qt::Key_Down: m_ptModeGroup.ry() += 1; break;
    default: break;
    }
    if (pKey->key() >= Qt::Key_Left && pKey->key() <= Qt::Key_Down) m_pModeGroup->move(m_ptModeGroup);
    // The developers' debugger output, which on Linux is standard error.
    std::fprintf(stderr, "Pos %d %d\n", m_ptModeGroup.x(), m_ptModeGroup.y());
    // Every key reaches the window as the letter A: Enter, Escape and Tab do nothing.
    QKeyEvent keyA(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    s_bResending = true;
    QCoreApplication::sendEvent(pWatched, &keyA);
    s_bResending = false;
    return true;
}
