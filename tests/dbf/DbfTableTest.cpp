#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/DbfTable.h"
#include "platform/Error.h"
#include "support/TestSupport.h"

namespace thg {
namespace {

using test::TempDir;
namespace fs = std::filesystem;
using namespace std::string_literals;

struct RawField {
    std::string name;
    char type;
    int width;
    int decimals = 0;
};

void putLittle(std::string& bytes, std::size_t at, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A table made byte by byte, as another program could have written it. Each record is given whole,
// deletion flag first. `level7` makes a dBase 7 file: 68-byte header, 48-byte descriptors.
std::string rawTable(const std::vector<RawField>& fields, const std::vector<std::string>& records,
                     bool level7 = false) {
    const std::size_t start = level7 ? 68 : 32;
    const std::size_t size = level7 ? 48 : 32;
    std::string bytes(start, '\0');
    bytes[0] = level7 ? 0x04 : 0x03;
    bytes[1] = 124;
    bytes[2] = 5;
    bytes[3] = 17;
    std::size_t recordLength = 1;
    for (const RawField& f : fields) {
        std::string descriptor(size, '\0');
        descriptor.replace(0, f.name.size(), f.name);
        descriptor[level7 ? 32 : 11] = f.type;
        descriptor[level7 ? 33 : 16] = static_cast<char>(f.width);
        descriptor[level7 ? 34 : 17] = static_cast<char>(f.decimals);
        bytes += descriptor;
        recordLength += static_cast<std::size_t>(f.width);
    }
    bytes += '\x0D';
    putLittle(bytes, 4, static_cast<std::uint32_t>(records.size()), 4);
    putLittle(bytes, 8, static_cast<std::uint32_t>(bytes.size()), 2);
    putLittle(bytes, 10, static_cast<std::uint32_t>(recordLength), 2);
    if (level7) bytes.replace(32, 8, "DBWINUS0");
    bytes[29] = 0x57;
    for (const std::string& record : records) {
        EXPECT_EQ(record.size(), recordLength) << record;
        bytes += record;
    }
    return bytes + '\x1A';
}

std::string padLeft(const std::string& text, std::size_t width) {
    return std::string(width - text.size(), ' ') + text;
}

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(DbfTable, NumbersReadInPlainForm) {
    struct Case {
        const char* stored;
        const char* text;
        std::int64_t integer;
        double number;
    };
    const Case cases[] = {
        {"3", "3", 3, 3},
        {"3.0000", "3", 3, 3},
        {"2.50", "2.5", 3, 2.5},
        {"2.49", "2.49", 2, 2.49},
        {"-0.25", "-0.25", 0, -0.25},
        {"-.25", "-0.25", 0, -0.25},
        {"-2.5", "-2.5", -3, -2.5},
        {"007", "7", 7, 7},
        {"-0.00", "0", 0, 0},
        {"", "", 0, 0},
        {"1.5E+03", "1500", 1500, 1500},
        {"+12", "12", 12, 12},
    };
    std::vector<std::string> records;
    for (const Case& c : cases)
        records.push_back(" " + padLeft(c.stored, 10));
    DbfTable table = DbfTable::parse(rawTable({{"V", 'N', 10, 2}}, records), "NUMS.DBF");
    table.first();
    for (const Case& c : cases) {
        ASSERT_FALSE(table.eof());
        EXPECT_EQ(table.text("V"), c.text) << c.stored;
        EXPECT_EQ(table.integer("V"), c.integer) << c.stored;
        EXPECT_DOUBLE_EQ(table.number("V"), c.number) << c.stored;
        table.next();
    }
    EXPECT_TRUE(table.eof());
}

TEST(DbfTable, TextKeepsLeadingBlanksAndSkipsDeletedRecords) {
    const std::string bytes =
        rawTable({{"C", 'C', 6}, {"D", 'D', 8}, {"L", 'L', 1}, {"M", 'M', 10}}, {" ab    "
                                                                                 "20240131"
                                                                                 "T"
                                                                                 "        12",
                                                                                 "*gone  "
                                                                                 "20240101"
                                                                                 "F"
                                                                                 "          ",
                                                                                 " \xD1\xFA\0\0\0\0"s
                                                                                 "        "
                                                                                 "?"
                                                                                 "          ",
                                                                                 "   x   "
                                                                                 "20240229"
                                                                                 "y"
                                                                                 "          "});
    DbfTable table = DbfTable::parse(bytes, "T.DBF");
    EXPECT_EQ(table.recordCount(), 3u);
    struct Row {
        const char* c;
        const char* d;
        const char* l;
        const char* m;
    };
    const Row rows[] = {
        {"ab", "20240131", "T", "        12"}, {"\xD1\xFA", "", "", ""}, {"  x", "20240229", "T", ""}};
    table.first();
    for (const Row& row : rows) {
        EXPECT_EQ(table.text("C"), row.c);
        EXPECT_EQ(table.text("d"), row.d);
        EXPECT_EQ(table.text("L"), row.l);
        EXPECT_EQ(table.text("M"), row.m);
        table.next();
    }
    EXPECT_TRUE(table.eof());
    EXPECT_EQ(table.text("C"), ""); // at the end every field reads empty
    EXPECT_EQ(table.integer("D"), 0);
}

// dBase 7 keeps I (and +) as big-endian longs with the sign bit flipped and O as big-endian doubles
// made sortable (sign bit set when positive, every bit inverted when negative). The bytes below are
// written out by hand from that rule; all zero bytes are an empty value.
TEST(DbfTable, ReadsDbase7Tables) {
    const std::vector<RawField> fields = {{"CODIGO_LARGO_NOMBRE", 'C', 4},
                                          {"ID", 'I', 4},
                                          {"SEQ", '+', 4},
                                          {"PESO", 'O', 8},
                                          {"N", 'N', 5, 1},
                                          {"OK", 'L', 1},
                                          {"F", 'D', 8}};
    const std::vector<std::string> records = {
        " AB  "
        "\x80\0\0\x01"
        "\x80\0\0\x05"
        "\xC0\x04\0\0\0\0\0\0"
        "  2.5"
        "T"
        "20240131"s,
        "*XX  "
        "\x80\0\0\x02"
        "\x80\0\0\x06"
        "\xC0\x04\0\0\0\0\0\0"
        "  1.0"
        "F"
        "20240101"s,
        " CD  "
        "\x7F\xFF\xFF\xFF"
        "\x80\0\0\x07"
        "\x3F\xFB\xFF\xFF\xFF\xFF\xFF\xFF"
        " -0.5"
        "F"
        "20231231"s,
        " EF  "
        "\0\0\0\0"
        "\x80\0\0\x08"
        "\0\0\0\0\0\0\0\0"
        "     "
        "?"
        "        "s,
        " GH  "
        "\xFF\xFF\xFF\xFF"
        "\0\0\0\x01"
        "\xBF\xC0\0\0\0\0\0\0"
        "   12"
        "F"
        "        "s,
    };
    struct Row {
        const char* code;
        const char* id;
        std::int64_t idValue;
        const char* seq;
        const char* peso;
        double pesoValue;
        const char* n;
        const char* ok;
        const char* date;
    };
    const Row rows[] = {
        {"AB", "1", 1, "5", "2.5", 2.5, "2.5", "T", "20240131"},
        {"CD", "-1", -1, "7", "-2.5", -2.5, "-0.5", "F", "20231231"},
        {"EF", "", 0, "8", "", 0, "", "", ""},
        {"GH", "2147483647", 2147483647, "-2147483647", "0.125", 0.125, "12", "F", ""},
    };
    TempDir dir;
    test::writeFile(dir / "Level7.dbf", rawTable(fields, records, true));
    DbfTable table = DbfTable::open(dir.path(), "LEVEL7");
    ASSERT_EQ(table.recordCount(), 4u);
    EXPECT_EQ(table.fieldName(0), "CODIGO_LARGO_NOMBRE");
    table.first();
    for (const Row& row : rows) {
        ASSERT_FALSE(table.eof());
        EXPECT_EQ(table.text("codigo_largo_nombre"), row.code);
        EXPECT_EQ(table.text("ID"), row.id) << row.code;
        EXPECT_EQ(table.integer("ID"), row.idValue) << row.code;
        EXPECT_EQ(table.text("SEQ"), row.seq) << row.code;
        EXPECT_EQ(table.text("PESO"), row.peso) << row.code;
        EXPECT_DOUBLE_EQ(table.number("PESO"), row.pesoValue) << row.code;
        EXPECT_EQ(table.text("N"), row.n) << row.code;
        EXPECT_EQ(table.text("OK"), row.ok) << row.code;
        EXPECT_EQ(table.text("F"), row.date) << row.code;
        table.next();
    }
    EXPECT_TRUE(table.eof());
}

TEST(DbfTable, DamagedFilesAreErrorsNamingTheFile) {
    const std::string good = rawTable({{"PROF", 'C', 5}, {"DIA", 'N', 3}}, {" ABC    1", " DEF    2"});
    auto withWord = [&](std::size_t at, std::uint32_t value) {
        std::string bytes = good;
        putLittle(bytes, at, value, 2);
        return bytes;
    };
    std::string noTerminator = good;
    noTerminator[96] = 'X';
    std::string noFields = rawTable({}, {});
    putLittle(noFields, 10, 1, 2);
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty file", ""},
        {"not a table",
         "Just some notes that happen to sit where a table should be, long enough for a header."},
        {"header cut short", good.substr(0, 20)},
        {"descriptors cut short", good.substr(0, 50)},
        {"header length shorter than the descriptors", withWord(8, 40)},
        {"header length beyond the file", withWord(8, 4000)},
        {"no terminator", noTerminator},
        {"record length not the sum of the fields", withWord(10, 10)},
        {"record length 0", withWord(10, 0)},
        {"no fields", noFields},
    };
    TempDir dir;
    for (const Case& c : cases) {
        test::writeFile(dir / "SOLUC.DBF", c.bytes);
        const std::string message = messageOf([&] { DbfTable::open(dir.path(), "SOLUC", "wwTableSoluc"); });
        EXPECT_EQ(message.rfind((dir / "SOLUC.DBF").string() + ": ", 0), 0u) << c.what << ": " << message;
        EXPECT_THROW(DbfTable::parse(c.bytes, "X.DBF"), Error) << c.what;
    }
}

TEST(DbfTable, ToleratesWhatOtherReadersTolerate) {
    std::string bytes = rawTable({{"PROF", 'C', 5}}, {" ABC  ", " DEF  "});
    putLittle(bytes, 4, 1000, 4);  // a count larger than the file holds is cut to what is there
    bytes += std::string(3, '\0'); // bytes after the last record are ignored
    DbfTable table = DbfTable::parse(bytes, "X.DBF");
    EXPECT_EQ(table.recordCount(), 2u);

    std::string noMarker = rawTable({{"PROF", 'C', 5}}, {" ABC  ", " DEF  "});
    noMarker.pop_back();
    EXPECT_EQ(DbfTable::parse(noMarker, "X.DBF").recordCount(), 2u);
}

TEST(DbfTable, FilterKeepsRecordsWhoseFieldEqualsTheCode) {
    EXPECT_EQ(filterExpression("PROF", "O'Neill"), "PROF= 'O''Neill'");
    const std::string bytes = rawTable({{"PROF", 'C', 8}, {"DIA", 'N', 2}},
                                       {" O'Neill  1", " ONEILL   2", "*O'Neill  3", " O'Neill  4",
                                        "  O'Neill 5", " o'neill  6", " O'Neill  7"});
    DbfTable table = DbfTable::parse(bytes, "SOLUC.DBF");
    table.setFilter(filterExpression("PROF", "O'Neill"));
    table.first();
    EXPECT_EQ(table.integer("DIA"), 1); // setting the expression does not filter yet
    table.next();
    EXPECT_EQ(table.integer("DIA"), 2);
    table.filterOn(); // moves to the first passing record
    std::vector<std::int64_t> seen;
    for (; !table.eof(); table.next())
        seen.push_back(table.integer("DIA"));
    EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 4, 7}));

    table.setFilter("DIA ='2'"); // numbers compare by their text
    table.first();
    EXPECT_EQ(table.integer("DIA"), 2);
    table.filterOff();
    table.first();
    EXPECT_EQ(table.integer("DIA"), 1);

    for (const char* bad : {"PROF 'x'", "PROF= x", "PROF= 'x", "= 'x'", "PROF= 'x' y", "PROF= 'x''"})
        EXPECT_THROW(table.setFilter(bad), Error) << bad;
    EXPECT_EQ(messageOf([&] { table.setFilter("NOPE= 'x'"); }), "SOLUC.DBF: No se encuentra el campo 'NOPE'");
}

