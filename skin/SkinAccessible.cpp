#include "SkinAccessible.h"

#include "VevevSkin.h"

namespace {

QAccessibleInterface* skinAccessibleFactory(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("TSkinKeyTarget"))
        return new TSkinControlAccessible(static_cast<TSkinKeyTarget*>(object));
    // A skinned window is a plain widget to Qt, yet a frame to the user.
    if (className == QLatin1String("TSkinForm") && static_cast<QWidget*>(object)->isWindow())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    return nullptr;
}

} // namespace

void installSkinAccessibleFactory() {
    static const bool installed = [] {
        QAccessible::installFactory(skinAccessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

TSkinControlAccessible::TSkinControlAccessible(TSkinKeyTarget* target)
    : QAccessibleWidget(target, QAccessible::Button) {}

TSkinKeyTarget* TSkinControlAccessible::target() const {
    return static_cast<TSkinKeyTarget*>(widget());
}

TSkinForm* TSkinControlAccessible::form() const {
    return target()->form();
}

int TSkinControlAccessible::index() const {
    return target()->index();
}

QAccessible::Role TSkinControlAccessible::role() const {
    return QAccessible::Button;
}

QString TSkinControlAccessible::text(QAccessible::Text t) const {
    switch (t) {
    case QAccessible::Name:
        return form()->controlName(index());
    case QAccessible::Description:
        return form()->controlDescription(index());
    default:
        return QAccessibleWidget::text(t);
    }
}

QRect TSkinControlAccessible::rect() const {
    // The key target is empty; the control's place is the skin's hit rectangle.
    const TSkinControl& c = form()->control(index());
    return QRect(form()->mapToGlobal(QPoint(c.Left, c.Top)), QSize(c.Width, c.Height));
}

QAccessible::State TSkinControlAccessible::state() const {
    const TSkinControl& c = form()->control(index());
    QAccessible::State s;
    s.focusable = true;
    s.focused = target()->hasFocus();
    s.pressed = c.Pressed;
    s.hotTracked = c.Hovered;
    if (c.Kind == TSkinControl::ModuleButton) {
        s.selectable = true;
        s.selected = c.Selected;
    }
    s.invisible = !form()->isVisible();
    s.disabled = !form()->isEnabled();
    return s;
}

QStringList TSkinControlAccessible::actionNames() const {
    return {pressAction(), setFocusAction()};
}

void TSkinControlAccessible::doAction(const QString& actionName) {
    if (actionName == pressAction())
        form()->ActivateControl(index());
    else if (actionName == setFocusAction())
        target()->setFocus(Qt::OtherFocusReason);
}

QStringList TSkinControlAccessible::keyBindingsForAction(const QString& actionName) const {
    if (actionName == pressAction())
        return {QStringLiteral("Space"), QStringLiteral("Return")};
    return {};
}
