#include "text/text.h"

#include <QLocale>

#include <cmath>
#include <limits>

namespace plimo::text {
namespace {

void requireAtLeast(qsizetype value, qsizetype minimum, const char *what)
{
    if (value < minimum)
        throw Error(
            errc::InvalidCall,
            QStringLiteral("invalid procedure call: %1 is %2").arg(QLatin1String(what)).arg(value));
}

}  // namespace

qsizetype InStr(qsizetype start, const QString &text, const QString &pattern)
{
    requireAtLeast(start, 1, "start");
    if (text.isEmpty() || start > text.size())
        return 0;
    if (pattern.isEmpty())
        return start;
    const qsizetype found = text.indexOf(pattern, start - 1, Qt::CaseSensitive);
    return found < 0 ? 0 : found + 1;
}

qsizetype InStrRev(const QString &text, const QString &pattern)
{
    if (text.isEmpty())
        return 0;
    if (pattern.isEmpty())
        return text.size();
    const qsizetype found = text.lastIndexOf(pattern, -1, Qt::CaseSensitive);
    return found < 0 ? 0 : found + 1;
}

QString Mid(const QString &text, qsizetype start)
{
    requireAtLeast(start, 1, "start");
    if (start > text.size())
        return {};
    return text.mid(start - 1);
}

QString Mid(const QString &text, qsizetype start, qsizetype length)
{
    requireAtLeast(start, 1, "start");
    requireAtLeast(length, 0, "length");
    if (start > text.size() || length == 0)
        return {};
    return text.mid(start - 1, length);
}

QString LowerCase(const QString &text)
{
    // Code unit by code unit, so that positions in the copy are positions in
    // the original: a full Unicode lower-casing may change the length.
    QString lowered = text;
    for (QChar &c : lowered) {
        // Pages are mostly ASCII; the table lookup below is for the rest.
        if (c.unicode() < 0x80) {
            if (c >= u'A' && c <= u'Z')
                c = QChar(c.unicode() + (u'a' - u'A'));
        } else if (c.isUpper()) {
            const QChar lower = c.toLower();
            if (!lower.isSurrogate())
                c = lower;
        }
    }
    return lowered;
}

std::optional<QString> SplitElement(const QString &text, const QString &delimiter, qsizetype index)
{
    if (text.isEmpty() || index < 0)
        return std::nullopt;
    if (delimiter.isEmpty())
        return index == 0 ? std::optional<QString>(text) : std::nullopt;
    qsizetype from = 0;
    for (qsizetype i = 0; i < index; ++i) {
        const qsizetype at = text.indexOf(delimiter, from, Qt::CaseSensitive);
        if (at < 0)
            return std::nullopt;
        from = at + delimiter.size();
    }
    const qsizetype end = text.indexOf(delimiter, from, Qt::CaseSensitive);
    return text.mid(from, end < 0 ? -1 : end - from);
}

QString Replace(const QString &text, const QString &find, const QString &replacement)
{
    if (find.isEmpty())
        return text;
    QString result = text;
    result.replace(find, replacement, Qt::CaseSensitive);
    return result;
}

bool Like(const QString &text, const QString &pattern)
{
    // Greedy wildcard match with backtracking to the last "*": linear in
    // practice for the "*X*" patterns the program uses.
    qsizetype t = 0, p = 0, starP = -1, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (starP >= 0) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

QString Space(qsizetype count)
{
    requireAtLeast(count, 0, "count");
    return QString(count, u' ');
}

QString FormatNumber(double value, int digits)
{
    // QLocale rounds half to even on the binary value; round half away from
    // zero on the decimal value first, as a desktop number format does.
    const double scale = std::pow(10.0, digits);
    const double rounded = std::round(value * scale) / scale;
    static const QLocale korean(QLocale::Korean, QLocale::SouthKorea);
    return korean.toString(rounded == 0.0 ? 0.0 : rounded, 'f', digits);
}

QString NumberToText(std::int64_t value)
{
    return QString::number(value);
}

QString NumberToText(float value)
{
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15f)
        return QString::number(static_cast<std::int64_t>(value));
    return QString::number(value, 'g', 7);
}

std::int64_t TextToLongLong(const QString &text)
{
    const QString trimmed = text.trimmed();
    const auto notANumber = [&] {
        return Error(errc::TypeMismatch, QStringLiteral("type mismatch: \"%1\"").arg(text));
    };
    if (trimmed.isEmpty())
        throw notANumber();
    qsizetype i = 0;
    const bool negative = trimmed[0] == u'-';
    if (trimmed[0] == u'-' || trimmed[0] == u'+')
        ++i;
    if (i == trimmed.size())
        throw notANumber();
    std::int64_t value = 0;
    for (; i < trimmed.size(); ++i) {
        const QChar c = trimmed[i];
        if (c < u'0' || c > u'9')
            throw notANumber();
        const int digit = c.unicode() - u'0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10)
            throw Error(errc::Overflow, QStringLiteral("overflow: \"%1\"").arg(text));
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

bool IsInvisibleCharacter(char32_t c)
{
    const QChar::Category category = QChar::category(c);
    return category == QChar::Other_Format || category == QChar::Separator_Line ||
           category == QChar::Separator_Paragraph || QChar::isNonCharacter(c);
}

}  // namespace plimo::text
