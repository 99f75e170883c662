#pragma once

#include <filesystem>

namespace thg {

// The folder where the timetable program keeps its dBase tables: C:\HTEMP on Windows; elsewhere the
// folder a Windows program under Wine sees as C:\HTEMP ($WINEPREFIX/drive_c/HTEMP, or
// ~/.wine/drive_c/HTEMP without WINEPREFIX). The environment variable HTEMP overrides both.
// Nothing is created here; a run that writes tables creates the folder itself.
std::filesystem::path workingDirectory();

} // namespace thg
