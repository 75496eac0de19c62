// Runs the project's command-line programs from tests: once to completion with the output
// captured, or in the background with its output read line by line, signalled and waited for.
// Both can start a program the way a careless caller would: with standard output closed, a
// small output pipe or tight resource limits.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct SIM_RUN_RESULT {
    int nExit = -1;  // exit status, or -1 when it did not exit normally
    std::string strOut;
    bool bTimedOut = false;  // killed after the bound given to SIM_PROCESS_Run
};

struct SIM_SPAWN_OPTIONS {
    bool bCloseStdout = false;  // starts with descriptor 1 closed (">&-"); stderr still captured
    int nPipeSize = 0;          // capacity of the output pipe in bytes; 0 keeps the default
    std::vector<std::pair<int, rlim_t>> aLimits;  // resource limits (RLIMIT_*) set before exec
    bool bStdinPipe = false;  // standard input is a pipe that Send writes to
    // Standard output and error on a pseudo-terminal, as when an operator runs the program; the
    // output read is what the terminal receives (line ends as "\r\n").
    bool bTerminal = false;
    uint16_t nColumns = 0;  // the terminal's width (0: the pseudo-terminal's own, unknown)
    // Variables added to (or replacing in) the inherited environment: "NAME=VALUE".
    std::vector<std::string> astrEnv = {};
};

// Runs to completion; with dwTimeoutMs the program is killed once that much time has passed.
SIM_RUN_RESULT SIM_PROCESS_Run(const std::vector<std::string>& astrArgs,
                               const SIM_SPAWN_OPTIONS& options = {}, unsigned dwTimeoutMs = 0);

class CSimProcess {
public:
    ~CSimProcess();
    bool Start(const std::vector<std::string>& astrArgs, const SIM_SPAWN_OPTIONS& options = {});
    // Reads output until a line equal to strLine arrives (true) or dwTimeoutMs passes.
    bool WaitLine(const std::string& strLine, unsigned dwTimeoutMs);
    void Signal(int nSignal);
    // Writes to the program's standard input (started with bStdinPipe); false when it cannot.
    bool Send(const std::string& strText);
    // Stops reading and closes the read end of the output pipe, as "| head -1" does.
    void CloseOutput();
    // Collects output until the program exits; its exit status, or -1 when it did not exit
    // normally or had to be killed after dwTimeoutMs.
    int WaitExit(unsigned dwTimeoutMs);
    // Collects output for at most dwTimeoutMs; true once the program has exited (WaitExit then
    // gives its status). The program is left running otherwise.
    bool Exited(unsigned dwTimeoutMs);
    // SIGTERM, then collects the rest of the output and the exit status.
    int Stop();
    const std::string& Output() const { return m_strOut; }

private:
    void ReadSome(int nTimeoutMs);
    pid_t m_pid = -1;
    int m_fdOut = -1;
    int m_fdIn = -1;
    // With a terminal: the test keeps the slave open, so that the master never reads as hung up
    // while output is still queued.
    int m_fdTerminal = -1;
    int m_nReapedStatus = -1;  // the status Exited found, while m_pid still names the program
    bool m_bReaped = false;
    std::string m_strOut;
};
