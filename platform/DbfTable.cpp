#include "platform/DbfTable.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>

#include "platform/Ansi.h"
#include "platform/Error.h"

// Reading dBase tables other programs wrote.
//
// dBase III, IV and 5 (version bytes 0x03, 0x83, 0x8B, 0x8E, ... and the FoxPro family 0x30 to 0x32,
// 0xF5): a 32-byte table header (version, date YY MM DD, record count u32, header length u16,
// record length u16, all little-endian), 32-byte field descriptors (name in bytes 0-10, NUL-padded;
// type at 11; length at 16; decimals at 17), a 0x0D terminator, then the records at the header
// length. Visual FoxPro puts a 263-byte back link after the terminator; the header length covers it.
//
// dBase 7 (version byte 0x04, or 0x8C with a memo file; bits 0-2 give the level): the same first 32
// bytes, then the language driver's name (32 bytes) and 4 reserved bytes, so the descriptors start
// at 68 and are 48 bytes long: name 0-31 (NUL-padded), type 32, length 33, decimals 34, the next
// autoincrement value 40-43. A field properties block may follow the terminator, again inside the
// header length. Its binary fields:
//   I (long) and + (autoincrement): 4 bytes, big-endian, two's complement with the sign bit flipped,
//     so that the bytes sort like the numbers: 0x80000001 is 1, 0x7FFFFFFF is -1.
//   O (double): 8 bytes, the IEEE 754 double in big-endian order, then made sortable: a positive
//     number has its sign bit set, a negative number has every bit inverted.
//   @ (timestamp): two longs, days and milliseconds; read here as raw text.
//   All bytes 0 is how the level-7 engine stores an empty (null) value.
// Visual FoxPro's I field instead holds a plain little-endian 32-bit integer.

namespace thg {

namespace {

namespace fs = std::filesystem;

enum class Kind {
    Text,    // C, D and every type we do not interpret: raw bytes without trailing blanks and NULs
    Number,  // N and F: a number written as text
    Logical, // L
    Long7,   // dBase 7 I and +
    Double7, // dBase 7 O
    LongFox, // Visual FoxPro I
};

struct Field {
    std::string name;
    Kind kind;
    std::size_t offset; // within the record, after the deletion flag
    std::size_t width;
};

constexpr std::uint8_t headerTerminator = 0x0D;
constexpr char deletedFlag = '*';

using ansi::asciiUpper;

std::uint32_t littleEndian(const unsigned char* p, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

std::uint64_t bigEndian(const char* p, int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | static_cast<unsigned char>(p[i]);
    return value;
}

bool allZero(const char* p, std::size_t size) {
    return std::all_of(p, p + size, [](char c) { return c == 0; });
}

std::string_view trimRight(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.remove_suffix(1);
    return text;
}

std::string_view trimBoth(std::string_view text) {
    text = trimRight(text);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\0'))
        text.remove_prefix(1);
    return text;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The shortest text that reads back as `value`, never in exponent form.
std::string plainDouble(double value) {
    if (value == 0) return "0";
    char digits[1100]; // room for the longest fixed form of any double
    auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed);
    return std::string(digits, result.ptr);
}

// Parses a number written as text (blanks around it allowed, an optional sign, a decimal point,
// an exponent). Empty text is 0. False when the text is not a number.
bool parseNumber(std::string_view text, double& value) {
    text = trimBoth(text);
    value = 0;
    if (text.empty()) return true;
    bool negative = false;
    if (text.front() == '-' || text.front() == '+') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || !(isDigit(text.front()) || text.front() == '.')) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return false;
    if (negative) value = -value;
    return true;
}

// A stored number in plain form: "3" for "  3" and "3.0000", "2.5" for "2.50", "-0.25" for "-.25".
// Text that is not a number comes back trimmed, as it is.
std::string plainNumber(std::string_view stored) {
    std::string_view text = trimBoth(stored);
    std::string_view rest = text;
    bool negative = false;
    if (!rest.empty() && (rest.front() == '-' || rest.front() == '+')) {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    std::size_t whole = 0;
    while (whole < rest.size() && isDigit(rest[whole]))
        ++whole;
    std::string_view integerDigits = rest.substr(0, whole);
    std::string_view fraction;
    rest.remove_prefix(whole);
    if (!rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        std::size_t count = 0;
        while (count < rest.size() && isDigit(rest[count]))
            ++count;
        fraction = rest.substr(0, count);
        rest.remove_prefix(count);
    }
    if (!rest.empty() || (integerDigits.empty() && fraction.empty())) {
        // An exponent or something else: let the number parser decide.
        double value = 0;
        if (!text.empty() && parseNumber(text, value)) return plainDouble(value);
        return std::string(text);
    }
    while (!integerDigits.empty() && integerDigits.front() == '0')
        integerDigits.remove_prefix(1);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.remove_suffix(1);
    std::string plain;
    plain.reserve(integerDigits.size() + fraction.size() + 3);
    if (negative && (!integerDigits.empty() || !fraction.empty())) plain += '-';
    if (integerDigits.empty())
        plain += '0';
    else
        plain += integerDigits;
    if (!fraction.empty()) {
        plain += '.';
        plain += fraction;
    }
    return plain;
}

// `text` quoted and converted to UTF-8 for a message, as the conversion error shows it.
std::string quotedForMessage(const std::string& ansi) {
    const std::string message = notAnInteger(ansi).what();
    return message.substr(0, message.rfind('\'') + 1);
}

} // namespace

struct DbfTable::Impl {
    fs::path file;
    std::string fileName;  // how messages name the file
    std::string component; // how messages name the table
    FileLock lock;
    // The whole file. Not a std::string: filling a large one with zeros before reading into it
    // costs as much as the read.
    std::unique_ptr<char[]> storage;
    std::string_view bytes;
    std::vector<Field> fields;
    std::size_t dataStart = 0;
    std::size_t recordLength = 0;
    std::vector<std::uint32_t> live; // physical numbers (from 0) of the records that are not deleted
    std::size_t current = 0;         // index into `live`; live.size() is the end
    bool open = false;
    bool filtered = false;
    int filterField = -1; // -1: no expression set
    std::string filterValue;

