#pragma once
// The rules both download engines judge an answer by.
#include <string>

namespace tunova {

// Only http:// and https:// addresses are fetched (any letter case).
bool allowedScheme(const std::string& url);

// An answer that is plainly a page rather than a song: a text, HTML, JSON or XML type, or a
// body that opens like markup or a JSON document. (MP3 data opens with an ID3 tag or a frame
// sync byte.)
bool plainlyNotAudio(const std::string& contentType, const std::string& head);

// "bytes START-END/TOTAL" or "bytes */TOTAL" (TOTAL may be "*"); -1 for what is not there.
void parseContentRange(const std::string& value, long long& start, long long& total);

} // namespace tunova
