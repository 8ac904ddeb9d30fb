#pragma once

#include <QString>

// Texts the window always shows, whatever the controls were laid out with.
// Lines are joined by CR LF, with no line end after the last one.
namespace fixedtexts {

QString helpText();
QString releaseNotes();

} // namespace fixedtexts
