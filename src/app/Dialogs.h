#pragma once

#include <QFileDialog>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace velkaro {

// Which button ended an alert. The default button is the right-most, preselected one.
enum class AlertButton { Default, Alternate, Other };

// The icon of an alert: a warning for a question whose answer can lose work or a failure, the
// information sign for friendly questions.
enum class AlertIcon { Warning, Information };

// A warning with a message, an informative text and one to three buttons (no alternate or other
// button when its title is empty). `safe` is the answer that loses nothing and starts nothing: Esc
// and the window's close box choose it.
struct AlertText {
    QString message;
    QString defaultButton;
    QString alternateButton;
    QString informative;
    AlertButton safe = AlertButton::Default;
    QString otherButton = {};  // a destructive choice, such as "Don't Save"
    AlertIcon icon = AlertIcon::Warning;
};

// The alerts and file panels the application shows, all as sheets of a window: they return at
// once and report their end through the handler, on the main thread. The controller and the
// application delegate talk only to this interface, so that tests can answer in their place.
class Dialogs {
  public:
    virtual ~Dialogs() = default;

    virtual void beginAlert(QWidget* window, const AlertText& text,
                            std::function<void(AlertButton)> done) = 0;
    // One existing file with one of the extensions (lower case, no dots), starting in `folder`;
    // an empty path when the user cancels.
    virtual void beginOpenPanel(QWidget* window, const QStringList& extensions,
                                const QString& folder,
                                std::function<void(const QString& path)> done) = 0;
    // A destination for a new file, starting at `suggested` (its folder, and its name in the name
    // field), with `accessory` (the save options, whose file type is the panel's only type picker)
    // shown in the panel and the names restricted to `allowedTypes` (no restriction when empty).
    // An empty path when the user cancels. The accessory is handed back to its parent when the
    // panel closes.
    virtual void beginSavePanel(QWidget* window, QWidget* accessory,
                                const QStringList& allowedTypes, const QString& suggested,
                                std::function<void(const QString& path)> done) = 0;
    // Changes the allowed types of the save panel that is running, if any.
    virtual void setSavePanelAllowedTypes(const QStringList& allowedTypes) = 0;
};

// The toolkit's dialogs: QMessageBox and QFileDialog, window-modal, opened without a nested event
// loop.
class SheetDialogs : public Dialogs {
  public:
    void beginAlert(QWidget* window, const AlertText& text,
                    std::function<void(AlertButton)> done) override;
    void beginOpenPanel(QWidget* window, const QStringList& extensions, const QString& folder,
                        std::function<void(const QString& path)> done) override;
    void beginSavePanel(QWidget* window, QWidget* accessory, const QStringList& allowedTypes,
                        const QString& suggested,
                        std::function<void(const QString& path)> done) override;
    void setSavePanelAllowedTypes(const QStringList& allowedTypes) override;

    // The save panel on screen, or null.
    QFileDialog* runningSavePanel() const { return mSavePanel; }

  private:
    QPointer<QFileDialog> mSavePanel;
};

// The name filter of a file panel for the given extensions: "Images (*.png *.jpg)"; all files when
// the list is empty.
QString NameFilterForExtensions(const QString& title, const QStringList& extensions);

// `path` with the first allowed extension appended when its own extension is not one of them (the
// comparison ignores case); unchanged when nothing is restricted.
QString PathWithAllowedExtension(const QString& path, const QStringList& allowedTypes);

}  // namespace velkaro
