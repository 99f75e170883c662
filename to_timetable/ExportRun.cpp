#include "to_timetable/ExportRun.h"

#include <cmath>
#include <cstdint>
#include <exception>
#include <future>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Ansi.h"
#include "platform/DbfTable.h"
#include "platform/Error.h"
#include "platform/XmlDocument.h"
#include "to_timetable/TableReplacement.h"

namespace thg {

namespace {

int digitValue(char c, bool hexadecimal)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (hexadecimal && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (hexadecimal && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads an integer the way the timetable program's own tools do (Delphi's StrToInt): an optional sign,
// then decimal digits, or hexadecimal digits after "$", "0x" or "0X" ("-$1A" is -26). A decimal value
// must fit a signed 32-bit integer; a hexadecimal one may go up to FFFFFFFF and is taken as a 32-bit
// pattern ("$FFFFFFFF" is -1). No blanks, no other prefix, at least one digit.
std::optional<std::int32_t> parseInteger(std::string_view text)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    bool hexadecimal = false;
    if (i < text.size() && text[i] == '$') {
        hexadecimal = true;
        i += 1;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hexadecimal = true;
        i += 2;
    }
    if (i == text.size()) return std::nullopt;
    const std::uint64_t limit = hexadecimal ? 0xFFFFFFFFu : 0x80000000u;
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        int digit = digitValue(text[i], hexadecimal);
        if (digit < 0) return std::nullopt;
        value = value * (hexadecimal ? 16 : 10) + std::uint64_t(digit);
        if (value > limit) return std::nullopt;
    }
    if (hexadecimal) {
        auto bits = std::uint32_t(value);
        return std::int32_t(negative ? 0u - bits : bits);
    }
    if (!negative && value > 0x7FFFFFFFu) return std::nullopt;
    return std::int32_t(negative ? -std::int64_t(value) : std::int64_t(value));
}

// The timetable program's session pattern for n weekly sessions (n >= 1): up to 13 sessions one "1"
// each; from 14 on, the surplus over 13 in front of thirteen "1" (15 sessions: "21111111111111").
std::string sessionPattern(std::int64_t sessions)
{
    if (sessions <= 13) return std::string(std::size_t(sessions), '1');
    return std::to_string(sessions - 13) + std::string(13, '1');
}

// The day number of a time-slot code: its weekday letter L M X J V S D as "1" to "7"; any other first
// character stands for itself.
std::string dayNumber(std::string_view slotCode)
{
    if (slotCode.empty()) return {};
    constexpr std::string_view weekdays = "LMXJVSD";
    auto day = weekdays.find(slotCode.front());
    return std::string(1, day == std::string_view::npos ? slotCode.front() : char('1' + day));
}

// A text as a table's character field keeps it and gives it back: cut to the field's width, without
// the blanks (and NULs) that pad it.
std::string_view keptText(std::string_view value, std::size_t width)
{
    value = value.substr(0, width);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\0'))
        value.remove_suffix(1);
    return value;
}

bool isAscii(std::string_view text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// What the procedures take from an item: its whole text, without the surrounding blanks and control
// characters, as single-byte text. Stored into `value`, whose buffer is reused from record to record:
// a large exchange file has a million items, most of them plain ASCII codes that need no conversion.
void readItemValue(const XmlNode& item, std::string& value)
{
    std::string text = item.text();
    std::string_view trimmed = ansi::trim(text);
    if (isAscii(trimmed))
        value.assign(trimmed);
    else
        value = ansi::fromUtf8(trimmed);
}

std::string itemValue(const XmlNode& item)
{
    std::string value;
    readItemValue(item, value);
    return value;
}

// The administration-to-timetable run: one procedure per input list, each building its new working
// table under a temporary name. TableReplacement puts the six in place once all are complete.
class ExportRun {
public:
    ExportRun(const XmlDocument& document, TableReplacement& tables) : document_(document), tables_(tables) {}

    void TransformarMaterias();
    void TransformarProfesores();
    void TransformarAulas();
    void TransformarGrupos();
    void TransformarAsignaturas();
    void TransformarTramos();

private:
    using Values = std::vector<std::string>;

    std::vector<XmlNode> listRecords(std::string_view listName) const;
    template <typename Handler>
    void forEachListRecord(std::string_view listName, std::size_t positions, DbfWriter& table,
                           Handler handle) const;
    template <typename Handler>
    static void forEachListRecord(std::span<const XmlNode> records, std::size_t positions, Handler handle);
    std::string taskCode(const std::string& materia) const;
    void addAssignments(std::span<const XmlNode> records, DbfWriter& table) const;

    const XmlDocument& document_;
    TableReplacement& tables_;
    // The subject catalogue of this run as the task-code lookup sees it: MATERIA as ASIGNOMT gives it
    // back, to the COD of the first record holding it. Only codes beginning with "G" are looked up.
    std::unordered_map<std::string, std::string> taskCodes_;
};

// The list records of every input list named `listName`, in document order. The lists are children of
// SALIDAS whose seq names them exactly, letter case included; a list record is a listasal child of one.
std::vector<XmlNode> ExportRun::listRecords(std::string_view listName) const
{
    std::string expression = "/SERVICIO/SALIDAS/listasal[@seq=\"";
    expression += listName;
    expression += "\"]/listasal";
    return document_.selectNodes(expression);
}

// Calls `handle` with the values of items 0 to positions - 1 of each list record that has two items or
// more. A record holds its values in its salida children, by position; an item it lacks reads empty.
template <typename Handler>
void ExportRun::forEachListRecord(std::string_view listName, std::size_t positions, DbfWriter& table,
                                  Handler handle) const
{
    const std::vector<XmlNode> records = listRecords(listName);
    table.reserve(records.size());
    forEachListRecord(records, positions, handle);
}

template <typename Handler>
void ExportRun::forEachListRecord(std::span<const XmlNode> records, std::size_t positions, Handler handle)
{
    Values values(positions);
    for (const XmlNode& record : records) {
        std::vector<XmlNode> items = record.childElements("salida");
        if (items.size() < 2) continue;
        for (std::size_t i = 0; i < positions; ++i) {
            if (i < items.size())
                readItemValue(items[i], values[i]);
            else
                values[i].clear();
        }
        handle(values);
    }
}

void ExportRun::TransformarMaterias()
{
    DbfWriter table(tables_.stage("ASIGNOMT"), {
                                                   {"COD", DbfType::Text, 10},
                                                   {"CODLARGO", DbfType::Text, 10},
                                                   {"NOMBRE", DbfType::Text, 80},
                                                   {"MATERIA", DbfType::Text, 12},
                                                   {"ESTAREA", DbfType::Logical},
                                               });
    // One record per subject code; codes that differ only in letter case are the same code.
    std::unordered_set<std::string> seenCodes;
    forEachListRecord("MATERIAS", 4, table, [&](const Values& item) {
        const std::string& materia = item[0];
        const std::string& cod = item[1];
        if (!seenCodes.insert(ansi::foldCase(cod)).second) return;
        bool isTask = !materia.empty() && materia.front() == 'G';
        table.append();
        table.setText("COD", cod);
        table.setText("CODLARGO", item[2]);
        table.setText("NOMBRE", item[3]);
        table.setText("MATERIA", materia);
        table.setLogical("ESTAREA", isTask);
        table.post();
        if (isTask)
            taskCodes_.try_emplace(std::string(keptText(materia, 12)), std::string(keptText(cod, 10)));
    });
    table.finish();
}

void ExportRun::TransformarProfesores()
{
    DbfWriter table(tables_.stage("PROFT"), {
                                                {"ABREV", DbfType::Text, 10},
                                                {"NOMBRE", DbfType::Text, 80},
                                                {"DEPART", DbfType::Text, 40},
                                                {"DNI", DbfType::Integer},
                                                {"X_EMPLEADO", DbfType::Text, 12},
                                                {"F_TOMAPOS", DbfType::Text, 10},
                                            });
    forEachListRecord("PROFESORES", 4, table, [&](const Values& item) {
        table.append();
        table.setText("ABREV", item[3]);
        table.setText("NOMBRE", item[2]);
        table.setText("X_EMPLEADO", item[0]);
        table.setText("F_TOMAPOS", item[1]);
        table.post();
    });
    table.finish();
}

void ExportRun::TransformarAulas()
{
    DbfWriter table(tables_.stage("AULAT"), {
                                                {"ABREV", DbfType::Text, 10},
                                                {"NOMBRE", DbfType::Text, 80},
                                                {"EDIFICIO", DbfType::Text, 1},
                                                {"MAXALUM", DbfType::Integer},
                                                {"DEPCENTRO", DbfType::Text, 10},
                                            });
    forEachListRecord("AULAS", 4, table, [&](const Values& item) {
        const std::string& depcentro = item[0];
        // A room without its own abbreviation is known by its administration code.
        const std::string& abrev = item[1].empty() ? depcentro : item[1];
        table.append();
        table.setText("ABREV", abrev);
        table.setText("NOMBRE", item[2]);
        table.setText("EDIFICIO", item[3]);
        table.setText("DEPCENTRO", depcentro);
        table.post();
    });
    table.finish();
}

void ExportRun::TransformarGrupos()
{
    DbfWriter table(tables_.stage("GRUPOST"), {
                                                  {"ABREV", DbfType::Text, 10},
                                                  {"TURNO", DbfType::Text, 1},
                                                  {"NIVEL", DbfType::Text, 5},
                                                  {"CURSO", DbfType::Text, 3},
                                                  {"GRUPO", DbfType::Text, 2},
                                                  {"UNIDAD", DbfType::Text, 12},
                                                  {"DESCRIP", DbfType::Text, 80},
                                              });
    forEachListRecord("GRUPOS", 6, table, [&](const Values& item) {
        const std::string& turno = item[2];
        const std::string nivel = item[3].empty() ? std::string("NIV") : item[3];
        const std::string& curso = item[4];
        const std::string& grupo = item[5];
        table.append();
        table.setText("ABREV", item[1]);
        table.setText("TURNO", turno);
        table.setText("NIVEL", nivel);
        table.setText("CURSO", curso);
        table.setText("GRUPO", grupo);
        table.setText("UNIDAD", item[0]);
        // Made from the whole values, not from what the narrow fields above keep of them.
        table.setText("DESCRIP", turno + ' ' + nivel + ' ' + curso + ' ' + grupo);
        table.post();
    });
    table.finish();
}

// "LE" (teaching) for a subject that is not a task; for a task (a code beginning with "G"), the COD of
// the first ASIGNOMT record whose MATERIA reads back equal to the whole code, or the code itself.
std::string ExportRun::taskCode(const std::string& materia) const
{
    if (materia.empty() || materia.front() != 'G') return "LE";
    auto found = taskCodes_.find(materia);
    return found == taskCodes_.end() ? materia : found->second;
}

void ExportRun::TransformarAsignaturas()
{
    const std::vector<DbfFieldSpec> fields = {
        {"CASIG", DbfType::Text, 10},
        {"CPROF", DbfType::Text, 10},
        {"CGRUP", DbfType::Text, 10},
        {"CAULA", DbfType::Text, 10},
        {"TURNO", DbfType::Text, 1},
        {"NIVEL", DbfType::Text, 5},
        {"CURSO", DbfType::Text, 3},
        {"GRUPO", DbfType::Text, 2},
        {"HORAS", DbfType::Float},
        {"SESIONES", DbfType::Text, 20},
        {"NCONEX", DbfType::Text, 4},
        {"MATERIA", DbfType::Text, 12},
        {"CTAREA", DbfType::Text, 10},
    };
    const std::filesystem::path file = tables_.stage("ASIGT");
    DbfWriter table(file, fields);
    const std::vector<XmlNode> records = listRecords("ASIGNATURAS");
    table.reserve(records.size());

    // The assignments are most of a large exchange file. The second half of them is built on another
    // core, into a writer of its own that never becomes a file, and joined after the first half: the
    // records keep document order, and the first record in document order that fails is the one
    // reported.
    const std::span<const XmlNode> all(records);
    const std::size_t half = all.size() / 2;
    DbfWriter secondHalf(file, fields);
    secondHalf.reserve(all.size() - half);
    std::future<void> later =
        std::async(std::launch::async, [&] { addAssignments(all.subspan(half), secondHalf); });
    try {
        addAssignments(all.first(half), table);
    } catch (...) {
        later.wait();
        throw;
    }
    later.get();
    table.appendRecordsOf(secondHalf);
    table.finish();
}

void ExportRun::addAssignments(std::span<const XmlNode> records, DbfWriter& table) const
{
    forEachListRecord(records, 9, [&](const Values& item) {
        table.append();
        table.setText("CASIG", item[0]);
        table.setText("CGRUP", item[1]);
        table.setText("CAULA", item[2]);
        table.setText("TURNO", item[3]);
        table.setText("NIVEL", item[4].empty() ? std::string_view("NIV") : std::string_view(item[4]));
        table.setText("CURSO", item[5]);
        table.setText("GRUPO", item[6]);

        // Weekly hours from the weekly minutes, at least one. The session count is taken from HORAS
        // as the table keeps it (four decimals), which for whole minutes is the ceiling of the exact
        // quotient: 781 minutes are 13.0167 hours and 14 sessions.
        const std::string& minutes = item[7];
        if (!minutes.empty()) {
            std::optional<std::int32_t> value = parseInteger(minutes);
            if (!value) throw notAnInteger(minutes);
            table.setFloat("HORAS", double(*value) / 60.0);
        }
        double hours = table.readFloat("HORAS");
        if (!(hours >= 1.0)) {
            hours = 1.0;
            table.setFloat("HORAS", hours);
        }
        auto sessions = std::int64_t(std::ceil(hours));
        table.setText("SESIONES", sessionPattern(sessions));

        table.setText("MATERIA", item[8]);
        table.setText("CTAREA", taskCode(item[8]));
        table.post();
    });
}

void ExportRun::TransformarTramos()
{
    DbfWriter table(tables_.stage("DIASHORAST"), {
                                                     {"DIHO", DbfType::Text, 10},
                                                     {"CODDIHO", DbfType::Text, 10},
                                                     {"DIA", DbfType::Text, 20},
                                                     {"TEXTODIA", DbfType::Text, 20},
                                                     {"HORA", DbfType::Text, 8},
                                                     {"HORADESDE", DbfType::Text, 8},
                                                     {"HORAHASTA", DbfType::Text, 8},
                                                     {"MINUTOS", DbfType::Text, 8},
                                                 });
    // Every list record is a time slot, whatever its number of items. Items are told apart by their
    // dato attribute, matched exactly; the last of several with the same meaning wins, and an item
    // without dato or with an unknown one is ignored. "NINUTOS" is the administration system's own
    // spelling of the minutes.
    for (const XmlNode& record : listRecords("TRAMOS")) {
        std::string slotCode, adminCode, start, end, minutes;
        for (const XmlNode& item : record.childElements("salida")) {
            std::optional<std::string> dato = item.attribute("dato");
            if (!dato) continue;
            std::string name = ansi::fromUtf8(*dato);
            std::string* value = name == "CODIGO_GESTALIA"           ? &adminCode
                                 : name == "NOMBRE" || name == "DIA" ? &slotCode
                                 : name == "INICIO"                  ? &start
                                 : name == "FIN"                     ? &end
                                 : name == "NINUTOS"                 ? &minutes
                                                                     : nullptr;
            if (value) *value = itemValue(item);
        }
        // Day and period come from the whole code, even when DIHO keeps only its first 10 characters.
        table.append();
        table.setText("DIHO", slotCode);
        table.setText("DIA", dayNumber(slotCode));
        table.setText("HORA",
                      slotCode.size() > 1 ? std::string_view(slotCode).substr(1, 2) : std::string_view());
        table.setText("CODDIHO", adminCode);
        table.setText("HORADESDE", start);
        table.setText("HORAHASTA", end);
        table.setText("MINUTOS", minutes);
        table.post();
    }
    table.finish();
}

} // namespace

void exportToTimetable(const std::filesystem::path& exchangeFile, const std::filesystem::path& workDir)
{
    // A file that does not parse stops the run before the working directory is even looked at.
    XmlDocument document = XmlDocument::load(exchangeFile);

    std::error_code error;
    std::filesystem::create_directories(workDir, error);
    if (error) throw Error(workDir.string() + ": no se puede crear la carpeta (" + error.message() + ")");

    TableReplacement tables(workDir);
    ExportRun run(document, tables);
    run.TransformarMaterias();
    // The teaching assignments are the bulk of a large exchange file. They are read on a second core
    // while the other lists are, since all of them only read the document; the assignments need
    // nothing but the subject catalogue built just before. Errors still come out in the order of the
    // lists: the first list that fails is the one reported.
    std::future<void> assignments = std::async(std::launch::async, [&run] { run.TransformarAsignaturas(); });
    try {
        run.TransformarProfesores();
        run.TransformarAulas();
        run.TransformarGrupos();
    } catch (...) {
        assignments.wait();
        throw;
    }
    std::exception_ptr timeSlotsFailure;
    try {
        run.TransformarTramos();
    } catch (...) {
        timeSlotsFailure = std::current_exception();
    }
    assignments.get();
    if (timeSlotsFailure) std::rethrow_exception(timeSlotsFailure);
    tables.commit();
}

} // namespace thg
