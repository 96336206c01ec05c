// The rules editor: a text view that decodes its text (JSON, QSON or a property list) on every
// change, asks its validator whether the value is acceptable, colours the text accordingly, keeps
// the indentation of the line above, and rewrites the text into any of the three formats.
#pragma once

#include <QColor>
#include <QPlainTextEdit>
#include <QString>
#include <QVariant>

#include <optional>
#include <vector>

class ZRJSONTextView;

// One quoted string the colouring found: its place in the whole text (UTF-16 units, quotes
// included) and whether a colon follows it (a dictionary key).
struct ZRJSONString {
    QString baseText;
    qsizetype location = 0;
    qsizetype length = 0;
    bool isKey = false;
    QString stringValue() const { return baseText.mid(location, length); }
};

// Main thread. Every member is optional to implement.
class ZRJSONTextViewValidator
{
public:
    virtual ~ZRJSONTextViewValidator() = default;
    // The accepted value, or none.
    virtual std::optional<QVariant> validateObjectValue(const QVariant &object, ZRJSONTextView &textView)
    {
        (void)textView;
        return object;
    }
    // After an edit by the user (typing, or a format chosen from the menu).
    virtual void didChangeObjectValueForTextView(ZRJSONTextView &textView) { (void)textView; }
    // After colouring; strings is none for a property list.
    virtual void didApplySyntaxHighlighting(ZRJSONTextView &textView, const QList<ZRJSONString> *strings)
    {
        (void)textView, (void)strings;
    }
};

// Main thread.
class ZRJSONTextView : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit ZRJSONTextView(QWidget *parent = nullptr);

    void setValidator(ZRJSONTextViewValidator *validator) { _validator = validator; }
    ZRJSONTextViewValidator *validator() const { return _validator; }

    // Replaces the text as the program (not the user): no change is reported to the validator.
    void setText(const QString &text);
    QString text() const { return toPlainText(); }

    // The decoding of a rules text, with the decoder's name.
    static std::optional<QVariant> objectValueFromString(const QString &text, QString *decodingClassName);
    // Decoded on first use after each change.
    std::optional<QVariant> objectValue();
    std::optional<QVariant> validatedObjectValue();
    QString decodingClassName();

    // Discards the decoded values and colours the text again.
    void parse();
    void applySyntaxHighlighting();
    // The colour of the text at a position (after the last colouring).
    QColor colorAt(qsizetype position) const;
    // Paints a range in a colour (the validator's own marks, from its highlighting callback).
    void setColorForRange(qsizetype location, qsizetype length, const QColor &color);

    // The format menu's items: the text each would put in place, and its check state.
    struct FormatItem {
        QString title;
        QString text;
        Qt::CheckState state = Qt::Unchecked;
        // An item whose text is the current one does nothing.
        bool enabled = true;
    };
    QList<FormatItem> formatMenuItems();
    // Puts the item's text in place, as the user would.
    void chooseFormatItem(const FormatItem &item);

    // The fixed-pitch font at "ZRJSONTextViewDefaultFontSize" (12 when unset or below 1, 8 to 50).
    static QFont defaultFont();
    static int defaultFontSize();

    QColor tagColor() const;
    QColor keyColor() const;
    QColor valueColor() const;
    QColor trueBooleanColor() const;
    QColor falseBooleanColor() const;
    QColor otherCodeColor() const;
    QColor invalidCodeColor() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void textDidChange();
    void showColors();

    ZRJSONTextViewValidator *_validator = nullptr;
    bool _decoded = false;
    std::optional<QVariant> _objectValue;
    bool _validated = false;
    std::optional<QVariant> _validatedObjectValue;
    QString _decodingClassName;
    bool _settingText = false;
    // One colour per UTF-16 unit of the text.
    std::vector<QColor> _colors;
};
