// Feeds arbitrary bytes through a whole search run as result pages and post
// pages, and checks the run against a literal step-by-step rendering of its
// rules written with Split and Element, where every failing statement is
// skipped. Any difference, crash or sanitizer report is a finding.
//
// Input: pieces separated by NUL bytes, each decoded as UTF-8. Piece 0 is the
// first result page; the other nine result pages fail. Post fetch k gets
// piece 1 + k modulo the number of post pieces. An empty piece is a fetch
// that fails.

#include "search/hosts.h"
#include "tests/search/searchcontrols.h"
#include "tests/text/literal.h"
#include "text/text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace plimo::extract;
using namespace plimo::text;
using plimo::test::Element;
using plimo::test::Split;
using plimo::test::step;

void expectSame(bool same, const char *what)
{
    if (same)
        return;
    std::fprintf(stderr, "search_fuzz: the run differs from the reference in %s\n", what);
    std::abort();
}

// The link harvest with the page lower-cased at every search step.
QStringList referenceLinks(const QString &page)
{
    QStringList links;
    qsizetype scan = 0;
    while ((scan = InStr(scan + 1, LowerCase(page), linkStartMarker())) != 0) {
        const qsizetype linkStart = scan + LinkStartOffset;
        if ((scan = InStr(linkStart + 1, page, linkEndMarker())) == 0)
            break;
        links.append(Mid(page, linkStart, scan - linkStart));
    }
    return links;
}

void appendPostView(const QString &link, QStringList &views)
{
    const QString base = plimo::hosts::blogBaseAddress();
    QStringList ids, numbers;
    step([&] { ids = Split(link, base); });
    step([&] { ids = Split(Element(ids, 1), u"?Redirect"_qs); });
    step([&] { numbers = Split(link, u"logNo="_qs); });
    step([&] { numbers = Split(Element(numbers, 1), linkEndMarker()); });
    step([&] {
        views.append(base + u"PostView.nhn?blogId="_qs + Element(ids, 0) + u"&logNo="_qs +
                     Element(numbers, 0) + u"&from=search"_qs);
    });
}

void appendRow(const QString &page, QList<Row> &rows)
{
    const QString fileBase = plimo::hosts::fileBaseAddress();
    const qsizetype filePosition = InStr(1, page, fileBase);
    if (filePosition <= MinimumFilePosition)
        return;
    const QString tail = Mid(page, filePosition);
    QString fileAddress = Mid(tail, 1, InStr(1, tail, u" "_qs));
    if (!Like(fileAddress, u"*"_qs + fileBase + u"*"_qs))
        return;
    for (const QString &removal : fileAddressRemovals())
        fileAddress = Replace(fileAddress, removal, QString());
    // On the text rather than on the wire: escaping never yields "/" or ":80/".
    const QString onHost = fileBase + u"/"_qs, onPort80 = fileBase + u":80/"_qs;
    if (fileAddress.size() > MaxFileAddressLength ||
        (Mid(fileAddress, 1, onHost.size()) != onHost &&
         Mid(fileAddress, 1, onPort80.size()) != onPort80))
        return;
    QStringList titles;
    step([&] { titles = Split(page, titleStartMarker()); });
    step([&] { titles = Split(Element(titles, 1), titleEndMarker()); });
    step([&] { rows.append(Row{Element(titles, 0), fileAddress}); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QStringList pieces;
    for (const QByteArray &piece :
         QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)).split('\0'))
        pieces.append(QString::fromUtf8(piece));
    const auto postPage = [&](qsizetype k) {
        return pieces.size() > 1 ? pieces[1 + k % (pieces.size() - 1)] : QString();
    };

    // Fetches come strictly in list order: the ten result pages, then the posts.
    plimo::test::MemoryControls controls;
    qsizetype fetches = 0;
    // The fetches complete at once, and so does the run.
    plimo::runSearch(controls, [&](const QString &) -> QCoro::Task<QString> {
        const qsizetype n = fetches++;
        const QString page = n == 0 ? pieces[0] : n < 10 ? QString() : postPage(n - 10);
        if (page.isEmpty())
            throw plimo::Error(plimo::errc::Transfer, u"no such page"_qs);
        co_return page;
    });

    const QStringList links = referenceLinks(pieces[0]);
    QStringList views;
    for (const QString &link : links)
        appendPostView(link, views);
    QList<Row> rows;
    for (qsizetype k = 0; k < views.size(); ++k)
        appendRow(postPage(k), rows);
    expectSame(controls.list2Items.items == links && controls.list3Items.items == views,
               "the post links or the post-view addresses");
    expectSame(controls.rows == rows && fetches == 10 + views.size(), "the rows or the fetches");
    return 0;
}
