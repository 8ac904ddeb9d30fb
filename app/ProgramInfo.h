#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>
#include <optional>

// What the installed programs say about themselves: version, help, icon and
// the desktop entry they belong to.
namespace programinfo {

// The project's version, e.g. "1.0.0".
QString version();
// Reverse-DNS name of the desktop entry, the icon and the AppStream data.
QString applicationId();

enum class StartRequest { Run, Help, Version };

// Looks for -h/--help and -v/--version among the arguments (the first one is
// the program). Everything else is left to QApplication, which takes Qt's own
// options (-platform, -style, ...); "--" ends the options.
StartRequest scanArguments(const QStringList& arguments);

QString helpText(const QString& program, const QString& summary);
QString versionText(const QString& program);

// Answers --help and --version on standard output before any QApplication
// exists, so neither needs a display. Returns the exit code when it answered.
std::optional<int> answerArguments(int argc, char** argv, const QString& program, const QString& summary);

// The program's icon in every size it is drawn in.
QIcon programIcon();

// Name, version, icon and desktop entry for the application just created.
void describeApplication(const QString& program);

} // namespace programinfo
