#include "headless/output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>

#include <poll.h>
#include <unistd.h>

#include "station/text_format.h"

std::string HEADLESS_Chomp(std::string str)
{
    while (!str.empty() && (str.back() == '\n' || str.back() == '\r')) str.pop_back();
    return str;
}

std::string HEADLESS_PlainText(const std::string& str)
{
    std::string out;
    out.reserve(str.size());
    for (size_t i = 0; i < str.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(str[i]);
        const size_t n = c >= 0x80 ? TEXT_Utf8SequenceAt(str, i) : 1;
        // U+0080..U+009F are the C1 controls.
        const bool bC1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(str[i + 1]) < 0xA0;
        if (c >= 0x80 && n != 0 && !bC1) {
            out.append(str, i, n);
            i += n - 1;
            continue;
        }
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            continue;
        }
        char sz[8];
        if (c == '\n') std::snprintf(sz, sizeof(sz), "\\n");
        else if (c == '\r') std::snprintf(sz, sizeof(sz), "\\r");
        else if (c == '\t') std::snprintf(sz, sizeof(sz), "\\t");
        else std::snprintf(sz, sizeof(sz), "\\x%02x", c);
        out += sz;
    }
    return out;
}

COutput::COutput()
{
    m_strPending.reserve(BUFFER_RESERVE);
    m_strWriting.reserve(BUFFER_RESERVE);
}

void COutput::Append(const std::string& str)
{
    std::lock_guard<std::mutex> lock(m_cs);
    if (!m_bGone) m_strPending += str;
}

bool COutput::Pump(int nWaitMs)
{
    if (m_nWritten == m_strWriting.size()) {
        m_strWriting.clear();
        m_nWritten = 0;
        std::lock_guard<std::mutex> lock(m_cs);
        m_strWriting.swap(m_strPending);
    }
    while (m_nWritten < m_strWriting.size()) {
        pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
        const int nReady = ::poll(&pfd, 1, nWaitMs);
        if (nReady <= 0) return false;  // not taking anything now, or a signal to look at
        if (pfd.revents & (POLLERR | POLLNVAL)) return Gone();
        // At most one pipe buffer's worth, which a writable pipe takes without blocking.
        const size_t nChunk = std::min<size_t>(m_strWriting.size() - m_nWritten, PIPE_BUF);
        const ssize_t nDone = ::write(STDOUT_FILENO, m_strWriting.data() + m_nWritten, nChunk);
        if (nDone > 0) m_nWritten += static_cast<size_t>(nDone);
        else if (nDone < 0 && errno != EAGAIN && errno != EINTR) return Gone();
        else return false;
    }
    std::lock_guard<std::mutex> lock(m_cs);
    return m_strPending.empty();
}

bool COutput::Idle()
{
    if (m_nWritten != m_strWriting.size()) return false;
    std::lock_guard<std::mutex> lock(m_cs);
    return m_strPending.empty();
}

void COutput::Finish()
{
    auto lastProgress = std::chrono::steady_clock::now();
    size_t nLast = m_nWritten;
    while (!Pump(POLL_SLICE_MS)) {
        if (m_nWritten != nLast) {
            nLast = m_nWritten;
            lastProgress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastProgress >
                   std::chrono::milliseconds(FINISH_IDLE_MS)) {
            return;
        }
    }
}

bool COutput::Gone()
{
    std::lock_guard<std::mutex> lock(m_cs);
    m_bGone = true;
    m_strPending.clear();
    m_strWriting.clear();
    m_nWritten = 0;
    return true;
}
