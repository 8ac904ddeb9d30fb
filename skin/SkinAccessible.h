#pragma once

#include <QAccessibleWidget>

class TSkinForm;
class TSkinKeyTarget;

// The accessible object of one skin control: a push button with the
// control's name, description, place on screen, state (focused, pressed,
// hovered, selected) and a press action that clicks it as the mouse does.
class TSkinControlAccessible : public QAccessibleWidget {
public:
    explicit TSkinControlAccessible(TSkinKeyTarget* target);

    QAccessible::Role role() const override;
    QString text(QAccessible::Text t) const override;
    QRect rect() const override;
    QAccessible::State state() const override;
    QStringList actionNames() const override;
    void doAction(const QString& actionName) override;
    QStringList keyBindingsForAction(const QString& actionName) const override;

private:
    TSkinKeyTarget* target() const;
    TSkinForm* form() const;
    int index() const;
};

// Makes Qt ask the skin for its controls' accessible objects; once per program.
void installSkinAccessibleFactory();
