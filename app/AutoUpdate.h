#pragma once

#include <QObject>

class HubPort;
class QCheckBox;
class QFrame;
class QLabel;
class QProgressBar;
class QTimer;
class UpdatePage;

// The automatic update: every hub taken while its box is checked is checked,
// updated and checked again, without a click. Its status panel sits in the
// window's bottom strip and shows only on the service page.
class AutoUpdate : public QObject {
    Q_OBJECT
public:
    // The box goes on the update page; the status panel into the strip.
    AutoUpdate(HubPort& hub, UpdatePage& page, QWidget* strip, QObject* parent = nullptr);

    void setFixedTexts();

    // A hub became the current one: armed when the box is checked, unless an
    // update sends its hub to the bootloader just now.
    void hubTaken();
    bool armed() const { return m_armed; }
    // The sequence is running.
    bool running() const { return m_running; }

    // The status line; a text sent while the panel is hidden is dropped, not
    // kept for later.
    void showStatus(const QString& text);
    void servicePageShown(bool shown);

    void chkAutoPRGClick();
    void tmrAutoTimer();

    QCheckBox* const chkAutoPRG;
    QTimer* const tmrAuto;
    QFrame* const pnl2;
    QLabel* const lbl23;
    QProgressBar* const pbMsg;
    QLabel* const lblMsg;

private:
    HubPort& m_hub;
    UpdatePage& m_page;
    bool m_armed = false;
    int m_armingDelay = 0;
    bool m_running = false;
};