    Error failure(const std::string& reason) const {
        return Error((component.empty() ? std::string("tabla") : component) + ": " + reason);
    }

    void requireOpen() const {
        if (!open) throw failure("la tabla está cerrada");
    }

    const Field& field(int index) const {
        requireOpen();
        if (index < 0 || static_cast<std::size_t>(index) >= fields.size())
            throw failure("no existe el campo número " + std::to_string(index));
        return fields[static_cast<std::size_t>(index)];
    }

    bool atEnd() const { return current >= live.size(); }

    // The bytes of field `f` in the current record (empty at the end of the table).
    std::string_view raw(const Field& f) const {
        if (atEnd()) return {};
        const std::size_t at = dataStart + static_cast<std::size_t>(live[current]) * recordLength + f.offset;
        return std::string_view(bytes.data() + at, f.width);
    }

    std::string text(const Field& f) const {
        std::string_view stored = raw(f);
        if (stored.empty()) return {};
        switch (f.kind) {
        case Kind::Text:
            return std::string(trimRight(stored));
        case Kind::Number:
            return plainNumber(stored);
        case Kind::Logical:
            switch (stored.front()) {
            case 'T':
            case 't':
            case 'Y':
            case 'y':
                return "T";
            case 'F':
            case 'f':
            case 'N':
            case 'n':
                return "F";
            default:
                return {}; // blank or '?': never set
            }
        case Kind::Long7:
        case Kind::LongFox:
        case Kind::Double7: {
            double value = 0;
            if (!binaryValue(f, stored, value)) return {};
            return f.kind == Kind::Double7 ? plainDouble(value)
                                           : std::to_string(static_cast<std::int64_t>(value));
        }
        }
        return {};
    }

    // The value of a binary field; false when it is empty.
    static bool binaryValue(const Field& f, std::string_view stored, double& value) {
        if (f.kind == Kind::LongFox) {
            value = static_cast<std::int32_t>(
                littleEndian(reinterpret_cast<const unsigned char*>(stored.data()), 4));
            return true;
        }
        if (allZero(stored.data(), stored.size())) return false;
        if (f.kind == Kind::Long7) {
            value = static_cast<std::int32_t>(
                static_cast<std::uint32_t>(bigEndian(stored.data(), 4) ^ 0x80000000u));
            return true;
        }
        std::uint64_t bits = bigEndian(stored.data(), 8);
        bits = (bits & 0x8000000000000000ull) ? bits ^ 0x8000000000000000ull : ~bits;
        std::memcpy(&value, &bits, sizeof value);
        return true;
    }

