#include "app/ChmFile.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <regex>

#include <chm_lib.h>

namespace thg {

namespace {

std::uint32_t dword(const std::string& bytes, std::size_t at) {
    if (at + 4 > bytes.size()) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24;
}

std::uint16_t word(const std::string& bytes, std::size_t at) {
    if (at + 2 > bytes.size()) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return std::uint16_t(p[0] | p[1] << 8);
}

std::string cString(const std::string& bytes, std::size_t at) {
    if (at >= bytes.size()) return {};
    const auto end = bytes.find('\0', at);
    return bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string asObjectPath(std::string path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
    return path;
}

int collectHhc(chmFile*, chmUnitInfo* unit, void* context) {
    const std::string path = unit->path;
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".hhc") == 0) {
        *static_cast<std::string*>(context) = path;
        return CHM_ENUMERATOR_SUCCESS;
    }
    return CHM_ENUMERATOR_CONTINUE;
}

std::string htmlAttribute(const std::string& tag, const std::string& name) {
    const std::regex pattern(name + R"(\s*=\s*(?:"([^"]*)\"|'([^']*)'|([^\s>]+)))", std::regex::icase);
    std::smatch match;
    if (!std::regex_search(tag, match, pattern)) return {};
    for (int i = 1; i <= 3; ++i)
        if (match[i].matched) return match[i].str();
    return {};
}

} // namespace

ChmFile::ChmFile(const std::filesystem::path& file) {
    handle_ = chm_open(file.string().c_str());
    if (!handle_) return;
    readSystem();
    readContextMap();
}

ChmFile::~ChmFile() {
    if (handle_) chm_close(handle_);
}

std::optional<std::string> ChmFile::read(const std::string& path) const {
    if (!handle_) return std::nullopt;
    chmUnitInfo unit;
    if (chm_resolve_object(handle_, asObjectPath(path).c_str(), &unit) != CHM_RESOLVE_SUCCESS)
        return std::nullopt;
    std::string bytes(static_cast<std::size_t>(unit.length), '\0');
    if (unit.length > 0 &&
        chm_retrieve_object(handle_, &unit, reinterpret_cast<unsigned char*>(bytes.data()), 0,
                            static_cast<LONGINT64>(unit.length)) != static_cast<LONGINT64>(unit.length))
        return std::nullopt;
    return bytes;
}

bool ChmFile::exists(const std::string& path) const {
    chmUnitInfo unit;
    return handle_ && chm_resolve_object(handle_, asObjectPath(path).c_str(), &unit) == CHM_RESOLVE_SUCCESS;
}

// Topic names in the map may carry the folder the file was compiled in ("/home/x/help/page.htm"):
// leading folders are dropped one by one until a page of the file matches.
std::string ChmFile::resolvePage(std::string path) const {
    path = asObjectPath(path);
    const auto anchor = path.find('#');
    const std::string fragment = anchor == std::string::npos ? std::string() : path.substr(anchor);
    path = path.substr(0, anchor);
    while (!path.empty()) {
        if (exists(path)) return path + fragment;
        const auto next = path.find('/', 1);
        if (next == std::string::npos) break;
        path = path.substr(next);
    }
    return {};
}

void ChmFile::readSystem() {
    // #SYSTEM: a version dword, then records of a code word, a length word and that many bytes.
    // Code 0 names the contents file, code 2 the default topic.
    const auto system = read("/#SYSTEM");
    if (system) {
        std::size_t at = 4;
        while (at + 4 <= system->size()) {
            const auto code = word(*system, at);
            const auto length = word(*system, at + 2);
            const std::string value = cString(system->substr(0, at + 4 + length), at + 4);
            if (code == 0)
                contents_ = asObjectPath(value);
            else if (code == 2)
                defaultTopic_ = value.empty() ? std::string() : resolvePage(value);
            at += 4u + length;
        }
    }
    if (contents_.empty() || !exists(contents_)) {
        contents_.clear();
        chm_enumerate(handle_, CHM_ENUMERATE_NORMAL, collectHhc, &contents_);
    }
}

void ChmFile::readContextMap() {
    // #IVB: a dword with the size of what follows, then pairs of dwords: the context number and the
    // offset in #STRINGS of the topic's name.
    const auto ivb = read("/#IVB");
    const auto strings = read("/#STRINGS");
    if (!ivb || !strings) return;
    const std::size_t end = std::min<std::size_t>(ivb->size(), 4 + std::size_t(dword(*ivb, 0)));
    for (std::size_t at = 4; at + 8 <= end; at += 8) {
        const std::string page = resolvePage(cString(*strings, dword(*ivb, at + 4)));
        if (!page.empty()) contextTopics_.emplace(dword(*ivb, at), page);
    }
}

std::string ChmFile::topicForContext(unsigned context) const {
    const auto found = contextTopics_.find(context);
    return found != contextTopics_.end() ? found->second : defaultTopic_;
}

std::vector<ChmFile::Entry> ChmFile::contents() const {
    // The .hhc file is HTML: nested <ul> lists whose <li> items each hold an <object> with
    // <param name="Name"> and <param name="Local">.
    std::vector<Entry> roots;
    const auto hhc = contents_.empty() ? std::nullopt : read(contents_);
    if (!hhc) return roots;
    std::vector<std::vector<Entry>*> levels{&roots};
    const std::regex tag(R"(<\s*(/?)\s*(ul|object|param)\b([^>]*)>)", std::regex::icase);
    Entry* current = nullptr;
    bool inObject = false;
    for (auto it = std::sregex_iterator(hhc->begin(), hhc->end(), tag); it != std::sregex_iterator(); ++it) {
        const bool closing = !(*it)[1].str().empty();
        std::string name = (*it)[2].str();
        for (char& c : name)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        const std::string attributes = (*it)[3].str();
        if (name == "ul") {
            if (!closing) {
                auto& siblings = *levels.back();
                levels.push_back(siblings.empty() ? levels.back() : &siblings.back().children);
            } else if (levels.size() > 1) {
                levels.pop_back();
            }
        } else if (name == "object") {
            if (!closing) {
                levels.back()->push_back({});
                current = &levels.back()->back();
                inObject = true;
            } else {
                inObject = false;
            }
        } else if (name == "param" && inObject && current) {
            std::string key = htmlAttribute(attributes, "name");
            for (char& c : key)
                c = char(std::tolower(static_cast<unsigned char>(c)));
            const std::string value = htmlAttribute(attributes, "value");
            if (key == "name" && current->name.empty())
                current->name = value;
            else if (key == "local" && current->path.empty())
                current->path = resolvePage(value);
        }
    }
    return roots;
}

} // namespace thg
