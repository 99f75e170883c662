#include "platform/DbfTable.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "platform/Ansi.h"
#include "platform/Error.h"

namespace thg {

namespace {

namespace fs = std::filesystem;

// dBase III layout: a 32-byte table header, one 32-byte descriptor per field, a 0x0D terminator,
// then fixed-length records (a deletion flag and the fields, no separators) and one 0x1A at the end.
constexpr std::size_t tableHeaderSize = 32;
constexpr std::size_t descriptorSize = 32;
constexpr char headerTerminator = 0x0D;
constexpr char endOfFile = 0x1A;
constexpr unsigned char versionDbase3 = 0x03;
// The language driver the timetable program's engine writes for its default "ANSI" (Windows-1252)
// driver; with it that engine reads the text exactly as we stored it.
constexpr unsigned char languageDriverAnsi = 0x57;

constexpr int integerWidth = 11;
constexpr int floatWidth = 20;
constexpr int floatDecimals = 4;

struct Column {
    std::string name;
    DbfType type;
    std::size_t offset; // within the record, after the deletion flag
    std::size_t width;
};

using ansi::asciiUpper;

void putLittleEndian(std::string& bytes, std::size_t at, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::tm today() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

} // namespace

struct DbfWriter::Impl {
    fs::path file;
    std::string fileName; // how messages name the table
    std::vector<Column> columns;
    std::size_t headerLength = 0;
    std::size_t recordLength = 0;
    // The whole file as it grows: room for the header, then every posted record. finish() fills the
    // header in place, so a large table is never copied.
    std::string bytes;
    std::string pending; // the record being appended, deletion flag included
    std::size_t count = 0;
    bool appending = false;
    bool modified = false;
    bool finished = false;
    mutable std::size_t lastFound = 0;

    Error failure(const std::string& reason) const { return Error(fileName + ": " + reason); }

