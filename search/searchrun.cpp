#include "search/searchrun.h"

#include "search/extract.h"
#include "search/hosts.h"
#include "search/pagewindow.h"
#include "text/text.h"

namespace plimo {
namespace {

// The count is taken once, when the phase begins.
QStringList itemsOf(const WorkList &list)
{
    QStringList items;
    const qsizetype count = list.count();
    items.reserve(count);
    for (qsizetype i = 0; i < count; ++i)
        items.append(list.item(i));
    return items;
}

QCoro::Task<> harvestPostLinks(SearchControls &controls, const PageFetch &fetch)
{
    return fetchPages(itemsOf(controls.list1()), fetch,
                      [&controls](const QString &page) -> std::function<void()> {
                          return [&controls, links = extract::harvestLinks(page)] {
                              for (const QString &link : links)
                                  controls.list2().append(link);
                          };
                      });
}

void rebuildPostViews(SearchControls &controls)
{
    const qsizetype count = controls.list2().count();
    for (qsizetype j = 0; j < count; ++j) {
        if (const auto address = extract::postViewAddress(controls.list2().item(j)))
            controls.list3().append(*address);
    }
}

QCoro::Task<> extractAttachments(SearchControls &controls, const PageFetch &fetch)
{
    return fetchPages(itemsOf(controls.list3()), fetch,
                      [&controls](const QString &page) -> std::function<void()> {
                          return [&controls, row = extract::extractRow(page)] {
                              if (row)
                                  controls.addRow(row->title, row->fileAddress);
                          };
                      });
}

}  // namespace

void loadlist(SearchControls &controls)
{
    const QString plan = QStringLiteral("http://") + hosts::searchHost() +
                         QStringLiteral("/search.naver?where=post&sm=tab_jum");
    // The first address has its keys in another order than the nine after it.
    controls.list1().append(plan + QStringLiteral("&start=1&query=") + controls.queryText());
    for (int start = 11; start <= 91; start += 10) {
        controls.list1().append(plan + QStringLiteral("&query=") + controls.queryText() +
                                QStringLiteral("&start=") + QString::number(start));
    }
}

QCoro::Task<> runSearch(SearchControls &controls, Inet &inet1)
{
    co_await runSearch(controls,
                       [&inet1](const QString &address) { return inet1.OpenURL(address); });
}

QCoro::Task<> runSearch(SearchControls &controls, PageFetch fetch)
{
    controls.list1().clear();
    controls.list2().clear();
    controls.list3().clear();
    controls.clearRows();
    controls.clearSelectedAddress();
    loadlist(controls);

    controls.setStatus(QStringLiteral("검색중.... "));
    co_await harvestPostLinks(controls, fetch);
    controls.setStatus(QStringLiteral("검색중..."));
    rebuildPostViews(controls);
    controls.setStatus(QStringLiteral("파일 추출 중...."));
    co_await extractAttachments(controls, fetch);
    controls.setStatus(QStringLiteral("검색끝"));
    controls.setStatus(text::NumberToText(std::int64_t{controls.rowCount()}) + text::Space(1) +
                       QStringLiteral("개 검색되었습니다."));
}

}  // namespace plimo
