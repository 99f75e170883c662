#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "app/IniFile.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "support/TestSupport.h"

namespace {

using thg::test::TempDir;

struct IniCase {
    const char* name;
    const char* before;
    const char* after;
};

// Every case sets Transformado in Transformadores to 1.
const IniCase iniCases[] = {
    {"empty file gets the section", "", "[Transformadores]\r\nTransformado=1\r\n"},
    {"other sections stay, the new one goes last", "[Horarix]\r\nRuta=C:\\HTEMP\r\n",
     "[Horarix]\r\nRuta=C:\\HTEMP\r\n[Transformadores]\r\nTransformado=1\r\n"},
    {"unterminated last line is ended before the new section", "[Horarix]\nRuta=x",
     "[Horarix]\nRuta=x\n[Transformadores]\nTransformado=1\n"},
    {"value replaced, neighbours and LF endings kept", "[Transformadores]\nOtro=5\nTransformado=-1\nMas=2\n",
     "[Transformadores]\nOtro=5\nTransformado=1\nMas=2\n"},
    {"section and key matched regardless of case, blanks around them",
     "[ TRANSFORMADORES ]\r\n  transformado = 0 \r\n", "[ TRANSFORMADORES ]\r\nTransformado=1\r\n"},
    {"missing key added after the section's last entry, before the blank line",
     "[Transformadores]\r\nOtro=5\r\n\r\n[Otra]\r\nTransformado=7\r\n",
     "[Transformadores]\r\nOtro=5\r\nTransformado=1\r\n\r\n[Otra]\r\nTransformado=7\r\n"},
    {"the same key in another section is not ours", "[Otra]\r\nTransformado=7\r\n",
     "[Otra]\r\nTransformado=7\r\n[Transformadores]\r\nTransformado=1\r\n"},
    {"comments are not keys; the first of two sections wins",
     "[Transformadores]\r\n;Transformado=9\r\n[transformadores]\r\nTransformado=3\r\n",
     "[Transformadores]\r\n;Transformado=9\r\nTransformado=1\r\n[transformadores]\r\nTransformado=3\r\n"},
    {"key on an unterminated last line", "[Transformadores]\r\nTransformado=0",
     "[Transformadores]\r\nTransformado=1"},
    {"bytes outside the change are kept, accents and odd lines included",
     "; configuraci\xf3n\r\nbasura sin igual\r\n[Transformadores]\r\nTransformado=0\r\n",
     "; configuraci\xf3n\r\nbasura sin igual\r\n[Transformadores]\r\nTransformado=1\r\n"},
};

TEST(IniFile, setValueChangesOnlyTheKey) {
    for (const IniCase& c : iniCases)
        EXPECT_EQ(thg::ini::setValue(c.before, "Transformadores", "Transformado", "1"), c.after) << c.name;
}

TEST(IniFile, writeValueCreatesAndThenReplacesTheFile) {
    TempDir dir;
    const auto file = dir / "Horarix.ini";
    thg::ini::writeValue(file, "Transformadores", "Transformado", "-1");
    EXPECT_EQ(thg::test::readFile(file), "[Transformadores]\r\nTransformado=-1\r\n");
    thg::test::writeFile(file, "[A]\nb=c\n[Transformadores]\nTransformado=-1\n");
    thg::ini::writeValue(file, "Transformadores", "Transformado", "1");
    EXPECT_EQ(thg::test::readFile(file), "[A]\nb=c\n[Transformadores]\nTransformado=1\n");
    EXPECT_EQ(thg::test::listFiles(dir.path()), std::vector<std::string>{"Horarix.ini"});
}

TEST(IniFile, failedWriteNamesTheFileAndKeepsTheOldOne) {
    TempDir dir;
    const auto file = dir / "Horarix.ini";
    thg::test::writeFile(file, "[Transformadores]\r\nTransformado=0\r\n");
    thg::setWriteFaultHook([](const std::filesystem::path&) { throw thg::Error("disco lleno"); });
    try {
        thg::ini::writeValue(file, "Transformadores", "Transformado", "1");
        ADD_FAILURE() << "no error";
    } catch (const thg::Error& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + file.string());
    }
    thg::setWriteFaultHook({});
    EXPECT_EQ(thg::test::readFile(file), "[Transformadores]\r\nTransformado=0\r\n");

    const auto nowhere = dir / "no" / "Horarix.ini";
    EXPECT_THROW(thg::ini::writeValue(nowhere, "Transformadores", "Transformado", "1"), thg::Error);
}

} // namespace
