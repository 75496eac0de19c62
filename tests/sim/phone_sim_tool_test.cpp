// quillon-phone-sim as the station meets it: eight phones published as COM links, one of them
// driven through its link with plain termios reads and writes.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "support/sim_link.h"
#include "support/sim_process.h"

namespace {

const std::string SIM = QUILLON_BINARY_DIR "/quillon-phone-sim";

TEST(PhoneSimTool, EightPhonesPublishedAndOneUnlockedAndLockedThroughItsLink)
{
    const std::string strDir = ::testing::TempDir() + "ports-" + std::to_string(getpid());
    CSimProcess sim;
    ASSERT_TRUE(sim.Start({SIM, "--dir", strDir, "--phones", "8", "--no-stdin"}));
    ASSERT_TRUE(sim.WaitLine("ready", 10000)) << sim.Output();
    for (int n = 1; n <= 8; ++n) {
        EXPECT_EQ(access((strDir + "/COM" + std::to_string(n)).c_str(), F_OK), 0) << n;
    }
    const int fd = SIM_LINK_Open(strDir + "/COM5");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(SIM_LINK_Exchange(fd, SIM_LINK_Frame(0x00, 0xA0, 0, 0)),
              (std::vector<uint8_t>{0x7E, 0x00, 0x02, 0x00, 0x00}));
    EXPECT_EQ(SIM_LINK_Exchange(fd, SIM_LINK_Frame(0x01, 0x90, 0, 0)),
              (std::vector<uint8_t>{0x7E, 0x01, 0x02, 0x00, 0x00}));
    // The locked phone reboots: the port hangs up (its link is removed first), the others stay.
    pollfd pfd{fd, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 5000), 1);
    EXPECT_NE(pfd.revents & POLLHUP, 0);
    close(fd);
    EXPECT_NE(access((strDir + "/COM5").c_str(), F_OK), 0);
    EXPECT_EQ(access((strDir + "/COM4").c_str(), F_OK), 0);
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(sim.Output().find("phone 5 COM5: plugged no, plugs 1, requests 2, bytes 24, locks 1"),
              std::string::npos)
        << sim.Output();
    EXPECT_EQ(access((strDir + "/COM1").c_str(), F_OK), -1);  // links removed at exit
}

TEST(PhoneSimTool, AnswersHelpAndSaysEachUsageErrorInOneLine)
{
    const auto help = SIM_PROCESS_Run({SIM, "--help"});
    EXPECT_EQ(help.nExit, 0);
    EXPECT_NE(help.strOut.find("--drop-after"), std::string::npos);
    EXPECT_EQ(SIM_PROCESS_Run({SIM, "--version"}).strOut.rfind("quillon-phone-sim ", 0), 0u);
    // Each refusal comes before any phone is published, in one line that names what is wrong.
    const std::pair<std::vector<std::string>, std::string> aCases[] = {
        {{"--dir", "/tmp", "--bogus"}, "unknown option --bogus"},
        {{"--dir", "/tmp", "--nak", "E0"}, "--nak takes OP:N"},
        {{"--dir", "/tmp", "--refuse-unlock=2"}, "--refuse-unlock takes"},
        {{"--dir", "/tmp", "--phones=65"}, "--phones takes a whole number from 1 to 64, not '65'"},
        {{"--dir", "/tmp", "--pa", "2"}, "--pa is ambiguous"},
        {{"--dir", "/tmp", "--phones"}, "--phones needs a value"},
        {{"--phones", "2"}, "--dir DIR is required"},
        {{"--dir", "/tmp", "stray"}, "unexpected operand stray"},
        {{"--dir", "/tmp", "--verify-phone", "/nonexistent/phone.bin"}, "/nonexistent/phone.bin"},
        {{"--dir", "/tmp", "--script", "/nonexistent/script"}, "No such file or directory"},
        {{"--dir", "/proc/no-such-dir", "--no-stdin"}, "cannot start phone 1 as /proc/no-such-dir/COM1: "},
    };
    for (const auto& [aArgs, strSays] : aCases) {
        std::vector<std::string> astr = {SIM};
        astr.insert(astr.end(), aArgs.begin(), aArgs.end());
        const auto run = SIM_PROCESS_Run(astr);
        EXPECT_EQ(run.nExit, 2) << strSays;
        EXPECT_NE(run.strOut.find(strSays), std::string::npos) << run.strOut;
        EXPECT_EQ(std::count(run.strOut.begin(), run.strOut.end(), '\n'), 1) << run.strOut;
    }
}

}  // namespace
