#include "app/icon.h"

#include <QPainter>
#include <QPainterPath>

namespace quillon::Icon {

QColor orange() {
    static const QColor colour = QColor::fromRgbF(0.851f, 0.467f, 0.341f, 1.0f);
    return colour;
}

void cross(QPainter& painter, double s, bool tile) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);

    painter.setBrush(Qt::black);
    if (tile) {
        const double inset = 100.0 / 1024.0 * s;
        const double radius = 185.0 / 1024.0 * s;
        painter.drawRoundedRect(QRectF(inset, inset, s - 2 * inset, s - 2 * inset), radius, radius);
    } else {
        const double inset = 0.02 * s;
        painter.drawEllipse(QRectF(inset, inset, s - 2 * inset, s - 2 * inset));
    }

    // The plus sign is symmetric about the centre, so a top-left origin draws it exactly as a
    // bottom-left one would.
    const double length = (tile ? 0.46 : 0.6) * s;
    const double thickness = (tile ? 0.16 : 0.21) * s;
    const double radius = 0.18 * thickness;
    QPainterPath plus;
    plus.setFillRule(Qt::WindingFill);
    plus.addRoundedRect(QRectF((s - length) / 2, (s - thickness) / 2, length, thickness), radius, radius);
    plus.addRoundedRect(QRectF((s - thickness) / 2, (s - length) / 2, thickness, length), radius, radius);
    painter.setBrush(orange());
    painter.drawPath(plus);
    painter.restore();
}

QImage cross(int size, bool tile) {
    if (size <= 0) return {};
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) return {};
    image.fill(Qt::transparent);
    QPainter painter(&image);
    cross(painter, size, tile);
    painter.end();
    return image;
}

} // namespace quillon::Icon
