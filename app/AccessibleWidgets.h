#pragma once

#include <QObject>
#include <QString>
#include <QWidget>

// Says what just happened to assistive technology: an empty status object
// whose name is the latest announcement. Each announcement changes the name
// and raises the name-change and alert events, which a screen reader hears
// however it is set up to follow the window.
class StatusAnnouncer : public QWidget {
    Q_OBJECT
public:
    explicit StatusAnnouncer(QWidget* parent = nullptr);

    void announce(const QString& text);
    QString lastAnnouncement() const { return m_text; }
    int announcements() const { return m_count; }

private:
    QString m_text;
    int m_count = 0;
};

// Enter and Return click the button they are sent to, as Space does. Qt's
// push buttons do that only inside dialogs.
class EnterClicksButton : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// The progress bar's value in per cent, as text and as number, however many
// steps the bar counts: the update counts firmware lines.
int progressPercent(int value, int minimum, int maximum);

// Makes Qt describe the status announcer and the progress bars with the
// objects above; once per program.
void installAppAccessibleFactory();
