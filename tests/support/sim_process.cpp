#include "support/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace {

pid_t Spawn(const std::vector<std::string>& astrArgs, int* pfdOut)
{
    int afd[2];
    if (pipe2(afd, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(afd[1], STDOUT_FILENO);
        dup2(afd[1], STDERR_FILENO);
        const int fdNull = open("/dev/null", O_RDONLY);
        dup2(fdNull, STDIN_FILENO);
        std::vector<char*> argv;
        for (const auto& str : astrArgs) argv.push_back(const_cast<char*>(str.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(afd[1]);
    *pfdOut = afd[0];
    return pid;
}

int ExitOf(int nStatus)
{
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

}  // namespace

SIM_RUN_RESULT SIM_PROCESS_Run(const std::vector<std::string>& astrArgs)
{
    SIM_RUN_RESULT result;
    int fd = -1;
    const pid_t pid = Spawn(astrArgs, &fd);
    if (pid < 0) return result;
    char sz[4096];
    ssize_t n;
    while ((n = read(fd, sz, sizeof(sz))) > 0) result.strOut.append(sz, static_cast<size_t>(n));
    close(fd);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    result.nExit = ExitOf(nStatus);
    return result;
}

CSimProcess::~CSimProcess()
{
    if (m_pid > 0) Stop();
}

bool CSimProcess::Start(const std::vector<std::string>& astrArgs)
{
    m_pid = Spawn(astrArgs, &m_fdOut);
    return m_pid > 0;
}

void CSimProcess::ReadSome(int nTimeoutMs)
{
    pollfd pfd{m_fdOut, POLLIN, 0};
    if (poll(&pfd, 1, nTimeoutMs) <= 0) return;
    char sz[4096];
    const ssize_t n = read(m_fdOut, sz, sizeof(sz));
    if (n > 0) m_strOut.append(sz, static_cast<size_t>(n));
}

bool CSimProcess::WaitLine(const std::string& strLine, unsigned dwTimeoutMs)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwTimeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (m_strOut.find(strLine + "\n") != std::string::npos) return true;
        ReadSome(50);
    }
    return false;
}

void CSimProcess::Signal(int nSignal)
{
    if (m_pid > 0) kill(m_pid, nSignal);
}

int CSimProcess::WaitExit(unsigned dwTimeoutMs)
{
    if (m_pid <= 0) return -1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwTimeoutMs);
    int nStatus = 0;
    // Reading on while waiting: a program whose output pipe is full would never end.
    while (waitpid(m_pid, &nStatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &nStatus, 0);
            nStatus = -1;
            break;
        }
        ReadSome(20);
    }
    m_pid = -1;
    char sz[4096];
    ssize_t n;
    while ((n = read(m_fdOut, sz, sizeof(sz))) > 0) m_strOut.append(sz, static_cast<size_t>(n));
    close(m_fdOut);
    return nStatus == -1 ? -1 : ExitOf(nStatus);
}

int CSimProcess::Stop()
{
    if (m_pid <= 0) return -1;
    kill(m_pid, SIGTERM);
    char sz[4096];
    ssize_t n;
    while ((n = read(m_fdOut, sz, sizeof(sz))) > 0) m_strOut.append(sz, static_cast<size_t>(n));
    close(m_fdOut);
    int nStatus = 0;
    waitpid(m_pid, &nStatus, 0);
    m_pid = -1;
    return ExitOf(nStatus);
}
