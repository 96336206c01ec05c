#include "app/ui/ZRJSONTextView.h"

#include "core/foundation/ZRPropertyList.h"
#include "core/foundation/ZRUserDefaults.h"
#include "core/text/ZRPageRules.h"
#include "core/text/ZRQSONSerialization.h"

#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextLayout>

#include <algorithm>

namespace
{

const QString fontSizeKey = QStringLiteral("ZRJSONTextViewDefaultFontSize");

QRegularExpression pattern(const char *source)
{
    return QRegularExpression(QString::fromLatin1(source), QRegularExpression::CaseInsensitiveOption);
}

// A quoted string: not after a lone backslash, up to the next unescaped quote, with the colon that
// makes it a key.
const QRegularExpression &quotedStringPattern()
{
    static const QRegularExpression re = pattern(R"((?<!\\)(?:\\\\)*(".*?(?<!\\)(?:\\\\)*")(\s*:)?)");
    return re;
}

const QRegularExpression &plainQuotedStringPattern()
{
    static const QRegularExpression re = pattern(R"((?<!\\)(?:\\\\)*(".*?(?<!\\)(?:\\\\)*"))");
    return re;
}

struct Range {
    qsizetype location;
    qsizetype length;
    bool contains(qsizetype position) const { return position >= location && position < location + length; }
};

bool startsInside(const QList<Range> &ranges, qsizetype position)
{
    return std::any_of(ranges.cbegin(), ranges.cend(),
                       [position](const Range &r) { return r.contains(position); });
}

bool isDark(const QPalette &palette)
{
    return palette.color(QPalette::Base).lightness() < 128;
}

} // namespace

ZRJSONTextView::ZRJSONTextView(QWidget *parent) : QPlainTextEdit(parent)
{
    setFont(defaultFont());
    document()->setDocumentMargin(5);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setTabStopDistance(QFontMetricsF(font()).horizontalAdvance(QLatin1Char(' ')) * 4);
    connect(this, &QPlainTextEdit::textChanged, this, &ZRJSONTextView::textDidChange);
}

void ZRJSONTextView::setText(const QString &text)
{
    _settingText = true;
    setPlainText(text);
    _settingText = false;
}

std::optional<QVariant> ZRJSONTextView::objectValueFromString(const QString &text, QString *decodingClassName)
{
    return ZRPageRules::objectValueFromString(text, decodingClassName);
}

std::optional<QVariant> ZRJSONTextView::objectValue()
{
    if (!_decoded) {
        _decodingClassName.clear();
        _objectValue = objectValueFromString(toPlainText(), &_decodingClassName);
        _decoded = true;
    }
    return _objectValue;
}

std::optional<QVariant> ZRJSONTextView::validatedObjectValue()
{
    if (!_validated) {
        const std::optional<QVariant> object = objectValue();
        _validatedObjectValue =
            object && _validator ? _validator->validateObjectValue(*object, *this) : object;
        _validated = true;
    }
    return _validatedObjectValue;
}

QString ZRJSONTextView::decodingClassName()
{
    objectValue();
    return _decodingClassName;
}

void ZRJSONTextView::textDidChange()
{
    if (font() != defaultFont())
        setFont(defaultFont());
    parse();
    if (!_settingText && _validator)
        _validator->didChangeObjectValueForTextView(*this);
}

void ZRJSONTextView::parse()
{
    _decoded = false;
    _validated = false;
    _objectValue.reset();
    _validatedObjectValue.reset();
    applySyntaxHighlighting();
}

