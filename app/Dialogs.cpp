#include "app/Dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>

namespace thg {

namespace {

void showBox(QWidget* parent, QMessageBox::Icon icon, const QString& text) {
    QMessageBox box(icon, applicationTitle, text, QMessageBox::NoButton, parent);
    box.addButton(QStringLiteral("Aceptar"), QMessageBox::AcceptRole);
    box.exec();
}

} // namespace

QString QtDialogs::openExchangeFile(QWidget* parent, const QString& initialDir) {
    QFileDialog dialog(parent, QStringLiteral("Archivo XML"), initialDir, QStringLiteral("*.xml"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The runs test for the file themselves, so a typed name that does not exist is accepted.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("xml"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

void QtDialogs::showMessage(QWidget* parent, const QString& text) {
    showBox(parent, QMessageBox::NoIcon, text);
}

void QtDialogs::showError(QWidget* parent, const QString& text) {
    showBox(parent, QMessageBox::Critical, text);
}

bool installSpanishTranslations() {
    const QLocale spanish(QLocale::Spanish, QLocale::Spain);
    QLocale::setDefault(spanish);
    auto* translator = new QTranslator(qApp);
    if (!translator->load(spanish, QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

QString withFullStop(const QString& message) {
    if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
    return message;
}

} // namespace thg