    // Callers set the fields of a record mostly in order and spelled as defined, so the search starts
    // after the field found last and tries an exact match before folding case.
    const Column& column(std::string_view name) const {
        const std::size_t n = columns.size();
        for (std::size_t i = 0, at = lastFound + 1; i < n; ++i, ++at) {
            const Column& c = columns[at % n];
            if (c.name.size() == name.size() && std::memcmp(c.name.data(), name.data(), name.size()) == 0) {
                lastFound = at % n;
                return c;
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (ansi::equalsAsciiIgnoreCase(columns[i].name, name)) {
                lastFound = i;
                return columns[i];
            }
        }
        throw Error("No se encuentra el campo '" + std::string(name) + "'");
    }

    // The field `name` of the record being appended, blanked, ready to take a new value.
    char* freshField(const Column& c) {
        if (finished) throw failure("la tabla ya está cerrada");
        if (!appending) throw failure("no hay ningún registro en alta");
        modified = true;
        char* field = pending.data() + c.offset;
        std::memset(field, ' ', c.width);
        return field;
    }

    void putRightAligned(const Column& c, const char* digits, std::size_t length) {
        char* field = freshField(c);
        std::memcpy(field + (c.width - length), digits, length);
    }

    void post() {
        if (count == std::numeric_limits<std::uint32_t>::max()) throw failure("demasiados registros");
        bytes += pending;
        ++count;
        appending = false;
        modified = false;
    }
};

DbfWriter::DbfWriter(fs::path file, std::vector<DbfFieldSpec> fields) : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    d.file = std::move(file);
    d.fileName = d.file.filename().string();
    if (fields.empty()) throw d.failure("una tabla necesita al menos un campo");
    std::size_t offset = 1;
    for (const DbfFieldSpec& definition : fields) {
        Column c{definition.name, definition.type, offset, 0};
        for (char& ch : c.name)
            ch = asciiUpper(ch);
        if (c.name.empty() || c.name.size() > 10 || c.name.find('\0') != std::string::npos)
            throw d.failure("nombre de campo no válido '" + definition.name + "'");
        for (const Column& earlier : d.columns) {
            if (earlier.name == c.name) throw d.failure("campo repetido '" + c.name + "'");
        }
        switch (definition.type) {
        case DbfType::Text:
            if (definition.width < 1 || definition.width > 254)
                throw d.failure("el campo " + c.name + " tiene un ancho no válido (" +
                                std::to_string(definition.width) + ")");
            c.width = static_cast<std::size_t>(definition.width);
            break;
        case DbfType::Integer:
            c.width = integerWidth;
            break;
        case DbfType::Float:
            c.width = floatWidth;
            break;
        case DbfType::Logical:
            c.width = 1;
            break;
        }
        offset += c.width;
        d.columns.push_back(std::move(c));
    }
    d.recordLength = offset;
    d.headerLength = tableHeaderSize + descriptorSize * d.columns.size() + 1;
    if (d.recordLength > 0xFFFF || d.headerLength > 0xFFFF) throw d.failure("demasiados campos");
    d.bytes.assign(d.headerLength, '\0');
    d.pending.assign(d.recordLength, ' ');
}

DbfWriter::~DbfWriter() = default;
DbfWriter::DbfWriter(DbfWriter&&) noexcept = default;
DbfWriter& DbfWriter::operator=(DbfWriter&&) noexcept = default;

void DbfWriter::reserve(std::size_t records) {
    Impl& d = *impl_;
    d.bytes.reserve(d.headerLength + records * d.recordLength + 1);
}

void DbfWriter::append() {
    Impl& d = *impl_;
    if (d.finished) throw d.failure("la tabla ya está cerrada");
    // As with a table component, appending again posts a record that holds values and drops an
    // untouched one.
    if (d.appending && d.modified) d.post();
    d.pending.assign(d.recordLength, ' ');
    d.appending = true;
    d.modified = false;
}

void DbfWriter::setText(std::string_view field, std::string_view ansi) {
    const Column& c = impl_->column(field);
    char* target = impl_->freshField(c);
    if (c.type == DbfType::Text) {
        if (!ansi.empty()) std::memcpy(target, ansi.data(), std::min(ansi.size(), c.width));
        return;
    }
    // Text into a numeric or logical field: stored as the field's own value would be.
    std::string_view trimmed = ansi;
    while (!trimmed.empty() && trimmed.front() == ' ')
        trimmed.remove_prefix(1);
    while (!trimmed.empty() && trimmed.back() == ' ')
        trimmed.remove_suffix(1);
    if (trimmed.empty()) return;
    if (c.type == DbfType::Logical) {
        const char first = asciiUpper(trimmed.front());
        if (first == 'T' || first == 'Y' || first == 'S')
            setLogical(field, true);
        else if (first == 'F' || first == 'N')
            setLogical(field, false);
        else
            throw impl_->failure("'" + std::string(trimmed) + "' no es un valor lógico válido");
        return;
    }
    double value = 0;
    auto [end, error] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value);
    if (error != std::errc() || end != trimmed.data() + trimmed.size())
        throw impl_->failure("'" + std::string(trimmed) + "' no es un valor numérico válido");
    if (c.type == DbfType::Integer) {
        if (!(std::fabs(value) < 1e18))
            throw impl_->failure("el valor " + std::string(trimmed) + " no cabe en el campo " + c.name);
        setInteger(field, std::llround(value));
    } else {
        setFloat(field, value);
    }
}

void DbfWriter::setInteger(std::string_view field, std::int64_t value) {
    const Column& c = impl_->column(field);
    if (c.type == DbfType::Float) {
        setFloat(field, static_cast<double>(value));
        return;
    }
    if (c.type != DbfType::Integer) throw impl_->failure("el campo " + c.name + " no es numérico");
    char digits[32];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    const std::size_t length = static_cast<std::size_t>(result.ptr - digits);
    // Other writers fill a field too narrow for the value with asterisks; that loses the value
    // without notice, so it is an error here.
    if (length > c.width)
        throw impl_->failure("el valor " + std::string(digits, length) + " no cabe en el campo " + c.name);
    impl_->putRightAligned(c, digits, length);
}

void DbfWriter::setFloat(std::string_view field, double value) {
    const Column& c = impl_->column(field);
    if (c.type == DbfType::Integer) {
        if (!std::isfinite(value) || std::fabs(value) >= 1e18)
            throw impl_->failure("el valor no cabe en el campo " + c.name);
        setInteger(field, std::llround(value));
        return;
    }
    if (c.type != DbfType::Float) throw impl_->failure("el campo " + c.name + " no es numérico");
    if (!std::isfinite(value)) throw impl_->failure("el campo " + c.name + " no admite un valor no finito");
    char digits[400];
    auto result =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, floatDecimals);
    if (result.ec != std::errc()) throw impl_->failure("el valor no cabe en el campo " + c.name);
    std::size_t length = static_cast<std::size_t>(result.ptr - digits);
    char* text = digits;
    // A tiny negative value rounds to "-0.0000"; store it as plain zero.
    if (text[0] == '-' && std::strspn(text + 1, "0.") == length - 1) {
        ++text;
        --length;
    }
    if (length > c.width)
        throw impl_->failure("el valor " + std::string(text, length) + " no cabe en el campo " + c.name);
    impl_->putRightAligned(c, text, length);
}

