#include "platform/XmlDocument.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <pugixml.hpp>

#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace thg {

namespace {

// ---------------------------------------------------------------------------------------------------
// Encodings

enum class Encoding { Utf8, Utf16Le, Utf16Be, Latin1, Windows1252 };

const char* encodingName(Encoding encoding) {
    switch (encoding) {
    case Encoding::Utf8:
        return "UTF-8";
    case Encoding::Utf16Le:
        return "UTF-16LE";
    case Encoding::Utf16Be:
        return "UTF-16BE";
    case Encoding::Latin1:
        return "ISO-8859-1";
    case Encoding::Windows1252:
        return "windows-1252";
    }
    return "UTF-8";
}

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return result;
}

// Declared encoding names we read, in any letter case. UTF-16 yields Utf16Le: the byte order comes
// from the byte order mark.
std::optional<Encoding> encodingFromName(std::string_view declared) {
    std::string name = upper(declared);
    if (name == "UTF-8" || name == "UTF8") return Encoding::Utf8;
    if (name == "UTF-16" || name == "UTF-16LE" || name == "UTF-16BE") return Encoding::Utf16Le;
    if (name == "ISO-8859-1" || name == "ISO_8859-1" || name == "ISO8859-1" || name == "LATIN1" ||
        name == "LATIN-1")
        return Encoding::Latin1;
    if (name == "WINDOWS-1252" || name == "CP1252") return Encoding::Windows1252;
    return std::nullopt;
}

// Code points of Windows-1252 bytes 0x80 to 0x9F (the five undefined ones as the C1 control of the
// same number, as Windows maps them).
constexpr char16_t cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The code point at `pos` of UTF-8 text, advancing `pos`; U+FFFD for an invalid sequence.
std::uint32_t nextCodePoint(std::string_view text, std::size_t& pos) {
    auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) return lead;
    int length = 0;
    std::uint32_t code = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, code = lead & 0x1F, minimum = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, code = lead & 0x0F, minimum = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, code = lead & 0x07, minimum = 0x10000;
    int taken = 1;
    while (taken < length && pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) {
        code = (code << 6) | (static_cast<unsigned char>(text[pos]) & 0x3F);
        ++pos;
        ++taken;
    }
    if (length == 0 || taken != length || code < minimum || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0xFFFD;
    return code;
}

std::string singleByteToUtf8(std::string_view bytes, Encoding encoding) {
    // Sized exactly first (a character above 0x7F takes two bytes, or three for the euro and its
    // Windows-1252 neighbours), then written through a pointer.
    std::size_t size = bytes.size();
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        size +=
            byte >= 0x80
                ? (byte < 0xA0 && encoding == Encoding::Windows1252 && cp1252High[byte - 0x80] >= 0x800 ? 2
                                                                                                        : 1)
                : 0;
    }
    std::string out(size, '\0');
    char* o = out.data();
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        std::uint32_t code =
            byte < 0xA0 && byte >= 0x80 && encoding == Encoding::Windows1252 ? cp1252High[byte - 0x80] : byte;
        if (code < 0x80) {
            *o++ = c;
        } else if (code < 0x800) {
            *o++ = static_cast<char>(0xC0 | (code >> 6));
            *o++ = static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *o++ = static_cast<char>(0xE0 | (code >> 12));
            *o++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size() / 2 + bytes.size() / 8);
    auto unitAt = [&](std::size_t i) {
        auto a = static_cast<unsigned char>(bytes[i]);
        auto b = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<std::uint32_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    };
    std::size_t i = 0;
    while (i + 1 < bytes.size()) {
        std::uint32_t unit = unitAt(i);
        i += 2;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < bytes.size()) {
            std::uint32_t low = unitAt(i);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                i += 2;
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                continue;
            }
        }
        appendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
    }
    if (i < bytes.size()) appendUtf8(out, 0xFFFD); // an odd last byte
    return out;
}

// Where the file's bytes say they are in UTF-8, and how they were written.
struct DecodedText {
    Encoding encoding = Encoding::Utf8;
    bool byteOrderMark = false;
    std::size_t skip = 0;   // leading bytes (a UTF-8 byte order mark) before the text, when not converted
    bool converted = false; // the text is `utf8`, not the input itself
    std::string utf8;
};

// The value of `encoding="..."` in an XML declaration at the start of `text`, if any.
std::optional<std::string> declaredEncoding(std::string_view text) {
    if (text.size() < 6 || text.substr(0, 5) != "<?xml" ||
        !(text[5] == ' ' || text[5] == '\t' || text[5] == '\r' || text[5] == '\n'))
        return std::nullopt;
    std::size_t end = text.find("?>");
    std::string_view declaration =
        text.substr(0, end == std::string_view::npos ? std::min<std::size_t>(text.size(), 1024) : end);
    std::size_t at = declaration.find("encoding");
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t p = at + 8;
    auto skipSpace = [&] {
        while (p < declaration.size() && (declaration[p] == ' ' || declaration[p] == '\t' ||
                                          declaration[p] == '\r' || declaration[p] == '\n'))
            ++p;
    };
    skipSpace();
    if (p >= declaration.size() || declaration[p] != '=') return std::nullopt;
    ++p;
    skipSpace();
    if (p >= declaration.size() || (declaration[p] != '"' && declaration[p] != '\'')) return std::nullopt;
    char quote = declaration[p++];
    std::size_t close = declaration.find(quote, p);
    if (close == std::string_view::npos) return std::nullopt;
    return std::string(declaration.substr(p, close - p));
}

