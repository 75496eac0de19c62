// Device nodes judged before they are taken as a phone's port: a pseudo-terminal is told from a
// serial port's terminal, and another process holding a device open is named.

#include <gtest/gtest.h>

#include <csignal>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "link/tty_node.h"
#include "support/pty_pair.h"

TEST(TtyNode, PseudoTerminalSlavesAreTerminalsOfTheirOwnKind)
{
    CPtyPair pair;
    ASSERT_TRUE(pair.IsOpen());
    EXPECT_EQ(TTY_NODE_Kind(pair.SlavePath()), TTY_NODE_PSEUDO);
    // The master multiplexer hands out new masters: no phone's port.
    std::string strWhy;
    EXPECT_EQ(TTY_NODE_Kind("/dev/ptmx", &strWhy), TTY_NODE_NONE);
    EXPECT_EQ(strWhy, "a terminal alias, not a port");
}

TEST(TtyNode, AnotherProcessHoldingTheDeviceIsNamed)
{
    CPtyPair pair;
    ASSERT_TRUE(pair.IsOpen());
    // This process holds both ends itself; that is nobody else.
    EXPECT_EQ(TTY_NODE_OtherHolder(pair.SlavePath()), "");

    // A program that keeps the device open as its standard input, as a modem manager would.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, pair.SlavePath().c_str(), O_RDONLY | O_NOCTTY, 0);
    char szSleep[] = "sleep";
    char szSeconds[] = "60";
    char* argv[] = {szSleep, szSeconds, nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawnp(&pid, "sleep", &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    // The child has its descriptors once it runs sleep: its name is "sleep" from then on.
    const std::string strExpected = "sleep (pid " + std::to_string(pid) + ")";
    std::string strHolder;
    for (int i = 0; i < 500 && strHolder != strExpected; ++i)
        strHolder = TTY_NODE_OtherHolder(pair.SlavePath());
    EXPECT_EQ(strHolder, strExpected);

    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(TTY_NODE_OtherHolder(pair.SlavePath()), "");
    EXPECT_EQ(TTY_NODE_OtherHolder("/nonexistent/node"), "");
}
