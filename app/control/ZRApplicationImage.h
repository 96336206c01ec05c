// What the application icon shows: two counters, an overall progress level and a sleep or shut-down
// mark. A description only; the window, the tray item and the launcher entry draw it.
#pragma once

#include <QString>

// Main thread.
class ZRApplicationImage
{
public:
    enum Overlay { OverlayNone = 0, OverlaySleep = 1, OverlayShutDown = 2 };

    // The counters as badges: a badge shows only for a count above 0.
    qint64 upperBadgeCount() const { return _upperBadgeCount; }
    qint64 lowerBadgeCount() const { return _lowerBadgeCount; }
    Overlay overlay() const { return _overlay; }
    // The overall progress, 0...1, or -1 for none (the plain icon).
    double fraction() const { return _fraction; }
    bool hasFraction() const { return _fraction >= 0; }

    // The share of the icon's height, from the bottom, that keeps its colour; the grey variant
    // covers the rest. 1 without a fraction; 0.25 at 0 %, 0.75 at 100 %.
    double colouredHeightFraction() const;
    // With an overlay the icon is drawn at half opacity under the glyph.
    double iconOpacity() const { return _overlay == OverlayNone ? 1.0 : 0.5; }
    // U+2615 for sleep, U+233D for shut down, empty for none.
    QString overlayGlyph() const;
    // The decimal count, empty when no badge shows.
    QString upperBadgeText() const;
    QString lowerBadgeText() const;
    // A badge is this share of the icon's height, at the icon's right edge.
    static constexpr double badgeHeightFraction = 1 / 2.7;

    // Takes the new state unless nothing visible would change: the same badges, no force and a
    // fraction within 0.01 of the drawn one. With swap (the user default "Swap Dock Counters") the
    // upper badge shows the bottom count. Returns whether the image must be drawn again.
    bool updateWithTopCount(qint64 topCount, qint64 bottomCount, int overlay, double fraction, bool force);
    bool updateWithTopCount(qint64 topCount, qint64 bottomCount, int overlay, double fraction, bool force,
                            bool swap);

    // Back to the plain icon with nothing drawn yet.
    void reset() { *this = ZRApplicationImage(); }

private:
    qint64 _upperBadgeCount = 0;
    qint64 _lowerBadgeCount = 0;
    Overlay _overlay = OverlayNone;
    double _fraction = -1;
    bool _hasBeenDrawn = false;
};
