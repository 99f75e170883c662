#pragma once

#include <filesystem>

namespace thg {

// The administration-to-timetable run without its window: reads the exchange file's six input lists
// and rebuilds the working tables ASIGNOMT, PROFT, AULAT, GRUPOST, ASIGT and DIASHORAST in `workDir`
// (created when missing). All or nothing: the six new tables are built beside the old ones and put in
// place together once all six are complete; on any Error the working tables stay exactly as they were
// and no temporary file is left behind. The caller checks first that the exchange file exists.
void exportToTimetable(const std::filesystem::path& exchangeFile, const std::filesystem::path& workDir);

} // namespace thg
