#include "app/control/ZRApplicationImage.h"

#include "app/control/ZRPreferenceKeys.h"
#include "core/foundation/ZRUserDefaults.h"

#include <algorithm>
#include <cmath>

double ZRApplicationImage::colouredHeightFraction() const
{
    if (!hasFraction())
        return 1;
    return 0.25 + 0.5 * std::min(1.0, _fraction);
}

QString ZRApplicationImage::overlayGlyph() const
{
    switch (_overlay) {
    case OverlaySleep:
        return QStringLiteral("\u2615");
    case OverlayShutDown:
        return QStringLiteral("\u233D");
    case OverlayNone:
        break;
    }
    return QString();
}

QString ZRApplicationImage::upperBadgeText() const
{
    return _upperBadgeCount > 0 ? QString::number(_upperBadgeCount) : QString();
}

QString ZRApplicationImage::lowerBadgeText() const
{
    return _lowerBadgeCount > 0 ? QString::number(_lowerBadgeCount) : QString();
}

bool ZRApplicationImage::updateWithTopCount(qint64 topCount, qint64 bottomCount, int overlay, double fraction,
                                            bool force)
{
    return updateWithTopCount(topCount, bottomCount, overlay, fraction, force,
                              ZRUserDefaults::standardUserDefaults().boolForKey(ZRPreferenceKey::SwapDockCounters));
}

bool ZRApplicationImage::updateWithTopCount(qint64 topCount, qint64 bottomCount, int overlay, double fraction,
                                            bool force, bool swap)
{
    const qint64 upper = swap ? bottomCount : topCount;
    const qint64 lower = swap ? topCount : bottomCount;
    const double newFraction = fraction < 0 ? -1 : std::min(1.0, fraction);
    // Compared with what was drawn, not with what was last asked for, so that slow progress still
    // moves the level once it has added up to more than a step.
    if (_hasBeenDrawn && !force && upper == _upperBadgeCount && lower == _lowerBadgeCount &&
        std::abs(newFraction - _fraction) <= 0.01)
        return false;
    _upperBadgeCount = upper;
    _lowerBadgeCount = lower;
    _overlay = overlay == OverlaySleep ? OverlaySleep : overlay == OverlayShutDown ? OverlayShutDown : OverlayNone;
    _fraction = newFraction;
    _hasBeenDrawn = true;
    return true;
}