TEST(DbfTable, FieldAndConversionErrorsSayWhere) {
    TempDir dir;
    test::writeFile(dir / "soluc.dbf", rawTable({{"DIA", 'C', 3}}, {" 1  ", "*xx ", " \xF1x "}));
    DbfTable named = DbfTable::open(dir.path(), "SOLUC", "wwTableSoluc");
    named.first();
    EXPECT_EQ(named.integer("DIA"), 1);
    EXPECT_EQ(messageOf([&] { named.text("HORA"); }), "wwTableSoluc: No se encuentra el campo 'HORA'");
    named.next();
    EXPECT_EQ(messageOf([&] { named.integer("DIA"); }),
              "wwTableSoluc: soluc.dbf, registro 3, campo DIA: '\xC3\xB1x' no es un valor entero válido");
    named.close();

    DbfTable plain = DbfTable::open(dir.path(), "SOLUC");
    EXPECT_EQ(plain.component(), "soluc.dbf");
    EXPECT_EQ(messageOf([&] { plain.fieldIndex("HORA"); }), "soluc.dbf: No se encuentra el campo 'HORA'");
    EXPECT_EQ(messageOf([] { DbfTable::open("/nonexistent-thg", "PROFT"); }),
              "/nonexistent-thg/PROFT.DBF: la tabla no existe");
}

