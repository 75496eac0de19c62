// The operator's main dialog: eight channels (a port box and a text progress bar each), the image
// rows, the "Download Mode" boxes, the log box and Start, Cancel and Option. It owns the station
// core and only shows and asks: Start, Cancel, image selection and the ticks are the core's.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QPointer>

#include <cstdint>
#include <memory>
#include <string>

#include "engine/orchestration.h"
#include "images/image_controls.h"
#include "ports/port_source.h"
#include "settings/settings.h"
#include "station/station_core.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class CDialogView;
class CLinePublisher;
class CMessageBox;
class CPortDiscovery;
class CTextProgressCtrl;

// The window title, which also names the single-instance socket.
extern const char* const VARNDL_WINDOW_TITLE;
// Longest real time Cancel waits for the workers to end once their runs are stopped.
constexpr uint32_t VARNDL_CANCEL_BOUND_MS = 5000;
// Longest real time the window's end waits for the line's broker to take the last states.
constexpr uint32_t VARNDL_LINE_STOP_BOUND_MS = 3000;
// How often the run is watched, and a waiting bar's seconds redrawn, from the event loop.
constexpr int VARNDL_RUN_TICK_MS = 10;
constexpr int VARNDL_WAIT_TICK_MS = 250;
// Paths longer than this cannot be stored with the model's selection.
constexpr int VARNDL_PATH_MAX = 255;
extern const char* const VARNDL_PATH_TOO_LONG_TEXT;

class CVarnDLDlg : public QDialog {
    Q_OBJECT
public:
    // pStore: where settings persist (nullptr: nowhere). The dialog does not own it.
    explicit CVarnDLDlg(ISettingsStore* pStore = nullptr, QWidget* pParent = nullptr);
    ~CVarnDLDlg() override;

    CVarnDLCore& Core() { return *m_pCore; }
    STATION_THREADS& Threads() { return *m_pThreads; }
    CDialogView& View() { return *m_pView; }

    // Port discovery's entry, on the GUI thread: an accepted phone port numbered nPort (see
    // PORT_TABLE) appeared at strDevNode, or went away.
    void PortArrived(uint32_t nPort, const std::string& strDevNode);
    void PortRemoved(uint32_t nPort);
    // Watches the sources from now on and announces the phones already plugged in.
    void StartPortDiscovery(std::vector<std::unique_ptr<IPortSource>> apSources);

    // Auto Start: a phone accepted on a channel presses Start, as the operator would, once no
    // other modal window is open. On with the stored setting, or for this run (--auto-start).
    void SetAutoStart(bool bOn) { m_bAutoStartRun = bOn; }
    bool AutoStart() const;

    // The command line's choices: as if chosen with the image's button or in the model list.
    bool SelectImageFile(int nKind, const std::string& strPath);
    void SelectModel(int nModel);

    // Appends a result record for every channel that ends to strPath (JSON lines) and shows the
    // day's PASS and failure counts beside the log box. A file that cannot be written is logged
    // once; the station works on without records. On the line, these are the records it sends.
    void RecordResults(const std::string& strPath);

    // The station on the line's broker ("Line broker" in the option dialog): the publisher of
    // the channels' states and the records, started from the event loop once the window is
    // built, and again whenever the option changes. Null while the station is off the line.
    const CLinePublisher* Line() const { return m_pLine.get(); }

    // Files dropped on the window (the drop event's local files).
    void DropFiles(const std::vector<std::string>& astrPaths);
    // The context menu of the dialog's background, with the About entry.
    QMenu* CreateContextMenu();

