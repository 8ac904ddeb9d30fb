#include "AccessibleWidgets.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QProgressBar>

#include <algorithm>

namespace {

class StatusAccessible : public QAccessibleWidget {
public:
    explicit StatusAccessible(StatusAnnouncer* w) : QAccessibleWidget(w, QAccessible::StatusBar) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name)
            return static_cast<StatusAnnouncer*>(widget())->lastAnnouncement();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        // It is a place to listen at, not something to look at or focus.
        QAccessible::State s = QAccessibleWidget::state();
        s.focusable = false;
        return s;
    }
};

class ProgressAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit ProgressAccessible(QProgressBar* w) : QAccessibleWidget(w, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return QStringLiteral("%1%").arg(percent());
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return percent(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    int percent() const {
        const auto* bar = static_cast<const QProgressBar*>(widget());
        return progressPercent(bar->value(), bar->minimum(), bar->maximum());
    }
};

QAccessibleInterface* appAccessibleFactory(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("StatusAnnouncer"))
        return new StatusAccessible(static_cast<StatusAnnouncer*>(object));
    if (className == QLatin1String("QProgressBar"))
        return new ProgressAccessible(static_cast<QProgressBar*>(object));
    return nullptr;
}

} // namespace

StatusAnnouncer::StatusAnnouncer(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    resize(0, 0);
}

void StatusAnnouncer::announce(const QString& text) {
    const QString said = text.simplified();
    if (said.isEmpty())
        return;
    m_text = said;
    ++m_count;
    // The same text twice is still news (a second "Update completed.").
    QAccessibleEvent nameChanged(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&nameChanged);
    QAccessibleEvent alert(this, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

bool EnterClicksButton::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!key->isAutoRepeat() && button->isEnabled())
                button->click();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

int progressPercent(int value, int minimum, int maximum) {
    if (maximum <= minimum)
        return 0;
    const long long clamped = std::clamp(value, minimum, maximum);
    return static_cast<int>((clamped - minimum) * 100 / (static_cast<long long>(maximum) - minimum));
}

void installAppAccessibleFactory() {
    static const bool installed = [] {
        QAccessible::installFactory(appAccessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}