// Finds the encoding (byte order mark first, then the declaration) and brings the text to UTF-8.
// UTF-8 input is not copied: the caller parses it where it lies, past `skip`.
DecodedText decodeText(std::string_view bytes, const std::string& name) {
    DecodedText decoded;
    auto starts = [&](std::initializer_list<unsigned char> prefix) {
        if (bytes.size() < prefix.size()) return false;
        std::size_t i = 0;
        for (unsigned char b : prefix) {
            if (static_cast<unsigned char>(bytes[i++]) != b) return false;
        }
        return true;
    };
    std::optional<Encoding> fromMark;
    if (starts({0xEF, 0xBB, 0xBF}))
        fromMark = Encoding::Utf8, decoded.byteOrderMark = true, decoded.skip = 3;
    else if (starts({0xFF, 0xFE}))
        fromMark = Encoding::Utf16Le, decoded.byteOrderMark = true;
    else if (starts({0xFE, 0xFF}))
        fromMark = Encoding::Utf16Be, decoded.byteOrderMark = true;
    else if (starts({'<', 0, '?', 0}))
        fromMark = Encoding::Utf16Le; // UTF-16 without a mark still shows itself in "<?"
    else if (starts({0, '<', 0, '?'}))
        fromMark = Encoding::Utf16Be;

    if (fromMark == Encoding::Utf16Le || fromMark == Encoding::Utf16Be) {
        decoded.encoding = *fromMark;
        decoded.converted = true;
        decoded.utf8 =
            utf16ToUtf8(bytes.substr(decoded.byteOrderMark ? 2 : 0), *fromMark == Encoding::Utf16Be);
        std::optional<std::string> declared = declaredEncoding(decoded.utf8);
        if (declared && !encodingFromName(*declared))
            throw Error(name + ": codificación '" + *declared + "' no admitida");
        return decoded;
    }

    std::optional<std::string> declared = declaredEncoding(bytes.substr(decoded.skip));
    std::optional<Encoding> fromDeclaration = declared ? encodingFromName(*declared) : Encoding::Utf8;
    if (!fromDeclaration) throw Error(name + ": codificación '" + *declared + "' no admitida");
    if (fromMark) {
        decoded.encoding = *fromMark; // the byte order mark wins over the declaration
        return decoded;
    }
    if (*fromDeclaration == Encoding::Utf16Le)
        throw Error(name + ": declara la codificación '" + *declared +
                    "' pero sus caracteres son de un byte");
    decoded.encoding = *fromDeclaration;
    if (decoded.encoding == Encoding::Latin1 || decoded.encoding == Encoding::Windows1252) {
        decoded.converted = true;
        decoded.utf8 = singleByteToUtf8(bytes, decoded.encoding);
    }
    return decoded;
}

// ---------------------------------------------------------------------------------------------------
// Error positions

// "name: línea L, columna C: reason". Lines and columns count from 1; a column counts characters, not
// bytes, so it is the same whatever the file's encoding. `text` is the document in UTF-8 as decoded,
// before any entity was expanded, so its lines are the file's lines.
[[noreturn]] void failAt(const std::string& name, std::string_view text, std::size_t offset,
                         const std::string& reason) {
    offset = std::min(offset, text.size());
    std::size_t line = 1;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
            ++line;
            lineStart = i + 1;
        }
    }
    std::size_t column = 1;
    for (std::size_t i = lineStart; i < offset; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++column;
    }
    throw Error(name + ": línea " + std::to_string(line) + ", columna " + std::to_string(column) + ": " +
                reason);
}

std::string describe(pugi::xml_parse_status status) {
    switch (status) {
    case pugi::status_out_of_memory:
        return "memoria insuficiente";
    case pugi::status_unrecognized_tag:
        return "marca no reconocida";
    case pugi::status_bad_pi:
        return "instrucción de proceso o declaración XML mal formada";
    case pugi::status_bad_comment:
        return "comentario mal formado";
    case pugi::status_bad_cdata:
        return "sección CDATA mal formada";
    case pugi::status_bad_doctype:
        return "declaración DOCTYPE mal formada";
    case pugi::status_bad_pcdata:
        return "texto mal formado";
    case pugi::status_bad_start_element:
        return "etiqueta de apertura mal formada";
    case pugi::status_bad_attribute:
        return "atributo mal formado";
    case pugi::status_bad_end_element:
        return "etiqueta de cierre mal formada";
    case pugi::status_end_element_mismatch:
        return "la etiqueta de cierre no corresponde a la de apertura";
    case pugi::status_no_document_element:
        return "el documento no tiene elemento raíz";
    default:
        return "documento XML no válido";
    }
}

// ---------------------------------------------------------------------------------------------------
// Entity references

// One expanded reference: where it stood in the decoded text and where its replacement stands in the
// text handed to the parser, so that parser error offsets can be mapped back to the file.
struct Expansion {
    std::size_t originalStart;
    std::size_t originalLength;
    std::size_t expandedStart;
    std::size_t expandedLength;
};

