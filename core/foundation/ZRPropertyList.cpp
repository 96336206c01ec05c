// The only place that speaks libplist: it has unsigned integers only (we read them back as signed
// 64-bit) and dates as 32-bit seconds since 2001.
#include "core/foundation/ZRPropertyList.h"

#include <cstring>

#include "core/foundation/ZRSystemCalls.h"

#include <QDateTime>
#include <QFile>


#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>
#include <plist/plist.h>

namespace {

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistHolder = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistDeleter>;

// 2001-01-01T00:00:00Z in Unix seconds.
constexpr qint64 kAppleEpochOffset = 978307200;

// Whole seconds since 2001 (32 bits, as the library stores them) and the microseconds beyond.
bool appleSecondsOfDate(const QDateTime &date, int32_t &seconds, int32_t &micros)
{
    if (!date.isValid())
        return false;
    const qint64 msecs = date.toMSecsSinceEpoch() - kAppleEpochOffset * 1000;
    qint64 whole = msecs / 1000;
    qint64 millis = msecs % 1000;
    if (millis < 0) {
        millis += 1000;
        whole -= 1;
    }
    if (whole < INT32_MIN || whole > INT32_MAX)
        return false;
    seconds = int32_t(whole);
    micros = int32_t(millis * 1000);
    return true;
}

plist_t nodeFromVariant(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            plist_t child = nodeFromVariant(it.value());
            if (!child) {
                plist_free(dict);
                return nullptr;
            }
            plist_dict_set_item(dict, it.key().toUtf8().constData(), child);
        }
        return dict;
    }
    case QMetaType::QVariantHash: {
        QVariantMap map;
        const QVariantHash hash = value.toHash();
        for (auto it = hash.constBegin(); it != hash.constEnd(); ++it)
            map.insert(it.key(), it.value());
        return nodeFromVariant(map);
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        plist_t array = plist_new_array();
        const QVariantList list = value.toList();
        for (const QVariant &element : list) {
            plist_t child = nodeFromVariant(element);
            if (!child) {
                plist_free(array);
                return nullptr;
            }
            plist_array_append_item(array, child);
        }
        return array;
    }
    case QMetaType::QString:
    case QMetaType::QUrl:
        return plist_new_string(value.toString().toUtf8().constData());
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        // Two's complement; libplist writes such values back as signed numbers.
        return plist_new_uint(uint64_t(value.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return plist_new_uint(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), uint64_t(bytes.size()));
    }
    case QMetaType::QDateTime: {
        int32_t seconds = 0;
        int32_t micros = 0;
        if (!appleSecondsOfDate(value.toDateTime(), seconds, micros))
            return nullptr;
        return plist_new_date(seconds, micros);
    }
    default:
        return nullptr;
    }
}

QVariant variantFromNode(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        if (!iter)
            return map;
        for (;;) {
            char *key = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, iter, &key, &child);
            if (!child) {
                free(key);
                break;
            }
            map.insert(QString::fromUtf8(key), variantFromNode(child));
            free(key);
        }
        free(iter);
        return map;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t count = plist_array_get_size(node);
        list.reserve(count);
        for (uint32_t i = 0; i < count; ++i)
            list.append(variantFromNode(plist_array_get_item(node, i)));
        return list;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char *text = nullptr;
        if (plist_get_node_type(node) == PLIST_STRING)
            plist_get_string_val(node, &text);
        else
            plist_get_key_val(node, &text);
        const QString result = QString::fromUtf8(text ? text : "");
        free(text);
        return result;
    }
    case PLIST_BOOLEAN: {
        uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        return bool(flag);
    }
    case PLIST_UINT: {
        uint64_t number = 0;
        plist_get_uint_val(node, &number);
        return qint64(number);
    }
    case PLIST_UID: {
        uint64_t number = 0;
        plist_get_uid_val(node, &number);
        return qint64(number);
    }
    case PLIST_REAL: {
        double number = 0;
        plist_get_real_val(node, &number);
        return number;
    }
    case PLIST_DATA: {
        char *bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        const QByteArray result(bytes ? bytes : "", qsizetype(length));
        free(bytes);
        return result;
    }
    case PLIST_DATE: {
        int32_t seconds = 0, micros = 0;
        plist_get_date_val(node, &seconds, &micros);
        return QDateTime::fromMSecsSinceEpoch((qint64(seconds) + kAppleEpochOffset) * 1000 + micros / 1000,
                                              Qt::UTC);
    }
    default:
        return {};
    }
}

} // namespace

