// A line's broker of the benchmarks' own: /usr/sbin/mosquitto on a free loopback port, anonymous,
// in a scratch directory, killed and removed with this object.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

class CBenchBroker {
public:
    CBenchBroker() = default;
    CBenchBroker(const CBenchBroker&) = delete;
    CBenchBroker& operator=(const CBenchBroker&) = delete;
    ~CBenchBroker();
    // Started and taking connections (within a few seconds); false with why not in strError.
    bool Start(std::string& strError);
    uint16_t Port() const { return m_nPort; }
    std::string Url() const { return std::string("mqtt://127.0.0.1:").append(std::to_string(m_nPort)); }
    const std::string& Dir() const { return m_strDir; }

private:
    // The broker on m_nPort, once it takes connections; false with m_pid -1 when it ended.
    bool Launch(std::string& strError);
    std::string m_strDir;
    uint16_t m_nPort = 0;
    pid_t m_pid = -1;
};
