// Where the chat side's own top-level windows open: wholly within the screen's available area.
#pragma once

#include <QRect>

class QWidget;

namespace chat {

// The frame (the window with its decoration) moved, and cut to the area where it is larger, so that it
// lies wholly within the area.
QRect FitWithin(const QRect& frame, const QRect& area);
// Places a top-level window that has no place of its own yet in the middle of the available area of its
// screen, within that area; the size is cut to the area where the window would not fit.
void PlaceWithinScreen(QWidget* window);

}  // namespace chat
