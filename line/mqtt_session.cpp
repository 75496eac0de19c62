#include "line/mqtt_session.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <poll.h>

#include <mosquitto.h>

namespace {

constexpr int KEEPALIVE_SECONDS = 30;
// A broker that takes a connection but never answers it is given up after this long.
constexpr auto CONNECT_BOUND = std::chrono::seconds(15);
// The trust store of the system, as the distribution keeps it.
constexpr const char* CA_PATH = "/etc/ssl/certs";

void InitLibrary()
{
    static std::once_flag s_once;
    std::call_once(s_once, [] { mosquitto_lib_init(); });
}

std::string RefusalText(int nCode)
{
    switch (nCode) {
    case 1: return "the broker does not speak this MQTT version";
    case 2: return "the broker refused the client id";
    case 3: return "the broker is unavailable";
    case 4: return "the broker refused the user name or password";
    case 5: return "the broker refused the login (not authorised: wrong user name or password?)";
    default: return "the broker refused the connection (code " + std::to_string(nCode) + ")";
    }
}

std::string ErrorText(int nRc, int nErrno)
{
    if (nRc == MOSQ_ERR_ERRNO) return std::strerror(nErrno);
    if (nRc == MOSQ_ERR_CONN_LOST) return "the connection was lost";
    if (nRc == MOSQ_ERR_TLS || nRc == MOSQ_ERR_TLS_HANDSHAKE) return "the TLS handshake failed";
    if (nRc == MOSQ_ERR_EAI) return "the host name cannot be resolved";
    return mosquitto_strerror(nRc);
}

}  // namespace

CMqttSession::CMqttSession(const BROKER_URL& url, std::string strClientId, bool bCleanSession, MQTT_EVENTS events)
    : m_url(url), m_strClientId(std::move(strClientId)), m_bCleanSession(bCleanSession), m_events(std::move(events))
{
    InitLibrary();
    m_anAcked.reserve(64);  // acknowledgements of one pass, without an allocation per message
}

CMqttSession::~CMqttSession() { Drop(); }

bool CMqttSession::Connect(const std::string& strWillTopic, const std::string& strWillPayload, std::string& strReason)
{
    Drop();
    m_p = mosquitto_new(m_strClientId.c_str(), m_bCleanSession, this);
    if (m_p == nullptr) {
        strReason = "no MQTT client could be made";
        return false;
    }
    m_bUp = false;
    m_nRefused = 0;
    mosquitto_connect_callback_set(m_p, OnConnect);
    mosquitto_publish_callback_set(m_p, OnPublish);
    mosquitto_message_callback_set(m_p, OnMessage);
    mosquitto_subscribe_callback_set(m_p, OnSubscribe);
    int nRc = MOSQ_ERR_SUCCESS;
    if (!m_url.strUser.empty())
        nRc = mosquitto_username_pw_set(m_p, m_url.strUser.c_str(), m_url.bPassword ? m_url.strPassword.c_str() : nullptr);
    if (nRc == MOSQ_ERR_SUCCESS && m_url.bTls) nRc = mosquitto_tls_set(m_p, nullptr, CA_PATH, nullptr, nullptr, nullptr);
    if (nRc == MOSQ_ERR_SUCCESS && !strWillTopic.empty())
        nRc = mosquitto_will_set(m_p, strWillTopic.c_str(), static_cast<int>(strWillPayload.size()),
                                 strWillPayload.data(), 1, true);
    if (nRc == MOSQ_ERR_SUCCESS) {
        errno = 0;
        nRc = mosquitto_connect_async(m_p, m_url.strHost.c_str(), m_url.nPort, KEEPALIVE_SECONDS);
    }
    if (nRc != MOSQ_ERR_SUCCESS) {
        strReason = ErrorText(nRc, errno);
        Drop();
        return false;
    }
    m_connectStart = std::chrono::steady_clock::now();
    return true;
}

void CMqttSession::Drop()
{
    if (m_p != nullptr) mosquitto_destroy(m_p);
    m_p = nullptr;
    m_bUp = false;
    m_bUpPending = false;
}

void CMqttSession::Disconnect()
{
    if (m_p == nullptr) return;
    if (m_bUp) {
        mosquitto_disconnect(m_p);
        mosquitto_loop_write(m_p, 1);
    }
    Drop();
}

int CMqttSession::Socket() const { return m_p != nullptr ? mosquitto_socket(m_p) : -1; }

short CMqttSession::Events() const
{
    if (m_p == nullptr) return 0;
    return static_cast<short>(POLLIN | (mosquitto_want_write(m_p) ? POLLOUT : 0));
}

