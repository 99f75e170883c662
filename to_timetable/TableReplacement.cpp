#include "to_timetable/TableReplacement.h"

#include <mutex>
#include <system_error>
#include <utility>

#include "platform/Ansi.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"

namespace thg {

namespace {

void moveFile(const std::filesystem::path& from, const std::filesystem::path& to)
{
    std::error_code error;
    std::filesystem::rename(from, to, error);
    if (error)
        throw Error(from.string() + ": no se puede mover a " + to.filename().string() + " (" +
                    error.message() + ")");
}

} // namespace

TableReplacement::TableReplacement(std::filesystem::path workDir) : workDir_(std::move(workDir)) {}

TableReplacement::~TableReplacement()
{
    if (committed_) return;
    std::error_code ignored;
    for (const Staged& table : staged_)
        std::filesystem::remove(table.temporary, ignored);
}

std::filesystem::path TableReplacement::stage(std::string_view name)
{
    Staged table{std::string(name), temporaryPathBeside(workDir_ / (std::string(name) + ".DBF"))};
    std::lock_guard lock(mutex_);
    staged_.push_back(table);
    return table.temporary;
}

void TableReplacement::commit()
{
    // The old files of each table. A folder shared between Windows and Linux tools may hold the same
    // table twice in different letter case (ASIGNOMT.DBF and asignomt.dbf); all of them go, so that
    // only the new one remains, and with them any index file, which would no longer match its table.
    std::vector<std::filesystem::path> oldTables;
    std::vector<std::filesystem::path> oldIndexes;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(workDir_, error), end; !error && entry != end;
         entry.increment(error)) {
        std::string fileName = entry->path().filename().string();
        for (const Staged& table : staged_) {
            if (ansi::equalsAsciiIgnoreCase(fileName, table.name + ".DBF"))
                oldTables.push_back(entry->path());
            else if (ansi::equalsAsciiIgnoreCase(fileName, table.name + ".MDX"))
                oldIndexes.push_back(entry->path());
        }
    }
    if (error) throw Error(workDir_.string() + ": no se puede leer la carpeta (" + error.message() + ")");

    // A table the timetable program holds open stops the run here, before anything has changed.
    std::vector<FileLock> locks;
    for (const auto& file : oldTables)
        locks.emplace_back(file, file.filename().string());

    struct Move {
        std::filesystem::path from;
        std::filesystem::path to;
    };
    std::vector<Move> moves;
    std::vector<std::filesystem::path> setAside;
    try {
        for (const auto* files : {&oldTables, &oldIndexes}) {
            for (const auto& file : *files) {
                auto aside = temporaryPathBeside(file);
                moveFile(file, aside);
                moves.push_back({file, aside});
                setAside.push_back(aside);
            }
        }
        for (const Staged& table : staged_) {
            auto target = workDir_ / (table.name + ".DBF");
            moveFile(table.temporary, target);
            moves.push_back({table.temporary, target});
        }
    } catch (...) {
        // Undo in reverse order: new tables go back to their temporary names (removed with this
        // object), old files back to their own names.
        std::error_code ignored;
        for (auto move = moves.rbegin(); move != moves.rend(); ++move)
            std::filesystem::rename(move->to, move->from, ignored);
        throw;
    }
    committed_ = true;

    std::error_code ignored;
    for (const auto& file : setAside)
        std::filesystem::remove(file, ignored);
}

} // namespace thg
