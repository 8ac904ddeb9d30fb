#include "ProgramInfo.h"

#include "AppVersion.h"
#include "ResourceLookup.h"

#include <QGuiApplication>
#include <cstdio>

#ifndef QUORVI_VERSION
#define QUORVI_VERSION "0.0.0"
#endif
#ifndef QUORVI_APP_ID
#define QUORVI_APP_ID "com.quorvi.HubUpdater"
#endif

namespace programinfo {

QString version() {
    return QStringLiteral(QUORVI_VERSION);
}

QString applicationId() {
    return QStringLiteral(QUORVI_APP_ID);
}

StartRequest scanArguments(const QStringList& arguments) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == QLatin1String("--"))
            break;
        if (a == QLatin1String("-h") || a == QLatin1String("--help"))
            return StartRequest::Help;
        if (a == QLatin1String("-v") || a == QLatin1String("--version"))
            return StartRequest::Version;
    }
    return StartRequest::Run;
}

QString helpText(const QString& program, const QString& summary) {
    return QStringLiteral("Usage: %1 [options]\n"
                          "%2\n"
                          "\n"
                          "Options:\n"
                          "  -h, --help     Show this help and exit.\n"
                          "  -v, --version  Show the version and exit.\n"
                          "  --service      Start on the service page (running data, LED levels).\n"
                          "\n"
                          "Qt's standard options (such as -platform NAME) are accepted as well.\n"
                          "See %1(1) for more.\n")
        .arg(program, summary);
}

QString versionText(const QString& program) {
    return QStringLiteral("%1 %2\nBuilt-in hub firmware %3\n")
        .arg(program, version(), FormatVersion(versionHexText(AppFirmwareVersion)));
}

std::optional<int> answerArguments(int argc, char** argv, const QString& program, const QString& summary) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QString text;
    switch (scanArguments(arguments)) {
    case StartRequest::Run:
        return std::nullopt;
    case StartRequest::Help:
        text = helpText(program, summary);
        break;
    case StartRequest::Version:
        text = versionText(program);
        break;
    }
    const QByteArray bytes = text.toLocal8Bit();
    const bool written = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout) ==
                             static_cast<size_t>(bytes.size()) &&
                         std::fflush(stdout) == 0;
    return written ? 0 : 1;
}

QIcon programIcon() {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString path =
            resources::findResource(QStringLiteral("ICON"), QStringLiteral("icon-%1.png").arg(size));
        if (!path.isEmpty())
            icon.addFile(path, QSize(size, size));
    }
    return icon;
}

void describeApplication(const QString& program) {
    QCoreApplication::setApplicationName(program);
    QCoreApplication::setApplicationVersion(version());
    // Lets the desktop match the window to its entry (and so to its icon).
    QGuiApplication::setDesktopFileName(applicationId());
    QGuiApplication::setWindowIcon(programIcon());
}

} // namespace programinfo
