// Text for machine readers: JSON strings and CSV fields that stay well-formed whatever bytes a
// file name, a host name or a bar text holds. The headless station's --json lines and the result
// records are written with these.
#pragma once

#include <cstddef>
#include <string>

// The length of the well-formed UTF-8 sequence at str[i], 0 when there is none.
size_t TEXT_Utf8SequenceAt(const std::string& str, size_t i);

// A JSON string with its quotes. File names are bytes, not necessarily UTF-8: a byte that starts
// no well-formed sequence is written as the character of the same number, so the text stays
// valid JSON.
std::string TEXT_JsonString(const std::string& str);

// The text as well-formed UTF-8: a byte that starts no well-formed sequence becomes the
// character of the same number, as in TEXT_JsonString.
std::string TEXT_ValidUtf8(const std::string& str);

// A CSV field: quoted when it holds a comma, a quote or a line end. A text that a spreadsheet
// would run as a formula (one beginning with = + - @, a tab or a carriage return) gets a leading
// apostrophe, so a crafted file name cannot become a formula on the engineer's screen.
std::string TEXT_CsvField(const std::string& str);
