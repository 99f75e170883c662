#include "platform/Error.h"

#include <cstdint>

namespace thg {

namespace {

// Unicode code points of Windows-1252 bytes 0x80 to 0x9F; the five bytes the code page leaves
// undefined map to the C1 control character of the same number, as Windows does. Kept here so that
// the one message built from table text needs nothing else.
constexpr char16_t cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::string cp1252ToUtf8(const std::string& text) {
    std::string utf8;
    utf8.reserve(text.size() + text.size() / 2);
    for (unsigned char byte : text) {
        std::uint32_t code = byte >= 0x80 && byte < 0xA0 ? cp1252High[byte - 0x80] : byte;
        if (code < 0x80) {
            utf8 += static_cast<char>(code);
        } else if (code < 0x800) {
            utf8 += static_cast<char>(0xC0 | (code >> 6));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            utf8 += static_cast<char>(0xE0 | (code >> 12));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return utf8;
}

} // namespace

Error notAnInteger(const std::string& text) {
    return Error("'" + cp1252ToUtf8(text) + "' no es un valor entero válido");
}

} // namespace thg
