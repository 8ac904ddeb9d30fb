#pragma once

#include "SkinMessage.h"

#include <QFont>
#include <QImage>
#include <QPoint>
#include <QRgb>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

class QPainter;
class QPainterPath;

// Hit rectangle of a skin control; right and bottom are exclusive.
struct TSkinBounds {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Right = 0;
    int32_t Bottom = 0;

    bool contains(int x, int y) const { return x >= Left && x < Right && y >= Top && y < Bottom; }
};

// One entry of the skin's control list: a caption button or a module button.
struct TSkinControl {
    static constexpr uint8_t CaptionButton = 1;
    static constexpr uint8_t ModuleButton = 2;

    uint8_t Kind = 0;
    int32_t Id = 0;
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    TSkinBounds Bounds;
    QByteArray Caption; // as given, 8-bit
    QString CaptionW;   // converted for drawing
    int32_t CaptionLength = 0;
    QImage Picture;
    bool HasPicture = false;
    bool Hovered = false;
    bool Pressed = false;
    bool Selected = false;
    // Has the keyboard focus: drawn with a focus mark on top of its look.
    bool Focused = false;
};

// Controls are only ever appended; an index stays valid for the window's life.
using SkinControlArray = std::vector<TSkinControl>;

// A frameless top-level window that draws its own frame, caption buttons and
// module bar from two off-screen surfaces: the background layer (fill, picture,
// outline, title), rendered only at a full build, and the composed surface
// (background plus controls) that painting copies. Hover and press redraw one
// control's rectangle from the background layer.
//
// A derived window receives the module message (SkinMessage::ModuleMessage,
// wParam = module id, lParam = control index) in its own event().
class TSkinForm;

// The keyboard's handle on one skin control. The controls are drawn, not
// widgets, so each gets an empty, mouse-transparent child that takes part in
// the Tab chain: its focus is the control's focus, Space and Enter on it
// press the control, and its accessible object describes the control.
class TSkinKeyTarget : public QWidget {
    Q_OBJECT
public:
    TSkinKeyTarget(TSkinForm* form, int index);

    TSkinForm* form() const { return m_form; }
    int index() const { return m_index; }

protected:
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;

private:
    TSkinForm* m_form;
    int m_index;
    bool m_spaceDown = false;
};

class TSkinForm : public QWidget {
    Q_OBJECT
public:
    // Caption button ids.
    static constexpr int MenuButtonId = -5;
    static constexpr int MinimiseButtonId = -1;
    static constexpr int MaximiseButtonId = -2;
    static constexpr int RestoreButtonId = -3;
    static constexpr int CloseButtonId = -4;

    // Window command posted by a caption button before it is carried out;
    // wParam is one of the command codes below, lParam 0.
    static constexpr int WindowCommandMessage = 0x8112;
    static constexpr int CommandMinimise = 0xF020;
    static constexpr int CommandMaximise = 0xF030;
    static constexpr int CommandRestore = 0xF120;
    static constexpr int CommandClose = 0xF060;

    static constexpr QRgb DefaultBackColor = 0xFF3296BE;
    static constexpr QRgb DefaultOuterFrameColor = 0x96000000;
    static constexpr QRgb DefaultInnerFrameColor = 0x96FFFFFF;

    explicit TSkinForm(QWidget* parent = nullptr);
    ~TSkinForm() override;

    // Operations of the main window.
    void SetBackground(const QString& name, const QString& type, int x, int y, int w, int h);
    void AddModule(int id, const QString& caption, const QString& pictureName, const QString& pictureType);
    void SelectModule(int id);
    void RefreshSkin();

    // The title and module captions use the bold form of the header label's
    // font; until the derived window hands its label font over, Arial 13 px.
    void setLabelFont(const QFont& labelFont);
    QFont titleFont() const { return m_titleFont; }
    QFont captionFont() const { return m_captionFont; }

