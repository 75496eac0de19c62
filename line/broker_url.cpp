#include "line/broker_url.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

// The password is left out on purpose: an error message may end up in a shared log.
std::string Quoted(const std::string& str)
{
    std::string out = "'";
    for (const char c : str) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) out += '?';
        else out += c;
    }
    return out + "'";
}

bool ParsePort(const std::string& str, uint16_t& nPort)
{
    if (str.empty() || str.size() > 5) return false;
    uint32_t n = 0;
    for (const char c : str) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint32_t>(c - '0');
    }
    if (n < 1 || n > 65535) return false;
    nPort = static_cast<uint16_t>(n);
    return true;
}

}  // namespace

bool BROKER_URL_Parse(const std::string& strUrl, BROKER_URL& url, std::string& strError)
{
    url = BROKER_URL{};
    const size_t nScheme = strUrl.find("://");
    if (nScheme == std::string::npos) {
        strError = "the broker URL must begin with mqtt:// or mqtts://";
        return false;
    }
    const std::string strScheme = strUrl.substr(0, nScheme);
    if (strScheme == "mqtts") {
        url.bTls = true;
    } else if (strScheme != "mqtt") {
        strError = "the broker URL's scheme must be mqtt or mqtts, not " + Quoted(strScheme);
        return false;
    }
    std::string strRest = strUrl.substr(nScheme + 3);
    // Nothing after the authority is meant: a path would suggest a topic the station ignores.
    const size_t nSlash = strRest.find('/');
    if (nSlash != std::string::npos) {
        if (nSlash + 1 != strRest.size()) {
            strError = "the broker URL takes no path";
            return false;
        }
        strRest.erase(nSlash);
    }
    const size_t nAt = strRest.rfind('@');
    if (nAt != std::string::npos) {
        const std::string strLogin = strRest.substr(0, nAt);
        strRest.erase(0, nAt + 1);
        const size_t nColon = strLogin.find(':');
        url.strUser = strLogin.substr(0, nColon);
        if (nColon != std::string::npos) {
            url.strPassword = strLogin.substr(nColon + 1);
            url.bPassword = true;
        }
        if (url.strUser.empty()) {
            strError = "the broker URL has a password without a user name";
            return false;
        }
    }
    std::string strPort;
    bool bPort = false;
    if (!strRest.empty() && strRest[0] == '[') {
        const size_t nClose = strRest.find(']');
        if (nClose == std::string::npos) {
            strError = "the broker URL's IPv6 address lacks its closing ]";
            return false;
        }
        url.strHost = strRest.substr(1, nClose - 1);
        const std::string strAfter = strRest.substr(nClose + 1);
        if (!strAfter.empty() && strAfter[0] != ':') {
            strError = "the broker URL has " + Quoted(strAfter) + " after its IPv6 address";
            return false;
        }
        bPort = !strAfter.empty();
        if (bPort) strPort = strAfter.substr(1);
    } else {
        const size_t nColon = strRest.find(':');
        url.strHost = strRest.substr(0, nColon);
        bPort = nColon != std::string::npos;
        if (bPort) strPort = strRest.substr(nColon + 1);
    }
    if (url.strHost.empty()) {
        strError = "the broker URL names no host";
        return false;
    }
    for (const char c : url.strHost) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            strError = "the broker URL's host " + Quoted(url.strHost) + " holds a blank or a control character";
            return false;
        }
    }
    url.nPort = url.bTls ? BROKER_URL_TLS_PORT : BROKER_URL_PORT;
    if (bPort && !ParsePort(strPort, url.nPort)) {
        strError = "the broker URL's port must be a number from 1 to 65535, not " + Quoted(strPort);
        return false;
    }
    return true;
}

bool BROKER_URL_ReadPasswordFile(const std::string& strPath, BROKER_URL& url, std::string& strError)
{
    if (url.strUser.empty()) {
        strError = "a password file needs a user name in the broker URL (mqtt://USER@HOST)";
        return false;
    }
    std::ifstream in(strPath, std::ios::binary);
    if (!in) {
        strError = "the password file " + strPath + " cannot be read: " + std::strerror(errno);
        return false;
    }
    std::string strLine;
    std::getline(in, strLine);
    if (in.bad()) {
        strError = "the password file " + strPath + " cannot be read";
        return false;
    }
    if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
    url.strPassword = strLine;
    url.bPassword = true;
    return true;
}

std::string BROKER_URL_Redacted(const BROKER_URL& url)
{
    std::string out = url.bTls ? "mqtts://" : "mqtt://";
    if (!url.strUser.empty()) {
        out += url.strUser;
        if (url.bPassword) out += ":***";
        out += '@';
    }
    if (url.strHost.find(':') != std::string::npos) out.append("[").append(url.strHost).append("]");
    else out += url.strHost;
    return out.append(":").append(std::to_string(url.nPort));
}
