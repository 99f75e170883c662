#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace thg {

// The file named `name` in `dir`, matched without regard to ASCII letter case ("SOLUC.DBF" finds
// soluc.dbf), so that tables written by a Windows program are found on a case-sensitive file system.
// An exact match wins over a case-insensitive one. Nothing when there is none.
std::optional<std::filesystem::path> findFileIgnoringCase(const std::filesystem::path& dir,
                                                           std::string_view name);

// A temporary name in the same folder as `target`, unique within this process and across processes.
std::filesystem::path temporaryPathBeside(const std::filesystem::path& target);

// Replaces `target` with `bytes`: writes a temporary file in the same folder, flushes it, then renames
// it over the target. On failure the earlier target is untouched, no temporary file is left behind,
// and an Error naming `target` is thrown.
void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes);

// Test seam: when set, writeFileAtomically calls it with the temporary path after writing and before
// renaming; throwing from it simulates a failed write (full disk, lost share).
using WriteFaultHook = std::function<void(const std::filesystem::path& temporary)>;
void setWriteFaultHook(WriteFaultHook hook);

// An exclusive lock on an open file, released when destroyed. It never waits: when another process
// holds the file, the constructor throws an Error naming `what` (the table or file).
class FileLock {
public:
    FileLock() = default;
    FileLock(const std::filesystem::path& file, const std::string& what);
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    bool isHeld() const { return handle_ != invalid; }
    void release();

private:
#ifdef _WIN32
    using Handle = void*;
    static inline Handle const invalid = reinterpret_cast<Handle>(-1);
#else
    using Handle = int;
    static constexpr Handle invalid = -1;
#endif
    Handle handle_ = invalid;
};

} // namespace thg
