#include "app/ui/ZRApplicationImagePainter.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace
{

// The icon: a rounded tile with an arrow going down into a tray; grey for the part still to come.
void paintTile(QPainter &painter, int size, bool grey)
{
    const QRectF tile(size * 0.06, size * 0.06, size * 0.88, size * 0.88);
    QLinearGradient gradient(tile.topLeft(), tile.bottomLeft());
    if (grey) {
        gradient.setColorAt(0, QColor(0xb8, 0xbc, 0xc2));
        gradient.setColorAt(1, QColor(0x86, 0x8b, 0x93));
    } else {
        gradient.setColorAt(0, QColor(0x3d, 0x9c, 0xf0));
        gradient.setColorAt(1, QColor(0x1a, 0x5f, 0xc4));
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawRoundedRect(tile, size * 0.2, size * 0.2);

    painter.setBrush(Qt::white);
    QPainterPath arrow;
    const double c = size / 2.0;
    arrow.moveTo(c - size * 0.09, size * 0.2);
    arrow.lineTo(c + size * 0.09, size * 0.2);
    arrow.lineTo(c + size * 0.09, size * 0.46);
    arrow.lineTo(c + size * 0.2, size * 0.46);
    arrow.lineTo(c, size * 0.66);
    arrow.lineTo(c - size * 0.2, size * 0.46);
    arrow.lineTo(c - size * 0.09, size * 0.46);
    arrow.closeSubpath();
    painter.drawPath(arrow);
    painter.drawRoundedRect(QRectF(size * 0.24, size * 0.72, size * 0.52, size * 0.07), size * 0.03, size * 0.03);
}

void paintBadge(QPainter &painter, const QString &text, int size, bool top)
{
    if (text.isEmpty())
        return;
    const double height = size * ZRApplicationImage::badgeHeightFraction;
    QFont font = painter.font();
    font.setPixelSize(int(height * 0.72));
    font.setBold(true);
    painter.setFont(font);
    const double width = std::max(height, QFontMetricsF(font).horizontalAdvance(text) + height * 0.6);
    const QRectF pill(size - width, top ? 0 : size - height, width, height);
    // A soft shadow, then the white pill.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 60));
    painter.drawRoundedRect(pill.translated(0, size * 0.015), height / 2, height / 2);
    painter.setBrush(QColor(255, 255, 255, 230));
    painter.drawRoundedRect(pill, height / 2, height / 2);
    painter.setPen(QGuiApplication::palette().color(QPalette::Highlight));
    painter.drawText(pill, Qt::AlignCenter, text);
}

} // namespace

namespace ZRApplicationImagePainter
{

QImage image(const ZRApplicationImage &state, int size)
{
    QImage tile(size, size, QImage::Format_ARGB32_Premultiplied);
    tile.fill(Qt::transparent);
    {
        QPainter painter(&tile);
        painter.setRenderHint(QPainter::Antialiasing);
        paintTile(painter, size, false);
        if (state.hasFraction()) {
            // The grey variant over the upper part: the coloured part grows from the bottom.
            const double coloured = state.colouredHeightFraction();
            painter.setClipRect(QRectF(0, 0, size, size * (1 - coloured)));
            paintTile(painter, size, true);
        }
    }
    QImage result(size, size, QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setOpacity(state.iconOpacity());
    painter.drawImage(0, 0, tile);
    painter.setOpacity(1);
    const QString glyph = state.overlayGlyph();
    if (!glyph.isEmpty()) {
        QFont font = painter.font();
        font.setPixelSize(int(size * 0.5));
        painter.setFont(font);
        painter.setPen(QColor(0, 0, 0, 140));
        painter.drawText(QRectF(0, size * 0.03, size, size), Qt::AlignCenter, glyph);
        painter.setPen(Qt::white);
        painter.drawText(QRectF(0, 0, size, size), Qt::AlignCenter, glyph);
    }
    paintBadge(painter, state.upperBadgeText(), size, true);
    paintBadge(painter, state.lowerBadgeText(), size, false);
    return result;
}

QIcon icon(const ZRApplicationImage &state)
{
    QIcon made;
    for (const int size : {16, 22, 32, 48, 64, 128, 256})
        made.addPixmap(QPixmap::fromImage(image(state, size)));
    return made;
}

QIcon plainIcon()
{
    return icon(ZRApplicationImage());
}

} // namespace ZRApplicationImagePainter
