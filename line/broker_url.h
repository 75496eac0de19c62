// Where a line's MQTT broker is and how to log in to it: mqtt://[user[:password]@]host[:port] or
// mqtts://..., and a password file that keeps the password out of the command line and the
// process list. A password is never printed: messages name the broker by its redacted form.
#pragma once

#include <cstdint>
#include <string>

struct BROKER_URL {
    bool bTls = false;         // mqtts
    std::string strHost;       // without the brackets of an IPv6 address
    uint16_t nPort = 0;        // 1883 for mqtt, 8883 for mqtts unless given
    std::string strUser;       // "" for none
    std::string strPassword;   // "" for none
    bool bPassword = false;    // a password was given (it may be empty)
};

constexpr uint16_t BROKER_URL_PORT = 1883;
constexpr uint16_t BROKER_URL_TLS_PORT = 8883;

// false with one line saying what is wrong in strError (never the password).
bool BROKER_URL_Parse(const std::string& strUrl, BROKER_URL& url, std::string& strError);

// The password is the first line of the file, without its line end; it takes the place of the
// URL's. false with the reason in strError.
bool BROKER_URL_ReadPasswordFile(const std::string& strPath, BROKER_URL& url, std::string& strError);

// "mqtts://operator:***@[::1]:8883": the URL as messages name it.
std::string BROKER_URL_Redacted(const BROKER_URL& url);
