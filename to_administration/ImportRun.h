#pragma once

#include <filesystem>

namespace thg {

// Where the result of an exchange file goes: the same folder, "ResultadoHorax" before its name.
std::filesystem::path resultFilePath(const std::filesystem::path& exchangeFile);

// The timetable-to-administration run without its window: loads the exchange file, replaces its
// SALIDAS with the error block and one teacher list per PROFT record, filled with the teacher's
// activities from SOLUC resolved through the working tables in `workDir`, and saves the result file
// atomically. Returns the result file's path. On any Error nothing is written and every table the run
// opened is closed. The caller checks first that the exchange file exists.
std::filesystem::path importFromTimetable(const std::filesystem::path& exchangeFile,
                                          const std::filesystem::path& workDir);

} // namespace thg
