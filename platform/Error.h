#pragma once

#include <stdexcept>
#include <string>

namespace thg {

// The one error type of the project. Its message already says where: the file, the XML line and
// column, the table, the record, the field; then the reason. The cores throw it and never show it;
// the edges (the window, the headless command) turn it into a box or a message and an exit code.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// The conversion failure the timetable program's users know: "'abc' no es un valor entero válido".
// `text` is single-byte Windows-1252 text; the message is returned in UTF-8.
Error notAnInteger(const std::string& text);

} // namespace thg