std::size_t originalOffset(const std::vector<Expansion>& expansions, std::size_t offset) {
    auto after = std::upper_bound(expansions.begin(), expansions.end(), offset,
                                  [](std::size_t o, const Expansion& e) { return o < e.expandedStart; });
    if (after == expansions.begin()) return offset;
    const Expansion& e = *(after - 1);
    if (offset < e.expandedStart + e.expandedLength) return e.originalStart;
    return e.originalStart + e.originalLength + (offset - e.expandedStart - e.expandedLength);
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool isNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
}
bool isNameChar(char c) {
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool isPredefined(std::string_view name) {
    return name == "lt" || name == "gt" || name == "amp" || name == "apos" || name == "quot";
}

bool isXmlChar(std::uint32_t code) {
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

// Checks every reference in the document before the parser sees it (the parser would leave an
// unknown "&name;" in the text as it stands), reads the text entities the document declares in its
// internal DTD subset, and expands references to them. External entities and parameter entities are
// refused, never loaded. The scan jumps from '&' to '&' and over comments, CDATA sections, processing
// instructions and the DOCTYPE, so a large exchange file without any of these costs one memchr.
class ReferenceScanner {
public:
    ReferenceScanner(std::string_view text, const std::string& name) : text_(text), name_(name) {
        // A generous bound on what expansion may add: the size of the document plus a megabyte. A
        // "billion laughs" document stops at it after a megabyte of work.
        budget_ = text.size() + 1'000'000;
    }

    void run();

    bool expanded() const { return !expansions_.empty(); }
    // Where the DOCTYPE's closing '>' stands, as this scan read it.
    std::size_t doctypeEnd() const { return doctypeEnd_; }
    // The length of the text to parse.
    std::size_t size() const { return expanded() ? output_.size() : text_.size(); }
    // The text to parse when references were expanded.
    std::string& output() { return output_; }
    const std::vector<Expansion>& expansions() const { return expansions_; }
    // Offsets in the parsed text of each '<' of a comment, CDATA section or processing instruction
    // found inside the root element; see XmlDocument::Impl::checkDocument.
    const std::vector<std::size_t>& markupInRoot() const { return markupInRoot_; }

private:
    struct Entity {
        std::string value;
        bool external = false;
        bool expanding = false;
    };

    [[noreturn]] void fail(std::size_t offset, const std::string& reason) const {
        failAt(name_, text_, offset, reason);
    }
    void checkCharacters() const;
    std::size_t findMarkup(char second, std::size_t from) const;
    std::size_t findText(std::string_view what, std::size_t from, std::size_t start,
                         const char* whatName) const;
    std::size_t reference(std::size_t amp);
    std::uint32_t characterReference(std::string_view text, std::size_t& pos, std::size_t where) const;
    std::size_t doctype(std::size_t start);
    std::size_t entityDeclaration(std::size_t start);
    void expand(Entity& entity, std::size_t where, int depth);

    std::string_view text_;
    const std::string& name_;
    std::unordered_map<std::string, Entity> entities_;
    std::string output_;
    std::size_t copied_ = 0; // how much of text_ output_ holds
    std::vector<Expansion> expansions_;
    std::vector<std::size_t> markupInRoot_;
    std::size_t budget_;
    bool seenDoctype_ = false;
    std::size_t doctypeEnd_ = 0;
};

// Refuses what no XML document may hold and the parser would let through: control characters other
// than tab and line breaks, and bytes that are not UTF-8 (a Latin-1 file without its declaration, most
// often), which would otherwise turn into '?' in the tables without a word. Plain text passes sixteen
// bytes at a time, so a large file costs little.
void ReferenceScanner::checkCharacters() const {
    const auto* begin = reinterpret_cast<const unsigned char*>(text_.data());
    const auto* p = begin;
    const auto* end = begin + text_.size();
    while (p < end) {
#ifdef __SSE2__
        // Sixteen bytes at a time: the block passes when it holds only printable ASCII, tabs and line
        // breaks; otherwise the check goes straight to the first byte that needs a closer look.
        if (end - p >= 16) {
            __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            __m128i control = _mm_cmplt_epi8(block, _mm_set1_epi8(0x20)); // also every byte >= 0x80
            __m128i allowed = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8('\t')),
                                                        _mm_cmpeq_epi8(block, _mm_set1_epi8('\n'))),
                                           _mm_cmpeq_epi8(block, _mm_set1_epi8('\r')));
            int mask = _mm_movemask_epi8(_mm_andnot_si128(allowed, control));
            if (mask == 0) {
                p += 16;
                continue;
            }
            p += __builtin_ctz(static_cast<unsigned>(mask));
        }
#endif
        unsigned char c = *p;
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                fail(static_cast<std::size_t>(p - begin),
                     "carácter no válido (código " + std::to_string(c) + ")");
            ++p;
            continue;
        }
        std::size_t pos = static_cast<std::size_t>(p - begin);
        std::uint32_t code = nextCodePoint(text_, pos);
        if (code == 0xFFFD && !(end - p >= 3 && p[0] == 0xEF && p[1] == 0xBF && p[2] == 0xBD))
            fail(static_cast<std::size_t>(p - begin), "el texto no es UTF-8 válido");
        if (code == 0xFFFE || code == 0xFFFF) fail(static_cast<std::size_t>(p - begin), "carácter no válido");
        p = begin + pos;
    }
}

// The next "<!" or "<?" (by its '<') at or after `from`, looking for the rare second byte first.
std::size_t ReferenceScanner::findMarkup(char second, std::size_t from) const {
    while (from < text_.size()) {
        const void* hit = std::memchr(text_.data() + from, second, text_.size() - from);
        if (!hit) break;
        std::size_t at = static_cast<const char*>(hit) - text_.data();
        if (at > 0 && text_[at - 1] == '<') return at - 1;
        from = at + 1;
    }
    return std::string_view::npos;
}

std::size_t ReferenceScanner::findText(std::string_view what, std::size_t from, std::size_t start,
                                       const char* whatName) const {
    std::size_t at = text_.find(what, from);
    if (at == std::string_view::npos) fail(start, std::string(whatName) + " sin terminar");
    return at + what.size();
}

void ReferenceScanner::run() {
    checkCharacters();

    constexpr std::size_t none = std::string_view::npos;
    std::size_t pos = 0;
    std::size_t nextAmp = 0, nextBang = 0, nextQuestion = 0;
    bool ampStale = true, bangStale = true, questionStale = true;
    bool inRoot = false;
    std::size_t checkedForRoot = 0;
    while (true) {
        if (ampStale) {
            const void* hit =
                pos < text_.size() ? std::memchr(text_.data() + pos, '&', text_.size() - pos) : nullptr;
            nextAmp = hit ? static_cast<const char*>(hit) - text_.data() : none;
            ampStale = false;
        }
        if (bangStale) nextBang = findMarkup('!', pos), bangStale = false;
        if (questionStale) nextQuestion = findMarkup('?', pos), questionStale = false;
        std::size_t markup = std::min(nextBang, nextQuestion);
        if (nextAmp < markup) {
            pos = reference(nextAmp);
            ampStale = true;
            continue;
        }
        if (markup == none) break;

        // Before the root element starts no tag is open, so what looks like markup is markup. Inside
        // it, a "<!--" could stand in an attribute value; the parse is checked against these later.
        if (!inRoot && checkedForRoot < markup) {
            if (std::memchr(text_.data() + checkedForRoot, '<', markup - checkedForRoot)) inRoot = true;
            checkedForRoot = markup + 1;
        }
        std::string_view rest = text_.substr(markup);
        std::size_t end;
        bool recorded = true;
        if (rest.starts_with("<!--")) {
            end = findText("-->", markup + 4, markup, "comentario");
        } else if (rest.starts_with("<![CDATA[")) {
            end = findText("]]>", markup + 9, markup, "sección CDATA");
        } else if (rest.starts_with("<?")) {
            end = findText("?>", markup + 2, markup, "instrucción de proceso");
        } else if (rest.starts_with("<!DOCTYPE")) {
            if (inRoot || seenDoctype_) fail(markup, "declaración DOCTYPE fuera de lugar");
            seenDoctype_ = true;
            end = doctype(markup);
            doctypeEnd_ = end - 1;
            recorded = false;
        } else {
            end = markup + 2; // not markup we know; the parser reports it
            recorded = false;
        }
        if (inRoot && recorded) {
            std::size_t shift = output_.size() - copied_; // how far expansion moved this point
            markupInRoot_.push_back(markup + shift);
        }
        if (!inRoot) checkedForRoot = std::max(checkedForRoot, end);
        pos = end;
        ampStale = nextAmp < pos;
        bangStale = nextBang < pos;
        questionStale = nextQuestion < pos;
    }
    if (expanded()) output_.append(text_.substr(copied_));
}

