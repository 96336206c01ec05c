// The natural string order, on an ICU collator with numeric collation at secondary strength.
#include "core/text/ZRNaturalOrder.h"

#include "core/text/ZRTextICU.h"

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <memory>
#include <mutex>
#include <string_view>

namespace
{

// The C/POSIX locale collates in code-point order (capitals before small letters); names sort as
// people read them, so that locale falls back to the root collation.
icu::Locale collationLocale()
{
    const icu::Locale &locale = icu::Locale::getDefault();
    const std::string_view language = locale.getLanguage();
    if (language.empty() || language == "c" || std::string_view(locale.getVariant()) == "POSIX")
        return icu::Locale::getRoot();
    return locale;
}

std::unique_ptr<icu::Collator> makeMasterCollator()
{
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(collationLocale(), status));
    if (U_FAILURE(status) || !collator) {
        status = U_ZERO_ERROR;
        collator.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status))
            return nullptr;
    }
    status = U_ZERO_ERROR;
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    collator->setStrength(icu::Collator::SECONDARY);
    return collator;
}

// ICU collators must not be shared between threads: every thread compares with its own clone.
const icu::Collator *threadCollator()
{
    static std::once_flag once;
    static std::unique_ptr<icu::Collator> master;
    std::call_once(once, [] { master = makeMasterCollator(); });
    if (!master)
        return nullptr;
    thread_local std::unique_ptr<icu::Collator> local(master->clone());
    return local.get();
}

} // namespace

int ZRNaturalCompare(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return a.isEmpty() == b.isEmpty() ? 0 : (a.isEmpty() ? 1 : -1);
    const icu::Collator *collator = threadCollator();
    if (!collator)
        return QString::compare(a, b, Qt::CaseInsensitive);
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult result = collator->compare(ZRTextICU::units(a), ZRTextICU::length(a),
                                                      ZRTextICU::units(b), ZRTextICU::length(b), status);
    if (U_FAILURE(status))
        return QString::compare(a, b, Qt::CaseInsensitive);
    return result;
}
