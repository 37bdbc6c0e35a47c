// Feeds arbitrary bytes through a whole search run as result pages and post
// pages, and checks the run against a literal step-by-step rendering of its
// rules written with Split and Element, where every failing statement is
// skipped. Any difference, crash or sanitizer report is a finding.
//
// Input: pieces separated by NUL bytes, each decoded as UTF-8. Piece 0 is the
// first result page; the other nine result pages fail. Post fetch k gets
// piece 1 + k modulo the number of post pieces. An empty piece is a fetch
// that fails.

#include "platform/error.h"
#include "search/extract.h"
#include "search/hosts.h"
#include "search/searchrun.h"
#include "search/text.h"
#include "tests/search/searchcontrols.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace plimo::text;
using plimo::step;

[[noreturn]] void mismatch(const char *what)
{
    std::fprintf(stderr, "search_fuzz: the run differs from the reference in %s\n", what);
    std::abort();
}

QList<QString> piecesOf(const std::uint8_t *data, std::size_t size)
{
    QList<QString> pieces;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0) {
            pieces.append(QString::fromUtf8(reinterpret_cast<const char *>(data + begin),
                                            qsizetype(i - begin)));
            begin = i + 1;
        }
    }
    return pieces;
}

QString fetchPiece(const QString &piece)
{
    if (piece.isEmpty())
        throw plimo::Error(plimo::errc::Transfer, QStringLiteral("no such page"));
    return piece;
}

// The link harvest with the page lower-cased at every search step.
QStringList referenceLinks(const QString &page)
{
    QStringList links;
    if (page.isEmpty())
        return links;
    qsizetype scan = 0;
    do {
        scan = InStr(scan + 1, LowerCase(page), plimo::extract::linkStartMarker());
        if (scan != 0) {
            const qsizetype linkStart = scan + plimo::extract::LinkStartOffset;
            scan = InStr(linkStart + 1, page, plimo::extract::linkEndMarker());
            if (scan != 0)
                links.append(Mid(page, linkStart, scan - linkStart));
        }
    } while (scan != 0);
    return links;
}

std::optional<QString> referencePostView(const QString &link)
{
    const QString base = plimo::hosts::blogBaseAddress();
    QStringList ids, numbers;
    step([&] { ids = Split(link, base); });
    step([&] { ids = Split(Element(ids, 1), QStringLiteral("?Redirect")); });
    step([&] { numbers = Split(link, QStringLiteral("logNo=")); });
    step([&] { numbers = Split(Element(numbers, 1), plimo::extract::linkEndMarker()); });
    std::optional<QString> address;
    step([&] {
        address = base + QStringLiteral("PostView.nhn?blogId=") + Element(ids, 0) +
                  QStringLiteral("&logNo=") + Element(numbers, 0) + QStringLiteral("&from=search");
    });
    return address;
}

using Row = plimo::test::MemoryControls::Row;

std::optional<Row> referenceRow(const QString &page)
{
    const QString fileBase = plimo::hosts::fileBaseAddress();
    const qsizetype filePosition = InStr(1, page, fileBase);
    if (filePosition <= plimo::extract::MinimumFilePosition)
        return std::nullopt;
    const QString tail = Mid(page, filePosition);
    const QString token = Mid(tail, 1, InStr(1, tail, QStringLiteral(" ")));
    if (!Like(token, QStringLiteral("*") + fileBase + QStringLiteral("*")))
        return std::nullopt;
    QString fileAddress = token;
    for (const QString &removal : plimo::extract::fileAddressRemovals())
        fileAddress = Replace(fileAddress, removal, QString());
    QStringList titles;
    step([&] { titles = Split(page, plimo::extract::titleStartMarker()); });
    step([&] { titles = Split(Element(titles, 1), plimo::extract::titleEndMarker()); });
    std::optional<Row> row;
    step([&] { row = Row{Element(titles, 0), fileAddress}; });
    return row;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QList<QString> pieces = piecesOf(data, size);
    const qsizetype postPieces = pieces.size() - 1;

    plimo::test::MemoryControls controls;
    qsizetype postFetches = 0;
    plimo::runSearch(controls, [&](const QString &address) {
        if (address.startsWith(QStringLiteral("http://") + plimo::hosts::searchHost()))
            return fetchPiece(address.contains(QStringLiteral("&start=1&")) ? pieces[0]
                                                                            : QString());
        const qsizetype k = postFetches++;
        return fetchPiece(postPieces > 0 ? pieces[1 + k % postPieces] : QString());
    });

    const QStringList links = referenceLinks(pieces[0]);
    if (controls.list2Items.items != links)
        mismatch("the post links");
    QStringList views;
    for (const QString &link : links) {
        if (const auto view = referencePostView(link))
            views.append(*view);
    }
    if (controls.list3Items.items != views)
        mismatch("the post-view addresses");
    QList<Row> rows;
    for (qsizetype k = 0; k < views.size() && postPieces > 0; ++k) {
        if (const auto row = referenceRow(pieces[1 + k % postPieces]))
            rows.append(*row);
    }
    if (controls.rows != rows)
        mismatch("the rows");
    if (controls.statuses.size() != 5 || controls.list1Items.items.size() != 10)
        mismatch("the page plan or the status texts");
    return 0;
}
