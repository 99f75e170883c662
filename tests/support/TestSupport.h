#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// What every test program shares: scratch folders, file bytes, and running the built binaries and
// the independent dBase readers (Debian's python3-dbfread and python3-dbf).
namespace thg::test {

// A fresh empty folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, std::string_view bytes);

// The names of the files in `dir` (not recursive), sorted.
std::vector<std::string> listFiles(const std::filesystem::path& dir);

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] a path) with extra environment variables and `input` on its standard input.
CommandResult runCommand(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                         std::string_view input = {});

// /usr/bin/python3 running `script` with `args`. Debian's Python packages are only visible to it.
CommandResult runPython(std::string_view script, const std::vector<std::string>& args = {});

std::filesystem::path binDir();    // build/bin
std::filesystem::path sourceDir(); // the repository

} // namespace thg::test
