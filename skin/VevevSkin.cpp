#include "VevevSkin.h"

#include "ResourceLookup.h"
#include "SkinAccessible.h"

#include <QCoreApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <utility>

TSkinForm::TSkinForm(QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
    // Children are never painted over by the skin, and the skin paints every
    // pixel of its own surface, so there is nothing to erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
    installSkinAccessibleFactory();

    m_backColor = DefaultBackColor;
    m_hasBackPicture = false;
    m_outerFrameColor = DefaultOuterFrameColor;
    m_innerFrameColor = DefaultInnerFrameColor;

    QFont labelFont(QStringLiteral("Arial"));
    labelFont.setPixelSize(13);
    m_labelFont = labelFont;
    m_titleFont = labelFont;
    m_titleFont.setBold(true);
    m_captionFont = m_titleFont;

    // Only the presence of an icon matters: it indents the title. A window is
    // given its own icon only after creation, so this is normally the shell's
    // icon for the executable file.
    m_hasWindowIcon = !windowIcon().isNull() ||
                      !QFileIconProvider().icon(QFileInfo(QCoreApplication::applicationFilePath())).isNull();

    m_captionFormat = Qt::AlignHCenter | Qt::AlignVCenter;
    m_captionBrush = 0xFFFFFFFF;

    m_leaveTracking = false;
    m_hoverIndex = -1;
    m_pressedIndex = -1;
    m_controls.clear();
    m_nextModuleLeft = 7;

    // Placeholder positions: every composition lays them out from the right edge.
    AddControl(TSkinControl::CaptionButton, 300, 5, 30, 19, MenuButtonId);
    AddControl(TSkinControl::CaptionButton, 300, 5, 30, 19, MinimiseButtonId);
    AddControl(TSkinControl::CaptionButton, 400, 5, 39, 19, CloseButtonId);
    m_captionButtonCount = controlCount();
}

TSkinForm::~TSkinForm() {
    // Before the surfaces go: a key target losing focus redraws its control.
    for (TSkinKeyTarget* target : std::exchange(m_keyTargets, {}))
        delete target;
    m_focusIndex = -1;
}

void TSkinForm::setLabelFont(const QFont& labelFont) {
    m_labelFont = labelFont;
    m_titleFont = labelFont;
    m_titleFont.setBold(true);
    m_captionFont = m_titleFont;
    RefreshSkin();
}

// ---------------------------------------------------------------------------
// Control list

