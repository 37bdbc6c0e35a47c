#include "platform/pagetext.h"

#include <QStringDecoder>

#include <optional>

namespace plimo {
namespace {

// How far into a page a <meta> charset is looked for; browsers look as far.
constexpr qsizetype MetaScanLimit = 1024 * 8;

bool isLabelChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
           c == ':';
}

// The label that follows "charset=" at `from` in lower-cased text, quotes allowed.
QByteArray labelAt(const QByteArray &lowered, qsizetype from)
{
    qsizetype i = from;
    while (i < lowered.size() && (lowered[i] == ' ' || lowered[i] == '"' || lowered[i] == '\''))
        ++i;
    const qsizetype begin = i;
    while (i < lowered.size() && isLabelChar(lowered[i]))
        ++i;
    return lowered.mid(begin, i - begin);
}

// Qt's EUC-KR decoder garbles the syllables CP949 adds, and its "CP949" is
// IBM's code page: every Korean label goes to the Windows code page.
QByteArray canonicalLabel(const QByteArray &label)
{
    static const QByteArray korean[] = {
        "euc-kr", "ks_c_5601-1987", "cp949",      "x-windows-949", "windows-949", "ks_c_5601",
        "korean", "csksc56011987",  "iso-ir-149", "ksc5601",       "ksc_5601",    "x-euc-kr"};
    for (const QByteArray &name : korean) {
        if (label == name)
            return "windows-949";
    }
    return label;
}

std::optional<QString> decodeAs(const QByteArray &label, const QByteArray &bytes)
{
    if (label.isEmpty())
        return std::nullopt;
    const QByteArray canonical = canonicalLabel(label);
    if (canonical == "utf-8" || canonical == "utf8")
        return QString::fromUtf8(bytes);  // Qt's own decoder: far faster than one found by name
    QStringDecoder decoder(canonical.constData());
    if (!decoder.isValid())
        return std::nullopt;
    return QString(decoder.decode(bytes));
}

// The charset named in a Content-Type value or a <meta> tag; "" if none.
QByteArray charsetFromContentType(const QByteArray &contentType)
{
    const QByteArray lowered = contentType.toLower();
    const qsizetype at = lowered.indexOf("charset=");
    return at < 0 ? QByteArray() : labelAt(lowered, at + 8);
}

QByteArray charsetFromMeta(const QByteArray &body)
{
    const QByteArray head = body.left(MetaScanLimit).toLower();
    for (qsizetype meta = head.indexOf("<meta"); meta >= 0;
         meta = head.indexOf("<meta", meta + 5)) {
        const qsizetype end = head.indexOf('>', meta);
        const QByteArray tag = head.mid(meta, end < 0 ? -1 : end - meta);
        const qsizetype at = tag.indexOf("charset=");
        if (at < 0)
            continue;
        const QByteArray label = labelAt(tag, at + 8);
        if (!label.isEmpty())
            return label;
    }
    return {};
}

}  // namespace

QString decodePageText(const QByteArray &body, const QByteArray &contentType)
{
    if (body.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(body.constData() + 3, body.size() - 3);
    if (auto text = decodeAs(charsetFromContentType(contentType), body))
        return *std::move(text);
    if (auto text = decodeAs(charsetFromMeta(body), body))
        return *std::move(text);
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(body);
    if (!utf8.hasError())
        return text;
    return decodeAs("windows-949", body).value_or(QString::fromLatin1(body));
}

}  // namespace plimo
