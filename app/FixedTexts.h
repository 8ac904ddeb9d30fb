#pragma once

#include <QString>

class QLabel;

// Texts the window always shows, whatever the controls were laid out with.
// Lines are joined by CR LF, with no line end after the last one.
namespace fixedtexts {

QString helpText();
QString releaseNotes();
// Makes the label's face smaller until its text fits its box.
void fitToBox(QLabel* label);

} // namespace fixedtexts
