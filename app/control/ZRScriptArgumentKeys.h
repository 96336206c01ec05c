// The keys of the arguments that scripts and the command line hand to the address intake, and of
// the request files that browsers leave.
#pragma once

#include <QString>

namespace ZRScriptArgumentKey
{

// Target folder, or target file, of the new downloads; "~" allowed.
inline const QString ToPosixPath = QStringLiteral("toPosixPath");
// Request body (ASCII); the request becomes a form POST.
inline const QString ByPostingData = QStringLiteral("byPostingData");
inline const QString WithReferrer = QStringLiteral("withReferrer");
inline const QString PosingAsUserAgent = QStringLiteral("posingAsUserAgent");
inline const QString UsingCookies = QStringLiteral("usingCookies");

// The intake's own dictionary for a deferred call.
inline const QString URLs = QStringLiteral("URLs");
inline const QString Arguments = QStringLiteral("Arguments");

// A browser request file (".qbp"): the address, an optional target file, and request keys.
inline const QString RequestFileSourceURL = QStringLiteral("ZRQBPSourceURL");
inline const QString RequestFileTargetPath = QStringLiteral("ZRQBPTargetPath");

} // namespace ZRScriptArgumentKey