    // The current record's field as a number, or the error that names the table, record and field.
    double number(const Field& f, bool forInteger) const {
        std::string_view stored = raw(f);
        double value = 0;
        if (stored.empty()) return 0;
        switch (f.kind) {
        case Kind::Long7:
        case Kind::LongFox:
        case Kind::Double7:
            if (!binaryValue(f, stored, value)) return 0;
            if (std::isfinite(value)) return value;
            break; // an infinity or NaN is no number to work with
        case Kind::Logical:
            break;
        case Kind::Text:
        case Kind::Number:
            if (parseNumber(stored, value)) return value;
            break;
        }
        const std::string shown = text(f);
        std::string reason = forInteger ? notAnInteger(shown).what()
                                        : quotedForMessage(shown) + " no es un valor de coma flotante válido";
        throw Error(recordPlace(f) + ": " + reason);
    }

    std::int64_t integer(const Field& f) const {
        std::string_view stored = raw(f);
        // The common case, a whole number written as text, without going through a double.
        if (f.kind == Kind::Number || f.kind == Kind::Text) {
            std::string_view digits = trimBoth(stored);
            bool negative = !digits.empty() && digits.front() == '-';
            if (negative || (!digits.empty() && digits.front() == '+')) digits.remove_prefix(1);
            if (!digits.empty() && digits.size() <= 18 &&
                std::all_of(digits.begin(), digits.end(), isDigit)) {
                std::int64_t value = 0;
                for (char c : digits)
                    value = value * 10 + (c - '0');
                return negative ? -value : value;
            }
        }
        const double value = number(f, true);
        const double rounded = std::round(value);
        if (!(rounded >= -9.2e18 && rounded <= 9.2e18))
            throw Error(recordPlace(f) + ": " + notAnInteger(text(f)).what());
        return static_cast<std::int64_t>(rounded);
    }

    std::string recordPlace(const Field& f) const {
        std::string place = component == fileName ? fileName : component + ": " + fileName;
        if (!atEnd()) place += ", registro " + std::to_string(static_cast<std::size_t>(live[current]) + 1);
        return place + ", campo " + f.name;
    }

    bool passes() const {
        if (!filtered || filterField < 0) return true;
        const Field& f = fields[static_cast<std::size_t>(filterField)];
        if (f.kind != Kind::Text) return text(f) == filterValue;
        // A character field equals the value when it starts with it and only blanks or NULs follow
        // (a value that itself ends in a blank can never equal a trimmed field).
        const std::string_view stored = raw(f);
        const std::size_t length = filterValue.size();
        if (length > stored.size() || (length > 0 && stored.front() != filterValue.front())) return false;
        if (length > 0 && (filterValue.back() == ' ' || filterValue.back() == '\0')) return false;
        if (stored.compare(0, length, filterValue) != 0) return false;
        return std::all_of(stored.begin() + static_cast<std::ptrdiff_t>(length), stored.end(),
                           [](char c) { return c == ' ' || c == '\0'; });
    }

    void skipToPassing() {
        while (!atEnd() && !passes())
            ++current;
    }

    int find(std::string_view name) const {
        // Names are nearly always asked for as the file spells them: try that first, it is cheaper.
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].name == name) return static_cast<int>(i);
        }
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (ansi::equalsAsciiIgnoreCase(fields[i].name, name)) return static_cast<int>(i);
        }
        return -1;
    }

    void load(std::unique_ptr<char[]> content, std::size_t size, const std::string& where);
};