int TSkinForm::AddControl(uint8_t kind, int left, int top, int width, int height, int id) {
    m_controls.emplace_back();
    const int index = controlCount() - 1;
    TSkinControl& c = m_controls.back();
    c.Kind = kind;
    c.Id = id;
    c.HasPicture = false;
    c.Hovered = false;
    c.Pressed = false;
    c.Selected = false;
    SetControlBounds(index, left, top, width, height);

    auto* target = new TSkinKeyTarget(this, index);
    m_keyTargets.push_back(target);
    target->show();
    // Tab visits the module bar first, then the caption buttons, each row
    // from the left; the window's own controls follow.
    std::vector<QWidget*> order;
    for (int kindInOrder : {TSkinControl::ModuleButton, TSkinControl::CaptionButton}) {
        for (int i = 0; i < controlCount(); ++i) {
            if (m_controls[static_cast<size_t>(i)].Kind == kindInOrder)
                order.push_back(m_keyTargets[static_cast<size_t>(i)]);
        }
    }
    for (size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    return index;
}

void TSkinForm::SetControlBounds(int index, int left, int top, int width, int height) {
    if (index < 0 || index >= controlCount())
        return;
    TSkinControl& c = m_controls[static_cast<size_t>(index)];
    c.Left = left;
    c.Top = top;
    if (width >= 0)
        c.Width = width;
    if (height >= 0)
        c.Height = height;
    c.Bounds = {c.Left, c.Top, c.Left + c.Width, c.Top + c.Height};
}

int TSkinForm::FindCaptionButton(int id) const {
    const int n = std::min(m_captionButtonCount, controlCount());
    for (int i = 0; i < n; ++i) {
        if (m_controls[static_cast<size_t>(i)].Id == id)
            return i;
    }
    return -1;
}

int TSkinForm::HitTest(int x, int y) const {
    for (int i = 0; i < controlCount(); ++i) {
        if (m_controls[static_cast<size_t>(i)].Bounds.contains(x, y))
            return i;
    }
    return -1;
}

void TSkinForm::SetHoverIndex(int index) {
    if (index == m_hoverIndex)
        return;
    const int previous = m_hoverIndex;
    m_hoverIndex = index;
    if (previous >= 0 && previous < controlCount()) {
        m_controls[static_cast<size_t>(previous)].Hovered = false;
        RedrawControl(previous);
    }
    if (index >= 0 && index < controlCount()) {
        m_controls[static_cast<size_t>(index)].Hovered = true;
        RedrawControl(index);
    }
}

void TSkinForm::SetPressedIndex(int index) {
    if (index == m_pressedIndex)
        return;
    const int previous = m_pressedIndex;
    m_pressedIndex = index;
    if (previous >= 0 && previous < controlCount()) {
        m_controls[static_cast<size_t>(previous)].Pressed = false;
        RedrawControl(previous);
    }
    if (index >= 0 && index < controlCount()) {
        m_controls[static_cast<size_t>(index)].Pressed = true;
        RedrawControl(index);
    }
}

void TSkinForm::SetFocusIndex(int index) {
    if (index == m_focusIndex)
        return;
    const int previous = m_focusIndex;
    m_focusIndex = index;
    if (previous >= 0 && previous < controlCount()) {
        m_controls[static_cast<size_t>(previous)].Focused = false;
        RedrawControl(previous);
    }
    if (index >= 0 && index < controlCount()) {
        m_controls[static_cast<size_t>(index)].Focused = true;
        RedrawControl(index);
    }
}

TSkinKeyTarget* TSkinForm::keyTarget(int index) const {
    if (index < 0 || index >= static_cast<int>(m_keyTargets.size()))
        return nullptr;
    return m_keyTargets[static_cast<size_t>(index)];
}

void TSkinForm::ActivateControl(int index) {
    if (index < 0 || index >= controlCount())
        return;
    QCoreApplication::postEvent(this, new SkinMessage(SkinMessage::ControlClickMessage,
                                                      m_controls[static_cast<size_t>(index)].Id, index));
}

QString TSkinForm::controlName(int index) const {
    if (index < 0 || index >= controlCount())
        return {};
    const TSkinControl& c = m_controls[static_cast<size_t>(index)];
    if (c.Kind == TSkinControl::ModuleButton)
        return c.CaptionLength > 0 ? c.CaptionW : QStringLiteral("Module %1").arg(c.Id);
    switch ((c.Id == MaximiseButtonId && isMaximized()) ? RestoreButtonId : c.Id) {
    case MenuButtonId:
        return QStringLiteral("Menu");
    case MinimiseButtonId:
        return QStringLiteral("Minimise");
    case MaximiseButtonId:
        return QStringLiteral("Maximise");
    case RestoreButtonId:
        return QStringLiteral("Restore");
    case CloseButtonId:
        return QStringLiteral("Close");
    default:
        return {};
    }
}

QString TSkinForm::controlDescription(int index) const {
    if (index < 0 || index >= controlCount())
        return {};
    const TSkinControl& c = m_controls[static_cast<size_t>(index)];
    if (c.Kind == TSkinControl::ModuleButton)
        return QStringLiteral("Shows the %1 page").arg(controlName(index));
    switch ((c.Id == MaximiseButtonId && isMaximized()) ? RestoreButtonId : c.Id) {
    case MenuButtonId:
        return QStringLiteral("Window menu");
    case MinimiseButtonId:
        return QStringLiteral("Minimises the window");
    case MaximiseButtonId:
        return QStringLiteral("Maximises the window");
    case RestoreButtonId:
        return QStringLiteral("Restores the window");
    case CloseButtonId:
        return QStringLiteral("Closes the window");
    default:
        return {};
    }
}

// ---------------------------------------------------------------------------
// Key targets

TSkinKeyTarget::TSkinKeyTarget(TSkinForm* form, int index) : QWidget(form), m_form(form), m_index(index) {
    // Empty and transparent for the mouse: the skin keeps drawing and
    // hit-testing the control itself.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::TabFocus);
    const TSkinControl& c = form->control(index);
    setGeometry(c.Left, c.Top, 0, 0);
    setObjectName(QStringLiteral("skinControl%1").arg(index));
}

void TSkinKeyTarget::focusInEvent(QFocusEvent* e) {
    QWidget::focusInEvent(e);
    m_form->SetFocusIndex(m_index);
}

void TSkinKeyTarget::focusOutEvent(QFocusEvent* e) {
    QWidget::focusOutEvent(e);
    if (m_spaceDown) {
        m_spaceDown = false;
        if (m_form->pressedIndex() == m_index)
            m_form->SetPressedIndex(-1);
    }
    if (m_form->focusIndex() == m_index)
        m_form->SetFocusIndex(-1);
}

void TSkinKeyTarget::keyPressEvent(QKeyEvent* e) {
    switch (e->key()) {
    case Qt::Key_Space:
        // Like a button: pressed while the key is down, clicked on its release.
        if (!e->isAutoRepeat()) {
            m_spaceDown = true;
            m_form->SetPressedIndex(m_index);
        }
        e->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!e->isAutoRepeat())
            m_form->ActivateControl(m_index);
        e->accept();
        return;
    default:
        QWidget::keyPressEvent(e);
    }
}

