#include "support/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace {

// A pseudo-terminal as the child's output: the master to read, the slave to write.
bool OpenTerminal(int afd[2])
{
    afd[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (afd[0] < 0) return false;
    const char* szSlave = grantpt(afd[0]) == 0 && unlockpt(afd[0]) == 0 ? ptsname(afd[0]) : nullptr;
    afd[1] = szSlave ? open(szSlave, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (afd[1] >= 0) return true;
    close(afd[0]);
    return false;
}

pid_t Spawn(const std::vector<std::string>& astrArgs, const SIM_SPAWN_OPTIONS& options, int* pfdOut,
            int* pfdIn, int* pfdTerminal)
{
    int afd[2];
    if (options.bTerminal ? !OpenTerminal(afd) : pipe2(afd, O_CLOEXEC) != 0) return -1;
    int afdIn[2] = {-1, -1};
    // A socket rather than a pipe: a write to a program that has ended fails instead of raising
    // SIGPIPE in the test.
    if (options.bStdinPipe && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, afdIn) != 0) {
        close(afd[0]);
        close(afd[1]);
        return -1;
    }
    if (options.nPipeSize > 0) fcntl(afd[0], F_SETPIPE_SZ, options.nPipeSize);
    // Everything the child needs is prepared before the fork: only async-signal-safe calls
    // follow it.
    std::vector<char*> argv;
    for (const auto& str : astrArgs) argv.push_back(const_cast<char*>(str.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> astrEnv = options.astrEnv;
    for (char** ppsz = environ; *ppsz; ++ppsz) {
        const std::string str = *ppsz;
        const std::string strName = str.substr(0, str.find('=') + 1);
        bool bReplaced = false;
        for (const std::string& strSet : options.astrEnv) bReplaced = bReplaced || strSet.rfind(strName, 0) == 0;
        if (!bReplaced) astrEnv.push_back(str);
    }
    std::vector<char*> envp;
    for (const auto& str : astrEnv) envp.push_back(const_cast<char*>(str.c_str()));
    envp.push_back(nullptr);
    if (options.bTerminal && options.nColumns != 0) {
        const winsize ws = {24, options.nColumns, 0, 0};
        ioctl(afd[0], TIOCSWINSZ, &ws);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int fdNull = open("/dev/null", O_RDONLY);
        dup2(options.bStdinPipe ? afdIn[0] : fdNull, STDIN_FILENO);
        dup2(afd[1], STDERR_FILENO);
        dup2(afd[1], STDOUT_FILENO);
        // Descriptors of the test process (a virtual phone's end of its line) stay out.
        closefrom(3);
        if (options.bCloseStdout) close(STDOUT_FILENO);
        for (const auto& limit : options.aLimits) {
            const rlimit r = {limit.second, limit.second};
            setrlimit(limit.first, &r);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (options.bTerminal)
        *pfdTerminal = afd[1];
    else
        close(afd[1]);
    *pfdOut = afd[0];
    if (options.bStdinPipe) {
        close(afdIn[0]);
        *pfdIn = afdIn[1];
    }
    return pid;
}

int ExitOf(int nStatus)
{
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

using CLOCK = std::chrono::steady_clock;

}  // namespace

SIM_RUN_RESULT SIM_PROCESS_Run(const std::vector<std::string>& astrArgs,
                               const SIM_SPAWN_OPTIONS& options, unsigned dwTimeoutMs)
{
    SIM_RUN_RESULT result;
    CSimProcess process;
    if (!process.Start(astrArgs, options)) return result;
    result.nExit = process.WaitExit(dwTimeoutMs != 0 ? dwTimeoutMs : ~0u);
    result.bTimedOut = dwTimeoutMs != 0 && result.nExit == -1;
    result.strOut = process.Output();
    return result;
}

CSimProcess::~CSimProcess()
{
    if (m_pid > 0) Stop();
}

bool CSimProcess::Start(const std::vector<std::string>& astrArgs, const SIM_SPAWN_OPTIONS& options)
{
    m_pid = Spawn(astrArgs, options, &m_fdOut, &m_fdIn, &m_fdTerminal);
    return m_pid > 0;
}

void CSimProcess::ReadSome(int nTimeoutMs)
{
    if (m_fdOut < 0) return;
    pollfd pfd{m_fdOut, POLLIN, 0};
    if (poll(&pfd, 1, nTimeoutMs) <= 0) return;
    char sz[4096];
    const ssize_t n = read(m_fdOut, sz, sizeof(sz));
    if (n > 0) m_strOut.append(sz, static_cast<size_t>(n));
}

bool CSimProcess::WaitLine(const std::string& strLine, unsigned dwTimeoutMs)
{
    const auto until = CLOCK::now() + std::chrono::milliseconds(dwTimeoutMs);
    while (CLOCK::now() < until) {
        if (m_strOut.find(strLine + "\n") != std::string::npos) return true;
        ReadSome(50);
    }
    return false;
}

void CSimProcess::Signal(int nSignal)
{
    if (m_pid > 0) kill(m_pid, nSignal);
}

bool CSimProcess::Send(const std::string& strText)
{
    if (m_fdIn < 0) return false;
    return send(m_fdIn, strText.data(), strText.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(strText.size());
}

void CSimProcess::CloseOutput()
{
    if (m_fdOut >= 0) close(m_fdOut);
    m_fdOut = -1;
}

bool CSimProcess::Exited(unsigned dwTimeoutMs)
{
    if (m_pid <= 0 || m_bReaped) return true;
    const auto until = CLOCK::now() + std::chrono::milliseconds(dwTimeoutMs);
    for (;;) {
        if (waitpid(m_pid, &m_nReapedStatus, WNOHANG) == m_pid) {
            m_bReaped = true;
            return true;
        }
        if (CLOCK::now() >= until) return false;
        ReadSome(20);
    }
}

int CSimProcess::WaitExit(unsigned dwTimeoutMs)
{
    if (m_pid <= 0) return -1;
    const auto until = CLOCK::now() + std::chrono::milliseconds(dwTimeoutMs);
    int nStatus = m_nReapedStatus;
    for (;;) {
        if (m_bReaped) break;
        const pid_t pid = waitpid(m_pid, &nStatus, WNOHANG);
        if (pid == m_pid) break;
        if (CLOCK::now() >= until) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &nStatus, 0);
            nStatus = -1;
            break;
        }
        if (m_fdOut >= 0) {
            ReadSome(20);
        } else {
            pollfd none{-1, 0, 0};
            poll(&none, 1, 20);  // bounded pause between looks, nothing to read meanwhile
        }
    }
    // Reading on while waiting above keeps a program with a full output pipe from never ending.
    // The rest of the output; the write end is closed once the program (and its children) ended.
    if (m_fdOut >= 0) {
        char sz[4096];
        ssize_t n;
        pollfd pfd{m_fdOut, POLLIN, 0};
        // A terminal never ends: what the program wrote is all queued once it has exited.
        const int nWaitMs = m_fdTerminal >= 0 ? 0 : 1000;
        while (poll(&pfd, 1, nWaitMs) > 0 && (n = read(m_fdOut, sz, sizeof(sz))) > 0)
            m_strOut.append(sz, static_cast<size_t>(n));
        close(m_fdOut);
        m_fdOut = -1;
    }
    if (m_fdTerminal >= 0) close(m_fdTerminal);
    m_fdTerminal = -1;
    m_pid = -1;
    if (m_fdIn >= 0) close(m_fdIn);
    m_fdIn = -1;
    return nStatus == -1 ? -1 : ExitOf(nStatus);
}

int CSimProcess::Stop()
{
    if (m_pid <= 0) return -1;
    if (!m_bReaped) kill(m_pid, SIGTERM);  // a reaped number may belong to somebody else by now
    if (m_fdTerminal >= 0) return WaitExit(~0u);  // its output never reads as ended
    char sz[4096];
    ssize_t n;
    if (m_fdOut >= 0) {
        while ((n = read(m_fdOut, sz, sizeof(sz))) > 0) m_strOut.append(sz, static_cast<size_t>(n));
        close(m_fdOut);
        m_fdOut = -1;
    }
    int nStatus = m_nReapedStatus;
    if (!m_bReaped) waitpid(m_pid, &nStatus, 0);
    m_pid = -1;
    if (m_fdIn >= 0) close(m_fdIn);
    m_fdIn = -1;
    return ExitOf(nStatus);
}
