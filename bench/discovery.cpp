// How long an arrival or a removal takes to reach the dialog, from the moment a virtual phone's
// link COM<n> appears in the watched directory or goes: once with the window idle, once while a
// Start loop runs a download (events then come through the loop's own event processing). Prints
// the median, 95th percentile and worst of each, against the goal of 100 ms.
//
// Usage: bench_discovery [--rounds N]

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_common.h"
#include "console/socket_watch.h"
#include "console/varndl_dlg.h"
#include "images/image_trailer.h"
#include "ports/virtual_port_source.h"
#include "sim/image_builder.h"
#include "sim/virtual_phone.h"

namespace {

constexpr uint32_t BENCH_PORT = 5;  // the link that comes and goes
constexpr double GOAL_MS = 100.0;

using CLOCK = std::chrono::steady_clock;

double MsSince(CLOCK::time_point t) { return std::chrono::duration<double, std::milli>(CLOCK::now() - t).count(); }

// The directory source, with the moment each event reaches discovery noted.
class CTimedSource final : public IPortSource {
public:
    explicit CTimedSource(const std::string& strDir) : m_Inner(strDir, SOCKET_WATCH_Make) {}
    bool Start(EVENT_FN fnEvent, std::vector<PORT_EVENT>& aPresent, std::string& strProblem) override
    {
        return m_Inner.Start(
            [this, fnEvent](const PORT_EVENT& ev) {
                fnEvent(ev);
                if (ev.nVirtualPort == BENCH_PORT && m_fnSeen) m_fnSeen(ev.bArrival);
            },
            aPresent, strProblem);
    }
    std::function<void(bool bArrival)> m_fnSeen;

private:
    CVirtualPortSource m_Inner;
};

struct FIGURES {
    std::vector<double> adArrival, adRemoval;
};

// Makes the link appear and go nRounds times; each step starts once the last one was seen.
class CRounds {
public:
    CRounds(CTimedSource& source, std::string strDir, int nRounds, std::function<void()> fnDone)
        : m_Source(source), m_strDir(std::move(strDir)), m_nLeft(nRounds), m_fnDone(std::move(fnDone))
    {
        ::openpty(&m_fdMaster, &m_fdSlave, m_szSlave, nullptr, nullptr);
        source.m_fnSeen = [this](bool bArrival) { Seen(bArrival); };
    }
    ~CRounds()
    {
        m_Source.m_fnSeen = nullptr;
        ::close(m_fdMaster);
        ::close(m_fdSlave);
    }
    void Begin() { Plug(); }
    FIGURES m_Figures;

private:
    std::string Link() const { return m_strDir + "/COM" + std::to_string(BENCH_PORT); }
    void Plug()
    {
        const std::string strNew = Link() + ".new";
        ::symlink(m_szSlave, strNew.c_str());
        m_tStart = CLOCK::now();
        ::rename(strNew.c_str(), Link().c_str());  // the link appears whole, as the simulator's do
    }
    void Pull()
    {
        m_tStart = CLOCK::now();
        ::unlink(Link().c_str());
    }
    void Seen(bool bArrival)
    {
        (bArrival ? m_Figures.adArrival : m_Figures.adRemoval).push_back(MsSince(m_tStart));
        // The next step from the event loop, as a separate event would come.
        QTimer::singleShot(0, [this, bArrival] {
            if (bArrival) return Pull();
            if (--m_nLeft > 0) return Plug();
            m_fnDone();
        });
    }

    CTimedSource& m_Source;
    std::string m_strDir;
    int m_nLeft;
    std::function<void()> m_fnDone;
    int m_fdMaster = -1, m_fdSlave = -1;
    char m_szSlave[256] = {};
    CLOCK::time_point m_tStart;
};

void Print(const char* szWhat, std::vector<double> ad)
{
    if (ad.empty()) {
        std::printf("  %-8s no events seen\n", szWhat);
        return;
    }
    std::sort(ad.begin(), ad.end());
    const double dP95 = ad[std::min(ad.size() - 1, ad.size() * 95 / 100)];
    std::printf("  %-8s median %.2f ms, 95%% %.2f ms, worst %.2f ms over %zu (goal: under %.0f ms)\n", szWhat,
                ad[ad.size() / 2], dP95, ad.back(), ad.size(), GOAL_MS);
}

}  // namespace

int main(int argc, char** argv)
{
    const int nRounds = std::max(1, BENCH_IntOption(argc, argv, "--rounds", 200));
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    CBenchImages scratch;
    if (!scratch.Write("bench_discovery", IMAGE_SET_SIZES())) return 1;
    const IMAGE_SET& images = scratch.Images();
    const std::string strPorts = scratch.Dir() + "/ports";

    CVarnDLDlg dlg;
    dlg.SelectImageFile(IMAGE_PHONE, images.strPhone);
    dlg.SelectImageFile(IMAGE_PDA, images.strPda);
    auto pOwned = std::make_unique<CTimedSource>(strPorts);
    CTimedSource& source = *pOwned;
    std::vector<std::unique_ptr<IPortSource>> apSources;
    apSources.push_back(std::move(pOwned));
    dlg.StartPortDiscovery(std::move(apSources));
    std::printf("bench_discovery: %d rounds of a link appearing and going, load %s\n", nRounds, BENCH_LoadAverage().c_str());

    {
        CRounds rounds(source, strPorts, nRounds, [&app] { app.quit(); });
        QTimer::singleShot(0, [&rounds] { rounds.Begin(); });
        app.exec();
        std::printf("window idle:\n");
        Print("arrival", rounds.m_Figures.adArrival);
        Print("removal", rounds.m_Figures.adRemoval);
    }

    // A slow phone keeps a Start loop running while the link comes and goes.
    PHONE_CONFIG cfg;
    cfg.dBytesPerSecond = 100000;
    cfg.strPublishLink = strPorts + "/COM1";
    CVirtualPhone phone(cfg);
    if (!phone.Start()) return 1;
    QCoreApplication::processEvents();
    {
        CRounds rounds(source, strPorts, nRounds, [&dlg] { dlg.OnCancel(); });
        QTimer::singleShot(0, [&rounds] { rounds.Begin(); });
        dlg.findChild<QPushButton*>("1")->click();  // returns when Cancel has ended the run
        std::printf("during a run (Start loop):\n");
        Print("arrival", rounds.m_Figures.adArrival);
        Print("removal", rounds.m_Figures.adRemoval);
    }
    phone.Stop();
    return 0;
}
