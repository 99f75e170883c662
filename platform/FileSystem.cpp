#include "platform/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "platform/Ansi.h"
#include "platform/Error.h"

namespace thg {

namespace {

namespace fs = std::filesystem;

WriteFaultHook& writeFaultHook() {
    static WriteFaultHook hook;
    return hook;
}

#ifdef _WIN32
std::string lastErrorText() {
    return std::system_category().message(static_cast<int>(::GetLastError()));
}
#else
std::string errnoText(int error) {
    return std::generic_category().message(error);
}
#endif

std::string pathText(const fs::path& path) {
    return path.string();
}

} // namespace

std::optional<fs::path> findFileIgnoringCase(const fs::path& dir, std::string_view name) {
    std::error_code error;
    const fs::path exact = dir / fs::path(name);
    if (fs::is_regular_file(exact, error)) return exact;
    // Several names may differ only in letter case on a case-sensitive disk; take the first in byte
    // order so the choice does not depend on the order the folder lists them.
    std::optional<fs::path> found;
    fs::directory_iterator it(dir, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const fs::path candidate = it->path();
        const std::string candidateName = candidate.filename().string();
        if (!ansi::equalsAsciiIgnoreCase(candidateName, name) || !fs::is_regular_file(candidate, error)) continue;
        if (!found || candidateName < found->filename().string()) found = candidate;
    }
    return found;
}

fs::path temporaryPathBeside(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
#ifdef _WIN32
    const unsigned long process = ::GetCurrentProcessId();
#else
    const unsigned long process = static_cast<unsigned long>(::getpid());
#endif
    // The clock guards against a name left behind by a crashed process that had the same id.
    const auto ticks = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count() & 0xFFFFFF);
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%lu-%u-%llx.tmp", process, counter++, ticks);
    return target.parent_path() / ("." + target.filename().string() + suffix);
}

void setWriteFaultHook(WriteFaultHook hook) {
    writeFaultHook() = std::move(hook);
}

#ifdef _WIN32

void writeFileAtomically(const fs::path& target, std::string_view bytes) {
    auto fail = [&](const std::string& reason) { throw Error(pathText(target) + ": " + reason); };
    fs::path temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = temporaryPathBeside(target);
        file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
        if (file == INVALID_HANDLE_VALUE && (::GetLastError() != ERROR_FILE_EXISTS || attempt == 10))
            fail(lastErrorText());
    }
    std::string reason;
    while (reason.empty() && !bytes.empty()) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) reason = lastErrorText();
        bytes.remove_prefix(written);
    }
    if (reason.empty() && !::FlushFileBuffers(file)) reason = lastErrorText();
    if (!::CloseHandle(file) && reason.empty()) reason = lastErrorText();
    if (reason.empty() && writeFaultHook()) {
        try {
            writeFaultHook()(temporary);
        } catch (const std::exception& e) {
            reason = e.what();
        }
    }
    if (reason.empty() &&
        !::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        reason = lastErrorText();
    if (!reason.empty()) {
        ::DeleteFileW(temporary.c_str());
        fail(reason);
    }
}

// Windows locks are mandatory: locking the data would stop our own reads. Like the dBase engines,
// we lock one byte far beyond any table's end; another program taking the same lock is refused.
constexpr DWORD lockOffset = 0xEFFFFFFF;

FileLock::FileLock(const fs::path& file, const std::string& what) {
    HANDLE handle =
        ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw Error(what + ": " + lastErrorText());
    OVERLAPPED where{};
    where.Offset = lockOffset;
    if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
            throw Error(what + ": el archivo está abierto en otro programa");
        throw Error(what + ": " + std::system_category().message(static_cast<int>(error)));
    }
    handle_ = handle;
}

void FileLock::release() {
    if (handle_ == invalid) return;
    OVERLAPPED where{};
    where.Offset = lockOffset;
    ::UnlockFileEx(handle_, 0, 1, 0, &where);
    ::CloseHandle(handle_);
    handle_ = invalid;
}

#else

void writeFileAtomically(const fs::path& target, std::string_view bytes) {
    auto fail = [&](const std::string& reason) { throw Error(pathText(target) + ": " + reason); };
    fs::path temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = temporaryPathBeside(target);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 10)) fail(errnoText(errno));
    }
    std::string reason;
    while (reason.empty() && !bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno != EINTR)
            reason = errnoText(errno);
        else if (written > 0)
            bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    // Flushed before the rename: after a power cut the target is either the old file or the new one.
    if (reason.empty() && ::fsync(fd) != 0) reason = errnoText(errno);
    if (::close(fd) != 0 && reason.empty()) reason = errnoText(errno);
    if (reason.empty() && writeFaultHook()) {
        try {
            writeFaultHook()(temporary);
        } catch (const std::exception& e) {
            reason = e.what();
        }
    }
    if (reason.empty() && ::rename(temporary.c_str(), target.c_str()) != 0) reason = errnoText(errno);
    if (!reason.empty()) {
        ::unlink(temporary.c_str());
        fail(reason);
    }
    // The rename is itself durable only once the folder is flushed; failing that loses nothing now.
    fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    if (int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

FileLock::FileLock(const fs::path& file, const std::string& what) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Error(what + ": " + errnoText(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        // A file system without locks (some network shares) cannot keep others out; refusing every
        // table there would stop all work, so the table is used unlocked.
        if (error != ENOLCK && error != EOPNOTSUPP) {
            ::close(fd);
            if (error == EWOULDBLOCK) throw Error(what + ": el archivo está abierto en otro programa");
            throw Error(what + ": " + errnoText(error));
        }
    }
    handle_ = fd;
}

void FileLock::release() {
    if (handle_ == invalid) return;
    ::close(handle_); // closing the descriptor drops its lock
    handle_ = invalid;
}

#endif

FileLock::FileLock(FileLock&& other) noexcept : handle_(other.handle_) {
    other.handle_ = invalid;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        handle_ = other.handle_;
        other.handle_ = invalid;
    }
    return *this;
}

FileLock::~FileLock() {
    release();
}

} // namespace thg
