#include "Dialogs.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace velkaro {

namespace {

QStringList Patterns(const QStringList& extensions) {
    QStringList patterns;
    for (const QString& extension : extensions) patterns << "*." + extension;
    return patterns;
}

// Applies the allowed types to a running save panel: its filter, the suffix added to a bare name,
// and the extension of the name already typed.
void ApplyAllowedTypes(QFileDialog* panel, const QStringList& allowedTypes) {
    const QString kind = allowedTypes.isEmpty() ? QString() : allowedTypes.first().toUpper();
    panel->setNameFilter(NameFilterForExtensions(QObject::tr("%1 image").arg(kind), allowedTypes));
    panel->setDefaultSuffix(allowedTypes.isEmpty() ? QString() : allowedTypes.first());
    if (allowedTypes.isEmpty())
        return;
    auto* nameEdit = panel->findChild<QLineEdit*>("fileNameEdit");
    if (!nameEdit || nameEdit->text().isEmpty())
        return;
    const QString name = nameEdit->text();
    const QString suffix = QFileInfo(name).suffix();
    if (allowedTypes.contains(suffix, Qt::CaseInsensitive))
        return;
    const QString base = suffix.isEmpty() ? name : name.left(name.size() - suffix.size() - 1);
    nameEdit->setText(base + "." + allowedTypes.first());
}

}  // namespace

QString NameFilterForExtensions(const QString& title, const QStringList& extensions) {
    if (extensions.isEmpty())
        return QObject::tr("All files (*)");
    return QString("%1 (%2)").arg(title, Patterns(extensions).join(' '));
}

QString PathWithAllowedExtension(const QString& path, const QStringList& allowedTypes) {
    if (path.isEmpty() || allowedTypes.isEmpty())
        return path;
    if (allowedTypes.contains(QFileInfo(path).suffix(), Qt::CaseInsensitive))
        return path;
    return path + "." + allowedTypes.first();
}

void SheetDialogs::beginAlert(QWidget* window, const AlertText& text,
                              std::function<void(AlertButton)> done) {
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(text.icon == AlertIcon::Information ? QMessageBox::Information
                                                     : QMessageBox::Warning);
    box->setText(text.message);
    box->setInformativeText(text.informative);
    QPushButton* alternate = nullptr;
    if (!text.alternateButton.isEmpty())
        alternate = box->addButton(text.alternateButton, QMessageBox::RejectRole);
    QPushButton* other = nullptr;
    if (!text.otherButton.isEmpty())
        other = box->addButton(text.otherButton, QMessageBox::DestructiveRole);
    QPushButton* defaultButton = box->addButton(text.defaultButton, QMessageBox::AcceptRole);
    box->setDefaultButton(defaultButton);
    QPushButton* safe = defaultButton;
    if (text.safe == AlertButton::Alternate && alternate)
        safe = alternate;
    if (text.safe == AlertButton::Other && other)
        safe = other;
    box->setEscapeButton(safe);
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, alternate, other, done, safe = text.safe] {
                         // Closed without a button (by the window system): the safe answer.
                         AlertButton answer = safe;
                         if (QAbstractButton* clicked = box->clickedButton())
                             answer = clicked == alternate ? AlertButton::Alternate
                                      : clicked == other   ? AlertButton::Other
                                                           : AlertButton::Default;
                         if (done)
                             done(answer);
                     });
    box->open();
}

void SheetDialogs::beginOpenPanel(QWidget* window, const QStringList& extensions,
                                  const QString& folder, std::function<void(const QString&)> done) {
    auto* panel = new QFileDialog(window, QObject::tr("Open Image"), folder);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    panel->setAcceptMode(QFileDialog::AcceptOpen);
    panel->setFileMode(QFileDialog::ExistingFile);
    panel->setNameFilter(NameFilterForExtensions(QObject::tr("Images"), extensions));
    QObject::connect(panel, &QFileDialog::finished, panel, [panel, done](int result) {
        const QStringList files = panel->selectedFiles();
        const QString path =
            result == QDialog::Accepted && !files.isEmpty() ? files.first() : QString();
        if (done)
            done(path);
    });
    panel->open();
}

void SheetDialogs::beginSavePanel(QWidget* window, QWidget* accessory,
                                  const QStringList& allowedTypes, const QString& suggested,
                                  std::function<void(const QString&)> done) {
    auto* panel = new QFileDialog(window, QObject::tr("Save Image"), suggested);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    // The options view goes into the panel, which only Qt's own panel allows.
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    QPointer<QWidget> home = accessory ? accessory->parentWidget() : nullptr;
    if (accessory) {
        if (auto* grid = qobject_cast<QGridLayout*>(panel->layout())) {
            grid->addWidget(accessory, grid->rowCount(), 0, 1, grid->columnCount());
        } else if (panel->layout()) {
            panel->layout()->addWidget(accessory);
        }
        accessory->show();
    }
    // The options' file type is the one type picker: the panel's own is hidden.
    for (const char* name : {"fileTypeCombo", "fileTypeLabel"})
        if (auto* own = panel->findChild<QWidget*>(name))
            own->hide();
    mSavePanel = panel;
    ApplyAllowedTypes(panel, allowedTypes);
    QPointer<QWidget> options = accessory;
    QObject::connect(
        panel, &QFileDialog::finished, panel, [this, panel, options, home, done](int result) {
            // The options view outlives the panel.
            if (options) {
                options->hide();
                options->setParent(home);
            }
            mSavePanel = nullptr;
            const QStringList files = panel->selectedFiles();
            const QString path =
                result == QDialog::Accepted && !files.isEmpty() ? files.first() : QString();
            if (done)
                done(path);
        });
    panel->open();
}

void SheetDialogs::setSavePanelAllowedTypes(const QStringList& allowedTypes) {
    if (mSavePanel)
        ApplyAllowedTypes(mSavePanel, allowedTypes);
}

}  // namespace velkaro
