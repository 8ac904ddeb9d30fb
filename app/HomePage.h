#pragma once

#include "FormWidgets.h"

class QLabel;
class QPlainTextEdit;

// The Home page: the help and the release notes. It talks to no hub.
class HomePage : public TabSheet {
    Q_OBJECT
public:
    explicit HomePage(QWidget* parent = nullptr);

    // The help and the release notes replace the designed captions.
    void setFixedTexts();
    // The header has a face of its own, whatever the window's.
    void setHeadFamily(const QString& family);

    QLabel* const lblHead;
    QWidget* const pnlHelp;
    QLabel* const lblHelp;
    QWidget* const pnlReleaseNotes;
    QPlainTextEdit* const mmoReleaseNotes;
};
