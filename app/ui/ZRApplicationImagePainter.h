// Draws the application image: the program's icon with its overall progress level (the grey
// variant over the part still to come), the sleep or shut-down mark and the two counters as
// badges. Used for the window and the tray icon.
#pragma once

#include "app/control/ZRApplicationImage.h"

#include <QIcon>
#include <QImage>

namespace ZRApplicationImagePainter
{

// Main thread. A square image of the given size in pixels.
QImage image(const ZRApplicationImage &state, int size);
// The image at the usual icon sizes.
QIcon icon(const ZRApplicationImage &state);
// The plain icon (no progress, mark or counters).
QIcon plainIcon();

} // namespace ZRApplicationImagePainter
