#include "search/extract.h"

#include "search/hosts.h"
#include "text/text.h"

#include "platform/wireaddress.h"

namespace plimo::extract {
namespace {

using text::InStr;
using text::Mid;
using text::SplitElement;

// Element 0 of `pieces` after
//     pieces <- Split(source, first)
//     pieces <- Split(pieces(1), second)
// where a second step that finds no element 1 is skipped and leaves the
// pieces of the first. nullopt when element 0 does not exist.
std::optional<QString> cutAfterThenBefore(const QString &source, const QString &first,
                                          const QString &second)
{
    const std::optional<QString> afterFirst = SplitElement(source, first, 1);
    if (!afterFirst)
        return SplitElement(source, first, 0);
    return SplitElement(*afterFirst, second, 0);
}

// The file base address is a prefix of the text, not a host: without this
// "http://blogattach.naver.com@127.0.0.1:9/x.mp3" (user info) or
// "http://blogattach.naver.com.example.org/x.mp3" would pass. Judged as curl
// will receive it, so no escaping can make the two disagree.
bool namesFileHost(const QString &fileAddress)
{
    if (fileAddress.size() > MaxFileAddressLength)
        return false;
    const QByteArray wire = wireAddress(fileAddress);
    const QByteArray base = hosts::fileBaseAddress().toLatin1();
    if (!wire.startsWith(base))
        return false;
    const QByteArrayView rest = QByteArrayView(wire).sliced(base.size());
    return rest.startsWith("/") || rest.startsWith(":80/");
}

}  // namespace

QString linkStartMarker()
{
    return QStringLiteral("<dt><a class=\"sh_blog_title\" href=\"") + hosts::blogBaseAddress();
}

QString linkEndMarker()
{
    return QStringLiteral("\" target=_blank");
}

QStringList harvestLinks(const QString &resultPage)
{
    QStringList links;
    if (resultPage.isEmpty())
        return links;
    // Lower-casing keeps every position, so one copy per page serves every
    // search step of that page.
    const QString lowered = text::LowerCase(resultPage);
    const QString start = linkStartMarker();
    const QString end = linkEndMarker();
    qsizetype scan = 0;
    for (;;) {
        scan = InStr(scan + 1, lowered, start);
        if (scan == 0)
            break;
        const qsizetype linkStart = scan + LinkStartOffset;
        scan = InStr(linkStart + 1, resultPage, end);
        if (scan == 0)
            break;
        links.append(Mid(resultPage, linkStart, scan - linkStart));
    }
    return links;
}

std::optional<QString> postViewAddress(const QString &postLink)
{
    const QString base = hosts::blogBaseAddress();
    const std::optional<QString> blogId =
        cutAfterThenBefore(postLink, base, QStringLiteral("?Redirect"));
    const std::optional<QString> postNumber =
        cutAfterThenBefore(postLink, QStringLiteral("logNo="), linkEndMarker());
    if (!blogId || !postNumber)
        return std::nullopt;
    return base + QStringLiteral("PostView.nhn?blogId=") + *blogId + QStringLiteral("&logNo=") +
           *postNumber + QStringLiteral("&from=search");
}

QString titleStartMarker()
{
    return QStringLiteral("<span class=\"pcol1 itemSubjectBoldfont\">");
}

QString titleEndMarker()
{
    return QStringLiteral("</span>");
}

QStringList fileAddressRemovals()
{
    return {QStringLiteral("\"><img "), QStringLiteral("?type=attachment\""),
            QStringLiteral("','licenseyn':"), QStringLiteral("></DIV>"), QStringLiteral("<DIV")};
}

std::optional<Row> extractRow(const QString &postPage)
{
    const QString fileBase = hosts::fileBaseAddress();
    const qsizetype filePosition = InStr(1, postPage, fileBase);
    if (filePosition <= MinimumFilePosition)
        return std::nullopt;
    // The token is the tail from the file address on, up to and including its
    // first blank; searching the page from the file position finds the same
    // blank without copying the tail.
    const qsizetype blank = InStr(filePosition, postPage, QStringLiteral(" "));
    const QString token =
        blank == 0 ? QString() : Mid(postPage, filePosition, blank - filePosition + 1);
    if (!text::Like(token, u'*' + fileBase + u'*'))
        return std::nullopt;

    QString fileAddress = token;
    for (const QString &removal : fileAddressRemovals())
        fileAddress = text::Replace(fileAddress, removal, QString());
    if (!namesFileHost(fileAddress))
        return std::nullopt;

    std::optional<QString> title =
        cutAfterThenBefore(postPage, titleStartMarker(), titleEndMarker());
    if (!title)
        return std::nullopt;
    return Row{std::move(*title), std::move(fileAddress)};
}

}  // namespace plimo::extract