void TSkinKeyTarget::keyReleaseEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Space && !e->isAutoRepeat()) {
        e->accept();
        if (!m_spaceDown)
            return;
        m_spaceDown = false;
        m_form->SetPressedIndex(-1);
        m_form->ActivateControl(m_index);
        return;
    }
    QWidget::keyReleaseEvent(e);
}

// ---------------------------------------------------------------------------
// Pictures and modules

QImage TSkinForm::loadPicture(const QString& name, const QString& type) {
    const QString path = resources::findResource(type, name);
    if (path.isEmpty())
        return {};
    QImage picture;
    if (!picture.load(path))
        return {};
    // Premultiplied pixels blend without a conversion at every draw.
    return picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

void TSkinForm::SetBackground(const QString& name, const QString& type, int x, int y, int w, int h) {
    m_stretch = QRect(x, y, w, h);
    if (m_hasBackPicture) {
        m_backPicture = QImage();
        m_hasBackPicture = false;
    }
    QImage picture = loadPicture(name, type);
    if (!picture.isNull()) {
        m_backPicture = std::move(picture);
        m_hasBackPicture = true;
    }
    RefreshSkin();
}

void TSkinForm::AddModule(int id, const QString& caption, const QString& pictureName,
                          const QString& pictureType) {
    const int index = AddControl(TSkinControl::ModuleButton, m_nextModuleLeft, 44, 72, 76, id);
    TSkinControl& c = m_controls[static_cast<size_t>(index)];
    m_nextModuleLeft += c.Width + 5;

    c.Caption = caption.toUtf8();
    if (!caption.isEmpty()) {
        c.CaptionW = caption;
        c.CaptionLength = static_cast<int32_t>(caption.size());
    } else {
        c.CaptionW.clear();
        c.CaptionLength = 0;
    }

    if (c.HasPicture) {
        c.Picture = QImage();
        c.HasPicture = false;
    }
    QImage picture = loadPicture(pictureName, pictureType);
    if (!picture.isNull()) {
        c.Picture = std::move(picture);
        c.HasPicture = true;
    }
}

void TSkinForm::SelectModule(int id) {
    for (int i = 0; i < controlCount(); ++i) {
        TSkinControl& c = m_controls[static_cast<size_t>(i)];
        if (c.Kind != TSkinControl::ModuleButton)
            continue;
        if (c.Id == id) {
            c.Selected = true;
            RedrawControl(i);
        } else if (c.Selected) {
            c.Selected = false;
            RedrawControl(i);
        }
    }
}

void TSkinForm::RefreshSkin() {
    if (!isVisible() || isMinimized())
        return;
    DropSurfaces();
    BuildSurfaces();
    update();
}

// ---------------------------------------------------------------------------
// Surfaces

void TSkinForm::DropSurfaces() {
    if (m_composed.isNull())
        return;
    m_composed = QImage();
    m_background = QImage();
}

void TSkinForm::BuildSurfaces() {
    m_maximised = isMaximized();
    m_surfaceWidth = width();
    m_surfaceHeight = height();
    if (m_surfaceWidth <= 0 || m_surfaceHeight <= 0) {
        m_composed = QImage();
        m_background = QImage();
        return;
    }
    m_background = QImage(m_surfaceWidth, m_surfaceHeight, QImage::Format_ARGB32_Premultiplied);
    m_composed = QImage(m_surfaceWidth, m_surfaceHeight, QImage::Format_ARGB32_Premultiplied);

    PaintBackgroundLayer();
    ComposeControls();

    setMask(m_maximised ? QRegion(0, 0, m_surfaceWidth, m_surfaceHeight)
                        : RoundedWindowShape(m_surfaceWidth, m_surfaceHeight));
}

void TSkinForm::PaintSurface(QPainter& target, const QRect& area) {
    if (m_composed.isNull())
        BuildSurfaces();
    if (m_composed.isNull())
        return;
    const QRect r = area.intersected(m_composed.rect());
    target.drawImage(r.topLeft(), m_composed, r);
}

void TSkinForm::RedrawControl(int index) {
    if (index < 0 || index >= controlCount() || m_composed.isNull())
        return;
    const TSkinControl& c = m_controls[static_cast<size_t>(index)];
    const QRect r(c.Left, c.Top, c.Width, c.Height);
    {
        QPainter p(&m_composed);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(r.topLeft(), m_background, r);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        // Only the rectangle was restored: the anti-aliased outline's outer
        // half-pixel must not be drawn again beside it at every redraw, where
        // it would darken with each hover.
        p.setClipRect(r);
        // Qt offers no bicubic filter: bilinear stands in.
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        drawControl(p, c);
    }
    update(r);
}

QRegion TSkinForm::RoundedWindowShape(int width, int height) {
    // A 4 x 4 ellipse in each corner: a row keeps the pixels whose centres lie
    // inside it, which cuts the one outermost pixel of each corner.
    constexpr double radius = 2.0;
    QRegion shape(0, 0, width, height);
    if (width < 4 || height < 4)
        return shape;
    for (int row = 0; row < 2; ++row) {
        const double dy = radius - (row + 0.5);
        const double half = std::sqrt(std::max(0.0, radius * radius - dy * dy));
        int cut = 0;
        while (cut < 2 && (cut + 0.5) < radius - half)
            ++cut;
        if (cut == 0)
            continue;
        shape -= QRegion(0, row, cut, 1);
        shape -= QRegion(width - cut, row, cut, 1);
        shape -= QRegion(0, height - 1 - row, cut, 1);
        shape -= QRegion(width - cut, height - 1 - row, cut, 1);
    }
    return shape;
}

// ---------------------------------------------------------------------------
// Window behaviour

bool TSkinForm::event(QEvent* e) {
    switch (static_cast<int>(e->type())) {
    case SkinMessage::ControlClickMessage: {
        const auto* m = static_cast<SkinMessage*>(e);
        controlClick(static_cast<int>(m->wParam()), static_cast<int>(m->lParam()));
        return true;
    }
    case WindowCommandMessage:
        windowCommand(static_cast<int>(static_cast<SkinMessage*>(e)->wParam()));
        return true;
    case QEvent::ChildAdded: {
        // Qt tells a parent nothing when the pointer moves from its own
        // surface into a child; the child's enter event stands in for that.
        // A child moved elsewhere keeps the filter, which then ignores it.
        QObject* child = static_cast<QChildEvent*>(e)->child();
        if (child->isWidgetType())
            child->installEventFilter(this);
        return QWidget::event(e);
    }
    default:
        return QWidget::event(e);
    }
}

bool TSkinForm::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::Enter && watched->parent() == this)
        pointerLeft();
    return QWidget::eventFilter(watched, e);
}

