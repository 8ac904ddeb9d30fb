// The window for the keyboard and for assistive technology: names, the Tab
// chain, page switching by Ctrl+Tab, Enter on buttons, and announcements of
// what the hub exchanges bring.

#include "AccessibleWidgets.h"
#include "FormWidgets.h"
#include "HidIap.h"
#include "SkinMessage.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTabBar>
#include <QTabWidget>

QString TfrmMain::windowName() {
    return QStringLiteral("Quorvi Hub Updater");
}

void TfrmMain::SetUpKeyboardAndAccessibility() {
    setAccessibleName(windowName());

    // Pages switch through the module bar and Ctrl+Tab only: neither the page
    // control nor its hidden tab bar may take the focus.
    pgcMain->setFocusPolicy(Qt::NoFocus);
    pgcMain->tabBar()->setFocusPolicy(Qt::NoFocus);

    imgIndicator->setAccessibleName(QStringLiteral("Hub link"));
    imgIndicator->setAccessibleDescription(QStringLiteral("Not known yet."));

    announcer = new StatusAnnouncer(pnl1);

    auto* enter = new EnterClicksButton(this);
    for (QPushButton* button : findChildren<QPushButton*>())
        button->installEventFilter(enter);

    // Ctrl+Shift+Tab arrives as Backtab on some keyboards and platforms, and
    // X11 offers a key under several of these names at once: more than one
    // then matches, and Qt calls that ambiguous. Each direction is one
    // shortcut, so an ambiguous match is still this one.
    const auto pageKeys = [this](const QList<QKeySequence>& keys, int step) {
        auto* shortcut = new QShortcut(this);
        shortcut->setKeys(keys);
        connect(shortcut, &QShortcut::activated, this, [this, step] { switchPage(step); });
        connect(shortcut, &QShortcut::activatedAmbiguously, this, [this, step] { switchPage(step); });
    };
    pageKeys({QKeySequence(Qt::CTRL | Qt::Key_Tab)}, 1);
    pageKeys({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab),
              QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), QKeySequence(Qt::CTRL | Qt::Key_Backtab)},
             -1);

    connect(pgcMain, &QTabWidget::currentChanged, this, [this] { pageShown(); });
}

QWidget* TfrmMain::firstControlOf(QWidget* page) const {
    if (!page)
        return nullptr;
    for (QWidget* w = page->nextInFocusChain(); w && w != page; w = w->nextInFocusChain()) {
        if (page->isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && !w->focusProxy() &&
            w->isVisibleTo(page) && w->isEnabled())
            return w;
    }
    return nullptr;
}

void TfrmMain::switchPage(int step) {
    const int pages[2] = {100, 101};
    int current = -1;
    if (pgcMain->currentWidget() == tbshtHome)
        current = 0;
    else if (pgcMain->currentWidget() == tbshtUpdate)
        current = 1;
    // From the service page, forward is Home and back is Update.
    const int next = current < 0 ? (step > 0 ? 0 : 1) : (current + step + 2) % 2;
    int index = -1;
    for (int i = 0; i < controlCount(); ++i) {
        if (control(i).Kind == TSkinControl::ModuleButton && control(i).Id == pages[next])
            index = i;
    }
    // What a click on the module button does, at once.
    m_focusIntoPage = true;
    WMModule(SkinMessage(SkinMessage::ModuleMessage, pages[next], index));
    m_focusIntoPage = false;
}

void TfrmMain::pageShown() {
    // A focus inside the pages follows to the page now shown; one on the
    // module bar or a caption button stays, unless Ctrl+Tab switched.
    QWidget* focus = focusWidget();
    const bool inPages = !focus || focus == this || pgcMain->isAncestorOf(focus);
    if (!m_focusIntoPage && !inPages)
        return;
    if (QWidget* first = firstControlOf(pgcMain->currentWidget()))
        first->setFocus(Qt::OtherFocusReason);
}

void TfrmMain::Announce(const QString& text) {
    if (announcer)
        announcer->announce(text);
}