std::uint32_t ReferenceScanner::characterReference(std::string_view text, std::size_t& pos,
                                                   std::size_t where) const {
    // `pos` is just past "&#".
    bool hex = pos < text.size() && text[pos] == 'x';
    if (hex) ++pos;
    std::uint32_t code = 0;
    std::size_t digits = 0;
    while (pos < text.size() && text[pos] != ';') {
        char c = text[pos];
        int value;
        if (c >= '0' && c <= '9')
            value = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            value = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            value = c - 'A' + 10;
        else
            fail(where, "referencia de carácter mal formada");
        code = std::min<std::uint32_t>(code * (hex ? 16 : 10) + value, 0x110000);
        ++digits;
        ++pos;
    }
    if (pos >= text.size() || digits == 0) fail(where, "referencia de carácter mal formada");
    ++pos; // ';'
    if (!isXmlChar(code)) fail(where, "la referencia de carácter no es un carácter XML válido");
    return code;
}

// Handles the reference at `amp` and returns the position after it.
std::size_t ReferenceScanner::reference(std::size_t amp) {
    std::size_t pos = amp + 1;
    if (pos < text_.size() && text_[pos] == '#') {
        ++pos;
        characterReference(text_, pos, amp);
        return pos; // the parser decodes it
    }
    std::size_t start = pos;
    if (pos < text_.size() && isNameStart(text_[pos])) {
        while (pos < text_.size() && isNameChar(text_[pos]))
            ++pos;
    }
    if (pos == start || pos >= text_.size() || text_[pos] != ';') fail(amp, "'&' sin una referencia válida");
    std::string name(text_.substr(start, pos - start));
    ++pos;
    if (isPredefined(name)) return pos;
    auto found = entities_.find(name);
    if (found == entities_.end()) fail(amp, "entidad no declarada '&" + name + ";'");
    if (found->second.external) fail(amp, "la entidad '" + name + "' es externa y no se lee");

    output_.append(text_.substr(copied_, amp - copied_));
    std::size_t expandedStart = output_.size();
    expand(found->second, amp, 1);
    expansions_.push_back({amp, pos - amp, expandedStart, output_.size() - expandedStart});
    copied_ = pos;
    return pos;
}

// Appends the replacement text of `entity`. Its quotes are written as references so that a
// replacement inside an attribute value stays inside it; markup inside an entity is refused.
void ReferenceScanner::expand(Entity& entity, std::size_t where, int depth) {
    if (depth > 16) fail(where, "entidades anidadas a demasiada profundidad");
    if (entity.expanding) fail(where, "entidad que se refiere a sí misma");
    entity.expanding = true;
    // Everything written, and every nested reference, is paid from one budget, so that neither a
    // "billion laughs" nor a tower of empty entities can run for long.
    auto emit = [&](std::string_view piece) {
        std::size_t cost = piece.empty() ? 16 : piece.size(); // empty: a nested reference
        if (cost > budget_) fail(where, "la expansión de entidades supera el límite de tamaño");
        budget_ -= cost;
        output_.append(piece);
    };
    const std::string& value = entity.value;
    std::size_t i = 0;
    while (i < value.size()) {
        char c = value[i];
        if (c == '<') fail(where, "la entidad contiene marcas, que no se admiten");
        if (c == '"') {
            emit("&quot;");
            ++i;
        } else if (c == '\'') {
            emit("&apos;");
            ++i;
        } else if (c != '&') {
            std::size_t end = value.find_first_of("<\"'&", i);
            if (end == std::string::npos) end = value.size();
            emit(std::string_view(value).substr(i, end - i));
            i = end;
        } else if (i + 1 < value.size() && value[i + 1] == '#') {
            std::size_t pos = i + 2;
            characterReference(value, pos, where);
            emit(std::string_view(value).substr(i, pos - i));
            i = pos;
        } else {
            std::size_t end = value.find(';', i + 1); // the form was checked at the declaration
            std::string name = value.substr(i + 1, end - i - 1);
            if (isPredefined(name)) {
                emit(std::string_view(value).substr(i, end + 1 - i));
            } else {
                auto found = entities_.find(name);
                if (found == entities_.end()) fail(where, "entidad no declarada '&" + name + ";'");
                if (found->second.external) fail(where, "la entidad '" + name + "' es externa y no se lee");
                emit({});
                expand(found->second, where, depth + 1);
            }
            i = end + 1;
        }
    }
    entity.expanding = false;
}

// Reads `<!DOCTYPE name (SYSTEM|PUBLIC ...)? [ internal subset ]? >` and returns the position after
// it. The external subset is never read; the internal one gives the text entities.
std::size_t ReferenceScanner::doctype(std::size_t start) {
    std::size_t p = start + 9;
    auto atEnd = [&] {
        if (p >= text_.size()) fail(start, "declaración DOCTYPE sin terminar");
        return false;
    };
    auto skipSpace = [&] {
        while (p < text_.size() && isSpace(text_[p]))
            ++p;
    };
    auto literal = [&] {
        skipSpace();
        atEnd();
        char quote = text_[p];
        if (quote != '"' && quote != '\'') fail(p, "se esperaba un literal entre comillas");
        std::size_t close = text_.find(quote, p + 1);
        if (close == std::string_view::npos) fail(p, "literal sin terminar");
        p = close + 1;
    };
    skipSpace();
    while (p < text_.size() && isNameChar(text_[p]))
        ++p;
    skipSpace();
    if (text_.substr(p).starts_with("SYSTEM")) {
        p += 6;
        literal();
    } else if (text_.substr(p).starts_with("PUBLIC")) {
        p += 6;
        literal();
        literal();
    }
    skipSpace();
    atEnd();
    if (text_[p] == '[') {
        ++p;
        while (true) {
            skipSpace();
            atEnd();
            std::string_view rest = text_.substr(p);
            if (rest[0] == ']') {
                ++p;
                break;
            }
            if (rest.starts_with("<!--")) {
                p = findText("-->", p + 4, p, "comentario");
            } else if (rest.starts_with("<?")) {
                p = findText("?>", p + 2, p, "instrucción de proceso");
            } else if (rest.starts_with("<!ENTITY")) {
                p = entityDeclaration(p);
            } else if (rest.starts_with("<!")) {
                // ELEMENT, ATTLIST, NOTATION: nothing we use; skip to their '>' outside quotes.
                std::size_t declaration = p;
                char quote = 0;
                for (p += 2; p < text_.size(); ++p) {
                    char c = text_[p];
                    if (quote) {
                        if (c == quote) quote = 0;
                    } else if (c == '"' || c == '\'') {
                        quote = c;
                    } else if (c == '>') {
                        break;
                    }
                }
                if (p >= text_.size()) fail(declaration, "declaración sin terminar");
                ++p;
            } else if (rest[0] == '%') {
                fail(p, "referencia a una entidad de parámetro, que no se admite");
            } else {
                fail(p, "declaración DOCTYPE mal formada");
            }
        }
        skipSpace();
        atEnd();
    }
    if (text_[p] != '>') fail(p, "declaración DOCTYPE mal formada");
    return p + 1;
}

