// Where a target path that came from a file or another program (a browser request file, a bundle's
// metadata) may point: never at the user's settings, keys, autostart entries or system folders.
#pragma once

#include <QString>

namespace ZRExtensions
{

// Thread-safe.

// Whether such a target may be written. Refused, with the reason when asked: a relative path or one
// with ".." left after normalising; any component starting with "." below the home folder; the
// configuration folders ($XDG_CONFIG_HOME, ~/.config), ~/.ssh, ~/.gnupg, the keyring folders, the
// autostart folders of $XDG_CONFIG_HOME and $XDG_CONFIG_DIRS, and anything in them; anything in a
// system folder of the taboo list except below the temporary folders; and a path whose existing
// part leads through a symbolic link into one of those, or through a link that leads nowhere.
bool isSafeTargetPathFromOutside(const QString &path, QString *reason = nullptr);

} // namespace ZRExtensions
