#include "line/line_topics.h"

#include <algorithm>
#include <cstring>

#include <unistd.h>

#include <nlohmann/json.hpp>

namespace {

constexpr const char* TOPIC_ROOT = "quillon/";
constexpr size_t STATION_NAME_MAX = 64;

// Copies as much of str as fits with its terminator, never splitting a UTF-8 sequence.
template <size_t N>
void CopyText(char (&sz)[N], const std::string& str)
{
    size_t n = std::min(str.size(), N - 1);
    while (n > 0 && n < str.size() && (static_cast<unsigned char>(str[n]) & 0xC0) == 0x80) --n;
    std::memcpy(sz, str.data(), n);
    sz[n] = '\0';
}

std::string Topic(const std::string& strStation, const char* szTail)
{
    std::string str = TOPIC_ROOT;
    return str.append(strStation).append("/").append(szTail);
}

}  // namespace

LINE_CHANNEL_STATE LINE_State(const std::string& strPhase, int nPercent, const std::string& strOutcome,
                              uint32_t nPort)
{
    LINE_CHANNEL_STATE state;
    CopyText(state.szPhase, strPhase);
    state.nPercent = std::clamp(nPercent, 0, 100);
    CopyText(state.szOutcome, strOutcome);
    state.nPort = nPort;
    return state;
}

bool operator==(const LINE_CHANNEL_STATE& a, const LINE_CHANNEL_STATE& b)
{
    return std::strcmp(a.szPhase, b.szPhase) == 0 && a.nPercent == b.nPercent &&
           std::strcmp(a.szOutcome, b.szOutcome) == 0 && a.nPort == b.nPort;
}

std::string LINE_StateJson(const LINE_CHANNEL_STATE& state)
{
    const nlohmann::ordered_json json = {{"phase", state.szPhase},
                                         {"percent", state.nPercent},
                                         {"outcome", state.szOutcome},
                                         {"port", state.nPort}};
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool LINE_StateFromJson(const std::string& strJson, LINE_CHANNEL_STATE& state)
{
    const nlohmann::json json = nlohmann::json::parse(strJson, nullptr, false);
    if (!json.is_object()) return false;
    const auto text = [&json](const char* szKey) {
        const auto it = json.find(szKey);
        return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    const auto number = [&json](const char* szKey) -> int64_t {
        const auto it = json.find(szKey);
        return it != json.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
    };
    const int64_t nPort = number("port");
    state = LINE_State(text("phase"), static_cast<int>(std::clamp<int64_t>(number("percent"), 0, 100)),
                       text("outcome"), nPort < 0 || nPort > UINT32_MAX ? 0 : static_cast<uint32_t>(nPort));
    return true;
}

std::string LINE_StationNameProblem(const std::string& strName)
{
    if (strName.empty()) return "a station name may not be empty";
    if (strName.size() > STATION_NAME_MAX)
        return "a station name may have at most " + std::to_string(STATION_NAME_MAX) + " bytes";
    for (const char c : strName) {
        if (c == '+' || c == '#' || c == '/')
            return std::string("a station name may not hold '").append(1, c).append("'");
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "a station name may not hold a control character";
    }
    return std::string();
}

std::string LINE_HostName()
{
    char sz[256] = {};
    if (::gethostname(sz, sizeof(sz) - 1) != 0 || sz[0] == '\0') return "station";
    return sz;
}

std::string LINE_StateTopic(const std::string& strStation, int nCh)
{
    return Topic(strStation, "channel/").append(std::to_string(nCh)).append("/state");
}

std::string LINE_ResultsTopic(const std::string& strStation) { return Topic(strStation, "results"); }

std::string LINE_StatusTopic(const std::string& strStation) { return Topic(strStation, "status"); }

LINE_TOPIC LINE_ParseTopic(const std::string& strTopic)
{
    LINE_TOPIC topic;
    const std::string strRoot = TOPIC_ROOT;
    if (strTopic.compare(0, strRoot.size(), strRoot) != 0) return topic;
    const std::string strRest = strTopic.substr(strRoot.size());
    const size_t nSlash = strRest.find('/');
    if (nSlash == std::string::npos || nSlash == 0) return topic;
    const std::string strStation = strRest.substr(0, nSlash);
    const std::string strTail = strRest.substr(nSlash + 1);
    if (strTail == "results") {
        topic.eKind = LINE_TOPIC_RESULTS;
    } else if (strTail == "status") {
        topic.eKind = LINE_TOPIC_STATUS;
    } else if (strTail.size() == std::strlen("channel/N/state") && strTail.compare(0, 8, "channel/") == 0 &&
               strTail[8] >= '0' && strTail[8] < '0' + LINE_CHANNELS && strTail.compare(9, 6, "/state") == 0) {
        topic.eKind = LINE_TOPIC_STATE;
        topic.nCh = strTail[8] - '0';
    } else {
        return topic;
    }
    topic.strStation = strStation;
    return topic;
}
