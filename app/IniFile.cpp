#include "app/IniFile.h"

#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/Ansi.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace thg::ini {

namespace {

struct Line {
    std::string_view body;   // without its line ending
    std::string_view ending; // "\r\n", "\n", "\r" or empty on an unterminated last line
};

std::vector<Line> splitLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back({text.substr(start), {}});
            break;
        }
        std::size_t next = end + 1;
        if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
        lines.push_back({text.substr(start, end - start), text.substr(end, next - end)});
        start = next;
    }
    return lines;
}

std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The name of a "[section]" line, or nothing when the line is not a section header.
std::optional<std::string_view> sectionName(std::string_view body) {
    const std::string_view line = trimBlanks(body);
    if (line.empty() || line.front() != '[') return std::nullopt;
    const auto close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return trimBlanks(line.substr(1, close - 1));
}

// The key of a "key=value" line, or nothing for comments, blank lines and lines without '='.
std::optional<std::string_view> keyName(std::string_view body) {
    const std::string_view line = trimBlanks(body);
    if (line.empty() || line.front() == ';') return std::nullopt;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    return trimBlanks(line.substr(0, equals));
}

std::string_view dominantEnding(const std::vector<Line>& lines) {
    for (const Line& line : lines)
        if (!line.ending.empty()) return line.ending;
    return "\r\n";
}

} // namespace

std::string setValue(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value) {
    const std::vector<Line> lines = splitLines(text);
    const std::string_view eol = dominantEnding(lines);
    const std::string entry = std::string(key) + "=" + std::string(value);

    std::optional<std::size_t> sectionLine;
    for (std::size_t i = 0; i < lines.size() && !sectionLine; ++i) {
        const auto name = sectionName(lines[i].body);
        if (name && ansi::equalsAsciiIgnoreCase(*name, section)) sectionLine = i;
    }

    std::string result;
    result.reserve(text.size() + entry.size() + section.size() + 8);
    auto append = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            result += lines[i].body;
            result += lines[i].ending;
        }
    };

    if (!sectionLine) {
        result.assign(text);
        if (!lines.empty() && lines.back().ending.empty()) result += eol;
        result += "[" + std::string(section) + "]";
        result += eol;
        result += entry;
        result += eol;
        return result;
    }

    std::size_t sectionEnd = *sectionLine + 1;
    while (sectionEnd < lines.size() && !sectionName(lines[sectionEnd].body))
        ++sectionEnd;

    for (std::size_t i = *sectionLine + 1; i < sectionEnd; ++i) {
        const auto name = keyName(lines[i].body);
        if (name && ansi::equalsAsciiIgnoreCase(*name, key)) {
            append(0, i);
            result += entry;
            result += lines[i].ending;
            append(i + 1, lines.size());
            return result;
        }
    }

    // A new key goes right after the section's last non-blank line, before any blank lines that
    // separate it from the next section.
    std::size_t insertAfter = *sectionLine;
    for (std::size_t i = *sectionLine + 1; i < sectionEnd; ++i)
        if (!trimBlanks(lines[i].body).empty()) insertAfter = i;
    append(0, insertAfter + 1);
    if (lines[insertAfter].ending.empty()) result += eol;
    result += entry;
    result += lines[insertAfter].ending.empty() ? std::string_view{} : eol;
    append(insertAfter + 1, lines.size());
    return result;
}

void writeValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                std::string_view value) {
    const std::string failure = "Unable to write to " + file.string();
    std::string text;
    std::error_code error;
    if (std::filesystem::exists(file, error)) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (!in.good() && !in.eof()) throw Error(failure);
        text = bytes.str();
    } else if (error) {
        throw Error(failure);
    }
    try {
        writeFileAtomically(file, setValue(text, section, key, value));
    } catch (const std::exception&) {
        throw Error(failure);
    }
}

} // namespace thg::ini