    // A run is going: started and not yet finished or stopped.
    bool RunGoing() const { return m_Run.bGoing; }
    // Channels whose phone is downloading now: started, neither ended nor past its lock.
    int DownloadingCount() const;
    // After Cancel: false when a worker did not end within its bound (it was let go).
    bool AllWorkersJoined() const { return m_bAllJoined; }

public slots:
    void OnStart();
    // Cancel, by the operator or (reason) a signal. The operator is asked first while phones are
    // downloading; a signal, and the session ending, cancel at once.
    void OnCancel(STOP_REASON reason = STOP_REASON{STOP_OPERATOR, 0});
    void OnOption();
    void ShowAbout();

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;
    void reject() override;
    void closeEvent(QCloseEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;
    void moveEvent(QMoveEvent* pEvent) override;
    // The height the window manager's frame adds to the window (0 while none is known).
    virtual int FrameHeight() const;
    void dragEnterEvent(QDragEnterEvent* pEvent) override;
    void dropEvent(QDropEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    // The open-file dialog of an image button; true with the chosen path on OK.
    virtual bool AskOpenFile(const std::string& strFilter, const std::string& strCurrentPath,
                             std::string& strChosen);

private:
    class CImageControls;
    friend class CImageControls;

    void CreateControls();
    void InitDialog();
    QWidget* Control(int nId) const;
    QCheckBox* Box(int nId) const;

    // Image rows and ticks.
    void OnImageButton(int nKind);
    // A selected Phone ticks "Phone Boot" and "Phone", Eboot, PDA and CSC their own box.
    void TickSelected(int nKind);
    void OnPathFocusLost(int nKind);
    void OnPlainTick(int nId);
    void OnEfsClearTick();
    void OnSelectAll();
    void OnModelActivated(int nModel);
    void ModelChange(int nModel);
    void ApplyModelLayout(int nModel);
    // The layout's outer height, the frame known now taken off the client area.
    void ApplyHeight();
    void PutTicksOnBoxes();
    void SyncTicksFromBoxes();
    void RefreshFromWorkers();
    void ApplyEnabling(const IMAGE_ENABLING& en);
    void SetSelectionEnabled(bool bEnabled);
    std::string PathOf(int nKind);

    // Channels.
    void SetPortBox(int nCh, uint32_t nPort, const std::string& strDevNode);
    void UpdatePortColours();
    void ShowLogLine(const std::string& strLine);
    void ShowDayCounts();
    // Starts, restarts or stops the publisher as the setting and the results file now say.
    void ApplyLineBroker();
    // The last states to the broker (bounded), then off the line; at the window's end (bEnd) the
    // records written so far are given the same bound to be acknowledged first.
    void StopLine(bool bEnd);
    void PublishLineState(int nCh);
    // A publisher's message, from any thread: the log box (through the station's log) and
    // standard error.
    void ShowLineMessage(const std::string& strLine);
    // Writes the records still queued (within the Cancel bound) and stops keeping them.
    void StopRecording();
    bool AnyWorkerBusy() const;
    STATION_LOOP_OPTIONS LoopOptions();
    void OnRunTick();
    void OnBarChanged(int nCh);
    void OnWaitTick();
    void Cancel(STOP_REASON reason);
    void PressStartSoon();
    void PressPendingStart();

    std::unique_ptr<CVarnDLCore> m_pCore;
    std::unique_ptr<STATION_THREADS> m_pThreads;
    std::unique_ptr<CImageControls> m_pImageControls;
    CDialogView* m_pView = nullptr;
    CNullSettingsStore m_NullStore;
    ISettingsStore* m_pStore;
    MODEL_LOCATIONS m_aLocations[MODEL_COUNT];

    QComboBox* m_pModel = nullptr;
    QGroupBox* m_pSelectImage = nullptr;
    QPushButton* m_apImageButton[6] = {};
    QLineEdit* m_apPathEdit[6] = {};
    QComboBox* m_pMultiCsc = nullptr;
    QLabel* m_pMultiCscLabel = nullptr;
    QCheckBox* m_pCscPriority = nullptr;
    QPlainTextEdit* m_pLog = nullptr;
    QLabel* m_pDayCounts = nullptr;
    bool m_bRecording = false;
    std::string m_strRecordsPath;
    std::unique_ptr<CLinePublisher> m_pLine;
    std::string m_strLineUrl;      // what m_pLine was started with
    std::string m_strLineRecords;
    QGroupBox* m_pModeGroup = nullptr;
    QPushButton* m_pStart = nullptr;
    QPushButton* m_pCancel = nullptr;
    QPushButton* m_pOption = nullptr;
    QLineEdit* m_apPortBox[MAX_CHANNEL] = {};
    CTextProgressCtrl* m_apBar[MAX_CHANNEL] = {};

    std::unique_ptr<CPortDiscovery> m_pDiscovery;
    bool m_bAutoStartRun = false;
    bool m_bStartPressPending = false;  // queued, not yet pressed
    bool m_bStartDeferred = false;      // waits for a modal window to close
    // Workers started on the channel when its phone arrived: tells whether this phone's cycle ran.

    STATION_RUN m_Run;
    QTimer* m_pRunTimer = nullptr;
    QTimer* m_pWaitTimer = nullptr;  // runs while a bar counts a wait down
    QPointer<CMessageBox> m_pConfirm;  // "Stop N phones ...?" while it is open
    bool m_bCancelling = false;
    bool m_bAllJoined = true;
    uint32_t m_dwTicksSeen = 0;
    QPoint m_ptModeGroup{2, 120};
    int m_nLayoutHeight = 0;  // the outer height of the model's layout
    int m_nFrameApplied = -1;  // the frame height that height was applied with
};
