#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/DbfTable.h"
#include "platform/Error.h"
#include "support/TestSupport.h"

namespace thg {
namespace {

using test::TempDir;

std::uint32_t little(const std::string& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The shape of ASIGT and friends: text fields of several widths, one of each numeric kind, a
// logical, and a field no record ever sets.
std::vector<DbfFieldSpec> sampleFields() {
    return {{"CODE", DbfType::Text, 5}, {"name", DbfType::Text, 8}, {"N", DbfType::Integer},
            {"HORAS", DbfType::Float},  {"OK", DbfType::Logical},   {"UNSET", DbfType::Text, 3}};
}

TEST(DbfWriter, RoundTripOfEveryFieldTypeAndTheBytesOnDisk) {
    TempDir dir;
    DbfWriter writer(dir / "SAMPLE.DBF", sampleFields());
    writer.append();
    writer.setText("CODE", "ABC");
    writer.setText("NAME", "\xD1\xFA\xF1"
                           "ez"); // Ñúñez in Windows-1252
    writer.setInteger("N", 42);
    writer.setFloat("HORAS", 2.5);
    writer.setLogical("OK", true);
    writer.post();
    writer.append();
    writer.setText("code", "TOOLONGCODE"); // field names are matched regardless of case
    writer.setText("NAME", "\x80"
                           "uro \x8A\x9F");
    writer.setInteger("N", -7);
    writer.setFloat("HORAS", -0.25);
    writer.setLogical("OK", false);
    writer.post();
    writer.append(); // nothing assigned: every field blank
    writer.post();
    EXPECT_EQ(writer.recordCount(), 3u);
    writer.finish();

    struct Expected {
        const char* code;
        const char* name;
        std::int64_t n;
        double horas;
        const char* nText;
        const char* horasText;
        const char* ok;
    };
    const Expected rows[] = {
        {"ABC",
         "\xD1\xFA\xF1"
         "ez",
         42, 2.5, "42", "2.5", "T"},
        {"TOOLO",
         "\x80"
         "uro \x8A\x9F",
         -7, -0.25, "-7", "-0.25", "F"},
        {"", "", 0, 0, "", "", ""},
    };
    DbfTable table = DbfTable::open(dir.path(), "SAMPLE");
    ASSERT_EQ(table.recordCount(), 3u);
    table.first();
    for (const Expected& row : rows) {
        ASSERT_FALSE(table.eof());
        EXPECT_EQ(table.text("CODE"), row.code);
        EXPECT_EQ(table.text("NAME"), row.name);
        EXPECT_EQ(table.integer("N"), row.n);
        EXPECT_EQ(table.text("N"), row.nText);
        EXPECT_DOUBLE_EQ(table.number("HORAS"), row.horas);
        EXPECT_EQ(table.text("HORAS"), row.horasText);
        EXPECT_EQ(table.text("OK"), row.ok);
        EXPECT_EQ(table.text("UNSET"), "");
        table.next();
    }
    EXPECT_TRUE(table.eof());
    table.close();

    const std::string bytes = test::readFile(dir / "SAMPLE.DBF");
    const std::size_t fields = 6;
    const std::size_t headerLength = 32 + 32 * fields + 1;
    const std::size_t recordLength = 1 + 5 + 8 + 11 + 20 + 1 + 3;
    ASSERT_EQ(bytes.size(), headerLength + 3 * recordLength + 1);
    EXPECT_EQ(bytes[0], 0x03);
    EXPECT_GE(static_cast<unsigned char>(bytes[1]), 124); // years since 1900: 2024 or later
    EXPECT_GE(bytes[2], 1);
    EXPECT_LE(bytes[2], 12);
    EXPECT_GE(bytes[3], 1);
    EXPECT_LE(bytes[3], 31);
    EXPECT_EQ(little(bytes, 4, 4), 3u);
    EXPECT_EQ(little(bytes, 8, 2), headerLength);
    EXPECT_EQ(little(bytes, 10, 2), recordLength);
    EXPECT_EQ(bytes[28], 0);    // no production index
    EXPECT_EQ(bytes[29], 0x57); // Windows-1252 ("ANSI") language driver
    EXPECT_EQ(bytes.substr(32, 32),
              std::string("CODE\0\0\0\0\0\0\0C\0\0\0\0\x05\0", 18) + std::string(14, '\0'));
    EXPECT_EQ(bytes.substr(64, 11), std::string("NAME\0\0\0\0\0\0\0", 11)); // upper case, NUL-padded
    EXPECT_EQ(bytes.substr(96 + 11, 7), std::string("N\0\0\0\0\x0B\0", 7));
    EXPECT_EQ(bytes.substr(128 + 11, 7), std::string("N\0\0\0\0\x14\x04", 7));
    EXPECT_EQ(bytes.substr(160 + 11, 7), std::string("L\0\0\0\0\x01\0", 7));
    EXPECT_EQ(bytes[headerLength - 1], 0x0D);
    EXPECT_EQ(bytes.substr(headerLength, recordLength),
              std::string(" ABC  \xD1\xFA\xF1"
                          "ez            42              2.5000T   "));
    EXPECT_EQ(bytes.substr(headerLength + 2 * recordLength, recordLength), std::string(recordLength, ' '));
    EXPECT_EQ(bytes.back(), 0x1A);
    EXPECT_EQ(bytes.find('\x1A'), bytes.size() - 1); // exactly one end marker
}

TEST(DbfWriter, NumbersThatDoNotFitAreErrorsNeverAsterisks) {
    TempDir dir;
    DbfWriter writer(dir / "N.DBF", sampleFields());
    writer.append();
    struct Case {
        std::int64_t value;
        bool fits;
    };
    for (Case c : {Case{99999999999, true}, Case{-9999999999, true}, Case{100000000000, false},
                   Case{-10000000000, false}}) {
        if (c.fits)
            EXPECT_NO_THROW(writer.setInteger("N", c.value)) << c.value;
        else
            EXPECT_THROW(writer.setInteger("N", c.value), Error) << c.value;
    }
    struct FloatCase {
        double value;
        bool fits;
    };
    for (FloatCase c : {FloatCase{99999999999999.0, true}, FloatCase{-9999999999999.0, true},
                        FloatCase{1e15, false}, FloatCase{std::numeric_limits<double>::infinity(), false}}) {
        if (c.fits)
            EXPECT_NO_THROW(writer.setFloat("HORAS", c.value)) << c.value;
        else
            EXPECT_THROW(writer.setFloat("HORAS", c.value), Error) << c.value;
    }
}

TEST(DbfWriter, PendingRecordReadsBackAsStored) {
    TempDir dir;
    DbfWriter writer(dir / "ASIGT.DBF", sampleFields());
    writer.append();
    EXPECT_EQ(writer.readFloat("HORAS"), 0); // blank
    struct Case {
        double set;
        double stored;
    };
    for (Case c : {Case{50.0 / 60, 0.8333}, Case{1.23456, 1.2346}, Case{2.5, 2.5}, Case{-0.00001, 0}}) {
        writer.setFloat("HORAS", c.set);
        EXPECT_DOUBLE_EQ(writer.readFloat("HORAS"), c.stored) << c.set;
    }
    writer.setInteger("N", 7);
    EXPECT_EQ(writer.readFloat("N"), 7);
}

TEST(DbfWriter, MissingFieldAndMisuseAreErrors) {
    TempDir dir;
    DbfWriter writer(dir / "T.DBF", sampleFields());
    EXPECT_THROW(writer.setText("CODE", "x"), Error); // no record appended
    writer.append();
    try {
        writer.setText("NOPE", "x");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "No se encuentra el campo 'NOPE'");
    }
    EXPECT_THROW(DbfWriter(dir / "BAD.DBF", {{"NAMETOOLONG", DbfType::Text, 3}}), Error);
    EXPECT_THROW(DbfWriter(dir / "BAD.DBF", {{"A", DbfType::Text, 0}}), Error);
    EXPECT_THROW(DbfWriter(dir / "BAD.DBF", {{"A", DbfType::Text, 3}, {"a", DbfType::Integer}}), Error);
    EXPECT_THROW(DbfWriter(dir / "BAD.DBF", {}), Error);
}

TEST(DbfWriter, EmptyTableAndUnwritableFolder) {
    TempDir dir;
    DbfWriter empty(dir / "EMPTY.DBF", sampleFields());
    empty.finish();
    DbfTable table = DbfTable::open(dir.path(), "EMPTY");
    EXPECT_EQ(table.recordCount(), 0u);
    table.first();
    EXPECT_TRUE(table.eof());
    EXPECT_EQ(table.text("CODE"), "");
    EXPECT_EQ(table.integer("N"), 0);

    DbfWriter lost(dir / "missing" / "LOST.DBF", sampleFields());
    lost.append();
    lost.post();
    try {
        lost.finish();
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind((dir / "missing" / "LOST.DBF").string() + ": ", 0), 0u)
            << e.what();
    }
}

TEST(DbfWriter, PartsBuiltApartJoinInOrder) {
    TempDir dir;
    auto part = [&](std::initializer_list<const char*> codes) {
        auto writer = std::make_unique<DbfWriter>(dir / "JOINED.DBF", sampleFields());
        for (const char* code : codes) {
            writer->append();
            writer->setText("CODE", code);
            writer->post();
        }
        return writer;
    };
    auto first = part({"A", "B"});
    auto second = part({"C", "D", "E"});
    auto empty = part({});
    first->appendRecordsOf(*empty);
    first->appendRecordsOf(*second);
    EXPECT_EQ(second->recordCount(), 0u);
    first->finish();

    DbfTable table = DbfTable::open(dir.path(), "JOINED");
    std::string codes;
    for (table.first(); !table.eof(); table.next())
        codes += table.text("CODE");
    EXPECT_EQ(codes, "ABCDE");
    EXPECT_EQ(table.recordCount(), 5u);

    DbfWriter other(dir / "OTHER.DBF", {{"CODE", DbfType::Text, 6}});
    EXPECT_THROW(other.appendRecordsOf(*part({"X"})), Error);
}

} // namespace
} // namespace thg
