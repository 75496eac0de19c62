// Runs the project's command-line programs from tests: once to completion with the output
// captured, or in the background with its output read line by line.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct SIM_RUN_RESULT {
    int nExit = -1;  // exit status, or -1 when it did not exit normally
    std::string strOut;
};
SIM_RUN_RESULT SIM_PROCESS_Run(const std::vector<std::string>& astrArgs);

class CSimProcess {
public:
    ~CSimProcess();
    bool Start(const std::vector<std::string>& astrArgs);
    // Reads output until a line equal to strLine arrives (true) or dwTimeoutMs passes.
    bool WaitLine(const std::string& strLine, unsigned dwTimeoutMs);
    // SIGTERM, then collects the rest of the output and the exit status.
    int Stop();
    void Signal(int nSignal);
    // Collects output until the program exits; its exit status, or -1 when it did not exit
    // normally or had to be killed after dwTimeoutMs.
    int WaitExit(unsigned dwTimeoutMs);
    const std::string& Output() const { return m_strOut; }

private:
    void ReadSome(int nTimeoutMs);
    pid_t m_pid = -1;
    int m_fdOut = -1;
    std::string m_strOut;
};
