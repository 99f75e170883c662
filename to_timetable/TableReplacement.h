#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace thg {

// A set of new working tables written beside the old ones under temporary names and put in place
// together, so that the timetable program never finds a mix of old and new tables. Whatever has not
// been put in place when the object goes is removed.
class TableReplacement {
public:
    explicit TableReplacement(std::filesystem::path workDir);
    ~TableReplacement();
    TableReplacement(const TableReplacement&) = delete;
    TableReplacement& operator=(const TableReplacement&) = delete;

    // The temporary file in the working directory that the new table `name` ("ASIGNOMT") is to be
    // written to. Nothing is created here. Tables may be staged from several threads at once.
    std::filesystem::path stage(std::string_view name);

    // Puts every staged table in place as NAME.DBF. First takes the exclusive lock on each old table
    // (a table another program holds is an Error before anything changes), then moves the old table
    // files and their index files (.MDX), in any letter case, out of the way and the new files in.
    // When a move fails, what was moved goes back and the Error names the file: the working tables
    // stay as they were.
    void commit();

private:
    struct Staged {
        std::string name;
        std::filesystem::path temporary;
    };

    std::filesystem::path workDir_;
    std::mutex mutex_; // guards staged_ while tables are being built
    std::vector<Staged> staged_;
    bool committed_ = false;
};

} // namespace thg