std::size_t ReferenceScanner::entityDeclaration(std::size_t start) {
    std::size_t p = start + 8;
    auto requireSpace = [&] {
        if (p >= text_.size() || !isSpace(text_[p])) fail(p, "declaración de entidad mal formada");
        while (p < text_.size() && isSpace(text_[p]))
            ++p;
    };
    auto skipSpace = [&] {
        while (p < text_.size() && isSpace(text_[p]))
            ++p;
    };
    auto name = [&] {
        std::size_t first = p;
        if (p < text_.size() && isNameStart(text_[p])) {
            while (p < text_.size() && isNameChar(text_[p]))
                ++p;
        }
        if (p == first) fail(first, "declaración de entidad mal formada");
        return std::string(text_.substr(first, p - first));
    };
    auto literal = [&] {
        skipSpace();
        if (p >= text_.size() || (text_[p] != '"' && text_[p] != '\''))
            fail(p, "se esperaba un literal entre comillas");
        std::size_t close = text_.find(text_[p], p + 1);
        if (close == std::string_view::npos) fail(p, "literal sin terminar");
        p = close + 1;
    };

    requireSpace();
    bool parameter = false;
    if (p < text_.size() && text_[p] == '%') {
        parameter = true;
        ++p;
        requireSpace();
    }
    std::string entityName = name();
    requireSpace();
    Entity entity;
    if (p < text_.size() && (text_[p] == '"' || text_[p] == '\'')) {
        // The value: character references are replaced now, entity references kept for when the
        // entity is used; a parameter entity reference is not allowed inside a declaration here.
        char quote = text_[p++];
        while (true) {
            if (p >= text_.size()) fail(start, "declaración de entidad sin terminar");
            char c = text_[p];
            if (c == quote) {
                ++p;
                break;
            }
            if (c == '%') {
                fail(p, "referencia a una entidad de parámetro, que no se admite");
            } else if (c == '&' && p + 1 < text_.size() && text_[p + 1] == '#') {
                std::size_t at = p;
                p += 2;
                appendUtf8(entity.value, characterReference(text_, p, at));
            } else if (c == '&') {
                std::size_t at = p++;
                std::size_t first = p;
                if (p < text_.size() && isNameStart(text_[p])) {
                    while (p < text_.size() && isNameChar(text_[p]))
                        ++p;
                }
                if (p == first || p >= text_.size() || text_[p] != ';')
                    fail(at, "'&' sin una referencia válida");
                ++p;
                entity.value.append(text_.substr(at, p - at));
            } else {
                entity.value += c;
                ++p;
            }
        }
    } else if (text_.substr(p).starts_with("SYSTEM")) {
        p += 6;
        literal();
        entity.external = true;
    } else if (text_.substr(p).starts_with("PUBLIC")) {
        p += 6;
        literal();
        literal();
        entity.external = true;
    } else {
        fail(p, "declaración de entidad mal formada");
    }
    skipSpace();
    if (entity.external && text_.substr(p).starts_with("NDATA")) {
        p += 5;
        requireSpace();
        name();
        skipSpace();
    }
    if (p >= text_.size() || text_[p] != '>') fail(p, "declaración de entidad mal formada");
    // The first declaration of a name binds; the predefined five keep their meaning.
    if (!parameter && !isPredefined(entityName)) entities_.try_emplace(entityName, std::move(entity));
    return p + 1;
}

// ---------------------------------------------------------------------------------------------------
// Writing

class StringWriter : public pugi::xml_writer {
public:
    explicit StringWriter(std::string& out) : out_(out) {}
    void write(const void* data, std::size_t size) override {
        out_.append(static_cast<const char*>(data), size);
    }

private:
    std::string& out_;
};

int windows1252Byte(std::uint32_t code) {
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) return static_cast<int>(code);
    for (int i = 0; i < 32; ++i) {
        if (cp1252High[i] == code) return 0x80 + i;
    }
    return -1;
}

bool isValidUtf8(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        std::size_t start = pos;
        if (nextCodePoint(text, pos) == 0xFFFD && text.substr(start, 3) != "\xEF\xBF\xBD") return false;
    }
    return true;
}

