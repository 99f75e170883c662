#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FileSystem.h"

// Our dBase engine. The working tables are the timetable program's own file format, so we own the
// code that writes and reads them. All text is single-byte Windows-1252.
namespace thg {

enum class DbfType {
    Text,    // C, of the given width
    Integer, // N 11,0
    Float,   // N 20,4
    Logical, // L, stored T or F
};

struct DbfFieldSpec {
    std::string name; // upper case, at most 10 characters
    DbfType type;
    int width = 0; // text fields only
};

// Builds a new table in memory, record by record, and writes it in one go with finish().
// The file is a dBase III table (version byte 0x03, language driver 0x57, no production index) that
// every common dBase reader and the timetable program's engine accept.
class DbfWriter {
public:
    DbfWriter(std::filesystem::path file, std::vector<DbfFieldSpec> fields);
    ~DbfWriter();
    DbfWriter(DbfWriter&&) noexcept;
    DbfWriter& operator=(DbfWriter&&) noexcept;

    // Makes room for `records` records at once, so that a large table is not copied as it grows.
    void reserve(std::size_t records);
    // Starts a new record with every field blank.
    void append();
    // Field setters on the record being appended. An unknown field is an Error
    // "No se encuentra el campo 'X'". Text longer than the field is cut to its width in bytes.
    void setText(std::string_view field, std::string_view ansi);
    // A value that does not fit the field (more than 11 digits with its sign) is an Error, never a
    // row of asterisks.
    void setInteger(std::string_view field, std::int64_t value);
    void setFloat(std::string_view field, double value);
    void setLogical(std::string_view field, bool value);
    // A numeric field of the record being appended, as the table keeps it (rounded to its decimals);
    // a blank field reads 0.
    double readFloat(std::string_view field) const;
    // Adds the record being appended after the last one.
    void post();
    // Adds every record posted to `other`, a writer of the same fields, after this one's records;
    // `other` is left empty. Lets parts of a large table be built side by side and joined in order.
    void appendRecordsOf(DbfWriter& other);

    std::size_t recordCount() const;
    // Writes the file (replacing any file of that name) and ends the writer. Throws Error naming the
    // file when it cannot be written; a partly written file is removed. A record appended but not
    // posted is dropped, as closing a table cancels it.
    void finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// An existing table opened for reading and for exclusive use: the file is locked until close() or
// destruction, and a table another process holds is an Error at once. Reads dBase III, IV, 5 and 7
// files; deleted records are skipped and invisible to every operation.
class DbfTable {
public:
    DbfTable();
    ~DbfTable();
    DbfTable(DbfTable&&) noexcept;
    DbfTable& operator=(DbfTable&&) noexcept;

    // Opens the table `name` (without extension) in `dir`: the file `name`.DBF, found regardless of
    // letter case. `component` is the name under which messages report the table ("wwTableSoluc");
    // empty means the file's name ("SOLUC.DBF"). A missing, locked or damaged file is an Error naming it.
    static DbfTable open(const std::filesystem::path& dir, std::string_view name, std::string component = {});
    // A table from bytes already in memory (fuzzing, tests): no file and no lock. `name` stands for
    // the file in messages. Damaged bytes are an Error naming it, as with open().
    static DbfTable parse(std::string bytes, std::string name);

    bool isOpen() const;
    void close();
    const std::string& component() const;
    const std::filesystem::path& file() const;

    // The number of records that are not deleted.
    std::size_t recordCount() const;

    // Navigation over the records that are not deleted (and, with the filter on, pass it).
    void first();
    void next();
    bool eof() const;
    // The current record's position among all records that are not deleted, from 0; lets a caller
    // keep positions and come back with moveTo() (used for indexes built once per run).
    std::size_t position() const;
    void moveTo(std::size_t position);

    // The index of field `name` (letter case ignored). A missing field is an Error
    // "<component>: No se encuentra el campo 'X'".
    int fieldIndex(std::string_view name) const;
    bool hasField(std::string_view name) const;
    // The number of fields and the name of field `field` (0 to fieldCount() - 1), as the file spells it.
    int fieldCount() const;
    std::string fieldName(int field) const;

    // The current record's field as text: character fields without their trailing blanks and NULs
    // (leading blanks stay); numbers in plain form ("3", "2.5"); logical "T"/"F"; dates "YYYYMMDD".
    // At the end of the table every field reads empty.
    std::string text(int field) const;
    std::string text(std::string_view field) const;
    // As an integer, rounded to the nearest whole number; an empty field reads 0; text that is not a
    // number is an Error naming the table, the record and the field.
    std::int64_t integer(int field) const;
    std::int64_t integer(std::string_view field) const;
    double number(int field) const;
    double number(std::string_view field) const;

    // The timetable program's filter expression: FIELD= 'value', single quotes inside the value
    // doubled. Keeps the records whose field reads (as text) exactly equal to the value. Setting the
    // expression does not switch the filter on; filterOn() does and moves to the first passing record.
    void setFilter(std::string_view expression);
    void filterOn();
    void filterOff();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Builds the expression DbfTable::setFilter takes: "PROF= 'O''Neill'" for field PROF and O'Neill.
std::string filterExpression(std::string_view field, std::string_view value);

} // namespace thg
