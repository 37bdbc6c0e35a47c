#include "download/answer.h"

#include "platform/error.h"
#include "text/text.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <algorithm>

namespace plimo::answer {
namespace {

[[noreturn]] void refuse(const QString &why)
{
    throw Error(AnswerRefused, why);
}

// HTTP dates end in "GMT", which Qt's RFC 2822 reading does not take.
QDateTime httpDate(QByteArray value)
{
    value = value.trimmed();
    if (value.endsWith(" GMT"))
        value.replace(value.size() - 3, 3, "+0000");
    return QDateTime::fromString(QString::fromLatin1(value), Qt::RFC2822Date);
}

std::int64_t statedLength(const QList<QByteArray> &lengths)
{
    if (std::ranges::any_of(lengths,
                            [&](const QByteArray &length) { return length != lengths[0]; }))
        refuse(QStringLiteral("Content-Length given twice"));
    std::int64_t length = 0;
    try {
        length = text::TextToLongLong(QString::fromLatin1(lengths.value(0)));
    } catch (const Error &) {
        // No length, or none that is a number: refused below.
    }
    if (length <= 0)
        refuse(QStringLiteral("Content-Length \"%1\"").arg(QString::fromLatin1(lengths.value(0))));
    return length;
}

void checkRange(const Inet &inet, const Rest &asked, std::int64_t length)
{
    const QByteArray expected = "bytes " + QByteArray::number(asked.from) + '-' +
                                QByteArray::number(asked.total - 1) + '/' +
                                QByteArray::number(asked.total);
    const QList<QByteArray> ranges = inet.GetHeaders(QStringLiteral("Content-Range"));
    if (ranges.size() != 1 || ranges[0] != expected || length != asked.total - asked.from)
        refuse(QStringLiteral("not the rest of the file"));
}

}  // namespace

std::int64_t check(const Inet &inet, const Rest &asked)
{
    const int status = inet.ResponseCode();
    if (status < 200 || status > 299)
        throw Error(StatusRefused, QString::number(status));
    if (status == 206 && asked.from <= 0)
        refuse(QStringLiteral("a part of the file, not asked for"));
    if (status != 206 && !inet.GetHeaders(QStringLiteral("Content-Range")).isEmpty())
        refuse(QStringLiteral("a part of the file"));
    const QList<QByteArray> lengths = inet.GetHeaders(QStringLiteral("Content-Length"));
    if (!inet.GetHeaders(QStringLiteral("Transfer-Encoding")).isEmpty() && !lengths.isEmpty())
        refuse(QStringLiteral("both Transfer-Encoding and Content-Length"));
    for (const QByteArray &encoding : inet.GetHeaders(QStringLiteral("Content-Encoding"))) {
        if (encoding.compare("identity", Qt::CaseInsensitive) != 0)
            refuse(QStringLiteral("Content-Encoding ") + QString::fromLatin1(encoding));
    }
    const std::int64_t length = statedLength(lengths);
    if (status == 206)
        checkRange(inet, asked, length);
    return length;
}

QByteArray strongValidator(const QByteArray &etag, const QByteArray &lastModified,
                           const QByteArray &date)
{
    if (etag.size() >= 2 && etag.startsWith('"') && etag.endsWith('"'))
        return etag;  // a weak one starts with W/
    const QDateTime modified = httpDate(lastModified), sent = httpDate(date);
    if (modified.isValid() && sent.isValid() && modified.secsTo(sent) >= 1)
        return lastModified.trimmed();
    return {};
}

}  // namespace plimo::answer