// Reads the header and checks every length against the bytes there are before trusting any of it:
// nothing is read past the data and nothing is sized by a header field alone.
void DbfTable::Impl::load(std::unique_ptr<char[]> content, std::size_t contentSize,
                          const std::string& where) {
    storage = std::move(content);
    bytes = std::string_view(storage.get(), contentSize);
    auto damaged = [&](const std::string& reason) { return Error(where + ": " + reason); };
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    if (size == 0) throw damaged("no es una tabla dBase: el archivo está vacío");
    const std::uint8_t version = b[0];
    const bool level7 = (version & 0x07) == 4;
    const bool known = level7 || (version & 0x07) == 3 || version == 0x30 || version == 0x31 ||
                       version == 0x32 || version == 0xF5;
    if (!known) throw damaged("no es una tabla dBase");
    const std::size_t fieldsStart = level7 ? 68 : 32;
    const std::size_t descriptorSize = level7 ? 48 : 32;
    if (size < fieldsStart) throw damaged("la cabecera está incompleta");
    const std::size_t recordCount = littleEndian(b + 4, 4);
    const std::size_t headerLength = littleEndian(b + 8, 2);
    recordLength = littleEndian(b + 10, 2);
    if (headerLength < fieldsStart + 1)
        throw damaged("la longitud de la cabecera (" + std::to_string(headerLength) + ") no es válida");
    if (size < headerLength) throw damaged("la cabecera está incompleta");

    std::size_t at = fieldsStart;
    std::size_t offset = 1;
    while (at < headerLength && b[at] != headerTerminator) {
        if (at + descriptorSize > headerLength)
            throw damaged("los descriptores de campo no coinciden con la longitud de la cabecera");
        const char* descriptor = bytes.data() + at;
        const std::size_t nameSize = level7 ? 32 : 11;
        Field f;
        f.name.assign(descriptor, strnlen(descriptor, nameSize));
        const char type = asciiUpper(descriptor[level7 ? 32 : 11]);
        f.width = b[at + (level7 ? 33 : 16)];
        f.offset = offset;
        switch (type) {
        case 'N':
        case 'F':
            f.kind = Kind::Number;
            break;
        case 'L':
            f.kind = Kind::Logical;
            break;
        case 'I':
        case '+':
            f.kind = f.width != 4 ? Kind::Text : level7 ? Kind::Long7 : Kind::LongFox;
            break;
        case 'O':
            f.kind = level7 && f.width == 8 ? Kind::Double7 : Kind::Text;
            break;
        default:
            f.kind = Kind::Text;
            break; // C, D and the rest: their text as stored
        }
        offset += f.width;
        fields.push_back(std::move(f));
        at += descriptorSize;
    }
    if (at >= headerLength) throw damaged("falta el final de los descriptores de campo");
    if (fields.empty()) throw damaged("la tabla no tiene campos");
    if (recordLength == 0) throw damaged("la longitud de registro es 0");
    if (recordLength != offset)
        throw damaged("la longitud de registro (" + std::to_string(recordLength) +
                      ") no coincide con la de los campos (" + std::to_string(offset) + ")");

    // Readers agree to take what is there: a count larger than the file holds is cut, and bytes
    // after the last record (the 0x1A marker, padding) are ignored.
    dataStart = headerLength;
    const std::size_t available = (size - dataStart) / recordLength;
    const std::size_t count = std::min({recordCount, available, std::size_t{0xFFFFFFFF}});
    live.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[dataStart + i * recordLength] != deletedFlag) live.push_back(static_cast<std::uint32_t>(i));
    }
    current = 0;
    open = true;
}

DbfTable::DbfTable() : impl_(std::make_unique<Impl>()) {}
DbfTable::~DbfTable() = default;
DbfTable::DbfTable(DbfTable&&) noexcept = default;
DbfTable& DbfTable::operator=(DbfTable&&) noexcept = default;

DbfTable DbfTable::open(const fs::path& dir, std::string_view name, std::string component) {
    const std::string fileName = std::string(name) + ".DBF";
    const auto found = findFileIgnoringCase(dir, fileName);
    if (!found) throw Error((dir / fileName).string() + ": la tabla no existe");
    const std::string where = found->string();

    DbfTable table;
    Impl& d = *table.impl_;
    d.file = *found;
    d.fileName = found->filename().string();
    d.component = component.empty() ? d.fileName : std::move(component);
    // Locked first and read whole afterwards: while we hold it, no one else writes it.
    d.lock = FileLock(*found, where);
    std::FILE* in = std::fopen(found->string().c_str(), "rb");
    if (!in) throw Error(where + ": " + std::generic_category().message(errno));
    std::error_code sizeError;
    const auto size = static_cast<std::size_t>(fs::file_size(*found, sizeError));
    std::unique_ptr<char[]> content;
    bool ok = !sizeError;
    if (ok) {
        content.reset(new char[std::max<std::size_t>(size, 1)]);
        ok = std::fread(content.get(), 1, size, in) == size;
    }
    std::fclose(in);
    if (!ok) throw Error(where + ": no se puede leer el archivo");
    d.load(std::move(content), size, where);
    return table;
}

DbfTable DbfTable::parse(std::string bytes, std::string name) {
    DbfTable table;
    Impl& d = *table.impl_;
    d.file = name;
    d.fileName = name;
    d.component = name;
    auto copy = std::make_unique<char[]>(bytes.size());
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    d.load(std::move(copy), bytes.size(), name);
    return table;
}

bool DbfTable::isOpen() const {
    return impl_ && impl_->open;
}

