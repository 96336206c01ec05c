#include "core/text/ZRPageRegex.h"

#include "core/text/ZRTextICU.h"

namespace ZRPageRegex
{

Pattern::Pattern(const QString &pattern, int options)
{
    uint32_t flags = 0;
    if (options & CaseInsensitive)
        flags |= UREGEX_CASE_INSENSITIVE;
    if (options & DotMatchesLineBreaks)
        flags |= UREGEX_DOTALL;
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(ZRTextICU::copy(pattern), flags, parseError, status));
    if (U_FAILURE(status) || !compiled) {
        _error = QStringLiteral("%1 at offset %2")
                     .arg(QString::fromLatin1(u_errorName(status)))
                     .arg(parseError.offset);
        return;
    }
    _pattern = std::move(compiled);
}

Pattern::~Pattern() = default;
Pattern::Pattern(Pattern &&) noexcept = default;
Pattern &Pattern::operator=(Pattern &&) noexcept = default;

int Pattern::groupCount() const
{
    if (!_pattern)
        return 0;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(_pattern->matcher(status));
    return U_SUCCESS(status) && matcher ? matcher->groupCount() : 0;
}

Pattern::Outcome Pattern::enumerateMatches(const QString &subject,
                                           const std::function<bool(const Match &)> &handler,
                                           int timeLimit) const
{
    if (!_pattern)
        return Outcome::Failed;
    const icu::UnicodeString text = ZRTextICU::alias(subject);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(_pattern->matcher(text, status));
    if (U_FAILURE(status) || !matcher)
        return Outcome::Failed;
    if (timeLimit > 0)
        matcher->setTimeLimit(timeLimit, status);
    const int groups = matcher->groupCount();
    while (true) {
        status = U_ZERO_ERROR;
        const bool found = matcher->find(status);
        if (status == U_REGEX_TIME_OUT)
            return Outcome::TimedOut;
        if (U_FAILURE(status))
            return Outcome::Failed;
        if (!found)
            return Outcome::Finished;
        Match match;
        match.start = matcher->start(status);
        match.length = matcher->end(status) - match.start;
        match.whole = subject.mid(match.start, match.length);
        for (int g = 1; g <= groups; ++g) {
            const int32_t start = matcher->start(g, status);
            const int32_t end = matcher->end(g, status);
            match.groups << (start >= 0 && end >= start ? subject.mid(start, end - start) : QString());
        }
        if (U_FAILURE(status))
            return Outcome::Failed;
        if (!handler(match))
            return Outcome::Stopped;
    }
}

QString Pattern::replaceAll(const QString &subject, const QString &replacementTemplate) const
{
    if (!_pattern)
        return subject;
    const icu::UnicodeString text = ZRTextICU::alias(subject);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(_pattern->matcher(text, status));
    if (U_FAILURE(status) || !matcher)
        return subject;
    const icu::UnicodeString result = matcher->replaceAll(ZRTextICU::copy(replacementTemplate), status);
    return U_FAILURE(status) ? subject : ZRTextICU::toQString(result);
}

} // namespace ZRPageRegex
