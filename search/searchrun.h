#pragma once

// The search run: a query becomes rows of (post title, file address).
//
// The run reads and writes the window's controls only through SearchControls,
// so it runs the same against the real window and against a test double. It
// fetches through the Inet it is given, several pages at once (pagewindow.h),
// and fills the lists and the rows exactly as fetching the pages one after the
// other in list order would.

#include "platform/inet.h"
#include "search/pagewindow.h"

#include <QString>

#include <QCoroTask>

namespace plimo {

// A work list: ordered, unsorted, duplicates kept, indexed from 0.
class WorkList {
public:
    virtual ~WorkList() = default;
    virtual void clear() = 0;
    virtual void append(const QString &item) = 0;
    virtual qsizetype count() const = 0;
    virtual QString item(qsizetype index) const = 0;
};

// What the search run needs of the window.
class SearchControls {
public:
    virtual ~SearchControls() = default;

    virtual QString queryText() const = 0;  // Text1
    virtual WorkList &list1() = 0;          // result-page addresses
    virtual WorkList &list2() = 0;          // post links
    virtual WorkList &list3() = 0;          // post-view addresses

    // ListView1: rows of (title, file address).
    virtual void clearRows() = 0;
    virtual void addRow(const QString &title, const QString &fileAddress) = 0;
    virtual qsizetype rowCount() const = 0;

    virtual void clearSelectedAddress() = 0;  // Text3

    virtual void setStatus(const QString &text) = 0;  // Label1
};

// The page plan: appends the ten result-page addresses for the query to list1.
// Does not clear list1 first.
void loadlist(SearchControls &controls);

// The whole search: clears the lists, the rows and the selected address,
// builds the page plan, harvests post links, rebuilds them into post-view
// addresses, extracts each post's first attachment, and writes the status
// texts and finally the count text. A page that cannot be fetched counts as
// an empty page. Each phase fetches its list DefaultPageWindow pages at a
// time and adds what they yield in list order, rows appearing from the top as
// their pages arrive; the post pages are requested only once every result
// page has been read. The pages are awaited, so the thread's event loop runs
// meanwhile; the only failure that ends the run early is a cancelled fetch
// (errc::Cancelled, the window is closing), which the task rethrows once no
// fetch of the run is running any more. The controls and inet1 must outlive
// the task, and inet1 must run several OpenURLs at once.
QCoro::Task<> runSearch(SearchControls &controls, Inet &inet1);

// The same run with the fetch given as a function (see PageFetch). Lets the run
// be driven without a network (the fuzzer feeds its pages here): with fetches
// that complete at once, so does the run.
QCoro::Task<> runSearch(SearchControls &controls, PageFetch fetch);

}  // namespace plimo
