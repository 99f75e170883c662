#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "platform/Ansi.h"

namespace thg::ansi {
namespace {

struct Conversion {
    std::string_view utf8;
    std::string_view ansi;
};

TEST(Ansi, fromUtf8_maps_the_code_page_and_replaces_what_it_lacks) {
    const Conversion cases[] = {
        {"", ""},
        {"IES Ñandú", "IES \xD1"
                      "and\xFA"},
        {"€ “comillas” – Œuvre š ž Ÿ", "\x80 \x93"
                                       "comillas\x94 \x96 \x8C"
                                       "uvre \x9A \x9E \x9F"},
        {"\xC2\xA0no-break\xC2\xA0", "\xA0no-break\xA0"},
        {"\xC2\x81\xC2\x8D", "\x81\x8D"}, // the undefined bytes round-trip as C1 controls
        {"\xC2\x80", "?"},                // a C1 control the code page has no byte for
        {"Ā Ω 中 😀", "? ? ? ?"},          // missing characters, one '?' each, emoji included
        {"a\xFF"
         "b",
         "a?b"},         // invalid lead byte
        {"a\xC3", "a?"}, // cut sequence at the end
        {"a\xE2\x82"
         "b",
         "a?b"},               // cut sequence in the middle
        {"\xC0\xAF", "??"},    // overlong form
        {"\xED\xA0\x80", "?"}, // UTF-16 surrogate written as UTF-8
    };
    for (const Conversion& c : cases)
        EXPECT_EQ(fromUtf8(c.utf8), c.ansi) << c.utf8;
}

TEST(Ansi, toUtf8_inverts_fromUtf8_for_every_byte) {
    EXPECT_EQ(toUtf8("IES \xD1"
                     "and\xFA \x80"),
              "IES Ñandú €");
    for (int byte = 1; byte < 256; ++byte) {
        std::string one(1, static_cast<char>(byte));
        EXPECT_EQ(fromUtf8(toUtf8(one)), one) << byte;
    }
}

TEST(Ansi, trim_and_isBlank_remove_codes_0_to_32_only) {
    const struct {
        std::string_view text;
        std::string_view trimmed;
    } cases[] = {
        {"", ""},
        {" \t\r\n", ""},
        {std::string_view("\0\x01 a b \x1F\x20", 8), "a b"},
        {"\xA0"
         "a\xA0",
         "\xA0"
         "a\xA0"}, // Windows-1252 no-break space stays
        {"\xC2\xA0"
         "a\xC2\xA0",
         "\xC2\xA0"
         "a\xC2\xA0"}, // and so does the UTF-8 one
        {"\x7F"
         "a",
         "\x7F"
         "a"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trim(c.text), c.trimmed) << c.text;
        EXPECT_EQ(isBlank(c.text), c.trimmed.empty()) << c.text;
    }
}

TEST(Ansi, equalsIgnoreCase_folds_accented_letters_of_the_code_page) {
    const struct {
        std::string_view a;
        std::string_view b;
        bool equal;
    } cases[] = {
        {"matematicas", "MATEMATICAS", true},
        {"\xF1"
         "and\xFA",
         "\xD1"
         "AND\xDA",
         true},                                         // ñandú / ÑANDÚ
        {"\xE0\xFE", "\xC0\xDE", true},                 // à-þ fold to À-Þ
        {"\x9A\x9C\x9E\xFF", "\x8A\x8C\x8E\x9F", true}, // š œ ž ÿ / Š Œ Ž Ÿ
        {"\xF7", "\xD7", false},                        // ÷ is not the small ×
        {"\xDF", "SS", false},                          // ß has no single-byte capital
        {"\xB5", "\xCC", false},                        // neither has µ
        {"abc", "abcd", false},
        {"a b", "a  b", false},
        {"", "", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(equalsIgnoreCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(foldCase(c.a) == foldCase(c.b), c.equal) << c.a << " / " << c.b;
    }
    EXPECT_EQ(foldCase("Pe\xF1"
                       "a 1\xBA"
                       "B"),
              "PE\xD1"
              "A 1\xBA"
              "B");
}

} // namespace
} // namespace thg::ansi
