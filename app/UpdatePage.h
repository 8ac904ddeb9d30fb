#pragma once

#include "FormWidgets.h"
#include "HubSession.h"

#include <QStringList>

#include <cstdint>

class FirmwareImage;
class HubPort;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// The Update page: the version check, the update and their log. It talks to
// the hub through the port alone.
class UpdatePage : public TabSheet {
    Q_OBJECT
public:
    UpdatePage(HubPort& hub, const FirmwareImage& image, QWidget* parent = nullptr);

    void setFixedTexts();
    // No verdict before the first check.
    void clearVerdict();

    // "&Check Version": the hub's firmware against the image's.
    void btnConnectClick();
    // "&Update".
    void btnUpdateClick();

    // While the hubs are updated as they come, the buttons are off; the
    // reason goes with them, for the mouse and for assistive technology.
    void setAutomatic(bool automatic);
    // The automatic update asks nobody: a hub whose calibration cannot be
    // read is left alone.
    void setAskBeforeLosingCalibration(bool ask) { m_ask = ask; }
    // The automatic update's check box sits on this page, between the version
    // group and the log; its behaviour is not the page's.
    void placeAutomaticBox(QCheckBox* box);

    void appendLog(const QString& text);
    // The version group as a sentence, as the check left it.
    QString versionSummary() const;

    QFrame* const pnlUpdate;
    QPushButton* const btnConnect;
    QPushButton* const btnUpdate;
    QGroupBox* const grpFirmware;
    QLabel* const lblDeviceVersion;
    QLabel* const lblUpdateAvail;
    QLabel* const lblThisVersion;
    QLabel* const lblLog;
    QPlainTextEdit* const mmoUplog;
    QProgressBar* const pbProgram;

signals:
    // What assistive technology should hear: new log lines, the check's outcome.
    void announce(const QString& text);
    void updateEnded();
    // The update's progress as this page's bar shows it.
    void progressShown(int value, int maximum);

private:
    void showSessionReports();
    void showVersion(std::uint32_t version, bool inBootloader);
    void showOutcome(HubSession::UpdateResult result);
    void logChanged();

    HubPort& m_hub;
    const FirmwareImage& m_image;
    bool m_ask = true;
    // Log lines already announced, to tell the new ones.
    QStringList m_logSeen;
};
