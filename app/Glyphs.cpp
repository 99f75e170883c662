#include "app/Glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace thg {

namespace {

constexpr int glyphSize = 18;

QPixmap blankGlyph() {
    QPixmap pixmap(glyphSize, glyphSize);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

QPixmap drawCheck(const QColor& colour, const QColor& shadow) {
    QPixmap pixmap = blankGlyph();
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath tick;
    tick.moveTo(2.5, 9.5);
    tick.lineTo(7, 14);
    tick.lineTo(15.5, 3.5);
    if (shadow.isValid()) {
        painter.setPen(QPen(shadow, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(tick.translated(1, 1));
    }
    painter.setPen(QPen(colour, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(tick);
    return pixmap;
}

QPixmap drawDoor(const QColor& frame, const QColor& leaf, const QColor& knob) {
    QPixmap pixmap = blankGlyph();
    QPainter painter(&pixmap);
    // The door frame, the dark opening behind it and the leaf swung open towards the viewer.
    painter.setPen(frame);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(4, 1, 11, 15);
    painter.fillRect(5, 2, 10, 14, frame.darker(160));
    const QPolygon open{QPoint(5, 2), QPoint(11, 4), QPoint(11, 17), QPoint(5, 15)};
    painter.setBrush(leaf);
    painter.drawPolygon(open);
    painter.fillRect(9, 9, 1, 2, knob);
    return pixmap;
}

} // namespace

QIcon checkGlyph() {
    QIcon icon;
    icon.addPixmap(drawCheck(QColor(0, 128, 0), QColor()), QIcon::Normal);
    icon.addPixmap(drawCheck(QColor(128, 128, 128), QColor(255, 255, 255)), QIcon::Disabled);
    return icon;
}

QIcon doorGlyph() {
    QIcon icon;
    icon.addPixmap(drawDoor(QColor(0, 0, 0), QColor(0, 128, 128), QColor(255, 255, 0)), QIcon::Normal);
    icon.addPixmap(drawDoor(QColor(128, 128, 128), QColor(192, 192, 192), QColor(128, 128, 128)),
                   QIcon::Disabled);
    return icon;
}

} // namespace thg