void ZRJSONTextView::applySyntaxHighlighting()
{
    const QString text = toPlainText();
    if (!objectValue()) {
        _colors.assign(size_t(text.size()), invalidCodeColor());
        showColors();
        return;
    }
    _colors.assign(size_t(text.size()), otherCodeColor());
    if (!validatedObjectValue()) {
        // An unacceptable rule set stays grey.
        showColors();
        return;
    }
    QList<Range> recorded;
    const auto colorMatches = [&](const QRegularExpression &re, const QColor &color, bool skipRecorded,
                                  bool record) {
        QRegularExpressionMatchIterator it = re.globalMatch(text);
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            const int group = re.captureCount() >= 1 ? 1 : 0;
            if (match.capturedStart(group) < 0)
                continue;
            const Range range{match.capturedStart(group), match.capturedLength(group)};
            if (skipRecorded && startsInside(recorded, range.location))
                continue;
            setColorForRange(range.location, range.length, color);
            if (record)
                recorded.append(range);
        }
    };

    if (decodingClassName() != ZRDecodingClassName::PropertyList) {
        QList<ZRJSONString> strings;
        QRegularExpressionMatchIterator it = quotedStringPattern().globalMatch(text);
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            const bool isKey = !match.captured(2).isEmpty();
            ZRJSONString string{text, match.capturedStart(1), match.capturedLength(1), isKey};
            setColorForRange(string.location, string.length, isKey ? keyColor() : valueColor());
            recorded.append({string.location, string.length});
            strings.append(string);
        }
        colorMatches(pattern("true"), trueBooleanColor(), true, false);
        colorMatches(pattern("false"), falseBooleanColor(), true, false);
        if (_validator)
            _validator->didApplySyntaxHighlighting(*this, &strings);
    } else {
        colorMatches(pattern(R"(<\s*(?:/|!|\?)?\s*(.+?)(?:\s|>|/))"), tagColor(), true, false);
        colorMatches(pattern(R"(<\s*key\s*>(.+?)<\s*/\s*key\s*>)"), keyColor(), true, true);
        colorMatches(pattern(R"(>([^<]+)<\s*/)"), valueColor(), true, true);
        colorMatches(plainQuotedStringPattern(), valueColor(), true, true);
        colorMatches(pattern(R"(<\s*(true)\s*/\s*>)"), trueBooleanColor(), true, false);
        colorMatches(pattern(R"(<\s*(false)\s*/\s*>)"), falseBooleanColor(), true, false);
        if (_validator)
            _validator->didApplySyntaxHighlighting(*this, nullptr);
    }
    showColors();
}

void ZRJSONTextView::setColorForRange(qsizetype location, qsizetype length, const QColor &color)
{
    const qsizetype end = std::min<qsizetype>(location + length, qsizetype(_colors.size()));
    for (qsizetype i = std::max<qsizetype>(location, 0); i < end; ++i)
        _colors[size_t(i)] = color;
}

QColor ZRJSONTextView::colorAt(qsizetype position) const
{
    return position >= 0 && position < qsizetype(_colors.size()) ? _colors[size_t(position)] : QColor();
}

// The colours go into each line's layout, as a syntax highlighter puts them: the document itself,
// its undo steps and its modified state stay as the user left them.
void ZRJSONTextView::showColors()
{
    const qsizetype count = qsizetype(_colors.size());
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        QList<QTextLayout::FormatRange> ranges;
        const qsizetype first = block.position();
        const qsizetype last = std::min<qsizetype>(first + block.length() - 1, count);
        for (qsizetype start = first; start < last;) {
            qsizetype end = start + 1;
            while (end < last && _colors[size_t(end)] == _colors[size_t(start)])
                ++end;
            QTextLayout::FormatRange range;
            range.start = int(start - first);
            range.length = int(end - start);
            range.format.setForeground(_colors[size_t(start)]);
            ranges.append(range);
            start = end;
        }
        if (QTextLayout *layout = block.layout())
            layout->setFormats(ranges);
    }
    viewport()->update();
}

QList<ZRJSONTextView::FormatItem> ZRJSONTextView::formatMenuItems()
{
    QList<FormatItem> items;
    const std::optional<QVariant> object = objectValue();
    if (!object)
        return items;
    const QString name = decodingClassName();
    if (const std::optional<QString> json = ZRQSONSerialization::JSONStringWithObject(*object)) {
        items.append({QStringLiteral("JSON"), *json,
                      name == ZRDecodingClassName::JSON   ? Qt::Checked
                      : name == ZRDecodingClassName::QSON ? Qt::PartiallyChecked
                                                          : Qt::Unchecked});
        const QString qson = ZRQSONSerialization::QSONStringFromJSONString(*json);
        if (qson != *json)
            items.append({QStringLiteral("QSON"), qson,
                          name == ZRDecodingClassName::QSON ? Qt::Checked : Qt::Unchecked});
    }
    const QByteArray plist = ZRPropertyList::XMLDataFromPropertyList(*object);
    if (!plist.isEmpty())
        items.append({QStringLiteral("PLIST"), QString::fromUtf8(plist),
                      name == ZRDecodingClassName::PropertyList ? Qt::Checked : Qt::Unchecked});
    const QString current = toPlainText();
    for (FormatItem &item : items)
        item.enabled = item.text != current;
    return items;
}

