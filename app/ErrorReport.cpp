#include "ErrorReport.h"

#include <QApplication>
#include <QMessageBox>
#include <exception>

namespace errorreport {

namespace {

void showMessageBox(const QString& message) {
    QMessageBox::critical(QApplication::activeWindow(), QCoreApplication::applicationName(), message);
}

Reporter& currentReporter() {
    static Reporter reporter = showMessageBox;
    return reporter;
}

} // namespace

Reporter setReporter(Reporter reporter) {
    Reporter previous = std::move(currentReporter());
    currentReporter() = reporter ? std::move(reporter) : Reporter(showMessageBox);
    return previous;
}

void report(const QString& message) {
    currentReporter()(message);
}

bool runGuarded(const std::function<void()>& fn) {
    try {
        fn();
        return true;
    } catch (const std::exception& e) {
        report(QString::fromUtf8(e.what()));
    } catch (...) {
        report(QStringLiteral("Unknown error."));
    }
    return false;
}

} // namespace errorreport