void DbfWriter::setLogical(std::string_view field, bool value) {
    const Column& c = impl_->column(field);
    if (c.type != DbfType::Logical) throw impl_->failure("el campo " + c.name + " no es lógico");
    // Upper case: one common reader takes a lower-case 't' for false.
    *impl_->freshField(c) = value ? 'T' : 'F';
}

double DbfWriter::readFloat(std::string_view field) const {
    const Impl& d = *impl_;
    const Column& c = d.column(field);
    if (!d.appending) throw d.failure("no hay ningún registro en alta");
    std::string_view stored(d.pending.data() + c.offset, c.width);
    while (!stored.empty() && stored.front() == ' ')
        stored.remove_prefix(1);
    while (!stored.empty() && stored.back() == ' ')
        stored.remove_suffix(1);
    if (stored.empty()) return 0;
    double value = 0;
    auto [end, error] = std::from_chars(stored.data(), stored.data() + stored.size(), value);
    if (error != std::errc() || end != stored.data() + stored.size())
        throw d.failure("'" + std::string(stored) + "' no es un valor de coma flotante válido");
    return value;
}

void DbfWriter::post() {
    Impl& d = *impl_;
    if (d.finished) throw d.failure("la tabla ya está cerrada");
    if (!d.appending) throw d.failure("no hay ningún registro en alta");
    d.post();
}

void DbfWriter::appendRecordsOf(DbfWriter& other) {
    Impl& d = *impl_;
    Impl& o = *other.impl_;
    if (d.finished || o.finished) throw d.failure("la tabla ya está cerrada");
    bool sameFields = d.columns.size() == o.columns.size();
    for (std::size_t i = 0; sameFields && i < d.columns.size(); ++i) {
        const Column& a = d.columns[i];
        const Column& b = o.columns[i];
        sameFields = a.name == b.name && a.type == b.type && a.width == b.width;
    }
    if (!sameFields) throw d.failure("los registros de otra tabla no tienen los mismos campos");
    if (std::uint64_t(d.count) + o.count > std::numeric_limits<std::uint32_t>::max())
        throw d.failure("demasiados registros");
    d.bytes.append(o.bytes, o.headerLength, o.count * o.recordLength);
    d.count += o.count;
    o.bytes.resize(o.headerLength);
    o.count = 0;
}

std::size_t DbfWriter::recordCount() const {
    return impl_->count;
}

void DbfWriter::finish() {
    Impl& d = *impl_;
    if (d.finished) throw d.failure("la tabla ya está cerrada");
    d.finished = true;
    d.appending = false;

    std::string& b = d.bytes;
    const std::tm date = today();
    b[0] = static_cast<char>(versionDbase3);
    b[1] = static_cast<char>(std::min(std::max(date.tm_year, 0), 255)); // years since 1900
    b[2] = static_cast<char>(date.tm_mon + 1);
    b[3] = static_cast<char>(date.tm_mday);
    putLittleEndian(b, 4, d.count, 4);
    putLittleEndian(b, 8, d.headerLength, 2);
    putLittleEndian(b, 10, d.recordLength, 2);
    b[28] = 0; // no production index (.MDX)
    b[29] = static_cast<char>(languageDriverAnsi);
    std::size_t at = tableHeaderSize;
    for (const Column& c : d.columns) {
        std::memcpy(&b[at], c.name.data(), c.name.size()); // the rest of the 11 bytes stays NUL
        switch (c.type) {
        case DbfType::Text:
            b[at + 11] = 'C';
            break;
        case DbfType::Integer:
            b[at + 11] = 'N';
            break;
        case DbfType::Float:
            b[at + 11] = 'N';
            b[at + 17] = static_cast<char>(floatDecimals);
            break;
        case DbfType::Logical:
            b[at + 11] = 'L';
            break;
        }
        b[at + 16] = static_cast<char>(c.width);
        at += descriptorSize;
    }
    b[at] = headerTerminator;
    b += endOfFile;
    try {
        writeFileAtomically(d.file, b);
    } catch (...) {
        std::string().swap(b);
        throw;
    }
    std::string().swap(b);
}

} // namespace thg
