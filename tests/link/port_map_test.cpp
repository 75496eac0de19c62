// The serial-port map: IsPhonePort over the present entries, the virtual phones' link names and
// targets, and the permission advice.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "link/port_map.h"
#include "link/port_table.h"
#include "support/pty_pair.h"

namespace {

class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        PORT_MAP_Reset();
        PORT_TABLE_Reset();
    }
    void TearDown() override { SetUp(); }
};

TEST_F(PortMapTest, IsPhonePortAsksThePresentEntries)
{
    PORT_MAP_Add("/dev/ttyUSB0", "qcserial", false);
    const uint32_t nPhone = PORT_TABLE_Assign("/dev/ttyUSB0");
    // A cable's node that has a number for some other reason is still no phone's.
    PORT_MAP_Add("/dev/ttyUSB1", "ftdi_sio", false);
    const uint32_t nCable = PORT_TABLE_Assign("/dev/ttyUSB1");
    PORT_MAP_Add("/dev/pts/9", "", true);
    ASSERT_TRUE(PORT_TABLE_AssignFixed("/dev/pts/9", 7));

    EXPECT_TRUE(IsPhonePort(nPhone));
    EXPECT_FALSE(IsPhonePort(nCable));
    EXPECT_TRUE(IsPhonePort(7));
    EXPECT_FALSE(IsPhonePort(0));
    EXPECT_FALSE(IsPhonePort(8));

    // Gone from the map: its number stays with its node, but the port is no longer a phone's.
    EXPECT_TRUE(PORT_MAP_Remove("/dev/ttyUSB0"));
    EXPECT_FALSE(PORT_MAP_Remove("/dev/ttyUSB0"));
    EXPECT_FALSE(IsPhonePort(nPhone));
    EXPECT_EQ(PORT_TABLE_Find("/dev/ttyUSB0"), nPhone);
}

TEST(PortMapVirtual, OnlyCanonicalComNamesHaveANumber)
{
    const struct {
        const char* szName;
        uint32_t nPort;
    } aCase[] = {{"COM1", 1},   {"COM12", 12},  {"COM99999", 99999}, {"COM0", 0},   {"COM07", 0},
                 {"COM", 0},    {"COMx", 0},    {"com3", 0},         {"COM3.new", 0}, {"COM-3", 0},
                 {"COM+3", 0},  {"COM 3", 0},   {"COM100000", 0},    {"COM4294967297", 0}, {"", 0},
                 {"XCOM3", 0}};
    for (const auto& c : aCase) EXPECT_EQ(PORT_MAP_VirtualPortNumber(c.szName), c.nPort) << c.szName;
}

TEST(PortMapVirtual, ALinkCountsOnlyWhenItLeadsToAPseudoTerminal)
{
    char szDir[] = "/tmp/quillon-ports-XXXXXX";
    ASSERT_NE(::mkdtemp(szDir), nullptr);
    const std::string strDir = szDir;
    CPtyPair pty;
    ASSERT_TRUE(pty.IsOpen());
    const std::string strFile = strDir + "/plain";
    ::close(::open(strFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    const struct {
        const char* szName;
        std::string strTarget;  // "" for a regular file under the name itself
        std::string strNode;
    } aCase[] = {
        {"COM1", pty.SlavePath(), pty.SlavePath()},
        {"COM2", "/dev/pts/../pts/" + pty.SlavePath().substr(9), pty.SlavePath()},
        {"COM3", strDir + "/nothing-here", ""},  // dangling
        {"COM4", strFile, ""},                    // a regular file
        {"COM5", "/dev/null", ""},                // a device, but no terminal
        {"COM6", "/dev/ptmx", ""},                // the multiplexer, no phone's line
        {"COM7", "", ""},                         // no link at all
        {"COM8", strDir, ""},                     // a directory
    };
    for (const auto& c : aCase) {
        const std::string strLink = strDir + "/" + c.szName;
        if (c.strTarget.empty())
            ::close(::open(strLink.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        else
            ASSERT_EQ(::symlink(c.strTarget.c_str(), strLink.c_str()), 0);
        EXPECT_EQ(PORT_MAP_VirtualLinkNode(strDir, c.szName), c.strNode) << c.szName;
        ::unlink(strLink.c_str());
    }
    EXPECT_EQ(PORT_MAP_VirtualLinkNode(strDir, "COM9"), "");  // missing
    ::unlink(strFile.c_str());
    ::rmdir(szDir);
}

TEST(PortMapPermission, TheAdviceFitsWhoOwnsTheNode)
{
    // Given to dialout by udev already: the user is what is missing. Any other owner: the rule
    // was never installed.
    EXPECT_NE(PORT_MAP_PermissionFix("dialout").find("dialout group"), std::string::npos);
    for (const char* szGroup : {"root", "tty", ""})
        EXPECT_NE(PORT_MAP_PermissionFix(szGroup).find("70-quillon-phone.rules"), std::string::npos) << szGroup;
    // A node the process may open, or one that is not there, has nothing to explain.
    CPtyPair pty;
    ASSERT_TRUE(pty.IsOpen());
    EXPECT_EQ(PORT_MAP_AccessProblem(3, pty.SlavePath()), "");
    EXPECT_EQ(PORT_MAP_AccessProblem(3, "/dev/quillon-no-such-port"), "");
    if (::geteuid() != 0) {  // root may open everything
        char szPath[] = "/tmp/quillon-port-XXXXXX";
        const int hFile = ::mkstemp(szPath);
        ASSERT_GE(hFile, 0);
        ::close(hFile);
        ::chmod(szPath, 0);
        const std::string strLine = PORT_MAP_AccessProblem(3, szPath);
        EXPECT_EQ(strLine.rfind(std::string("COM3 (") + szPath + "): no permission", 0), 0u) << strLine;
        ::unlink(szPath);
    }
}

}  // namespace
