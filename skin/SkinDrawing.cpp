// What the skin draws on its surfaces: background layer, caption buttons,
// module buttons.

#include "VevevSkin.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>

#include <algorithm>

namespace {

QColor argb(QRgb value) {
    return QColor::fromRgba(value);
}

// Vertical two-colour gradient spanning the rectangle's height.
void fillVerticalGradient(QPainter& p, const QRect& r, QRgb top, QRgb bottom) {
    QLinearGradient g(0, r.top(), 0, r.top() + r.height());
    g.setColorAt(0, argb(top));
    g.setColorAt(1, argb(bottom));
    p.fillRect(r, g);
}

struct GlyphRect {
    qreal x, y, w, h;
};

} // namespace

QPainterPath TSkinForm::RoundRectPath(qreal x, qreal y, qreal w, qreal h, qreal r) {
    // Angles run clockwise on screen; Qt counts them the other way.
    const qreal d = 2 * r;
    QPainterPath path;
    path.arcMoveTo(x, y, d, d, 180);
    path.arcTo(x, y, d, d, 180, -90);
    path.arcTo(x + w - d, y, d, d, 90, -90);
    path.arcTo(x + w - d, y + h - d, d, d, 0, -90);
    path.arcTo(x, y + h - d, d, d, -90, -90);
    path.closeSubpath();
    return path;
}

void TSkinForm::DrawNineGrid(QPainter& painter, const QImage& picture, const QRect& stretch, int width,
                             int height) {
    const int iw = picture.width();
    const int ih = picture.height();
    const int x = stretch.x(), y = stretch.y(), w = stretch.width(), h = stretch.height();
    const int srcCols[4] = {0, x, x + w, iw};
    const int srcRows[4] = {0, y, y + h, ih};
    const int dstCols[4] = {0, x, width - (iw - x - w), width};
    const int dstRows[4] = {0, y, height - (ih - y - h), height};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) {
            const QRect src(srcCols[col], srcRows[row], srcCols[col + 1] - srcCols[col],
                            srcRows[row + 1] - srcRows[row]);
            const QRect dst(dstCols[col], dstRows[row], dstCols[col + 1] - dstCols[col],
                            dstRows[row + 1] - dstRows[row]);
            // A window smaller than the fixed parts leaves a part with no room:
            // it is left out rather than drawn mirrored.
            if (src.width() <= 0 || src.height() <= 0 || dst.width() <= 0 || dst.height() <= 0)
                continue;
            painter.drawImage(dst, picture, src);
        }
    }
}

void TSkinForm::PaintBackgroundLayer() {
    const int W = m_surfaceWidth;
    const int H = m_surfaceHeight;
    QPainter p(&m_background);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(0, 0, W, H, argb(m_backColor));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);

    if (m_hasBackPicture) {
        const int iw = m_backPicture.width();
        const int ih = m_backPicture.height();
        if (iw > 0 && ih > 0) {
            if (iw >= W && ih >= H)
                p.drawImage(QPoint(0, 0), m_backPicture, QRect(iw - W, 0, W, H));
            else if (m_stretch.width() > 0 && m_stretch.height() > 0)
                DrawNineGrid(p, m_backPicture, m_stretch, W, H);
        }
    }

    const QPen outer(argb(m_outerFrameColor), 1);
    const QPen inner(argb(m_innerFrameColor), 1);
    p.setBrush(Qt::NoBrush);
    if (m_maximised) {
        p.setPen(outer);
        p.drawRect(0, 0, W - 1, H - 1);
        p.setPen(inner);
        p.drawRect(1, 1, W - 3, H - 3);
    } else {
        p.setPen(outer);
        p.drawPath(RoundRectPath(0, 0, W - 1, H - 1, 3));
        p.setPen(inner);
        p.drawPath(RoundRectPath(1, 1, W - 3, H - 3, 3));
    }

    const QString title = captionText().left(259);
    if (!title.isEmpty()) {
        const int left = m_hasWindowIcon ? 25 : 5;
        const QRect r(left, 15, W - 100 - left, 31 - 15);
        const int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
        p.setFont(m_titleFont);
        p.setPen(QColor(51, 51, 51));
        p.drawText(r, flags, title);
        p.setPen(Qt::white);
        p.drawText(r.translated(-1, -1), flags, title);
    }
}