void DbfTable::close() {
    if (!impl_) return;
    impl_->lock.release();
    impl_->open = false;
    impl_->filtered = false;
    impl_->storage.reset();
    impl_->bytes = {};
    std::vector<std::uint32_t>().swap(impl_->live);
    impl_->fields.clear();
    impl_->current = 0;
}

const std::string& DbfTable::component() const {
    return impl_->component;
}
const fs::path& DbfTable::file() const {
    return impl_->file;
}

std::size_t DbfTable::recordCount() const {
    return isOpen() ? impl_->live.size() : 0;
}

void DbfTable::first() {
    impl_->requireOpen();
    impl_->current = 0;
    impl_->skipToPassing();
}

void DbfTable::next() {
    impl_->requireOpen();
    if (impl_->atEnd()) return;
    ++impl_->current;
    impl_->skipToPassing();
}

bool DbfTable::eof() const {
    return !isOpen() || impl_->atEnd();
}

std::size_t DbfTable::position() const {
    return impl_->current;
}

void DbfTable::moveTo(std::size_t position) {
    impl_->requireOpen();
    impl_->current = std::min(position, impl_->live.size());
}

int DbfTable::fieldIndex(std::string_view name) const {
    impl_->requireOpen();
    const int index = impl_->find(name);
    if (index < 0) throw impl_->failure("No se encuentra el campo '" + std::string(name) + "'");
    return index;
}

bool DbfTable::hasField(std::string_view name) const {
    return isOpen() && impl_->find(name) >= 0;
}

int DbfTable::fieldCount() const {
    return isOpen() ? static_cast<int>(impl_->fields.size()) : 0;
}

std::string DbfTable::fieldName(int field) const {
    return impl_->field(field).name;
}

std::string DbfTable::text(int field) const {
    return impl_->text(impl_->field(field));
}
std::string DbfTable::text(std::string_view field) const {
    return text(fieldIndex(field));
}

std::int64_t DbfTable::integer(int field) const {
    return impl_->integer(impl_->field(field));
}
std::int64_t DbfTable::integer(std::string_view field) const {
    return integer(fieldIndex(field));
}

double DbfTable::number(int field) const {
    return impl_->number(impl_->field(field), false);
}
double DbfTable::number(std::string_view field) const {
    return number(fieldIndex(field));
}

void DbfTable::setFilter(std::string_view expression) {
    Impl& d = *impl_;
    d.requireOpen();
    auto malformed = [&] {
        return d.failure("expresión de filtro no válida: " + quotedForMessage(std::string(expression)));
    };
    // FIELD= 'value': blanks allowed around the parts, a quote inside the value written twice.
    std::string_view rest = expression;
    auto skipBlanks = [&] {
        while (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
    };
    skipBlanks();
    std::size_t nameLength = 0;
    while (nameLength < rest.size() &&
           (std::isalnum(static_cast<unsigned char>(rest[nameLength])) || rest[nameLength] == '_'))
        ++nameLength;
    if (nameLength == 0) throw malformed();
    const std::string_view name = rest.substr(0, nameLength);
    rest.remove_prefix(nameLength);
    skipBlanks();
    if (rest.empty() || rest.front() != '=') throw malformed();
    rest.remove_prefix(1);
    skipBlanks();
    if (rest.empty() || rest.front() != '\'') throw malformed();
    rest.remove_prefix(1);
    std::string value;
    for (;;) {
        if (rest.empty()) throw malformed(); // the closing quote is missing
        const char c = rest.front();
        rest.remove_prefix(1);
        if (c != '\'') {
            value += c;
        } else if (!rest.empty() && rest.front() == '\'') {
            value += '\'';
            rest.remove_prefix(1);
        } else {
            break;
        }
    }
    skipBlanks();
    if (!rest.empty()) throw malformed();
    const int field = fieldIndex(name);
    d.filterField = field;
    d.filterValue = std::move(value);
    if (d.filtered) // a new expression on a filtered table applies at once
        first();
}

void DbfTable::filterOn() {
    impl_->requireOpen();
    impl_->filtered = true;
    first();
}

void DbfTable::filterOff() {
    if (impl_) impl_->filtered = false;
}

std::string filterExpression(std::string_view field, std::string_view value) {
    std::string expression(field);
    expression += "= '";
    for (char c : value) {
        expression += c;
        if (c == '\'') expression += '\'';
    }
    expression += '\'';
    return expression;
}

} // namespace thg