void ZRJSONTextView::chooseFormatItem(const FormatItem &item)
{
    if (!item.enabled)
        return;
    // As typed: one undo step, and the validator hears of it.
    QTextCursor cursor(document());
    cursor.select(QTextCursor::Document);
    cursor.insertText(item.text);
}

void ZRJSONTextView::contextMenuEvent(QContextMenuEvent *event)
{
    std::unique_ptr<QMenu> menu(createStandardContextMenu(event->pos()));
    const QList<FormatItem> items = formatMenuItems();
    QAction *first = menu->actions().isEmpty() ? nullptr : menu->actions().first();
    for (const FormatItem &item : items) {
        // The mixed state (decoded as QSON, offered as JSON) shows as a dash before the title.
        auto *action = new QAction(item.state == Qt::PartiallyChecked ? QStringLiteral("\u2013 ") + item.title
                                                                      : item.title,
                                   menu.get());
        action->setCheckable(item.state == Qt::Checked);
        action->setChecked(item.state == Qt::Checked);
        action->setEnabled(item.enabled);
        connect(action, &QAction::triggered, this, [this, item] { chooseFormatItem(item); });
        menu->insertAction(first, action);
    }
    if (!items.isEmpty())
        menu->insertSeparator(first);
    menu->exec(event->globalPos());
}

void ZRJSONTextView::keyPressEvent(QKeyEvent *event)
{
    const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (isReturn && !(event->modifiers() & ~Qt::KeypadModifier) && !textCursor().hasSelection()) {
        QTextCursor cursor = textCursor();
        const QString line = cursor.block().text().left(cursor.positionInBlock());
        qsizetype blanks = 0;
        while (blanks < line.size() &&
               (line.at(blanks) == QLatin1Char(' ') || line.at(blanks) == QLatin1Char('\t')))
            ++blanks;
        cursor.insertText(QStringLiteral("\n") + line.left(blanks));
        setTextCursor(cursor);
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

int ZRJSONTextView::defaultFontSize()
{
    const qint64 size = ZRUserDefaults::standardUserDefaults().integerForKey(fontSizeKey);
    if (size <= 0)
        return 12;
    return int(std::clamp<qint64>(size, 8, 50));
}

QFont ZRJSONTextView::defaultFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(defaultFontSize());
    return font;
}

QColor ZRJSONTextView::tagColor() const
{
    return isDark(palette()) ? QColor::fromRgbF(0.85f, 0.55f, 0.95f) : QColor::fromRgbF(0.5f, 0, 0.5f);
}

QColor ZRJSONTextView::keyColor() const
{
    return palette().color(QPalette::Active, QPalette::Text);
}

QColor ZRJSONTextView::valueColor() const
{
    return isDark(palette()) ? QColor::fromRgbF(0.45f, 0.65f, 1.0f) : QColor::fromRgbF(0, 0.2f, 0.6f);
}

QColor ZRJSONTextView::trueBooleanColor() const
{
    return isDark(palette()) ? QColor::fromRgbF(0.45f, 0.85f, 0.45f) : QColor::fromRgbF(0, 0.5f, 0);
}

QColor ZRJSONTextView::falseBooleanColor() const
{
    return isDark(palette()) ? QColor::fromRgbF(1.0f, 0.45f, 0.45f) : QColor::fromRgbF(0.7f, 0, 0);
}

QColor ZRJSONTextView::otherCodeColor() const
{
    return QColor::fromRgbF(0.5f, 0.5f, 0.5f);
}

QColor ZRJSONTextView::invalidCodeColor() const
{
    QColor color = palette().color(QPalette::Disabled, QPalette::Text);
    // Some styles give disabled text the normal colour: then a lighter or darker one of it.
    if (color == keyColor())
        color = isDark(palette()) ? color.darker(170) : color.lighter(250);
    return color;
}