namespace ZRPropertyList {

std::optional<QVariant> propertyListFromData(const QByteArray &data)
{
    if (data.isEmpty() || data.size() > qsizetype(UINT32_MAX))
        return std::nullopt;
    plist_t root = nullptr;
    if (plist_is_binary(data.constData(), uint32_t(data.size()))) {
        plist_from_bin(data.constData(), uint32_t(data.size()), &root);
    } else {
        // The XML reader wants to see the document start; a text that is not XML is no property list.
        const QByteArray head = data.left(64).trimmed();
        if (!head.startsWith("<"))
            return std::nullopt;
        plist_from_xml(data.constData(), uint32_t(data.size()), &root);
    }
    if (!root)
        return std::nullopt;
    PlistHolder holder(root);
    return variantFromNode(root);
}

namespace {

// Serialises the value with one of libplist's writers and frees its buffer with the matching call.
QByteArray serialised(const QVariant &value, void (*write)(plist_t, char **, uint32_t *), void (*release)(char *))
{
    PlistHolder root(nodeFromVariant(value));
    if (!root)
        return {};
    char *bytes = nullptr;
    uint32_t length = 0;
    write(root.get(), &bytes, &length);
    const QByteArray result(bytes, qsizetype(length));
    release(bytes);
    return result;
}

// The library's escapes; none for a byte that is written as it is.
const char *entityOf(char byte)
{
    switch (byte) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    default:
        return nullptr;
    }
}

// Text as the library writes it: cut at the first NUL, with &, < and > escaped.
void appendEscaped(QByteArray &bytes, const QString &text)
{
    // ASCII, nearly every key and value, goes straight into the output; the rest through UTF-8.
    const qsizetype start = bytes.size();
    bytes.resize(start + text.size() * qsizetype(sizeof "&amp;" - 1));
    char *out = bytes.data() + start;
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (unit == 0 || unit >= 0x80) {
            bytes.truncate(start);
            QByteArray utf8 = text.toUtf8();
            if (const qsizetype nul = utf8.indexOf('\0'); nul >= 0)
                utf8.truncate(nul);
            for (const char byte : std::as_const(utf8)) {
                if (const char *entity = entityOf(byte))
                    bytes.append(entity);
                else
                    bytes.append(byte);
            }
            return;
        }
        const char *entity = entityOf(char(unit));
        if (!entity) {
            *out++ = char(unit);
            continue;
        }
        const std::size_t length = std::strlen(entity);
        std::memcpy(out, entity, length);
        out += length;
    }
    bytes.truncate(out - bytes.constData());
}

