#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/WorkDir.h"
#include "support/TestSupport.h"

namespace thg {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

TEST(FileSystem, FindsFilesRegardlessOfLetterCase) {
    TempDir dir;
    test::writeFile(dir / "soluc.dbf", "a");
    test::writeFile(dir / "PROFT.DBF", "b");
    test::writeFile(dir / "Proft.dbf", "c");
    fs::create_directory(dir / "AULAT.DBF"); // a folder is not a table
    struct Case {
        const char* name;
        std::optional<const char*> found;
    };
    const Case cases[] = {
        {"SOLUC.DBF", "soluc.dbf"},  {"soluc.dbf", "soluc.dbf"},
        {"Proft.dbf", "Proft.dbf"}, // an exact match wins
        {"proft.DBF", "PROFT.DBF"}, // else the first in byte order
        {"AULAT.DBF", std::nullopt}, {"GRUPOST.DBF", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto found = findFileIgnoringCase(dir.path(), c.name);
        ASSERT_EQ(found.has_value(), c.found.has_value()) << c.name;
        if (found) {
            EXPECT_EQ(found->filename().string(), *c.found) << c.name;
        }
    }
    EXPECT_FALSE(findFileIgnoringCase(dir / "missing", "SOLUC.DBF"));
}

TEST(FileSystem, AtomicWriteReplacesOrLeavesTheTargetUntouched) {
    TempDir dir;
    const fs::path target = dir / "PROFT.DBF";
    writeFileAtomically(target, "first");
    writeFileAtomically(target, "second");
    EXPECT_EQ(test::readFile(target), "second");

    fs::path seenTemporary;
    setWriteFaultHook([&](const fs::path& temporary) {
        seenTemporary = temporary;
        throw std::runtime_error("No space left on device");
    });
    try {
        writeFileAtomically(target, "third");
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), target.string() + ": No space left on device");
    }
    setWriteFaultHook(nullptr);
    EXPECT_EQ(seenTemporary.parent_path(), dir.path()); // written beside the target
    EXPECT_EQ(test::readFile(target), "second");
    EXPECT_EQ(test::listFiles(dir.path()), std::vector<std::string>{"PROFT.DBF"});

    EXPECT_NE(temporaryPathBeside(target), temporaryPathBeside(target));
    EXPECT_THROW(writeFileAtomically(dir / "missing" / "X.DBF", "x"), Error);
    EXPECT_EQ(test::listFiles(dir.path()), std::vector<std::string>{"PROFT.DBF"});
}

TEST(FileSystem, LockIsExclusiveAndReleased) {
    TempDir dir;
    test::writeFile(dir / "T.DBF", "x");
    FileLock held(dir / "T.DBF", "T.DBF");
    EXPECT_TRUE(held.isHeld());
    EXPECT_THROW(FileLock(dir / "T.DBF", "T.DBF"), Error);
    FileLock moved = std::move(held);
    EXPECT_FALSE(held.isHeld());
    moved.release();
    EXPECT_NO_THROW(FileLock(dir / "T.DBF", "T.DBF"));
    EXPECT_THROW(FileLock(dir / "NONE.DBF", "NONE.DBF"), Error);
}

// Sets environment variables for one test and puts the old values back afterwards.
class Environment {
public:
    void set(const char* name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~Environment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(FileSystem, WorkingDirectory) {
    struct Case {
        const char* htemp;
        const char* winePrefix;
        const char* home;
        const char* expected;
    };
    const Case cases[] = {
        {"/data/htemp", "/wine", "/home/u", "/data/htemp"},
        {"", "/wine", "/home/u", "/wine/drive_c/HTEMP"},
        {nullptr, "", "/home/u", "/home/u/.wine/drive_c/HTEMP"},
        {nullptr, nullptr, "/home/u", "/home/u/.wine/drive_c/HTEMP"},
    };
    for (const Case& c : cases) {
        Environment environment;
        environment.set("HTEMP", c.htemp);
        environment.set("WINEPREFIX", c.winePrefix);
        environment.set("HOME", c.home);
        EXPECT_EQ(workingDirectory(), fs::path(c.expected)) << c.expected;
    }
}

TEST(Error, NotAnIntegerQuotesTheTextInUtf8) {
    EXPECT_STREQ(notAnInteger("abc").what(), "'abc' no es un valor entero válido");
    EXPECT_STREQ(notAnInteger("\xD1\x80\x81x").what(), "'Ñ€\xC2\x81x' no es un valor entero válido");
}

} // namespace
} // namespace thg