void TSkinForm::controlClick(int id, int index) {
    if (index < 0 || index >= controlCount())
        return;
    const TSkinControl& c = m_controls[static_cast<size_t>(index)];
    if (c.Kind != TSkinControl::CaptionButton) {
        QCoreApplication::postEvent(this, new SkinMessage(SkinMessage::ModuleMessage, id, index));
        return;
    }
    if (id == MaximiseButtonId && isMaximized())
        id = RestoreButtonId;
    int command = 0;
    switch (id) {
    case MenuButtonId:
        QCoreApplication::postEvent(this, new SkinMessage(SkinMessage::ModuleMessage, id, index));
        return;
    case CloseButtonId:
        command = CommandClose;
        break;
    case RestoreButtonId:
        command = CommandRestore;
        break;
    case MaximiseButtonId:
        command = CommandMaximise;
        break;
    case MinimiseButtonId:
        command = CommandMinimise;
        break;
    default:
        return;
    }
    QCoreApplication::postEvent(this, new SkinMessage(WindowCommandMessage, command, 0));
}

void TSkinForm::windowCommand(int command) {
    switch (command) {
    case CommandMinimise:
        showMinimized();
        break;
    case CommandMaximise:
        showMaximized();
        break;
    case CommandRestore:
        showNormal();
        break;
    case CommandClose:
        close();
        break;
    default:
        break;
    }
}