// One value at the given depth, byte for byte as the library's XML writer lays it out (tabs,
// empty containers as "<dict/>", base64 lines ending at column 76, reals as "%.17g", dates to the
// second, towards 2001); false for what only the library's own writer should handle.
bool appendXML(QByteArray &bytes, const QVariant &value, int depth)
{
    // The library stops indenting deeper than this.
    if (depth >= 8)
        return false;
    const QByteArrayView indent("\t\t\t\t\t\t\t\t", depth);
    const auto element = [&](const char *name, const QByteArray &text) {
        bytes.append(indent).append('<').append(name).append('>').append(text);
        bytes.append("</").append(name).append(">\n");
    };
    // "<name/>" when empty, else the children one level deeper between the tags.
    const auto container = [&](const char *name, bool empty, const auto &appendChildren) {
        bytes.append(indent).append('<').append(name).append(empty ? "/>\n" : ">\n");
        if (empty)
            return true;
        if (!appendChildren())
            return false;
        bytes.append(indent).append("</").append(name).append(">\n");
        return true;
    };
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        return container("dict", map.isEmpty(), [&] {
            for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
                bytes.append(indent).append("\t<key>");
                appendEscaped(bytes, it.key());
                bytes.append("</key>\n");
                if (!appendXML(bytes, it.value(), depth + 1))
                    return false;
            }
            return true;
        });
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        const QVariantList list = value.toList();
        return container("array", list.isEmpty(), [&] {
            return std::all_of(list.cbegin(), list.cend(),
                               [&](const QVariant &element) { return appendXML(bytes, element, depth + 1); });
        });
    }
    case QMetaType::QString:
    case QMetaType::QUrl:
        bytes.append(indent).append("<string>");
        appendEscaped(bytes, value.toString());
        bytes.append("</string>\n");
        return true;
    case QMetaType::Bool:
        bytes.append(indent).append(value.toBool() ? "<true/>\n" : "<false/>\n");
        return true;
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UInt:
    case QMetaType::UShort:
        element("integer", QByteArray::number(value.toLongLong()));
        return true;
    case QMetaType::Double: {
        // Zero, infinities and NaN have spellings of the library's own.
        const double number = value.toDouble();
        if (number == 0 || !std::isfinite(number))
            return false;
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", number);
        element("real", text);
        return true;
    }
    case QMetaType::QByteArray: {
        // Lines end at column 76, a tab counting eight.
        const qsizetype width = 76 - 8 * depth;
        const QByteArray encoded = value.toByteArray().toBase64();
        bytes.append(indent).append("<data>\n");
        for (qsizetype at = 0; at < encoded.size(); at += width)
            bytes.append(indent).append(encoded.mid(at, width)).append('\n');
        bytes.append(indent).append("</data>\n");
        return true;
    }
    case QMetaType::QDateTime: {
        int32_t seconds = 0;
        int32_t micros = 0;
        if (!appleSecondsOfDate(value.toDateTime(), seconds, micros))
            return false;
        // Whole seconds counted towards 2001.
        const qint64 whole = seconds < 0 && micros > 0 ? qint64(seconds) + 1 : qint64(seconds);
        const QDateTime date = QDateTime::fromSecsSinceEpoch(whole + kAppleEpochOffset, Qt::UTC);
        if (date.date().year() < 1000 || date.date().year() > 9999)
            return false;
        element("date", date.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'")).toLatin1());
        return true;
    }
    default:
        return false;
    }
}

// Big-endian, in the given number of bytes.
void appendSized(QByteArray &bytes, quint64 field, int size)
{
    char bigEndian[8];
    for (int i = 0; i < size; ++i)
        bigEndian[i] = char((field >> ((size - 1 - i) * 8)) & 0xff);
    bytes.append(bigEndian, size);
}

// The fewest bytes that hold the number, as offsets and references are written.
int byteCountFor(quint64 number)
{
    int count = 1;
    while (count < 8 && (number >> (count * 8)) != 0)
        ++count;
    return count;
}

// The fewest bytes that an integer object may have (1, 2, 4 or 8) that hold the number.
int sizeFor(quint64 number)
{
    return number <= 0xff ? 1 : number <= 0xffff ? 2 : number <= 0xffffffffULL ? 4 : 8;
}

// An object's marker with its count: in the low four bits, or after them as an integer object.
void appendMarker(QByteArray &bytes, quint8 marker, quint64 count)
{
    if (count < 15) {
        bytes.append(char(marker | count));
        return;
    }
    bytes.append(char(marker | 0x0f));
    const int size = sizeFor(count);
    bytes.append(char(0x10 | (size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3)));
    appendSized(bytes, count, size);
}

