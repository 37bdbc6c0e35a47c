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

[[noreturn]] void refusePart(const QString &why)
{
    throw Error(PartRefused, why);
}

// The one length the headers state, or -1 when they state none, several or
// one that is not a number.
std::int64_t statedLength(const QList<QByteArray> &lengths)
{
    if (lengths.isEmpty() || std::ranges::any_of(lengths, [&](const QByteArray &length) {
            return length != lengths[0];
        }))
        return -1;
    try {
        return text::TextToLongLong(QString::fromLatin1(lengths[0]));
    } catch (const Error &) {
        return -1;
    }
}

std::int64_t wholeLength(const Inet &inet)
{
    const QList<QByteArray> lengths = inet.GetHeaders(QStringLiteral("Content-Length"));
    if (lengths.size() > 1 && lengths.count(lengths[0]) != lengths.size())
        refuse(QStringLiteral("Content-Length given twice"));
    const std::int64_t length = statedLength(lengths);
    if (length <= 0)
        refuse(QStringLiteral("Content-Length \"%1\"").arg(QString::fromLatin1(lengths.value(0))));
    return length;
}

// The same file: the entity tag that was sent, compared strongly, or with a
// date sent, no tag at all and that very date.
bool namesTheSameFile(const Inet &inet, const QByteArray &sent)
{
    const QList<QByteArray> tags = inet.GetHeaders(QStringLiteral("ETag"));
    if (sent.startsWith('"'))
        return tags.size() == 1 && tags[0].trimmed() == sent;
    const QList<QByteArray> dates = inet.GetHeaders(QStringLiteral("Last-Modified"));
    return tags.isEmpty() && dates.size() == 1 && dates[0].trimmed() == sent;
}

std::int64_t restLength(const Inet &inet, const Rest &asked)
{
    const QByteArray range =
        "bytes " + QByteArray::number(asked.from) + '-' + QByteArray::number(asked.total - 1) + '/';
    const QList<QByteArray> ranges = inet.GetHeaders(QStringLiteral("Content-Range"));
    if (ranges.size() != 1 ||
        (ranges[0] != range + QByteArray::number(asked.total) && ranges[0] != range + '*'))
        refusePart(QStringLiteral("not the rest of the file"));
    const std::int64_t length = statedLength(inet.GetHeaders(QStringLiteral("Content-Length")));
    if (length != asked.total - asked.from)
        refusePart(QStringLiteral("not the length of the rest"));
    if (!namesTheSameFile(inet, asked.validator))
        refusePart(QStringLiteral("the rest of another file"));
    return length;
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
    if (!inet.GetHeaders(QStringLiteral("Transfer-Encoding")).isEmpty() &&
        !inet.GetHeaders(QStringLiteral("Content-Length")).isEmpty())
        refuse(QStringLiteral("both Transfer-Encoding and Content-Length"));
    for (const QByteArray &encoding : inet.GetHeaders(QStringLiteral("Content-Encoding"))) {
        if (encoding.compare("identity", Qt::CaseInsensitive) != 0)
            refuse(QStringLiteral("Content-Encoding ") + QString::fromLatin1(encoding));
    }
    return status == 206 ? restLength(inet, asked) : wholeLength(inet);
}

QByteArray strongValidator(const QByteArray &etag, const QByteArray &lastModified,
                           const QByteArray &date)
{
    const QByteArray tag = etag.trimmed();
    if (!tag.isEmpty())
        return tag.size() >= 2 && tag.startsWith('"') && tag.endsWith('"') ? tag : QByteArray();
    const QDateTime modified = httpDate(lastModified), sent = httpDate(date);
    if (modified.isValid() && sent.isValid() && modified.secsTo(sent) >= 1)
        return lastModified.trimmed();
    return {};
}

}  // namespace plimo::answer
