#include <filesystem>
#include <string>

#include <QApplication>
#include <QPushButton>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QtTest>

#include "app/ChmFile.h"
#include "app/HelpViewer.h"
#include "app/MainForm.h"
#include "support/TestSupport.h"

using thg::test::TempDir;

namespace {

// Compiles a two-page help file with chmcmd; `withMap` adds the [MAP]/[ALIAS] data for context 1.
std::filesystem::path buildHelp(const TempDir& dir, bool withMap) {
    using thg::test::writeFile;
    writeFile(dir / "inicio.htm", "<html><head><title>Inicio</title></head><body><h1>Bienvenida</h1>"
                                  "<a href=\"ventana.htm\">Ventana</a></body></html>");
    writeFile(dir / "ventana.htm", "<html><head><title>Ventana</title></head><body><h1>Ventana principal</h1>"
                                   "</body></html>");
    writeFile(dir / "indice.hhc", R"(<html><body><ul>
<li><object type="text/sitemap"><param name="Name" value="Inicio"><param name="Local" value="inicio.htm"></object>
<ul><li><object type="text/sitemap"><param name="Name" value="Ventana principal"><param name="Local" value="ventana.htm"></object></ul>
</ul></body></html>)");
    std::string project = "[OPTIONS]\nCompiled file=GESTALIA.chm\nContents file=indice.hhc\n"
                          "Default topic=inicio.htm\nTitle=Ayuda\n\n[FILES]\ninicio.htm\nventana.htm\n";
    if (withMap) project += "\n[MAP]\n#define IDH_VENTANA 1\n\n[ALIAS]\nIDH_VENTANA=ventana.htm\n";
    writeFile(dir / "ayuda.hhp", project);
    const auto result =
        thg::test::runCommand({"/bin/sh", "-c", "cd '" + dir.path().string() + "' && chmcmd ayuda.hhp"});
    if (result.exitCode != 0) qWarning("chmcmd: %s %s", result.out.c_str(), result.err.c_str());
    return dir / "GESTALIA.chm";
}

} // namespace

class HelpTest : public QObject {
    Q_OBJECT

private slots:
    void readsContentsDefaultTopicAndContextMap();
    void contextWithoutMapFallsBackToTheDefaultTopic();
    void viewerOpensAtContentsAndAtContextOne();
    void windowButtonAndF1OpenHelp();
    void missingHelpFileDoesNothing();
};

void HelpTest::readsContentsDefaultTopicAndContextMap() {
    TempDir dir;
    thg::ChmFile chm(buildHelp(dir, true));
    QVERIFY(chm.isOpen());
    QCOMPARE(chm.contentsPath(), std::string("/indice.hhc"));
    QCOMPARE(chm.defaultTopic(), std::string("/inicio.htm"));
    QCOMPARE(chm.topicForContext(1), std::string("/ventana.htm"));
    QCOMPARE(chm.topicForContext(7), std::string("/inicio.htm"));
    const auto contents = chm.contents();
    QCOMPARE(contents.size(), std::size_t(1));
    QCOMPARE(contents[0].name, std::string("Inicio"));
    QCOMPARE(contents[0].path, std::string("/inicio.htm"));
    QCOMPARE(contents[0].children.size(), std::size_t(1));
    QCOMPARE(contents[0].children[0].name, std::string("Ventana principal"));
    QCOMPARE(contents[0].children[0].path, std::string("/ventana.htm"));
    QVERIFY(chm.read("/ventana.htm").value_or("").find("Ventana principal") != std::string::npos);
    QVERIFY(!chm.read("/falta.htm"));
}

void HelpTest::contextWithoutMapFallsBackToTheDefaultTopic() {
    TempDir dir;
    thg::ChmFile chm(buildHelp(dir, false));
    QVERIFY(chm.isOpen());
    QCOMPARE(chm.topicForContext(1), std::string("/inicio.htm"));
}

void HelpTest::viewerOpensAtContentsAndAtContextOne() {
    TempDir dir;
    thg::HelpViewer viewer(buildHelp(dir, true));
    QVERIFY(viewer.showContents());
    QVERIFY(viewer.isVisible());
    QCOMPARE(viewer.currentPage(), QString("/inicio.htm"));
    QCOMPARE(viewer.contentsTree()->topLevelItemCount(), 1);
    QCOMPARE(viewer.contentsTree()->topLevelItem(0)->text(0), QString("Inicio"));
    QCOMPARE(viewer.contentsTree()->topLevelItem(0)->child(0)->text(0), QString("Ventana principal"));
    QVERIFY(viewer.browser()->toPlainText().contains("Bienvenida"));

    // A click in the contents and a link in the page both open their page.
    viewer.contentsTree()->itemClicked(viewer.contentsTree()->topLevelItem(0)->child(0), 0);
    QCOMPARE(viewer.currentPage(), QString("/ventana.htm"));
    viewer.browser()->setSource(QUrl("chm:/inicio.htm"));
    viewer.browser()->setSource(viewer.browser()->source().resolved(QUrl("ventana.htm")));
    QVERIFY(viewer.browser()->toPlainText().contains("Ventana principal"));

    QVERIFY(viewer.showContext(1));
    QCOMPARE(viewer.currentPage(), QString("/ventana.htm"));
}

void HelpTest::windowButtonAndF1OpenHelp() {
    TempDir dir;
    thg::TMForm::Setup setup;
    setup.arguments = QStringList{};
    setup.statusFile = dir / "Horarix.ini";
    setup.helpFile = buildHelp(dir, true);
    thg::TMForm form(setup);
    form.show();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));

    QTest::mouseClick(form.Button1, Qt::LeftButton);
    QVERIFY(form.helpViewer()->isVisible());
    QCOMPARE(form.helpViewer()->currentPage(), QString("/inicio.htm"));
    form.helpViewer()->hide();

    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.BImportar->setFocus();
    QTest::keyClick(form.BImportar, Qt::Key_F1);
    QVERIFY(form.helpViewer()->isVisible());
    QCOMPARE(form.helpViewer()->currentPage(), QString("/ventana.htm"));
}

void HelpTest::missingHelpFileDoesNothing() {
    TempDir dir;
    thg::HelpViewer viewer(dir / "GESTALIA.chm");
    QVERIFY(!viewer.showContents());
    QVERIFY(!viewer.showContext(1));
    QVERIFY(!viewer.isVisible());
    thg::test::writeFile(dir / "GESTALIA.chm", "no es un archivo de ayuda");
    QVERIFY(!viewer.showContents());
    QVERIFY(!viewer.isVisible());
}

QTEST_MAIN(HelpTest)
#include "HelpTest.moc"