// A binary property list of one array of strings, laid out as the library lays it out: the array
// first, then each string in order (ASCII, or else UTF-16 big-endian), then the offset table and
// the trailer.
QByteArray binaryDataFromStrings(const QStringList &strings)
{
    const quint64 objectCount = quint64(strings.size()) + 1;
    const int referenceSize = byteCountFor(objectCount);
    QByteArray bytes("bplist00");
    std::vector<quint64> offsets;
    offsets.reserve(size_t(objectCount));
    offsets.push_back(quint64(bytes.size()));
    appendMarker(bytes, 0xa0, quint64(strings.size()));
    for (quint64 reference = 1; reference < objectCount; ++reference)
        appendSized(bytes, reference, referenceSize);
    for (const QString &whole : strings) {
        // The library takes texts as C strings: they end at a NUL.
        const QString string = whole.left(whole.indexOf(QChar(0)));
        offsets.push_back(quint64(bytes.size()));
        const bool ascii = std::all_of(string.cbegin(), string.cend(), [](QChar c) { return c.unicode() < 0x80; });
        if (ascii) {
            appendMarker(bytes, 0x50, quint64(string.size()));
            bytes.append(string.toLatin1());
        } else {
            appendMarker(bytes, 0x60, quint64(string.size()));
            QByteArray units(string.size() * 2, Qt::Uninitialized);
            for (qsizetype i = 0; i < string.size(); ++i) {
                units[2 * i] = char(string[i].unicode() >> 8);
                units[2 * i + 1] = char(string[i].unicode() & 0xff);
            }
            bytes.append(units);
        }
    }
    const quint64 tableOffset = quint64(bytes.size());
    const int offsetSize = byteCountFor(tableOffset);
    for (const quint64 offset : offsets)
        appendSized(bytes, offset, offsetSize);
    bytes.append(QByteArray(6, '\0'));
    bytes.append(char(offsetSize));
    bytes.append(char(referenceSize));
    appendSized(bytes, objectCount, 8);
    appendSized(bytes, 0, 8);
    appendSized(bytes, tableOffset, 8);
    return bytes;
}

} // namespace

QByteArray XMLDataFromPropertyList(const QVariant &value)
{
    // The queue archive is written whole after every burst of finished downloads: our own writer
    // (the library builds a tree of nodes first, which cost several times the writing).
    QByteArray bytes(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n");
    if (!appendXML(bytes, value, 0))
        return libraryXMLDataFromPropertyList(value);
    bytes.append("</plist>\n");
    return bytes;
}

QByteArray libraryXMLDataFromPropertyList(const QVariant &value)
{
    return serialised(value, plist_to_xml, plist_to_xml_free);
}

QByteArray binaryDataFromPropertyList(const QVariant &value)
{
    // A lone date, as every download stores two of: the writer's tables cost far more than the
    // 50 bytes it would write, so write them here, byte for byte the same.
    int32_t seconds = 0;
    int32_t micros = 0;
    if (value.typeId() == QMetaType::QDateTime && appleSecondsOfDate(value.toDateTime(), seconds, micros)) {
        const double when = double(seconds) + double(micros) / 1000000.0;
        quint64 bits = 0;
        std::memcpy(&bits, &when, sizeof bits);
        // Header, the date object (marker 0x33, a big-endian double), a one-entry offset table
        // pointing at byte 8, and the trailer: 1-byte offsets and references, one object, top 0,
        // offset table at byte 17.
        QByteArray bytes("bplist00\x33", 9);
        appendSized(bytes, bits, 8);
        bytes.append('\x08');
        bytes.append(QByteArray(6, '\0'));
        bytes.append("\x01\x01", 2);
        for (quint64 field : {quint64(1), quint64(0), quint64(17)})
            appendSized(bytes, field, 8);
        return bytes;
    }
    // A list of texts, as every finished file carries its source addresses in: the same holds.
    if (value.typeId() == QMetaType::QStringList)
        return binaryDataFromStrings(value.toStringList());
    return serialised(value, plist_to_bin, plist_to_bin_free);
}

std::optional<QVariant> propertyListWithContentsOfFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return std::nullopt;
    }
    const QByteArray data = file.readAll();
    auto result = propertyListFromData(data);
    if (!result && error)
        *error = QStringLiteral("not a property list");
    return result;
}

bool writePropertyListToFile(const QVariant &value, const QString &path, QString *error, bool flush,
                             ZRFileAccess access)
{
    const QByteArray data = XMLDataFromPropertyList(value);
    if (data.isEmpty()) {
        if (error)
            *error = QStringLiteral("value cannot be written as a property list");
        return false;
    }
    return ZRWriteFileAtomically(path, data, error, flush, access);
}

} // namespace ZRPropertyList
