#include "search/pagewindow.h"

#include "platform/error.h"

#include <algorithm>
#include <coroutine>
#include <exception>
#include <map>
#include <memory>
#include <utility>

namespace plimo {
namespace {

// Shared by the task and every fetch it started, so that it lives as long as
// the last of them, whichever that is.
struct Shared {
    Shared(QStringList addresses, PageFetch fetch, PageScan scan)
        : addresses(std::move(addresses)), fetch(std::move(fetch)), scan(std::move(scan))
    {
    }

    // Keeps a page's result until every earlier page's has been applied.
    void arrived(qsizetype index, std::function<void()> apply)
    {
        waiting.emplace(index, std::move(apply));
        while (!waiting.empty() && waiting.begin()->first == applied) {
            const auto step = std::move(waiting.begin()->second);
            waiting.erase(waiting.begin());
            ++applied;
            step();
        }
    }

    void fetchEnded()
    {
        --running;
        if (const auto task = std::exchange(idle, nullptr))
            task.resume();
    }

    const QStringList addresses;
    const PageFetch fetch;
    const PageScan scan;
    qsizetype started = 0;
    qsizetype applied = 0;
    int running = 0;
    std::map<qsizetype, std::function<void()>> waiting;
    std::exception_ptr failure;    // the first thing thrown; ends the list
    std::coroutine_handle<> idle;  // the task, while it waits for a fetch to end
};

// Suspends the task until one of its fetches ends.
struct UntilFetchEnds {
    Shared &shared;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> task) noexcept { shared.idle = task; }
    void await_resume() const noexcept {}
};

// A page that cannot be fetched counts as an empty page. Going on with the
// previous page's text instead would scan it a second time and add its links
// or its row again, with another post's title and file. A cancelled fetch is
// no page at all: the window is closing, and the run ends with it.
QCoro::Task<QString> fetchOrEmpty(const PageFetch &fetch, const QString &address)
{
    try {
        co_return co_await fetch(address);
    } catch (const Error &error) {
        if (error.number() == errc::Cancelled)
            throw;
    }
    co_return QString();
}

// Started without being awaited: QCoro 0.8 leaves an unfinished coroutine
// running when its task goes, and frees it when it ends. So nothing may escape
// from here, or the task would wait for this fetch forever.
QCoro::Task<> fetchOne(std::shared_ptr<Shared> window, qsizetype index)
{
    try {
        const QString page = co_await fetchOrEmpty(window->fetch, window->addresses.at(index));
        if (!window->failure)
            window->arrived(index, window->scan(page));
    } catch (...) {
        if (!window->failure)
            window->failure = std::current_exception();
    }
    window->fetchEnded();
}

}  // namespace

QCoro::Task<> fetchPages(QStringList addresses, PageFetch fetch, PageScan scan, int window)
{
    const int width = std::max(window, 1);
    const auto state =
        std::make_shared<Shared>(std::move(addresses), std::move(fetch), std::move(scan));
    for (;;) {
        while (!state->failure && state->running < width &&
               state->started < state->addresses.size()) {
            ++state->running;
            fetchOne(state, state->started++);
        }
        if (state->running == 0)
            break;
        co_await UntilFetchEnds{*state};
    }
    if (state->failure)
        std::rethrow_exception(state->failure);
}

}  // namespace plimo
