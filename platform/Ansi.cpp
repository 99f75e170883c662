#include "platform/Ansi.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace thg::ansi {

namespace {

// Unicode code points of bytes 0x80 to 0x9F. The five bytes Windows-1252 leaves undefined map to the
// C1 control character of the same number, as Windows does, so that they survive a round trip.
constexpr char16_t highCodes[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The byte for a code point, or '?' when the code page lacks it.
char byteFor(std::uint32_t code) {
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) return static_cast<char>(code);
    for (int i = 0; i < 32; ++i) {
        if (highCodes[i] == code) return static_cast<char>(0x80 + i);
    }
    return '?';
}

// Upper-case folding of every byte: ASCII letters, the accented Latin-1 letters (à-þ to À-Þ, but
// not ÷, which shares its slot with ×), and the four pairs Windows-1252 adds (š/Š, œ/Œ, ž/Ž, ÿ/Ÿ).
// ß and µ have no single-byte capital and stay.
constexpr std::array<unsigned char, 256> makeFoldTable() {
    std::array<unsigned char, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<unsigned char>(i);
    for (int c = 'a'; c <= 'z'; ++c)
        table[c] = static_cast<unsigned char>(c - 0x20);
    for (int c = 0xE0; c <= 0xFE; ++c) {
        if (c != 0xF7) table[c] = static_cast<unsigned char>(c - 0x20);
    }
    table[0x9A] = 0x8A;
    table[0x9C] = 0x8C;
    table[0x9E] = 0x8E;
    table[0xFF] = 0x9F;
    return table;
}

constexpr std::array<unsigned char, 256> foldTable = makeFoldTable();

bool isControlOrSpace(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

} // namespace

std::string fromUtf8(std::string_view utf8) {
    // Most item values are plain ASCII: one copy. Otherwise the result is never longer than the
    // input, so it is written through a pointer and cut to size.
    auto ascii =
        std::find_if(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    if (ascii == utf8.end()) return std::string(utf8);
    std::string ansi(utf8.size(), '\0');
    char* out = ansi.data();
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    while (p < end) {
        unsigned char lead = *p;
        if (lead < 0x80) {
            *out++ = static_cast<char>(lead);
            ++p;
            continue;
        }
        // Length and smallest valid code of the sequence; anything else is an invalid lead byte.
        int length = 0;
        std::uint32_t code = 0;
        std::uint32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, code = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, code = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, code = lead & 0x07, minimum = 0x10000;
        }
        ++p;
        int taken = 1;
        while (taken < length && p < end && (*p & 0xC0) == 0x80) {
            code = (code << 6) | (*p & 0x3F);
            ++p;
            ++taken;
        }
        // A cut or malformed sequence, an overlong form or a surrogate is one '?', like a missing one.
        bool valid = length > 0 && taken == length && code >= minimum && code <= 0x10FFFF &&
                     (code < 0xD800 || code > 0xDFFF);
        *out++ = valid ? byteFor(code) : '?';
    }
    ansi.resize(static_cast<std::size_t>(out - ansi.data()));
    return ansi;
}

std::string toUtf8(std::string_view ansi) {
    std::string utf8;
    utf8.reserve(ansi.size() + ansi.size() / 4);
    for (char c : ansi) {
        auto byte = static_cast<unsigned char>(c);
        std::uint32_t code = byte >= 0x80 && byte < 0xA0 ? highCodes[byte - 0x80] : byte;
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

std::string_view trim(std::string_view text) {
    std::size_t first = 0;
    while (first < text.size() && isControlOrSpace(text[first]))
        ++first;
    std::size_t last = text.size();
    while (last > first && isControlOrSpace(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

bool isBlank(std::string_view text) {
    return trim(text).empty();
}

std::string foldCase(std::string_view ansi) {
    std::string folded(ansi);
    for (char& c : folded)
        c = static_cast<char>(foldTable[static_cast<unsigned char>(c)]);
    return folded;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldTable[static_cast<unsigned char>(a[i])] != foldTable[static_cast<unsigned char>(b[i])])
            return false;
    }
    return true;
}

char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equalsAsciiIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i])) return false;
    }
    return true;
}

} // namespace thg::ansi
