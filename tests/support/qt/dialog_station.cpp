#include "engine/download_plan.h"
#include "support/qt/dialog_station.h"

#include <QAbstractButton>
#include <QApplication>
#include "settings/message_box.h"
#include <QTimer>

#include <cstdlib>
#include <filesystem>

#include "engine/orchestration.h"
#include "link/port_table.h"
#include "link/serial_device.h"
#include "sim/flash_verify.h"

std::shared_ptr<QString> QT_AnswerNextModal(std::function<void(QWidget*)> fnAct, int nTimeoutMs)
{
    auto pText = std::make_shared<QString>();
    auto* pTimer = new QTimer(qApp);
    auto nLeft = std::make_shared<int>(nTimeoutMs / 10);
    QObject::connect(pTimer, &QTimer::timeout, pTimer, [pTimer, pText, nLeft, fnAct] {
        QWidget* pModal = QApplication::activeModalWidget();
        if (!pModal || !pModal->isVisible()) {
            if (--*nLeft <= 0) pTimer->deleteLater();
            return;
        }
        pTimer->stop();
        pTimer->deleteLater();
        if (auto* pBox = qobject_cast<CMessageBox*>(pModal)) *pText = pBox->Text();
        fnAct(pModal);
    });
    pTimer->start(10);
    return pText;
}

void QT_ClickButton(QWidget* pModal, const QString& strNameOrText)
{
    for (QAbstractButton* pButton : pModal->findChildren<QAbstractButton*>()) {
        if (pButton->objectName() == strNameOrText || pButton->text().remove('&') == strNameOrText) {
            pButton->click();
            return;
        }
    }
}

CScratchDir::CScratchDir()
{
    char szDir[] = "/tmp/quillon-console-XXXXXX";
    if (::mkdtemp(szDir)) m_strDir = szDir;
}

CScratchDir::~CScratchDir()
{
    std::error_code ec;
    if (!m_strDir.empty()) std::filesystem::remove_all(m_strDir, ec);
}

CDialogStation::CDialogStation(int nPhones, const IMAGE_SET_SIZES& sizes, const PHONE_CONFIG& cfg,
                               ISettingsStore* pStore)
{
    PORT_TABLE_Reset();
    std::string strError;
    IMAGE_BUILDER_WriteStandardSet(m_Dir.Path(), 1, sizes, &m_Images, &strError);
    for (int i = 0; i < nPhones; ++i) {
        m_apPhone.push_back(std::make_unique<CVirtualPhone>(cfg));
        m_apPhone.back()->Start();
    }
    m_pDlg = std::make_unique<CVarnDLDlg>(pStore);
}

CDialogStation::~CDialogStation()
{
    m_pDlg.reset();
    for (int i = 0; i < MAX_CHANNEL; ++i) SERIAL_DEVICE_Close(i);
    SERIAL_DEVICE_SetStopTest(nullptr);
    for (auto& pPhone : m_apPhone) pPhone->Stop();
    ENGINE_SetDownloadPlan(nullptr);
    PORT_TABLE_Reset();
}

void CDialogStation::SelectImages()
{
    const std::string* apstr[] = {nullptr, &m_Images.strPhone, &m_Images.strEboot, &m_Images.strPda,
                                  &m_Images.strCsc, &m_Images.strHidden};
    for (int k = IMAGE_PHONE; k <= IMAGE_HIDDEN; ++k)
        if (!apstr[k]->empty()) m_pDlg->SelectImageFile(k, *apstr[k]);
}

void CDialogStation::PlugAll()
{
    for (auto& pPhone : m_apPhone) {
        const std::string strNode = pPhone->SlavePath();
        m_pDlg->PortArrived(PORT_TABLE_Assign(strNode), strNode);
    }
}

std::string CDialogStation::Verify(int i) const
{
    VERIFY_IMAGES images;
    images.strPhone = m_Images.strPhone;
    images.strEboot = m_Images.strEboot;
    images.strPda = m_Images.strPda;
    images.strCsc = m_Images.strCsc;
    images.strHidden = m_Images.strHidden;
    std::vector<FLASH_SLICE> aSlices;
    std::string strError;
    if (!FLASH_VERIFY_SlicesFromImages(images, &aSlices, &strError)) return strError;
    std::string strBad;
    m_apPhone[static_cast<size_t>(i)]->WithFlash([&](const CFlashModel& flash) {
        for (const VERIFY_RESULT& r : FLASH_VERIFY_Slices(flash, aSlices))
            if (r.eStatus != VERIFY_OK)
                strBad += r.slice.strName + ": " + FLASH_VERIFY_StatusText(r.eStatus) + "; ";
    });
    return strBad;
}

bool CDialogStation::Passed(int i) const
{
    CVarnDLCore& core = m_pDlg->Core();
    return core.m_aChannel[i].m_bCycleEnd == 1 && core.m_aChannel[i].m_bDownloadDone == 1;
}

std::string CDialogStation::BarText(int i) const { return m_pDlg->Core().m_ctrlProgress[i].GetState().strText; }