    // Control list.
    int AddControl(uint8_t kind, int left, int top, int width, int height, int id);
    void SetControlBounds(int index, int left, int top, int width, int height);
    int FindCaptionButton(int id) const;
    int HitTest(int x, int y) const;
    void SetHoverIndex(int index);
    void SetPressedIndex(int index);
    int controlCount() const { return static_cast<int>(m_controls.size()); }
    int captionButtonCount() const { return m_captionButtonCount; }
    const TSkinControl& control(int index) const { return m_controls.at(static_cast<size_t>(index)); }
    int hoverIndex() const { return m_hoverIndex; }
    int focusIndex() const { return m_focusIndex; }
    int pressedIndex() const { return m_pressedIndex; }
    int nextModuleLeft() const { return m_nextModuleLeft; }

    // Keyboard and assistive technology.
    // The focus mark follows the control's key target; -1 clears it.
    void SetFocusIndex(int index);
    TSkinKeyTarget* keyTarget(int index) const;
    // Carries out a control's click as a release of the mouse over it does.
    void ActivateControl(int index);
    // What a control is called and what it does, for assistive technology.
    QString controlName(int index) const;
    QString controlDescription(int index) const;
    // The text drawn as the window's title. The window title itself; a window
    // may draw none yet keep a title for the task bar and window lists.
    virtual QString captionText() const { return windowTitle(); }

    // Surfaces.
    void BuildSurfaces();
    void DropSurfaces();
    void PaintSurface(QPainter& target, const QRect& area);
    void RedrawControl(int index);
    bool hasSurfaces() const { return !m_composed.isNull(); }
    const QImage& composedSurface() const { return m_composed; }
    const QImage& backgroundSurface() const { return m_background; }
    bool surfacesMaximised() const { return m_maximised; }

    // Skin state.
    QRgb backColor() const { return m_backColor; }
    QRgb outerFrameColor() const { return m_outerFrameColor; }
    QRgb innerFrameColor() const { return m_innerFrameColor; }
    bool hasBackPicture() const { return m_hasBackPicture; }
    const QImage& backgroundPicture() const { return m_backPicture; }
    QRect stretchRect() const { return m_stretch; }
    bool hasWindowIcon() const { return m_hasWindowIcon; }

    // Drawing helpers, public so that their geometry can be checked on their own.
    static QPainterPath RoundRectPath(qreal x, qreal y, qreal w, qreal h, qreal r);
    static void DrawNineGrid(QPainter& painter, const QImage& picture, const QRect& stretch, int width,
                             int height);
    // Window shape for an unmaximised window: the rectangle less what the 4 x 4
    // corner ellipses cut off.
    static QRegion RoundedWindowShape(int width, int height);

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void leaveEvent(QEvent* e) override;

    void PaintBackgroundLayer();
    void ComposeControls();
    void DrawCaptionButton(QPainter& painter, const TSkinControl& control) const;
    void DrawModuleButton(QPainter& painter, const TSkinControl& control) const;
    // Dotted outline inside a focused control, in the skin's white with a dark halo.
    void DrawFocusMark(QPainter& painter, const TSkinControl& control) const;

private:
    void controlClick(int id, int index);
    void windowCommand(int command);
    // The pointer has left the window's own surface, for outside or for a child.
    void pointerLeft();
    void drawControl(QPainter& painter, const TSkinControl& control) const;
    static QImage loadPicture(const QString& name, const QString& type);

    QImage m_composed;
    QImage m_background;
    int m_surfaceWidth = 0;
    int m_surfaceHeight = 0;
    QRgb m_backColor = 0;
    QRgb m_outerFrameColor = 0;
    QRgb m_innerFrameColor = 0;
    QImage m_backPicture;
    QRect m_stretch;
    bool m_hasBackPicture = false;
    bool m_hasWindowIcon = false;
    QFont m_labelFont;
    QFont m_titleFont;
    bool m_maximised = false;
    SkinControlArray m_controls;
    int m_captionButtonCount = 0;
    int m_hoverIndex = -1;
    int m_pressedIndex = -1;
    int m_focusIndex = -1;
    std::vector<TSkinKeyTarget*> m_keyTargets;
    bool m_leaveTracking = false;
    int m_nextModuleLeft = 7;
    QFont m_captionFont;
    int m_captionFormat = 0;
    QRgb m_captionBrush = 0;

    // Manual window move while the button is held, where the window system
    // offers no interactive move (no window manager).
    bool m_manualMove = false;
    QPoint m_moveStartGlobal;
    QPoint m_moveStartPos;
};
