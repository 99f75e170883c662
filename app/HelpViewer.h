#pragma once

#include <filesystem>
#include <memory>

#include <QWidget>

class QTextBrowser;
class QTreeWidget;

namespace thg {

class ChmFile;

// The help window: a compiled HTML help file shown with its table of contents beside the page, so
// that help works where no Windows help system exists.
class HelpViewer : public QWidget {
    Q_OBJECT
public:
    // A viewer for `helpFile`; nothing is read until help is asked for.
    explicit HelpViewer(std::filesystem::path helpFile, QWidget* parent = nullptr);
    ~HelpViewer() override;

    // Opens the window at the table of contents. Does nothing when the help file is missing or
    // unreadable; returns whether the window opened.
    bool showContents();

    // Opens the window at the topic the file maps to help context `context` (its default topic when
    // it maps none). Does nothing when the help file is missing or unreadable; returns whether it opened.
    bool showContext(unsigned context);

    // The page on show, as a path inside the help file ("/topic.htm"); empty before any.
    QString currentPage() const;
    QTreeWidget* contentsTree() const { return tree_; }
    QTextBrowser* browser() const { return browser_; }

private:
    bool open();
    void showPage(const std::string& path);

    std::filesystem::path helpFile_;
    std::unique_ptr<ChmFile> chm_;
    QTreeWidget* tree_ = nullptr;
    QTextBrowser* browser_ = nullptr;
};

} // namespace thg