void TSkinForm::paintEvent(QPaintEvent* e) {
    QPainter p(this);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    for (const QRect& r : e->region())
        PaintSurface(p, r);
}

void TSkinForm::showEvent(QShowEvent* e) {
    // A window that becomes active with nothing focused would hand the focus
    // to its first skin control, which would show a focus mark unasked. It
    // keeps the focus itself until the keyboard moves it.
    if (!focusWidget())
        setFocus(Qt::OtherFocusReason);
    QWidget::showEvent(e);
}

void TSkinForm::resizeEvent(QResizeEvent* e) {
    DropSurfaces();
    QWidget::resizeEvent(e);
}

void TSkinForm::changeEvent(QEvent* e) {
    if (e->type() == QEvent::WindowStateChange) {
        // Maximised and restored windows differ in outline and shape even at
        // the same size.
        DropSurfaces();
        if (isMaximized()) {
            // The maximised window covers its screen's work area, not the
            // whole screen, where the window system has not seen to that.
            // (Through the native window: QWidget::setGeometry would end the
            // maximised state.)
            QScreen* s = screen();
            if (s && windowHandle() && geometry() != s->availableGeometry())
                windowHandle()->setGeometry(s->availableGeometry());
        }
        update();
    }
    QWidget::changeEvent(e);
}

void TSkinForm::mouseMoveEvent(QMouseEvent* e) {
    QWidget::mouseMoveEvent(e);
    if (m_manualMove && (e->buttons() & Qt::LeftButton)) {
        move(m_moveStartPos + (e->globalPosition().toPoint() - m_moveStartGlobal));
        return;
    }
    m_leaveTracking = true;
    const QPoint pos = e->position().toPoint();
    SetHoverIndex(HitTest(pos.x(), pos.y()));
}

void TSkinForm::mousePressEvent(QMouseEvent* e) {
    QWidget::mousePressEvent(e);
    if (e->button() != Qt::LeftButton)
        return;
    const QPoint pos = e->position().toPoint();
    // A press a child widget did not take reaches us too; only the skin's own
    // surface may start a move.
    if (childAt(pos))
        return;
    const int index = HitTest(pos.x(), pos.y());
    SetPressedIndex(index);
    if (index != -1)
        return;
    QWindow* window = windowHandle();
    if (window && window->startSystemMove())
        return;
    m_manualMove = true;
    m_moveStartGlobal = e->globalPosition().toPoint();
    m_moveStartPos = this->pos();
}

void TSkinForm::mouseReleaseEvent(QMouseEvent* e) {
    QWidget::mouseReleaseEvent(e);
    if (e->button() != Qt::LeftButton)
        return;
    m_manualMove = false;
    const QPoint pos = e->position().toPoint();
    const int index = HitTest(pos.x(), pos.y());
    SetPressedIndex(-1);
    if (index < 0 || index >= controlCount())
        return;
    const int id = m_controls[static_cast<size_t>(index)].Id;
    // The released look and whatever else is queued run before the click.
    QPointer<TSkinForm> self(this);
    QCoreApplication::processEvents();
    if (!self)
        return;
    QCoreApplication::postEvent(this, new SkinMessage(SkinMessage::ControlClickMessage, id, index));
}

void TSkinForm::leaveEvent(QEvent* e) {
    QWidget::leaveEvent(e);
    pointerLeft();
}

void TSkinForm::pointerLeft() {
    m_leaveTracking = false;
    SetPressedIndex(-1);
    SetHoverIndex(-1);
}
