#include "platform/WorkDir.h"

#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace thg {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

} // namespace

std::filesystem::path workingDirectory() {
    if (auto overridden = environment("HTEMP"); !overridden.empty()) return overridden;
#ifdef _WIN32
    return "C:\\HTEMP";
#else
    // Horarix runs under Wine here; its C: drive is the prefix's drive_c folder.
    if (auto prefix = environment("WINEPREFIX"); !prefix.empty())
        return std::filesystem::path(prefix) / "drive_c" / "HTEMP";
    std::string home = environment("HOME");
    if (home.empty()) {
        if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir) home = user->pw_dir;
    }
    return std::filesystem::path(home) / ".wine" / "drive_c" / "HTEMP";
#endif
}

} // namespace thg
