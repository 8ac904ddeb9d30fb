#pragma once

// Text that came from a hub (its serial number, its strings) or from a file
// (an image line, the history) as it may be shown to a person: on a terminal
// an escape sequence from a hostile device would be obeyed, in a log a line
// break would forge a line. JSON escapes on its own and takes the text as is.

#include <QString>

// Control characters (C0, DEL, C1) become visible escapes such as \x1b and
// \x0a; everything else stays.
QString safeText(const QString& text);
