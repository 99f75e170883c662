#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct chmFile;

namespace thg {

// A compiled HTML help file (.chm) opened read-only: its pages, its table of contents and the topics
// its [MAP]/[ALIAS] data assigns to help context numbers.
class ChmFile {
public:
    // Opens `file`; isOpen() tells whether it is a readable CHM.
    explicit ChmFile(const std::filesystem::path& file);
    ~ChmFile();
    ChmFile(const ChmFile&) = delete;
    ChmFile& operator=(const ChmFile&) = delete;

    bool isOpen() const { return handle_ != nullptr; }

    // The bytes of the object at `path` ("/topic.htm"); nothing when the file holds no such object.
    std::optional<std::string> read(const std::string& path) const;

    // The path of the table of contents (.hhc), from the file's #SYSTEM data, else the first .hhc
    // found in the file; empty when there is none.
    std::string contentsPath() const { return contents_; }

    // The page shown when nothing else is asked for; empty when the file names none.
    std::string defaultTopic() const { return defaultTopic_; }

    // The page mapped to help context `context`, or the default topic when the file maps none.
    std::string topicForContext(unsigned context) const;

    struct Entry {
        std::string name;
        std::string path; // the page, empty for a heading without one
        std::vector<Entry> children;
    };
    // The table of contents as a tree, in the file's order; empty when there is none.
    std::vector<Entry> contents() const;

private:
    bool exists(const std::string& path) const;
    std::string resolvePage(std::string path) const;
    void readSystem();
    void readContextMap();

    chmFile* handle_ = nullptr;
    std::string contents_;
    std::string defaultTopic_;
    std::map<unsigned, std::string> contextTopics_;
};

} // namespace thg
