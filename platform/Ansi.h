#pragma once

#include <string>
#include <string_view>

// Text that crosses between the exchange file (Unicode, UTF-8 in memory) and the dBase tables
// (single-byte). The tables hold Windows-1252 on every platform: that is the "ANSI" code page of the
// Spanish Windows the timetable program runs on.
namespace thg::ansi {

// UTF-8 to Windows-1252. A character the code page lacks becomes '?'; an invalid UTF-8 sequence too.
std::string fromUtf8(std::string_view utf8);

// Windows-1252 to UTF-8. The five bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// map to the C1 control characters of the same number, as Windows does.
std::string toUtf8(std::string_view ansi);

// Removes leading and trailing characters with codes 0 to 32. A no-break space (0xA0, U+00A0) stays.
// Works on UTF-8 and on Windows-1252 alike, because both keep codes below 33 as single bytes.
std::string_view trim(std::string_view text);

// Empty, or only characters with codes 0 to 32.
bool isBlank(std::string_view text);

// Upper-case folding of Windows-1252 text, accented letters included (ñ to Ñ, á to Á, š to Š, ÿ to Ÿ).
// Two codes are "the same code regardless of letter case" when their foldings are equal.
std::string foldCase(std::string_view ansi);
bool equalsIgnoreCase(std::string_view a, std::string_view b);

// ASCII letters only: how names that are plain ASCII by nature compare regardless of letter case
// (table files, dBase field names, INI sections and keys). Other bytes must match exactly, so UTF-8
// file names are never folded into one another.
char asciiUpper(char c);
bool equalsAsciiIgnoreCase(std::string_view a, std::string_view b);

} // namespace thg::ansi
