#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/DbfTable.h"
#include "platform/XmlDocument.h"

namespace thg {

// Opens the working table `name` (SOLUC, PROFT...) in `workDir` under its component's name. An Error
// opening it (missing, locked, damaged) names the component first: "wwTableSoluc: <file>: <reason>".
DbfTable openWorkingTable(const std::filesystem::path& workDir, std::string_view name,
                          const std::string& component);

// Appends to `list` an item of the result file: a salida element with attribute dato and, as its
// text, `ansiText` (single-byte text as the tables hold it) converted for the document.
void appendItem(XmlDocument& document, XmlNode list, std::string_view dato, std::string_view ansiText);

// The timetable's placed activities of each teacher, written as activity lists of the result file.
//
// The timetable program's own lookups scan a table from its first record for every activity; here each
// table is read once per run into maps that return exactly the record such a scan would find: the first
// record in table order whose key text is byte for byte equal. SOLUC is grouped by teacher in the same
// single pass, so a large school costs time in proportion to its size.
class ActivityRecords {
public:
    // Reads SOLUC (its teacher codes only), ASIGNOMT, DIASHORAST, AULAT and GRUPOST, already open, once.
    // A field the run needs and a table lacks is an Error naming the table's component and the field.
    // ASIGT is opened from `workDir` at the first activity and stays open until this object goes; the
    // other tables must outlive it.
    ActivityRecords(XmlDocument& document, DbfTable& soluc, DbfTable& nomAsg, DbfTable& tramos,
                    DbfTable& aulas, DbfTable& grupos, std::filesystem::path workDir);
    ~ActivityRecords();

    // Appends to `teacherList` one activity list "ACTIVIDAD_<m>" for each SOLUC record whose PROF equals
    // `abrev` exactly and whose DIA is not 0, in record order, m counted from 1. A DIA or HORA that is
    // not a number is an Error naming the table, the record and the field.
    void TransformarActividades(XmlNode teacherList, std::string_view abrev);

    // Closes ASIGT if an activity opened it.
    void close();

private:
    struct SolucFields {
        int dia, hora, tarea, aula, codGrupo, asig, nivel, curso;
    };
    struct TimeSlot {
        std::string dia;
        std::string codDiHo;
    };
    // The outcome of reading ASIGT from its first record for a (CASIG, NIVEL, CURSO) key: the MATERIA of
    // the first matching record that is not blank, or else that of the last matching record.
    struct LevelCourseMatch {
        std::string materia;
        bool settled = false;
    };

    void openAsigt();
    std::string subjectCode(const std::string& asig, const std::string& codGrupo, const std::string& nivel,
                            const std::string& curso);

    XmlDocument& document_;
    DbfTable& soluc_;
    SolucFields solucFields_{};
    std::filesystem::path workDir_;

    // Record positions of SOLUC by PROF text, each in table order.
    std::unordered_map<std::string, std::vector<std::size_t>> solucByTeacher_;
    std::unordered_map<std::string, std::string> materiaByCod_;     // ASIGNOMT
    std::unordered_map<std::string, TimeSlot> slotByDiHo_;          // DIASHORAST
    std::unordered_map<std::string, std::string> depCentroByAbrev_; // AULAT
    std::unordered_map<std::string, std::string> unidadByAbrev_;    // GRUPOST

    std::optional<DbfTable> asigt_;
    std::string key_; // the composite key being looked up, kept to spare an allocation per activity
    std::unordered_map<std::string, std::string> materiaBySubjectGroup_;     // (CASIG, CGRUP)
    std::unordered_map<std::string, LevelCourseMatch> materiaByLevelCourse_; // (CASIG, NIVEL, CURSO)
};

} // namespace thg