void TSkinForm::ComposeControls() {
    QPainter p(&m_composed);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(0, 0, m_background);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setRenderHint(QPainter::SmoothPixmapTransform);

    int x = m_surfaceWidth - 2;
    for (int id : {CloseButtonId, MaximiseButtonId, MinimiseButtonId, MenuButtonId}) {
        const int index = FindCaptionButton(id);
        if (index < 0)
            continue;
        x -= m_controls[static_cast<size_t>(index)].Width;
        SetControlBounds(index, x, 2, -1, -1);
    }

    for (const TSkinControl& c : m_controls)
        drawControl(p, c);
}

void TSkinForm::drawControl(QPainter& painter, const TSkinControl& control) const {
    if (control.Kind == TSkinControl::CaptionButton)
        DrawCaptionButton(painter, control);
    else if (control.Kind == TSkinControl::ModuleButton)
        DrawModuleButton(painter, control);
    if (control.Focused)
        DrawFocusMark(painter, control);
}

void TSkinForm::DrawFocusMark(QPainter& painter, const TSkinControl& control) const {
    const int x = control.Left, y = control.Top, w = control.Width, h = control.Height;
    if (control.Kind != TSkinControl::CaptionButton && control.Kind != TSkinControl::ModuleButton)
        return;
    painter.save();
    painter.setBrush(Qt::NoBrush);
    // A dark line under white dots keeps the mark visible on the light and
    // the dark parts of the background picture alike.
    QPen halo(argb(0x5A000000), 1);
    QPen dots(argb(0xE6FFFFFF), 1, Qt::CustomDashLine);
    dots.setDashPattern({1, 1});
    if (control.Kind == TSkinControl::ModuleButton) {
        // Inside the highlight's inner outline, so selection and focus both show.
        painter.setRenderHint(QPainter::Antialiasing, true);
        const QPainterPath mark = RoundRectPath(x + 4.5, y + 4.5, w - 11, h - 11, 4);
        painter.strokePath(mark, halo);
        painter.strokePath(mark, dots);
    } else {
        painter.setRenderHint(QPainter::Antialiasing, false);
        const QRect mark(x + 2, y + 2, w - 6, h - 5);
        painter.setPen(halo);
        painter.drawRect(mark);
        painter.setPen(dots);
        painter.drawRect(mark);
    }
    painter.restore();
}

