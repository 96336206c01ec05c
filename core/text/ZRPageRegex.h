// Private to core/text. Regular expressions (ICU) for the download-page rules and their text formats:
// compiled once per use, searched under a time limit so that a pattern written by the user cannot hang the
// program on a page written by a stranger.
#pragma once

#include <QString>
#include <QStringList>

#include <unicode/regex.h>

#include <functional>
#include <memory>

namespace ZRPageRegex
{

// Thread-safe, all of them.

enum Option { CaseInsensitive = 1, DotMatchesLineBreaks = 2 };

class Pattern
{
public:
    // Compiles; isValid() tells whether it did (error() says why not).
    Pattern(const QString &pattern, int options);
    ~Pattern();
    Pattern(Pattern &&) noexcept;
    Pattern &operator=(Pattern &&) noexcept;
    bool isValid() const { return _pattern != nullptr; }
    QString error() const { return _error; }
    int groupCount() const;

    struct Match {
        qsizetype start = 0;
        qsizetype length = 0;
        QString whole;
        QStringList groups; // group 1..n; empty strings for groups that took part in nothing
    };
    enum class Outcome { Finished, Stopped, TimedOut, Failed };
    // Each match in order until the handler returns false. timeLimit: the engine's steps per match
    // (roughly milliseconds), 0 for none.
    Outcome enumerateMatches(const QString &subject, const std::function<bool(const Match &)> &handler,
                             int timeLimit = 0) const;
    // Every match replaced by the "$1"-style template; the subject unchanged when it cannot be done.
    QString replaceAll(const QString &subject, const QString &replacementTemplate) const;

private:
    std::unique_ptr<icu::RegexPattern> _pattern;
    QString _error;
};

} // namespace ZRPageRegex