TEST(DbfTable, ExclusiveUse) {
    TempDir dir;
    test::writeFile(dir / "SOLUC.DBF", rawTable({{"PROF", 'C', 5}}, {" ABC  "}));
    {
        DbfTable first = DbfTable::open(dir.path(), "SOLUC");
        EXPECT_NE(messageOf([&] { DbfTable::open(dir.path(), "soluc"); }).find("SOLUC.DBF: "),
                  std::string::npos);
        first.close();
        EXPECT_NO_THROW(DbfTable::open(dir.path(), "SOLUC"));
    }

    // Another process holding the table: refused at once, not waited for.
    const fs::path ready = dir / "ready";
    const std::string command =
        "/usr/bin/python3 -c \"import fcntl,sys; f=open(sys.argv[1]); "
        "fcntl.flock(f, fcntl.LOCK_EX); open(sys.argv[2], 'w').close(); sys.stdin.read()\" '" +
        (dir / "SOLUC.DBF").string() + "' '" + ready.string() + "'";
    FILE* holder = ::popen(command.c_str(), "w");
    ASSERT_NE(holder, nullptr);
    for (int i = 0; i < 200 && !fs::exists(ready); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::exists(ready));
    const auto start = std::chrono::steady_clock::now();
    const std::string message = messageOf([&] { DbfTable::open(dir.path(), "SOLUC", "wwTableSoluc"); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    ::pclose(holder);
    EXPECT_EQ(message, (dir / "SOLUC.DBF").string() + ": el archivo está abierto en otro programa");
    EXPECT_NO_THROW(DbfTable::open(dir.path(), "SOLUC"));
}

} // namespace
} // namespace thg
