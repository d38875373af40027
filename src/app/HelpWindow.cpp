#include "HelpWindow.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "GUI.h"

namespace velkaro {

HelpWindow::HelpWindow(QWidget* parent)
    : QWidget(parent, Qt::Window), mBrowser(new QTextBrowser(this)) {
    setWindowTitle(tr("Velkaro Help"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(6, 6, 6, 6);
    auto* buttons = new QHBoxLayout;
    auto* back = new QPushButton(tr("Back"), this);
    auto* forward = new QPushButton(tr("Forward"), this);
    auto* tutorial = new QPushButton(tr("Tutorial"), this);
    auto* faq = new QPushButton(tr("Questions"), this);
    auto* close = new QPushButton(tr("Close"), this);
    close->setObjectName("closeHelp");
    close->setToolTip(tr("Close the help (Esc, Ctrl+W)"));
    for (QPushButton* button : {back, forward, tutorial, faq, close}) {
        button->setAutoDefault(false);
        buttons->addWidget(button);
    }
    buttons->insertStretch(buttons->indexOf(close), 1);
    column->addLayout(buttons);
    column->addWidget(mBrowser, 1);
    // Light pages read best; the rest of the window keeps the dark look.
    QPalette paper = mBrowser->palette();
    paper.setColor(QPalette::Base, QColor(250, 250, 247));
    paper.setColor(QPalette::Text, QColor(30, 30, 30));
    paper.setColor(QPalette::Link, QColor(30, 80, 170));
    paper.setColor(QPalette::LinkVisited, QColor(100, 60, 150));
    mBrowser->setPalette(paper);
    mBrowser->document()->setDefaultStyleSheet(
        "body { margin: 12px; } h1 { font-size: x-large; } h2 { margin-top: 18px; }"
        "a { color: #1e50aa; }");
    back->setEnabled(false);
    forward->setEnabled(false);
    connect(mBrowser, &QTextBrowser::backwardAvailable, back, &QWidget::setEnabled);
    connect(mBrowser, &QTextBrowser::forwardAvailable, forward, &QWidget::setEnabled);
    connect(back, &QPushButton::clicked, mBrowser, &QTextBrowser::backward);
    connect(forward, &QPushButton::clicked, mBrowser, &QTextBrowser::forward);
    connect(tutorial, &QPushButton::clicked, this, [this] { showPage("tutorial.html"); });
    connect(faq, &QPushButton::clicked, this, [this] { showPage("faq.html"); });
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    resize(760, 720);
}

void HelpWindow::keyPressEvent(QKeyEvent* event) {
    // A window of its own has no dialog's Esc: the keys that its controls leave close it.
    if (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Close) ||
        QKeySequence(event->keyCombination()) == QKeySequence(tr("Ctrl+W"))) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

QString HelpWindow::helpDirectory() {
    return ResourcePath("help");
}

void HelpWindow::showPage(const QString& page) {
    const QString file = page.section('#', 0, 0);
    const QString anchor = page.section('#', 1);
    const QString path = QDir(helpDirectory()).filePath(file);
    if (QFileInfo::exists(path)) {
        QUrl url = QUrl::fromLocalFile(path);
        if (!anchor.isEmpty())
            url.setFragment(anchor);
        mBrowser->setSource(url);
    } else {
        mBrowser->setHtml(tr("<h2>The help pages are missing</h2><p>They should be in %1. "
                             "Installing Velkaro again puts them back.</p>")
                              .arg(QDir::toNativeSeparators(helpDirectory()).toHtmlEscaped()));
    }
    show();
    raise();
    activateWindow();
}

}  // namespace velkaro
