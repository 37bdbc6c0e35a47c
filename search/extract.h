#pragma once

// The three cuts of a search, as pure functions of the text they work on:
// the post links of one result page, the post-view address of one post link,
// and the (title, file address) row of one post page.
//
// Each is written in the primitives of text.h, so its edge behaviour (1-based
// positions, what an absent marker or an empty piece yields) is theirs. Each
// costs time linear in the size of its input.

#include <QString>
#include <QStringList>

#include <optional>

namespace plimo::extract {

// Result pages.
// The link start marker is the anchor markup followed by the blog base
// address; it is matched without regard to letter case. The link is the text
// from the blog base address up to the double quote of the link end marker,
// which must match exactly.
QString linkStartMarker();
inline constexpr qsizetype LinkStartOffset = 35;  // length of the anchor markup before the link
QString linkEndMarker();

// Every post link of a result page, in page order. A link start with no link
// end after it ends the scan: no later link could be complete. The links keep
// the page's letter case and character references; none is empty.
QStringList harvestLinks(const QString &resultPage);

// The post-view address on the blog host for one post link: the blog id is
// what stands between the first blog base address and the next "?Redirect"
// (the whole link when there is no blog base address), the post number what
// stands between the first "logNo=" and the next link end marker (the whole
// link when there is no "logNo="). nullopt when the link ends right after
// the blog base address or right after "logNo=", where no piece is left.
std::optional<QString> postViewAddress(const QString &postLink);

// Post pages.
inline constexpr qsizetype MinimumFilePosition = 4;  // the file address must stand after it
QString titleStartMarker();
QString titleEndMarker();
// The markup fragments removed from a file address, in the order they are removed.
QStringList fileAddressRemovals();

struct Row {
    QString title;
    QString fileAddress;

    friend bool operator==(const Row &, const Row &) = default;
};

// Longer file addresses are refused: each would cost its length many times
// over once a row holds it.
inline constexpr qsizetype MaxFileAddressLength = 4096;

// The row that a post page yields, or nullopt when it yields none:
// - the first file base address must stand at a position above 4;
// - the file address runs from there up to and including the first blank
//   (it keeps that blank); with no blank after it there is no row;
// - the removals are applied in order, each to the result of the one before;
// - the file address that results is at most MaxFileAddressLength UTF-16
//   units long, and as sent on the wire it begins with the file base address
//   followed directly by "/" or ":80/", so a page cannot send the download to
//   another host or port;
// - the title is what stands between the first title start marker and the
//   next title end marker (or the next title start marker, or the end of the
//   page), untrimmed; the whole page when there is no title start marker.
// A page that has nothing after its first title start marker (it ends there,
// or a second one follows at once) has no title to cut, and yields no row.
std::optional<Row> extractRow(const QString &postPage);

}  // namespace plimo::extract