// Turns the UTF-8 the library wrote into the document's own encoding. A character the encoding
// lacks is written as a character reference inside text and attribute values, so no data is lost,
// and as '?' elsewhere (a name or comment can hold only what was read, which fits). A carriage
// return inside text is written as a reference, or the next reader would turn it into a line feed.
std::string encodeOutput(std::string&& serialized, Encoding encoding, bool byteOrderMark, bool crlf) {
    std::string_view utf8 = serialized;
    // The usual case, a UTF-8 file with plain line ends, is written as serialized: a large result
    // file is not copied once more.
    if (encoding == Encoding::Utf8 && !crlf && !std::memchr(utf8.data(), '\r', utf8.size()) &&
        isValidUtf8(utf8)) {
        if (byteOrderMark) serialized.insert(0, "\xEF\xBB\xBF");
        return std::move(serialized);
    }

    std::string out;
    out.reserve(utf8.size() + utf8.size() / 8 + 4);
    auto put = [&](std::uint32_t code) {
        switch (encoding) {
        case Encoding::Utf8:
            appendUtf8(out, code);
            break;
        case Encoding::Utf16Le:
        case Encoding::Utf16Be: {
            auto unit = [&](std::uint32_t u) {
                char a = static_cast<char>(u & 0xFF), b = static_cast<char>(u >> 8);
                if (encoding == Encoding::Utf16Le)
                    out += a, out += b;
                else
                    out += b, out += a;
            };
            if (code >= 0x10000) {
                unit(0xD800 + ((code - 0x10000) >> 10));
                unit(0xDC00 + ((code - 0x10000) & 0x3FF));
            } else {
                unit(code);
            }
            break;
        }
        case Encoding::Latin1:
            out += static_cast<char>(code);
            break;
        case Encoding::Windows1252:
            out += static_cast<char>(windows1252Byte(code));
            break;
        }
    };
    auto fits = [&](std::uint32_t code) {
        if (encoding == Encoding::Latin1) return code <= 0xFF;
        if (encoding == Encoding::Windows1252) return windows1252Byte(code) >= 0;
        return true;
    };
    auto putReference = [&](std::uint32_t code) {
        for (char c : "&#" + std::to_string(code) + ";")
            put(static_cast<unsigned char>(c));
    };
    // UTF-16 always carries its byte order mark; UTF-8 keeps one when the file had it.
    if (byteOrderMark || encoding == Encoding::Utf16Le || encoding == Encoding::Utf16Be) put(0xFEFF);

    enum class State { Text, Tag, Attribute, Comment, Cdata, Pi, Doctype };
    State state = State::Text;
    char quote = 0;
    int depth = 0;
    std::size_t pos = 0;
    auto passAscii = [&](std::string_view what) {
        for (char c : what)
            put(static_cast<unsigned char>(c));
        pos += what.size();
    };
    while (pos < utf8.size()) {
        std::string_view rest = utf8.substr(pos);
        char c = rest[0];
        switch (state) {
        case State::Text:
            if (c == '<') {
                if (rest.starts_with("<!--"))
                    state = State::Comment, passAscii("<!--");
                else if (rest.starts_with("<![CDATA["))
                    state = State::Cdata, passAscii("<![CDATA[");
                else if (rest.starts_with("<?"))
                    state = State::Pi, passAscii("<?");
                else if (rest.starts_with("<!"))
                    state = State::Doctype, quote = 0, depth = 0, passAscii("<!");
                else
                    state = State::Tag, passAscii("<");
                continue;
            }
            break;
        case State::Tag:
            if (c == '"' || c == '\'')
                state = State::Attribute, quote = c;
            else if (c == '>')
                state = State::Text;
            break;
        case State::Attribute:
            if (c == quote) {
                state = State::Tag;
                passAscii(std::string_view(&c, 1));
                continue;
            }
            break;
        case State::Comment:
            if (rest.starts_with("-->")) {
                state = State::Text, passAscii("-->");
                continue;
            }
            break;
        case State::Cdata:
            if (rest.starts_with("]]>")) {
                state = State::Text, passAscii("]]>");
                continue;
            }
            break;
        case State::Pi:
            if (rest.starts_with("?>")) {
                state = State::Text, passAscii("?>");
                continue;
            }
            break;
        case State::Doctype:
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                ++depth;
            } else if (c == ']') {
                --depth;
            } else if (c == '>' && depth <= 0) {
                state = State::Text;
            }
            break;
        }
        bool data = state == State::Text || state == State::Attribute;
        bool afterCr = pos > 0 && utf8[pos - 1] == '\r';
        std::uint32_t code = nextCodePoint(utf8, pos);
        if (code == '\n' && crlf) {
            // Processing instructions and the DOCTYPE keep their own line breaks, CR LF included.
            if (data || !afterCr) put('\r');
            put('\n');
        } else if (code == '\r' && data) {
            putReference(code);
        } else if (fits(code)) {
            put(code);
        } else if (data) {
            putReference(code);
        } else {
            put('?');
        }
    }
    return out;
}

// The declaration, DOCTYPE, comments and processing instructions are kept so that saving writes them
// back; blank text between elements is dropped. Parsed as a fragment so that text outside the root
// element, which the library would otherwise drop without a word, is seen and refused. An element's leading
// text is kept in the element itself rather than in a child node: an exchange file is mostly items holding
// one text each, and this halves the nodes, which makes parsing and reading every item markedly faster. The
// cost: XPath's text() node test does not see that text; the runs select elements and attributes only.
constexpr unsigned parseOptions = pugi::parse_full | pugi::parse_embed_pcdata | pugi::parse_fragment;

constexpr const char* holderName = "#holder"; // '#' cannot start a parsed or created element name

bool isHolder(pugi::xml_node node) {
    return node.type() == pugi::node_element && std::strcmp(node.name(), holderName) == 0 &&
           node.parent().type() == pugi::node_document;
}

// The document's holder of created elements not yet placed, kept as its last child.
pugi::xml_node holderOf(pugi::xml_node node) {
    pugi::xml_node last = node.root().last_child();
    return isHolder(last) ? last : pugi::xml_node();
}

bool hasName(pugi::xml_node node, std::string_view name) {
    const char* own = node.name();
    return std::strncmp(own, name.data(), name.size()) == 0 && own[name.size()] == '\0';
}

bool isInside(pugi::xml_node node, pugi::xml_node ancestor) {
    for (; node; node = node.parent()) {
        if (node == ancestor) return true;
    }
    return false;
}

// An XML name as elements and attributes take it; created names come from our own code, but a wrong
// one would make the saved file unreadable.
void checkName(std::string_view name, const char* what) {
    bool valid = !name.empty() && isNameStart(name[0]) &&
                 std::all_of(name.begin(), name.end(), [](char c) { return isNameChar(c); });
    if (!valid) throw Error(std::string("Nombre de ") + what + " no válido: '" + std::string(name) + "'");
}

// A plain child name ("salida", "SALIDAS"): selected by walking the children, not by XPath.
bool isSimpleName(std::string_view xpath) {
    if (xpath.empty() ||
        !((xpath[0] >= 'a' && xpath[0] <= 'z') || (xpath[0] >= 'A' && xpath[0] <= 'Z') || xpath[0] == '_'))
        return false;
    return std::all_of(xpath.begin(), xpath.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-' || c == '.';
    });
}

std::string label(pugi::xml_node node) {
    if (node.type() == pugi::node_element) return std::string("Elemento '") + node.name() + "'";
    if (node.type() == pugi::node_document) return "Documento";
    return "Nodo";
}

template <typename Make>
std::vector<XmlNode> wrap(const pugi::xpath_node_set& found, pugi::xml_node context, Make make) {
    std::vector<XmlNode> nodes;
    nodes.reserve(found.size());
    pugi::xml_node holder = holderOf(context);
    bool filter = holder && holder.first_child() && !isInside(context, holder);
    for (const pugi::xpath_node& hit : found) {
        pugi::xml_node node = hit.node();
        if (!node || isHolder(node) || (filter && isInside(node, holder)))
            continue; // attributes are not nodes here; unplaced elements are not in the document
        nodes.push_back(make(node.internal_object()));
    }
    return nodes;
}

