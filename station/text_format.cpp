#include "station/text_format.h"

#include <cstdio>

size_t TEXT_Utf8SequenceAt(const std::string& str, size_t i)
{
    const auto at = [&str](size_t k) { return static_cast<unsigned char>(str[k]); };
    const unsigned char c = at(i);
    size_t n = 0;
    unsigned char byLow = 0x80, byHigh = 0xBF;  // the range of the second byte
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) byLow = 0xA0;
        if (c == 0xED) byHigh = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) byLow = 0x90;
        if (c == 0xF4) byHigh = 0x8F;
    }
    if (n == 0 || i + n > str.size() || at(i + 1) < byLow || at(i + 1) > byHigh) return 0;
    for (size_t k = 2; k < n; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    return n;
}

std::string TEXT_JsonString(const std::string& str)
{
    std::string out = "\"";
    for (size_t i = 0; i < str.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(str[i]);
        if (c >= 0x80) {
            const size_t n = TEXT_Utf8SequenceAt(str, i);
            if (n != 0) {
                out.append(str, i, n);
                i += n - 1;
            } else {
                char sz[8];
                std::snprintf(sz, sizeof(sz), "\\u%04x", c);
                out += sz;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char sz[8];
                std::snprintf(sz, sizeof(sz), "\\u%04x", c);
                out += sz;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string TEXT_ValidUtf8(const std::string& str)
{
    std::string out;
    out.reserve(str.size());
    for (size_t i = 0; i < str.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(str[i]);
        const size_t n = c < 0x80 ? 1 : TEXT_Utf8SequenceAt(str, i);
        if (n != 0) {
            out.append(str, i, n);
            i += n - 1;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string TEXT_CsvField(const std::string& str)
{
    std::string strText = str;
    if (!strText.empty() && (strText[0] == '=' || strText[0] == '+' || strText[0] == '-' ||
                             strText[0] == '@' || strText[0] == '\t' || strText[0] == '\r'))
        strText.insert(0, 1, '\'');
    if (strText.find_first_of(",\"\r\n") == std::string::npos) return strText;
    std::string out = "\"";
    for (char c : strText) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}
