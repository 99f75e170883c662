#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// A minimal editor for Windows INI files that changes one value and keeps every other byte, the way
// the Windows profile-string service does: sections and keys are matched without regard to ASCII
// letter case, the first matching section and key win, and comments, blank lines, other sections and
// the file's line endings stay as they were.
namespace thg::ini {

// `text` with `key` in `section` set to `value`. A missing section is appended at the end; a missing
// key is added after the section's last non-blank line. New lines use the text's own line ending
// (CRLF when the text has none).
std::string setValue(std::string_view text, std::string_view section, std::string_view key,
                     std::string_view value);

// Sets `key` in `section` of the INI file `file` to `value` and replaces the file atomically; a
// missing file is created. Throws Error "Unable to write to <file>" when the file cannot be read or
// written; the earlier file is then untouched.
void writeValue(const std::filesystem::path& file, std::string_view section, std::string_view key,
                std::string_view value);

} // namespace thg::ini
