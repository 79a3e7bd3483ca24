#pragma once

#include <QColor>
#include <QImage>

class QPainter;

// The application's mark: an orange plus sign on a black disc (plain form) or on a black rounded
// square (tile form, for application icon artwork). Drawn by code at any size.
namespace quillon::Icon {

// sRGB 0.851, 0.467, 0.341.
QColor orange();

// Draws the mark into the square (0, 0)-(size, size) of the painter, antialiased; the painter's
// state is restored afterwards.
void cross(QPainter& painter, double size, bool tile);

// The mark as a size x size picture with a transparent background (premultiplied ARGB).
QImage cross(int size, bool tile);

} // namespace quillon::Icon
