#pragma once

#include <QColor>
#include <QWidget>

// A filled rectangle with a medium grey outline; only its fill colour is
// meant to change at run time (battery slots on the service page).
class ShapeWidget : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor brushColor READ brushColor WRITE setBrushColor)
public:
    explicit ShapeWidget(QWidget* parent = nullptr);

    QColor brushColor() const { return m_brushColor; }
    void setBrushColor(const QColor& color);

    static QColor penColor() { return QColor(0x80, 0x80, 0x80); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_brushColor = Qt::white;
};

// A panel with a flat, rounded one-pixel border.
class RoundedPanel : public QWidget {
    Q_OBJECT
public:
    explicit RoundedPanel(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// One page of the page control. Page switches are announced as shown() and
// hidden(), so a page can drive other parts of the window while it is up.
// Hiding or showing caused by the window system (minimising) is not a page switch.
class TabSheet : public QWidget {
    Q_OBJECT
public:
    explicit TabSheet(QWidget* parent = nullptr);

signals:
    void shown();
    void hidden();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
};
