// Parsing of HTTP dates without locale or ICU: the names are always English.
#include "core/http/ZRHTTPDate.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace {

class Scanner {
public:
    explicit Scanner(std::string_view text) : _text(text) {}

    bool atEnd() const { return _position >= _text.size(); }
    void skipBlanks()
    {
        while (!atEnd() && (_text[_position] == ' ' || _text[_position] == '\t'))
            ++_position;
    }
    bool literal(char c)
    {
        if (atEnd() || _text[_position] != c)
            return false;
        ++_position;
        return true;
    }
    std::optional<int> digits(std::size_t minimum, std::size_t maximum)
    {
        std::size_t count = 0;
        int value = 0;
        while (!atEnd() && count < maximum && std::isdigit(static_cast<unsigned char>(_text[_position]))) {
            value = value * 10 + (_text[_position] - '0');
            ++_position;
            ++count;
        }
        if (count < minimum)
            return std::nullopt;
        return value;
    }
    std::string letters()
    {
        std::string word;
        while (!atEnd() && std::isalpha(static_cast<unsigned char>(_text[_position])))
            word.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(_text[_position++]))));
        return word;
    }
    std::string_view rest() const { return _text.substr(std::min(_position, _text.size())); }

private:
    std::string_view _text;
    std::size_t _position = 0;
};

std::optional<int> monthFromName(const std::string &name)
{
    static const std::array<const char *, 12> months = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    static const std::array<const char *, 12> fullMonths = {"january", "february", "march", "april", "may", "june",
        "july", "august", "september", "october", "november", "december"};
    for (std::size_t index = 0; index < months.size(); ++index) {
        if (name == months[index] || name == fullMonths[index])
            return static_cast<int>(index) + 1;
    }
    return std::nullopt;
}

bool isWeekdayName(const std::string &name)
{
    static const std::array<const char *, 7> days = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
    static const std::array<const char *, 7> fullDays = {
        "sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};
    return std::find_if(days.begin(), days.end(), [&](const char *day) { return name == day; }) != days.end()
        || std::find_if(fullDays.begin(), fullDays.end(), [&](const char *day) { return name == day; })
        != fullDays.end();
}

// "+0100", "-05:00", "+1": an offset east of UTC in seconds.
std::optional<int> numericOffset(Scanner &scanner)
{
    int sign = 1;
    if (scanner.literal('-'))
        sign = -1;
    else if (!scanner.literal('+'))
        return std::nullopt;
    const std::string_view rest = scanner.rest();
    auto hours = scanner.digits(1, 2);
    if (!hours)
        return std::nullopt;
    int minutes = 0;
    if (scanner.literal(':')) {
        auto value = scanner.digits(2, 2);
        if (!value)
            return std::nullopt;
        minutes = *value;
    } else if (rest.size() >= 4 && std::all_of(rest.begin(), rest.begin() + 4, [](char c) {
                   return std::isdigit(static_cast<unsigned char>(c));
               })) {
        // Four digits were meant as hhmm.
        auto value = scanner.digits(2, 2);
        if (!value)
            return std::nullopt;
        minutes = *value;
    }
    if (*hours > 23 || minutes > 59)
        return std::nullopt;
    return sign * (*hours * 3600 + minutes * 60);
}

std::optional<int> zoneOffset(Scanner &scanner)
{
    if (auto offset = numericOffset(scanner))
        return offset;
    const std::string name = scanner.letters();
    static const std::array<std::pair<const char *, int>, 12> zones = {{{"gmt", 0}, {"ut", 0}, {"utc", 0},
        {"z", 0}, {"est", -5}, {"edt", -4}, {"cst", -6}, {"cdt", -5}, {"mst", -7}, {"mdt", -6}, {"pst", -8},
        {"pdt", -7}}};
    for (const auto &[zone, hours] : zones) {
        if (name == zone) {
            int offset = hours * 3600;
            if (zone == std::string_view("gmt") || zone == std::string_view("utc")) {
                if (auto extra = numericOffset(scanner))
                    offset = *extra;
            }
            return offset;
        }
    }
    return std::nullopt;
}

} // namespace

namespace ZRHTTPDate {

std::optional<std::chrono::system_clock::time_point> dateFromRFC1123String(std::string_view text)
{
    const bool withWeekday = text.find(',') != std::string_view::npos;
    const bool withSeconds = std::count(text.begin(), text.end(), ':') == 2;

    Scanner scanner(text);
    scanner.skipBlanks();
    if (withWeekday) {
        if (!isWeekdayName(scanner.letters()) || !scanner.literal(','))
            return std::nullopt;
        scanner.skipBlanks();
    }
    auto day = scanner.digits(1, 2);
    scanner.skipBlanks();
    auto month = monthFromName(scanner.letters());
    scanner.skipBlanks();
    auto year = scanner.digits(4, 4);
    scanner.skipBlanks();
    auto hour = scanner.digits(1, 2);
    if (!day || !month || !year || !hour || !scanner.literal(':'))
        return std::nullopt;
    auto minute = scanner.digits(2, 2);
    std::optional<int> second = 0;
    if (withSeconds) {
        if (!scanner.literal(':'))
            return std::nullopt;
        second = scanner.digits(2, 2);
    }
    scanner.skipBlanks();
    auto offset = zoneOffset(scanner);
    scanner.skipBlanks();
    if (!minute || !second || !offset || !scanner.atEnd())
        return std::nullopt;
    if (*hour > 23 || *minute > 59 || *second > 60)
        return std::nullopt;

    using namespace std::chrono;
    const year_month_day date{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
        std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok())
        return std::nullopt;
    const auto time = sys_days(date) + hours(*hour) + minutes(*minute) + seconds(*second) - seconds(*offset);
    return time_point_cast<system_clock::duration>(time);
}

} // namespace ZRHTTPDate
