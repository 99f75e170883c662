#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace thg::test {

namespace {

std::string slurp(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace

TempDir::TempDir()
{
    static std::atomic<int> counter{0};
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        path_ = base / ("thg-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(path_))
            break;
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& file)
{
    if (!std::filesystem::exists(file))
        throw std::runtime_error("no file " + file.string());
    return slurp(file);
}

void writeFile(const std::filesystem::path& file, std::string_view bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

std::vector<std::string> listFiles(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

CommandResult runCommand(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         std::string_view input)
{
    TempDir scratch;
    std::string command;
    for (const auto& [key, value] : env)
        command += key + "=" + shellQuote(value) + " ";
    for (const auto& arg : argv)
        command += shellQuote(arg) + " ";
    writeFile(scratch / "in", input);
    command += "<" + shellQuote((scratch / "in").string()) + " >" + shellQuote((scratch / "out").string()) +
               " 2>" + shellQuote((scratch / "err").string());
    int status = std::system(command.c_str());
    CommandResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(scratch / "out");
    result.err = slurp(scratch / "err");
    return result;
}

CommandResult runPython(std::string_view script, const std::vector<std::string>& args)
{
    TempDir scratch;
    writeFile(scratch / "script.py", script);
    std::vector<std::string> argv{"/usr/bin/python3", (scratch / "script.py").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv);
}

std::filesystem::path binDir() { return THG_BIN_DIR; }
std::filesystem::path sourceDir() { return THG_SOURCE_DIR; }

} // namespace thg::test