pugi::xpath_node_set evaluate(pugi::xml_node context, std::string_view xpath) {
    try {
        pugi::xpath_query query(std::string(xpath).c_str());
        pugi::xpath_node_set found = query.evaluate_node_set(context);
        found.sort();
        return found;
    } catch (const pugi::xpath_exception& e) {
        throw Error("Expresión XPath '" + std::string(xpath) + "' no válida: " + e.what());
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------------
// XmlNode

std::string XmlNode::name() const {
    pugi::xml_node node(node_);
    return node.type() == pugi::node_element ? node.name() : "";
}

std::vector<XmlNode> XmlNode::selectNodes(std::string_view xpath) const {
    if (!node_) return {};
    if (isSimpleName(xpath)) return childElements(xpath);
    pugi::xml_node context(node_);
    return wrap(evaluate(context, xpath), context, [](pugi::xml_node_struct* n) { return XmlNode(n); });
}

XmlNode XmlNode::selectSingleNode(std::string_view xpath) const {
    if (!node_) return {};
    if (isSimpleName(xpath)) {
        for (pugi::xml_node child = pugi::xml_node(node_).first_child(); child;
             child = child.next_sibling()) {
            if (child.type() == pugi::node_element && hasName(child, xpath))
                return XmlNode(child.internal_object());
        }
        return {};
    }
    std::vector<XmlNode> nodes = selectNodes(xpath);
    return nodes.empty() ? XmlNode() : nodes.front();
}

std::vector<XmlNode> XmlNode::childElements(std::string_view name) const {
    std::vector<XmlNode> nodes;
    nodes.reserve(16); // a record's items in one allocation
    for (pugi::xml_node child = pugi::xml_node(node_).first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && hasName(child, name))
            nodes.push_back(XmlNode(child.internal_object()));
    }
    return nodes;
}

std::string XmlNode::text() const {
    // The parser keeps an element's leading text in the element itself (see parseOptions), so an
    // element's own value comes before the text of its children.
    pugi::xml_node node(node_);
    switch (node.type()) {
    case pugi::node_pcdata:
    case pugi::node_cdata:
    case pugi::node_comment:
    case pugi::node_pi:
        return node.value();
    case pugi::node_element:
    case pugi::node_document:
        break;
    default:
        return {};
    }
    pugi::xml_node first = node.first_child();
    if (!first) // the usual item: its text and nothing else
        return node.value();
    std::string text = node.value();
    pugi::xml_node current = first;
    while (current) {
        switch (current.type()) {
        case pugi::node_pcdata:
        case pugi::node_cdata:
        case pugi::node_element:
            text += current.value();
            break;
        default:
            break;
        }
        if (current.first_child() && !isHolder(current)) {
            current = current.first_child();
            continue;
        }
        while (current && current != node && !current.next_sibling())
            current = current.parent();
        if (!current || current == node) break;
        current = current.next_sibling();
    }
    return text;
}

std::optional<std::string> XmlNode::attribute(std::string_view name) const {
    for (pugi::xml_attribute a = pugi::xml_node(node_).first_attribute(); a; a = a.next_attribute()) {
        if (name == a.name()) return std::string(a.value());
    }
    return std::nullopt;
}

void XmlNode::setAttribute(std::string_view name, std::string_view value) {
    pugi::xml_node node(node_);
    if (node.type() != pugi::node_element)
        throw Error("No se puede poner el atributo '" + std::string(name) + "': el nodo no es un elemento");
    checkName(name, "atributo");
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
        if (name == a.name()) {
            a.set_value(value.data(), value.size());
            return;
        }
    }
    node.append_attribute(std::string(name).c_str()).set_value(value.data(), value.size());
}

void XmlNode::setText(std::string_view text) {
    pugi::xml_node node(node_);
    if (node.type() != pugi::node_element)
        throw Error("No se puede poner el texto: el nodo no es un elemento");
    while (pugi::xml_node child = node.first_child())
        node.remove_child(child);
    // set() replaces text kept in the element itself, or adds a text node when there is none.
    if (!text.empty() || *node.value()) node.text().set(text.data(), text.size());
}

void XmlNode::appendChild(XmlNode child) {
    pugi::xml_node node(node_);
    pugi::xml_node moved(child.node_);
    if (node.type() != pugi::node_element) throw Error(label(node) + ": no admite nodos hijos");
    if (!moved) throw Error(label(node) + ": no hay nodo que añadir");
    if (isHolder(moved) || !node.append_move(moved))
        throw Error(label(node) + ": no se puede añadir " + label(moved) + " como hijo");
}

void XmlNode::removeChild(XmlNode child) {
    pugi::xml_node node(node_);
    pugi::xml_node removed(child.node_);
    if (!node) throw Error("No se puede quitar un nodo de un nodo vacío");
    if (!removed) throw Error(label(node) + ": no hay nodo que quitar");
    if (removed.parent() != node || isHolder(removed))
        throw Error(label(node) + ": " + label(removed) + " no es un hijo suyo");
    node.remove_child(removed);
}

// ---------------------------------------------------------------------------------------------------
// XmlDocument

struct XmlDocument::Impl {
    pugi::xml_document document;
    // The text the parser works in, in place: the file's bytes as read, or their UTF-8 conversion.
    std::unique_ptr<char[]> bytes;
    std::string text;
    Encoding encoding = Encoding::Utf8;
    bool byteOrderMark = false;
    bool crlf = false;

    void load(std::unique_ptr<char[]> raw, std::size_t size, const std::string& name,
              const std::function<std::string()>& original);
    void checkDocument(const char* base, const ReferenceScanner& scanner, const std::string& name,
                       const std::function<std::string()>& original);
};

namespace {

// Where in the file `offset` of the parsed text lies, for a message: the text is decoded again from
// the file's bytes, because parsing in place has overwritten the copy that was parsed.
[[noreturn]] void failInParsed(const std::string& name, const std::function<std::string()>& original,
                               const std::vector<Expansion>& expansions, std::size_t offset,
                               const std::string& reason) {
    std::string bytes = original();
    DecodedText decoded = decodeText(bytes, name);
    std::string_view text =
        decoded.converted ? std::string_view(decoded.utf8) : std::string_view(bytes).substr(decoded.skip);
    failAt(name, text, originalOffset(expansions, offset), reason);
}

} // namespace

