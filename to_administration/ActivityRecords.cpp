#include "to_administration/ActivityRecords.h"

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "platform/Ansi.h"
#include "platform/Error.h"

namespace thg {

namespace {

// A map key made of several texts, written into `key`. Each part carries its length, so that no two
// different tuples of texts give the same key whatever bytes the texts hold.
const std::string& compositeKey(std::string& key, std::initializer_list<std::string_view> parts) {
    key.clear();
    for (std::string_view part : parts) {
        auto size = static_cast<std::uint32_t>(part.size());
        key.append(reinterpret_cast<const char*>(&size), sizeof size);
        key.append(part);
    }
    return key;
}

// The weekday letter of a day number as the table engine writes it: "1" is Monday (Lunes), "3"
// Wednesday (miércoles, X). Any other text, "8", "-1" or "1.5" among them, has no letter.
std::string_view weekdayLetter(std::string_view day) {
    static constexpr std::string_view letters[] = {"L", "M", "X", "J", "V", "S", "D"};
    if (day.size() == 1 && day[0] >= '1' && day[0] <= '7') return letters[day[0] - '1'];
    return {};
}

// Reads `table` from its first record and keeps, for each key text, the value of the first record
// that has it.
template <typename Value, typename MakeValue>
std::unordered_map<std::string, Value> firstByKey(DbfTable& table, std::string_view keyField,
                                                  MakeValue makeValue) {
    std::unordered_map<std::string, Value> index;
    int key = table.fieldIndex(keyField);
    for (table.first(); !table.eof(); table.next()) {
        std::string text = table.text(key);
        if (index.find(text) == index.end()) index.emplace(std::move(text), makeValue());
    }
    return index;
}

} // namespace

DbfTable openWorkingTable(const std::filesystem::path& workDir, std::string_view name,
                          const std::string& component) {
    try {
        return DbfTable::open(workDir, name, component);
    } catch (const Error& error) {
        std::string message = error.what();
        if (message.starts_with(component + ": ")) throw;
        throw Error(component + ": " + message);
    }
}

ActivityRecords::ActivityRecords(XmlDocument& document, DbfTable& soluc, DbfTable& nomAsg, DbfTable& tramos,
                                 DbfTable& aulas, DbfTable& grupos, std::filesystem::path workDir)
    : document_(document), soluc_(soluc), workDir_(std::move(workDir)) {
    int prof = soluc.fieldIndex("PROF");
    solucFields_ = {soluc.fieldIndex("DIA"),   soluc.fieldIndex("HORA"),     soluc.fieldIndex("TAREA"),
                    soluc.fieldIndex("AULA"),  soluc.fieldIndex("CODGRUPO"), soluc.fieldIndex("ASIG"),
                    soluc.fieldIndex("NIVEL"), soluc.fieldIndex("CURSO")};
    for (soluc.first(); !soluc.eof(); soluc.next())
        solucByTeacher_[soluc.text(prof)].push_back(soluc.position());

    int materia = nomAsg.fieldIndex("MATERIA");
    materiaByCod_ = firstByKey<std::string>(nomAsg, "COD", [&] { return nomAsg.text(materia); });

    int dia = tramos.fieldIndex("DIA");
    int codDiHo = tramos.fieldIndex("CODDIHO");
    slotByDiHo_ = firstByKey<TimeSlot>(tramos, "DIHO", [&] {
        return TimeSlot{tramos.text(dia), tramos.text(codDiHo)};
    });

    int depCentro = aulas.fieldIndex("DEPCENTRO");
    depCentroByAbrev_ = firstByKey<std::string>(aulas, "ABREV", [&] { return aulas.text(depCentro); });

    int unidad = grupos.fieldIndex("UNIDAD");
    unidadByAbrev_ = firstByKey<std::string>(grupos, "ABREV", [&] { return grupos.text(unidad); });
}

ActivityRecords::~ActivityRecords() = default;

void ActivityRecords::close() {
    if (asigt_) asigt_->close();
}

// ASIGT is opened by the first activity that needs a subject code, not before: a run in which no
// teacher has an activity neither needs nor opens it.
void ActivityRecords::openAsigt() {
    DbfTable& asigt = asigt_.emplace(openWorkingTable(workDir_, "ASIGT", "wwTableAsig"));
    int casig = asigt.fieldIndex("CASIG");
    int cgrup = asigt.fieldIndex("CGRUP");
    int nivel = asigt.fieldIndex("NIVEL");
    int curso = asigt.fieldIndex("CURSO");
    int materia = asigt.fieldIndex("MATERIA");
    for (asigt.first(); !asigt.eof(); asigt.next()) {
        std::string subject = asigt.text(casig);
        std::string value = asigt.text(materia);
        materiaBySubjectGroup_.try_emplace(compositeKey(key_, {subject, asigt.text(cgrup)}), value);
        LevelCourseMatch& match =
            materiaByLevelCourse_[compositeKey(key_, {subject, asigt.text(nivel), asigt.text(curso)})];
        if (!match.settled) {
            match.settled = !ansi::isBlank(value);
            match.materia = std::move(value);
        }
    }
}

// The administration's subject code of an activity, in three stages: the assignment of that subject
// to that group; failing a non-blank code there, the first assignment of the subject at the same level
// and course with a non-blank code; failing that too, the subject catalogue.
std::string ActivityRecords::subjectCode(const std::string& asig, const std::string& codGrupo,
                                         const std::string& nivel, const std::string& curso) {
    if (!asigt_) openAsigt();
    std::string value;
    if (auto found = materiaBySubjectGroup_.find(compositeKey(key_, {asig, codGrupo}));
        found != materiaBySubjectGroup_.end())
        value = found->second;
    if (ansi::isBlank(value)) {
        auto found = materiaByLevelCourse_.find(compositeKey(key_, {asig, nivel, curso}));
        if (found != materiaByLevelCourse_.end()) value = found->second.materia;
    }
    if (ansi::isBlank(value)) {
        if (auto found = materiaByCod_.find(asig); found != materiaByCod_.end()) value = found->second;
    }
    return value;
}

void appendItem(XmlDocument& document, XmlNode list, std::string_view dato, std::string_view ansiText) {
    XmlNode item = document.createElement("salida");
    item.setAttribute("dato", dato);
    item.setText(ansi::toUtf8(ansiText));
    list.appendChild(item);
}

void ActivityRecords::TransformarActividades(XmlNode teacherList, std::string_view abrev) {
    auto records = solucByTeacher_.find(std::string(abrev));
    if (records == solucByTeacher_.end()) return;
    const SolucFields& f = solucFields_;
    int m = 1;
    for (std::size_t position : records->second) {
        soluc_.moveTo(position);
        // DIA 0 is an activity the timetable program left unplaced: no list, and no number used up.
        if (soluc_.integer(f.dia) == 0) continue;

        XmlNode activity = document_.createElement("listasal");
        activity.setAttribute("seq", "ACTIVIDAD_" + std::to_string(m++));
        teacherList.appendChild(activity);

        // A task the catalogue knows by its code is reported under its administration code; an
        // activity without any code is reported as G439, the administration's generic activity.
        std::string tarea = soluc_.text(f.tarea);
        std::string activityCode = tarea;
        if (auto found = materiaByCod_.find(tarea); found != materiaByCod_.end())
            activityCode = found->second;
        if (ansi::isBlank(activityCode)) activityCode = "G439";
        appendItem(document_, activity, "X_ACTIVIDAD", activityCode);

        std::string slotCode =
            std::string(weekdayLetter(soluc_.text(f.dia))) + std::to_string(soluc_.integer(f.hora));
        const TimeSlot* slot = nullptr;
        if (auto found = slotByDiHo_.find(slotCode); found != slotByDiHo_.end()) slot = &found->second;
        appendItem(document_, activity, "N_DIASEMANA",
                   slot ? std::string_view(slot->dia) : std::string_view());
        appendItem(document_, activity, "X_TRAMO",
                   slot ? std::string_view(slot->codDiHo) : std::string_view());

        auto room = depCentroByAbrev_.find(soluc_.text(f.aula));
        appendItem(document_, activity, "X_DEPCENTRO",
                   room != depCentroByAbrev_.end() ? std::string_view(room->second) : "");

        std::string codGrupo = soluc_.text(f.codGrupo);
        auto group = unidadByAbrev_.find(codGrupo);
        appendItem(document_, activity, "X_UNIDAD",
                   group != unidadByAbrev_.end() ? std::string_view(group->second) : "");

        appendItem(document_, activity, "X_MATERIAOMC",
                   subjectCode(soluc_.text(f.asig), codGrupo, soluc_.text(f.nivel), soluc_.text(f.curso)));
    }
}

} // namespace thg
