// What a station tells the line's broker and where: the topics under quillon/STATION/, the
// channel state a station publishes for each of its eight channels, and the station names that
// may stand in a topic. Shared by the stations' publisher and the line's collector.
#pragma once

#include <cstdint>
#include <string>

constexpr int LINE_CHANNELS = 8;

// One channel as the line sees it. Fixed-size text, so that a station's workers hand over a
// state without allocating; longer text is cut at a character boundary.
struct LINE_CHANNEL_STATE {
    char szPhase[64] = {};    // what the channel is doing, as its bar says it ("" idle)
    int nPercent = 0;         // 0-100
    char szOutcome[16] = {};  // "running", "passed", "failed", ...; "" before its first run
    uint32_t nPort = 0;       // the port number of its phone; 0 none
};

// A state filled from text of any length.
LINE_CHANNEL_STATE LINE_State(const std::string& strPhase, int nPercent, const std::string& strOutcome,
                              uint32_t nPort);
bool operator==(const LINE_CHANNEL_STATE& a, const LINE_CHANNEL_STATE& b);

// {"phase":"...","percent":N,"outcome":"...","port":N}
std::string LINE_StateJson(const LINE_CHANNEL_STATE& state);
// false when the text is no such object.
bool LINE_StateFromJson(const std::string& strJson, LINE_CHANNEL_STATE& state);

// A station's name stands in topics: "" when it can, else why not (empty, too long, or holding
// +, #, / or a control character, which would change what a subscription matches).
std::string LINE_StationNameProblem(const std::string& strName);
// This machine's host name, the default station name.
std::string LINE_HostName();

std::string LINE_StateTopic(const std::string& strStation, int nCh);
std::string LINE_ResultsTopic(const std::string& strStation);
std::string LINE_StatusTopic(const std::string& strStation);

// What a message received on a line topic is about.
enum LINE_TOPIC_KIND { LINE_TOPIC_OTHER, LINE_TOPIC_STATE, LINE_TOPIC_RESULTS, LINE_TOPIC_STATUS };
struct LINE_TOPIC {
    LINE_TOPIC_KIND eKind = LINE_TOPIC_OTHER;
    std::string strStation;
    int nCh = -1;  // LINE_TOPIC_STATE only
};
LINE_TOPIC LINE_ParseTopic(const std::string& strTopic);