void XmlDocument::Impl::load(std::unique_ptr<char[]> raw, std::size_t size, const std::string& name,
                             const std::function<std::string()>& original) {
    DecodedText decoded = decodeText(std::string_view(raw.get(), size), name);
    encoding = decoded.encoding;
    byteOrderMark = decoded.byteOrderMark;
    char* data;
    std::size_t length;
    if (decoded.converted) {
        text = std::move(decoded.utf8);
        raw.reset();
        data = text.data();
        length = text.size();
    } else {
        bytes = std::move(raw);
        data = bytes.get() + decoded.skip;
        length = size - decoded.skip;
    }
    if (const void* lf = std::memchr(data, '\n', length))
        crlf = lf != data && static_cast<const char*>(lf)[-1] == '\r';

    ReferenceScanner scanner(std::string_view(data, length), name);
    scanner.run();
    if (scanner.expanded()) {
        text = std::move(scanner.output());
        bytes.reset();
        data = text.data();
        length = text.size();
    }

    pugi::xml_parse_result result =
        document.load_buffer_inplace(data, length, parseOptions, pugi::encoding_utf8);
    if (!result)
        failInParsed(name, original, scanner.expansions(), static_cast<std::size_t>(result.offset),
                     describe(result.status));
    checkDocument(data, scanner, name, original);
}

// What the library lets pass but a well-formed document cannot hold: a second root element, a DOCTYPE
// after the root, an XML declaration anywhere but at the start, and '<' inside an attribute value
// (found as markup the scan skipped that the parser did not see as markup).
void XmlDocument::Impl::checkDocument(const char* base, const ReferenceScanner& scanner,
                                      const std::string& name, const std::function<std::string()>& original) {
    auto fail = [&](const char* at, const std::string& reason) {
        failInParsed(name, original, scanner.expansions(), static_cast<std::size_t>(at - base), reason);
    };
    bool seenRoot = false;
    for (pugi::xml_node child = document.first_child(); child; child = child.next_sibling()) {
        switch (child.type()) {
        case pugi::node_element:
            if (seenRoot) fail(child.name() - 1, "hay más de un elemento raíz");
            seenRoot = true;
            break;
        case pugi::node_pcdata:
        case pugi::node_cdata: {
            const char* text = child.value(); // leading blanks stay where they were in the file
            while (isSpace(*text))
                ++text;
            fail(text, "texto fuera del elemento raíz");
            break;
        }
        case pugi::node_doctype:
            if (seenRoot) fail(child.value(), "declaración DOCTYPE fuera de lugar");
            // The parser must have ended it where the scan did, or the scan looked for entity
            // references in the wrong places.
            if (child.value() + std::strlen(child.value()) != base + scanner.doctypeEnd())
                fail(child.value(), "declaración DOCTYPE mal formada");
            break;
        case pugi::node_declaration:
            if (child.name() != base + 2)
                fail(child.name() - 2, "la declaración XML solo puede ir al principio");
            break;
        default:
            break;
        }
    }

    if (!seenRoot)
        fail(base + static_cast<std::ptrdiff_t>(scanner.size()), describe(pugi::status_no_document_element));

    const std::vector<std::size_t>& expected = scanner.markupInRoot();
    if (expected.empty()) return;
    std::vector<std::size_t> found;
    found.reserve(expected.size());
    for (pugi::xml_node node = document.document_element(); node;) {
        switch (node.type()) {
        case pugi::node_comment:
            found.push_back(static_cast<std::size_t>(node.value() - base) - 4);
            break;
        case pugi::node_cdata:
            found.push_back(static_cast<std::size_t>(node.value() - base) - 9);
            break;
        case pugi::node_pi:
        case pugi::node_declaration:
            found.push_back(static_cast<std::size_t>(node.name() - base) - 2);
            break;
        default:
            break;
        }
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && !node.next_sibling())
            node = node.parent();
        if (node) node = node.next_sibling();
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (i >= found.size() || found[i] != expected[i])
            fail(base + expected[i], "'<' no permitido dentro de un valor de atributo");
    }
}

XmlDocument::XmlDocument() : impl_(std::make_unique<Impl>()) {}
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;

XmlDocument XmlDocument::load(const std::filesystem::path& file) {
    const std::string name = file.string();
    auto readAll = [&file, &name](std::size_t& size) {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw Error(name + ": no se puede abrir el archivo");
        in.seekg(0, std::ios::end);
        std::streamoff length = in.tellg();
        in.seekg(0, std::ios::beg);
        if (length < 0) throw Error(name + ": no se puede leer el archivo");
        size = static_cast<std::size_t>(length);
        auto data = std::make_unique_for_overwrite<char[]>(size + 1);
        if (!in.read(data.get(), static_cast<std::streamsize>(size)))
            throw Error(name + ": no se puede leer el archivo");
        return data;
    };
    std::size_t size = 0;
    std::unique_ptr<char[]> raw = readAll(size);
    XmlDocument document;
    document.impl_->load(std::move(raw), size, name, [&] {
        std::size_t again = 0;
        std::unique_ptr<char[]> data = readAll(again);
        return std::string(data.get(), again);
    });
    return document;
}

XmlDocument XmlDocument::parse(std::string_view bytes, const std::string& name) {
    auto raw = std::make_unique_for_overwrite<char[]>(bytes.size() + 1);
    if (!bytes.empty()) std::memcpy(raw.get(), bytes.data(), bytes.size());
    XmlDocument document;
    document.impl_->load(std::move(raw), bytes.size(), name, [bytes] { return std::string(bytes); });
    return document;
}

XmlNode XmlDocument::root() const {
    pugi::xml_node root = impl_->document.document_element();
    return isHolder(root) ? XmlNode() : XmlNode(root.internal_object());
}

std::vector<XmlNode> XmlDocument::selectNodes(std::string_view xpath) const {
    return XmlNode(impl_->document.internal_object()).selectNodes(xpath);
}

XmlNode XmlDocument::selectSingleNode(std::string_view xpath) const {
    return XmlNode(impl_->document.internal_object()).selectSingleNode(xpath);
}

XmlNode XmlDocument::createElement(std::string_view name) {
    checkName(name, "elemento");
    pugi::xml_node holder = holderOf(impl_->document);
    if (!holder) holder = impl_->document.append_child(holderName);
    return XmlNode(holder.append_child(std::string(name).c_str()).internal_object());
}

std::string XmlDocument::serialize() {
    std::string utf8;
    StringWriter writer(utf8);
    for (pugi::xml_node child = impl_->document.first_child(); child; child = child.next_sibling()) {
        if (!isHolder(child))
            child.print(writer, "  ", pugi::format_indent | pugi::format_skip_control_chars,
                        pugi::encoding_utf8);
    }
    return encodeOutput(std::move(utf8), impl_->encoding, impl_->byteOrderMark, impl_->crlf);
}

void XmlDocument::save(const std::filesystem::path& file) {
    writeFileAtomically(file, serialize());
}

std::string XmlDocument::encoding() const {
    return encodingName(impl_->encoding);
}

} // namespace thg
