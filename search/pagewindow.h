#pragma once

// Fetching the pages of one list a few at a time, with what they yield kept in
// list order.
//
// fetchPages fetches every address of its list with at most `window` requests
// running at once. It starts them in list order and starts the next one as
// soon as any running one ends; a page that has arrived and only waits for an
// earlier one holds no place in the window. Each page is scanned as soon as it
// has arrived, and only what the scan returns is kept, never the page's text.
// Those results are applied in list order: a page's result is applied once
// the results of every earlier page have been, so the results and their order
// are those of fetching the pages one after the other, and they appear from
// the top of the list while later pages are still on their way.
//
// A page that cannot be fetched (the fetch throws plimo::Error) is scanned as
// an empty page. A cancelled fetch (errc::Cancelled: the window is closing),
// or anything else thrown by a fetch, a scan or a result, ends the whole list:
// no further request is started, no further result is applied, and once every
// fetch still running has ended the task rethrows what was thrown first. The
// task never ends while one of its fetches still runs. Duplicates are fetched
// as often as they are listed. With fetches that complete at once, so does
// the task.

#include <QString>
#include <QStringList>

#include <QCoroTask>

#include <functional>

namespace plimo {

// Gives the body of one address as text, or throws plimo::Error when the
// address cannot be fetched. Called once per listed address, in list order;
// fetchPages keeps its copy alive until the last of those calls has ended.
using PageFetch = std::function<QCoro::Task<QString>(const QString &address)>;

// Called with a page's text as soon as it has arrived; returns what the page
// yields, as the step that applies it. The steps run in list order.
using PageScan = std::function<std::function<void()>(const QString &page)>;

// How many requests a search has running at once.
inline constexpr int DefaultPageWindow = 6;

// Fetches, scans and applies every page of addresses as described above. A
// window below 1 counts as 1. Whatever the scan and its steps refer to must
// outlive the task.
QCoro::Task<> fetchPages(QStringList addresses, PageFetch fetch, PageScan scan,
                         int window = DefaultPageWindow);

}  // namespace plimo