void TSkinForm::DrawCaptionButton(QPainter& painter, const TSkinControl& control) const {
    const int x = control.Left, y = control.Top, w = control.Width, h = control.Height;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);

    const int id = (control.Id == MaximiseButtonId && m_maximised) ? RestoreButtonId : control.Id;

    if (control.Pressed || control.Hovered) {
        QRgb colour1, colour2;
        int highlightWidth;
        if (id == CloseButtonId) {
            colour1 = control.Pressed ? 0xB4800000 : 0xB4FF0000;
            colour2 = 0x00000000;
            highlightWidth = w - 1;
        } else if (control.Pressed) {
            colour1 = 0x5A000000;
            colour2 = 0x00000000;
            highlightWidth = w - 3;
        } else {
            colour1 = 0x3CFFFFFF;
            colour2 = 0x00FFFFFF;
            highlightWidth = w - 3;
        }
        // The two fills overlap: the inner columns get the gradient twice.
        fillVerticalGradient(painter, QRect(x + 1, y, highlightWidth, h), colour1, colour2);
        fillVerticalGradient(painter, QRect(x, y, highlightWidth, h), colour1, colour2);
    }

    const int gx = static_cast<int>((w - 11) / 2.0 + x - 1);
    const int gy = static_cast<int>((h - 9) / 2.0 + y - 1);
    std::vector<GlyphRect> rects;
    qreal ox = gx, oy = gy;
    switch (id) {
    case MenuButtonId:
        rects = {{0, 0, 11, 2}, {0, 8, 11, 1}, {0, 0, 1, 9}, {10, 0, 1, 9},
                 {5, 6, 1, 1},  {4, 5, 3, 1},  {3, 4, 5, 1}};
        break;
    case MinimiseButtonId:
        rects = {{0, 7, 11, 2}};
        break;
    case CloseButtonId:
        for (int i = 0; i <= 8; ++i) {
            rects.push_back({qreal(i), qreal(i), 3, 1});
            rects.push_back({qreal(8 - i), qreal(i), 3, 1});
        }
        break;
    case MaximiseButtonId:
        rects = {{0, 1, 11, 2}, {0, 8, 11, 1}, {0, 1, 1, 8}, {10, 1, 1, 8}};
        break;
    case RestoreButtonId:
        ox = (w - 11) / 2.0 + x - 1;
        oy = (h - 9) / 2.0 + y - 1;
        rects = {{1, 1, 10, 1},  {1, 1, 1, 2},  {10, 1, 1, 6}, {8, 7, 3, 1},
                 {-1, 3, 10, 2}, {-1, 3, 1, 6}, {8, 3, 1, 6},  {-1, 8, 10, 1}};
        break;
    default:
        break;
    }

    if (!rects.empty()) {
        QPainterPath glyph;
        glyph.setFillRule(Qt::WindingFill);
        for (const GlyphRect& r : rects)
            glyph.addRect(ox + r.x, oy + r.y, r.w, r.h);
        glyph.closeSubpath();

        // A soft dark halo: the outline widened by the pen, drawn, widened again, drawn.
        const QPen halo(argb(0x32000000), 1);
        QPainterPathStroker stroker(halo);
        stroker.setCurveThreshold(0.25);
        const QPainterPath once = stroker.createStroke(glyph);
        painter.strokePath(once, halo);
        const QPainterPath twice = stroker.createStroke(once);
        painter.strokePath(twice, halo);
        painter.fillPath(glyph, Qt::white);
    }

    if (id != CloseButtonId) {
        fillVerticalGradient(painter, QRect(x + w - 1, y, 1, h), 0x78FFFFFF, 0x00FFFFFF);
        fillVerticalGradient(painter, QRect(x + w - 2, y, 1, h), 0x5A000000, 0x00000000);
    }
    painter.restore();
}

void TSkinForm::DrawModuleButton(QPainter& painter, const TSkinControl& control) const {
    const int x = control.Left, y = control.Top, w = control.Width, h = control.Height;

    if (control.Selected || control.Pressed || control.Hovered) {
        const bool strong = control.Selected || control.Pressed;
        const QPen outerPen(argb(strong ? 0x14000000 : 0x0F000000), 1);
        const QPen middlePen(argb(strong ? 0x3C000000 : 0x28000000), 1);
        const QPen innerPen(argb(strong ? 0x3CFFFFFF : 0x5AFFFFFF), 1);
        const QColor innerFill = argb(strong ? 0x28FFFFFF : 0x32FFFFFF);

        const bool wasAntialiased = painter.testRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.strokePath(RoundRectPath(x, y, w - 2, h - 2, 5), outerPen);
        painter.strokePath(RoundRectPath(x + 1, y + 1, w - 4, h - 4, 5), middlePen);
        const QPainterPath inner = RoundRectPath(x + 2, y + 2, w - 6, h - 6, 5);
        painter.fillPath(inner, innerFill);
        painter.strokePath(inner, innerPen);
        painter.setRenderHint(QPainter::Antialiasing, wasAntialiased);
    }

    if (control.HasPicture) {
        const int iw = control.Picture.width();
        const int ih = control.Picture.height();
        if (iw > 0 && ih > 0) {
            const qreal dw = std::min(iw, 48);
            const qreal dh = std::min(ih, 48);
            const QRectF target(x + (w - dw) / 2, y + (h - dh - 20) / 2, dw, dh);
            painter.drawImage(target, control.Picture, QRectF(0, 0, iw, ih));
        }
    }

    if (control.CaptionLength > 0) {
        const QRectF r(x + 1, y + h - 24, w - 1, 18);
        painter.save();
        painter.setFont(m_captionFont);
        painter.setPen(argb(0x3C000000));
        painter.drawText(r, m_captionFormat, control.CaptionW);
        painter.setPen(argb(m_captionBrush));
        painter.drawText(r.translated(-1, -1), m_captionFormat, control.CaptionW);
        painter.restore();
    }
}
