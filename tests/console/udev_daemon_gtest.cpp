// The udev source against a running udev: a private systemd-udevd, with a rules file that gives a
// real tty of this machine the properties of a phone port, sees the add and remove events that
// `udevadm trigger` raises for it, and port discovery announces the arrival and the removal. The
// shipped rule file is checked with `udevadm test` against the same tty made phone-like.
// The program runs in a mount namespace of its own, where the run directory and every rules
// directory are empty and private, so the daemon and udevadm see nothing of the machine's rules;
// the tty's node is put back as it was (udevadm test applies the rules' owner and mode to it). It needs root, /sys, the udev package and no udev daemon
// running already (its events would reach that one too); elsewhere the tests are skipped with the
// reason.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "console/port_discovery.h"
#include "console/udev_port_source.h"
#include "link/port_map.h"
#include "link/port_table.h"
#include "support/sim_process.h"

namespace {

using CLOCK = std::chrono::steady_clock;

constexpr unsigned EVENT_BOUND_MS = 10000;  // a hang guard only; the figures are printed
const char* const TEST_RULES = "/run/udev/rules.d/60-quillon-test-phone.rules";

std::string g_strWhyNot;  // why the daemon cannot run here; "" when it can
std::string g_strTty;     // the tty made phone-like, e.g. ttyS0
std::string g_strDaemon, g_strUdevadm;

std::string FirstExisting(const std::vector<const char*>& aszPath)
{
    for (const char* sz : aszPath)
        if (::access(sz, X_OK) == 0) return sz;
    return std::string();
}

// A tty of a real device with its node in /dev: a serial port first.
std::string PickTty()
{
    std::string strFound;
    DIR* pDir = ::opendir("/sys/class/tty");
    if (pDir == nullptr) return strFound;
    while (const dirent* e = ::readdir(pDir)) {
        const std::string strName = e->d_name;
        struct stat st;
        if (::access(("/sys/class/tty/" + strName + "/device").c_str(), F_OK) != 0 ||
            ::stat(("/dev/" + strName).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        if (strFound.empty() || (strName.rfind("ttyS", 0) == 0 && strFound.rfind("ttyS", 0) != 0) ||
            (strName.rfind("ttyS", 0) == 0 && strName < strFound))
            strFound = strName;
    }
    ::closedir(pDir);
    return strFound;
}

// Makes the process's mounts private and empties the run and rules directories in them.
std::string Prepare()
{
    if (::geteuid() != 0) return "not root: a private udev daemon needs root";
    if (::access("/sys/class/tty", F_OK) != 0) return "/sys is not mounted";
    g_strDaemon = FirstExisting({"/usr/lib/systemd/systemd-udevd", "/lib/systemd/systemd-udevd"});
    g_strUdevadm = FirstExisting({"/usr/bin/udevadm", "/bin/udevadm"});
    if (g_strDaemon.empty() || g_strUdevadm.empty())
        return "systemd-udevd or udevadm is missing (Debian package udev, which scripts/deps installs)";
    if (::access("/run/udev/control", F_OK) == 0)
        return "a udev daemon runs on this machine: the events the test raises would reach it too";
    g_strTty = PickTty();
    if (g_strTty.empty()) return "no tty of a real device under /sys/class/tty";
    if (::unshare(CLONE_NEWNS) != 0) return std::string("no mount namespace of its own: ") + std::strerror(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("the mounts cannot be made private: ") + std::strerror(errno);
    for (const char* szDir : {"/run", "/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/usr/local/lib/udev/rules.d"}) {
        struct stat st;
        if (::stat(szDir, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        if (::mount("tmpfs", szDir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
            return std::string("no private ") + szDir + ": " + std::strerror(errno);
    }
    if (::mkdir("/run/udev", 0755) != 0 || ::mkdir("/run/udev/rules.d", 0755) != 0)
        return std::string("no private /run/udev: ") + std::strerror(errno);
    return std::string();
}

bool WriteText(const std::string& strPath, const std::string& strText)
{
    std::ofstream out(strPath, std::ios::trunc);
    out << strText;
    return static_cast<bool>(out.flush());
}

// The test rule: the tty's USB interface driver is strDriver, as udev's usb_id would say.
bool GiveDriver(const std::string& strDriver)
{
    return WriteText(TEST_RULES, "SUBSYSTEM==\"tty\", KERNEL==\"" + g_strTty + "\", ENV{ID_USB_DRIVER}=\"" +
                                     strDriver + "\"\n");
}

std::string SysPath() { return "/sys/class/tty/" + g_strTty; }
std::string DevNode() { return "/dev/" + g_strTty; }

// Starts the daemon and waits, on its run directory, until its control socket is there and it
// answers.
bool StartDaemon(CSimProcess& daemon)
{
    const int fdWatch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fdWatch < 0) return false;
    ::inotify_add_watch(fdWatch, "/run/udev", IN_CREATE | IN_MOVED_TO);
    bool bUp = daemon.Start({g_strDaemon, "--resolve-names=never"});
    const auto tUntil = CLOCK::now() + std::chrono::milliseconds(EVENT_BOUND_MS);
    while (bUp && ::access("/run/udev/control", F_OK) != 0) {
        if (CLOCK::now() > tUntil || daemon.Exited(0)) {
            bUp = false;
            break;
        }
        pollfd pfd{fdWatch, POLLIN, 0};
        if (::poll(&pfd, 1, 100) > 0) {
            char aby[4096];
            while (::read(fdWatch, aby, sizeof(aby)) > 0) {
            }
        }
    }
    ::close(fdWatch);
    return bUp && SIM_PROCESS_Run({g_strUdevadm, "control", "--ping"}, {}, EVENT_BOUND_MS).nExit == 0;
}

int Trigger(const char* szAction, bool bSettle)
{
    std::vector<std::string> astr = {g_strUdevadm, "trigger", std::string("--action=") + szAction};
    if (bSettle) astr.push_back("--settle");
    astr.push_back(SysPath());
    return SIM_PROCESS_Run(astr, {}, EVENT_BOUND_MS).nExit;
}

struct NODE_STATE {
    struct stat st {};
    bool bCharLink = false;  // /dev/char/MAJ:MIN was there
    bool bCharDir = false;   // /dev/char was there
};

class UdevDaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_strWhyNot.empty()) GTEST_SKIP() << g_strWhyNot;
        ASSERT_EQ(::stat(DevNode().c_str(), &m_Node.st), 0);
        m_Node.bCharDir = ::access("/dev/char", F_OK) == 0;
        m_Node.bCharLink = ::access(CharLink().c_str(), F_OK) == 0;
        PORT_MAP_Reset();
        PORT_TABLE_Reset();
    }
    // Whatever udev did to the tty's node (udevadm test applies the rules' owner and mode, the
    // daemon touches its times and links it under /dev/char) is undone.
    void TearDown() override
    {
        if (!g_strWhyNot.empty()) return;
        const std::string strNode = DevNode();
        ::chmod(strNode.c_str(), m_Node.st.st_mode & 07777);
        ::chown(strNode.c_str(), m_Node.st.st_uid, m_Node.st.st_gid);
        const timespec atTimes[2] = {m_Node.st.st_atim, m_Node.st.st_mtim};
        ::utimensat(AT_FDCWD, strNode.c_str(), atTimes, 0);
        if (!m_Node.bCharLink) ::unlink(CharLink().c_str());
        if (!m_Node.bCharDir) ::rmdir("/dev/char");
        struct stat st;
        ASSERT_EQ(::stat(strNode.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, m_Node.st.st_mode) << strNode << " is not as it was";
        EXPECT_EQ(st.st_uid, m_Node.st.st_uid) << strNode << " is not as it was";
        EXPECT_EQ(st.st_gid, m_Node.st.st_gid) << strNode << " is not as it was";
        EXPECT_EQ(::access(CharLink().c_str(), F_OK) == 0, m_Node.bCharLink);
        PORT_MAP_Reset();
        PORT_TABLE_Reset();
    }
    std::string DatabaseFile() const
    {
        return "/run/udev/data/c" + std::to_string(major(m_Node.st.st_rdev)) + ":" +
               std::to_string(minor(m_Node.st.st_rdev));
    }
    std::string CharLink() const
    {
        return "/dev/char/" + std::to_string(major(m_Node.st.st_rdev)) + ":" + std::to_string(minor(m_Node.st.st_rdev));
    }

    NODE_STATE m_Node;
};

struct ANNOUNCED {
    bool bArrival;
    uint32_t nPort;
    std::string strDevNode;
    CLOCK::time_point t;
};

// Runs the event loop until discovery has announced nCount events in all, or the bound passes.
bool WaitAnnounced(const std::vector<ANNOUNCED>& aSeen, size_t nCount, QEventLoop& loop)
{
    if (aSeen.size() >= nCount) return true;
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    bound.start(static_cast<int>(EVENT_BOUND_MS));
    while (aSeen.size() < nCount && bound.isActive()) loop.exec();
    return aSeen.size() >= nCount;
}

double MsBetween(CLOCK::time_point tFrom, CLOCK::time_point tTo)
{
    return std::chrono::duration<double, std::milli>(tTo - tFrom).count();
}

TEST_F(UdevDaemonTest, APhonePluggedAndPulledIsAnnouncedThroughTheDaemon)
{
    ASSERT_TRUE(GiveDriver("qcserial"));
    CSimProcess daemon;
    ASSERT_TRUE(StartDaemon(daemon)) << daemon.Output();
    // The daemon's database knows the tty as a phone's before the station starts.
    ASSERT_EQ(Trigger("add", true), 0);

    std::vector<ANNOUNCED> aSeen;
    QEventLoop loop;
    PORT_DISCOVERY_SINK sink;
    sink.fnArrived = [&](uint32_t nPort, const std::string& strDevNode) {
        aSeen.push_back({true, nPort, strDevNode, CLOCK::now()});
        loop.quit();
    };
    sink.fnRemoved = [&](uint32_t nPort) {
        aSeen.push_back({false, nPort, std::string(), CLOCK::now()});
        loop.quit();
    };
    {
        CPortDiscovery discovery(sink);
        std::vector<std::unique_ptr<IPortSource>> apSources;
        apSources.push_back(std::make_unique<CUdevPortSource>());
        discovery.Start(std::move(apSources));
        ASSERT_EQ(aSeen.size(), 1u) << "the phone present at start was not announced";
        EXPECT_TRUE(aSeen[0].bArrival);
        EXPECT_EQ(aSeen[0].strDevNode, DevNode());
        const uint32_t nPort = aSeen[0].nPort;
        EXPECT_NE(nPort, 0u);

        const auto tPull = CLOCK::now();
        EXPECT_EQ(Trigger("remove", false), 0);
        ASSERT_TRUE(WaitAnnounced(aSeen, 2, loop)) << "the removal never reached the station";
        EXPECT_FALSE(aSeen[1].bArrival);
        EXPECT_EQ(aSeen[1].nPort, nPort);

        const auto tPlug = CLOCK::now();
        EXPECT_EQ(Trigger("add", false), 0);
        ASSERT_TRUE(WaitAnnounced(aSeen, 3, loop)) << "the arrival never reached the station";
        EXPECT_TRUE(aSeen[2].bArrival);
        EXPECT_EQ(aSeen[2].strDevNode, DevNode());
        EXPECT_EQ(aSeen[2].nPort, nPort);  // the same node keeps its number

        // From the start of `udevadm trigger` to the announcement: the goal is under 100 ms.
        const double dRemovalMs = MsBetween(tPull, aSeen[1].t), dArrivalMs = MsBetween(tPlug, aSeen[2].t);
        std::printf("%s through a private udev daemon: removal announced after %.1f ms, arrival after %.1f ms "
                    "(goal: under 100 ms)\n",
                    g_strTty.c_str(), dRemovalMs, dArrivalMs);
        RecordProperty("removal_ms", std::to_string(dRemovalMs));
        RecordProperty("arrival_ms", std::to_string(dArrivalMs));
    }
    // The daemon forgets the tty again, and its node link goes with it.
    EXPECT_EQ(Trigger("remove", true), 0);
    EXPECT_EQ(daemon.Stop(), 0) << daemon.Output();
}

// udevadm test runs the rules as the daemon would and prints the properties and tags they give.
TEST_F(UdevDaemonTest, TheShippedRuleTakesPhonePortsOnly)
{
    const std::string strRule = std::string(QUILLON_SOURCE_DIR) + "/packaging/70-quillon-phone.rules";
    std::ifstream in(strRule);
    const std::string strText((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(strText.empty()) << strRule;
    ASSERT_TRUE(WriteText("/etc/udev/rules.d/70-quillon-phone.rules", strText));
    const struct {
        const char* szDriver;
        bool bPhone;
    } aCase[] = {{"qcserial", true}, {"QCUSB_port", true}, {"xucomlinkx", true}, {"ftdi_sio", false}, {"cdc_acm", false}};
    for (const auto& c : aCase) {
        SCOPED_TRACE(c.szDriver);
        ASSERT_TRUE(GiveDriver(c.szDriver));
        // Tags stay with a device in udev's database: each case starts without one.
        ::unlink(DatabaseFile().c_str());
        const SIM_RUN_RESULT r =
            SIM_PROCESS_Run({g_strUdevadm, "test", "--action=add", SysPath()}, {}, EVENT_BOUND_MS);
        ASSERT_EQ(r.nExit, 0) << r.strOut;
        EXPECT_EQ(r.strOut.find("ID_MM_DEVICE_IGNORE=1") != std::string::npos, c.bPhone) << r.strOut;
        EXPECT_EQ(r.strOut.find(":uaccess:") != std::string::npos, c.bPhone) << r.strOut;
        EXPECT_EQ(r.strOut.find("MODE 0660") != std::string::npos, c.bPhone) << r.strOut;
        EXPECT_EQ(r.strOut.find("QUILLON_USB_PORT"), std::string::npos) << r.strOut;
        // udev reads the whole file without a complaint.
        for (const char* szComplaint : {"nvalid", "rror", "gnoring", "nknown"}) {
            size_t n = 0;
            while ((n = r.strOut.find("70-quillon-phone.rules", n)) != std::string::npos) {
                const size_t nEnd = r.strOut.find('\n', n);
                EXPECT_EQ(r.strOut.substr(n, nEnd - n).find(szComplaint), std::string::npos)
                    << r.strOut.substr(n, nEnd - n);
                n = nEnd;
            }
        }
    }
    ::unlink("/etc/udev/rules.d/70-quillon-phone.rules");
}

}  // namespace

int main(int argc, char** argv)
{
    // Before any thread exists: the namespace is the whole process's then.
    g_strWhyNot = Prepare();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
