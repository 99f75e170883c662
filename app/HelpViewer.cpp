#include "app/HelpViewer.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QSplitter>
#include <QTextBrowser>
#include <QTreeWidget>

#include "app/ChmFile.h"

namespace thg {

namespace {

// A text browser whose pages, pictures and style sheets come out of the help file. Pages are
// addressed as "chm:/folder/page.htm", so relative links resolve inside the file.
class ChmBrowser : public QTextBrowser {
public:
    ChmBrowser(const ChmFile& chm, QWidget* parent) : QTextBrowser(parent), chm_(chm) {}

    QVariant loadResource(int type, const QUrl& name) override {
        if (name.scheme() != QLatin1String("chm")) return QTextBrowser::loadResource(type, name);
        const auto bytes = chm_.read(name.path().toStdString());
        if (!bytes) return {};
        const QByteArray data(bytes->data(), qsizetype(bytes->size()));
        if (type == QTextDocument::HtmlResource || type == QTextDocument::StyleSheetResource)
            return decodeHtml(data);
        return data;
    }

private:
    static QString decodeHtml(const QByteArray& data) {
        // Help pages of Windows origin are mostly Windows-1252; pages that say UTF-8 are taken as such.
        if (data.contains("utf-8") || data.contains("UTF-8")) return QString::fromUtf8(data);
        return QString::fromLatin1(data);
    }

    const ChmFile& chm_;
};

constexpr int pageRole = Qt::UserRole;

void addEntries(QTreeWidgetItem* parent, QTreeWidget* tree, const std::vector<ChmFile::Entry>& entries) {
    for (const auto& entry : entries) {
        auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
        item->setText(0, QString::fromLatin1(entry.name.c_str()));
        item->setData(0, pageRole, QString::fromStdString(entry.path));
        addEntries(item, tree, entry.children);
    }
}

} // namespace

HelpViewer::HelpViewer(std::filesystem::path helpFile, QWidget* parent)
    : QWidget(parent, Qt::Window), helpFile_(std::move(helpFile)) {
    setWindowTitle(QStringLiteral("Ayuda"));
    resize(760, 520);
}

HelpViewer::~HelpViewer() = default;

bool HelpViewer::open() {
    if (chm_) return true;
    if (!std::filesystem::is_regular_file(helpFile_)) return false;
    auto chm = std::make_unique<ChmFile>(helpFile_);
    if (!chm->isOpen()) return false;
    chm_ = std::move(chm);

    tree_ = new QTreeWidget;
    tree_->setHeaderHidden(true);
    addEntries(nullptr, tree_, chm_->contents());
    tree_->expandAll();
    browser_ = new ChmBrowser(*chm_, this);
    connect(tree_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
        const QString page = item->data(0, pageRole).toString();
        if (!page.isEmpty()) showPage(page.toStdString());
    });
    connect(tree_, &QTreeWidget::itemClicked, tree_, &QTreeWidget::itemActivated);

    auto* splitter = new QSplitter;
    splitter->addWidget(tree_);
    splitter->addWidget(browser_);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({220, 540});
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter);
    return true;
}

void HelpViewer::showPage(const std::string& path) {
    QUrl url;
    url.setScheme(QStringLiteral("chm"));
    url.setPath(QString::fromStdString(path.substr(0, path.find('#'))));
    if (const auto anchor = path.find('#'); anchor != std::string::npos)
        url.setFragment(QString::fromStdString(path.substr(anchor + 1)));
    browser_->setSource(url, QTextDocument::HtmlResource);
}

bool HelpViewer::showContents() {
    if (!open()) return false;
    std::string first = chm_->defaultTopic();
    if (first.empty() && tree_->topLevelItemCount() > 0)
        first = tree_->topLevelItem(0)->data(0, pageRole).toString().toStdString();
    if (!first.empty()) showPage(first);
    tree_->setFocus();
    show();
    raise();
    activateWindow();
    return true;
}

bool HelpViewer::showContext(unsigned context) {
    if (!open()) return false;
    const std::string topic = chm_->topicForContext(context);
    if (!topic.empty()) showPage(topic);
    show();
    raise();
    activateWindow();
    return true;
}

QString HelpViewer::currentPage() const {
    return browser_ ? browser_->source().path() : QString();
}

} // namespace thg