bool CMqttSession::Service(short nRevents, std::string& strReason, bool& bRefused)
{
    bRefused = false;
    if (m_p == nullptr) {
        strReason = "not connected";
        return false;
    }
    int nRc = MOSQ_ERR_SUCCESS;
    errno = 0;
    if (nRevents & (POLLIN | POLLERR | POLLHUP)) nRc = mosquitto_loop_read(m_p, 64);
    if (nRc == MOSQ_ERR_SUCCESS && mosquitto_want_write(m_p)) nRc = mosquitto_loop_write(m_p, 64);
    if (nRc == MOSQ_ERR_SUCCESS) nRc = mosquitto_loop_misc(m_p);
    const int nErrno = errno;
    // Acknowledged is acknowledged, whether or not the connection lasts.
    for (size_t i = 0; i < m_anAcked.size(); ++i)
        if (m_events.fnPublished) m_events.fnPublished(m_anAcked[i]);
    m_anAcked.clear();
    const bool bUpNow = m_bUpPending;
    m_bUpPending = false;
    if (m_nRefused != 0) {
        strReason = RefusalText(m_nRefused);
        bRefused = true;
    } else if (nRc != MOSQ_ERR_SUCCESS) {
        strReason = ErrorText(nRc, nErrno);
    } else if (!m_bUp && std::chrono::steady_clock::now() - m_connectStart > CONNECT_BOUND) {
        strReason = "the broker did not answer";
    } else {
        if (bUpNow && m_events.fnUp) m_events.fnUp();
        return true;
    }
    Drop();
    return false;
}

bool CMqttSession::Publish(const std::string& strTopic, const std::string& strPayload, int nQos, bool bRetain,
                           int* pnMid)
{
    if (!Up()) return false;
    return mosquitto_publish(m_p, pnMid, strTopic.c_str(), static_cast<int>(strPayload.size()), strPayload.data(),
                             nQos, bRetain) == MOSQ_ERR_SUCCESS;
}

bool CMqttSession::Subscribe(const std::string& strTopic, int nQos)
{
    return Up() && mosquitto_subscribe(m_p, nullptr, strTopic.c_str(), nQos) == MOSQ_ERR_SUCCESS;
}

void CMqttSession::OnConnect(mosquitto*, void* pThis, int nCode)
{
    auto* pSession = static_cast<CMqttSession*>(pThis);
    if (nCode != 0) {
        pSession->m_nRefused = nCode;
        return;
    }
    pSession->m_bUp = true;
    pSession->m_bUpPending = true;
}

void CMqttSession::OnPublish(mosquitto*, void* pThis, int nMid)
{
    static_cast<CMqttSession*>(pThis)->m_anAcked.push_back(nMid);
}

void CMqttSession::OnMessage(mosquitto*, void* pThis, const mosquitto_message* pMessage)
{
    auto* pSession = static_cast<CMqttSession*>(pThis);
    if (!pSession->m_events.fnMessage || pMessage == nullptr || pMessage->topic == nullptr) return;
    const std::string strPayload(static_cast<const char*>(pMessage->payload),
                                 pMessage->payload != nullptr ? static_cast<size_t>(pMessage->payloadlen) : 0);
    pSession->m_events.fnMessage(pMessage->topic, strPayload, pMessage->retain);
}

void CMqttSession::OnSubscribe(mosquitto*, void* pThis, int, int, const int*)
{
    auto* pSession = static_cast<CMqttSession*>(pThis);
    if (pSession->m_events.fnSubscribed) pSession->m_events.fnSubscribed();
}

std::string CMqttRetry::Failed(const std::string& strUrl, const std::string& strReason, bool bRefused, bool bWasUp)
{
    if (bWasUp) m_dwNextMs = m_dwFirstMs;
    m_next = std::chrono::steady_clock::now() + std::chrono::milliseconds(bWasUp ? 0 : m_dwNextMs);
    if (!bWasUp) m_dwNextMs = std::min(m_dwNextMs * 2, m_dwMaxMs);
    if (m_bTold) return std::string();
    m_bTold = true;
    std::string str = bWasUp ? "Lost the line's broker " : bRefused ? "The line's broker " : "Cannot reach the line's broker ";
    str.append(strUrl).append(bRefused && !bWasUp ? " refused us: " : ": ").append(strReason);
    return str.append("; trying again, at most every ").append(std::to_string((m_dwMaxMs + 999) / 1000)).append(" s.");
}

std::string CMqttRetry::Up(const std::string& strUrl)
{
    m_dwNextMs = m_dwFirstMs;
    if (!m_bTold) return std::string();
    m_bTold = false;
    std::string str = "Connected again to the line's broker ";
    return str.append(strUrl).append(".");
}
