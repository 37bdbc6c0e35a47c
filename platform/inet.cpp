#include "platform/inet.h"

#include "platform/curlloop.h"
#include "platform/error.h"
#include "platform/pagetext.h"
#include "platform/transfer.h"
#include "platform/wireaddress.h"

#include <algorithm>
#include <utility>

namespace plimo {
namespace {

Error cancelled()
{
    return Error(errc::Cancelled, QStringLiteral("the transfer was cancelled"));
}

}  // namespace

// Keeps a page fetch known to its instance for as long as the fetch runs.
struct Inet::PageEntry {
    PageEntry(std::vector<Transfer *> &pages, Transfer *page) : m_pages(pages), m_page(page)
    {
        m_pages.push_back(page);
    }
    ~PageEntry() { std::erase(m_pages, m_page); }
    PageEntry(const PageEntry &) = delete;
    PageEntry &operator=(const PageEntry &) = delete;

    std::vector<Transfer *> &m_pages;
    Transfer *m_page;
};

bool Inet::Wait::await_ready() const noexcept
{
    return m_transfer == nullptr || m_transfer->holds(*this);
}

void Inet::Wait::await_suspend(std::coroutine_handle<> handle) noexcept
{
    m_handle = handle;
    m_transfer->suspend(*this);
}

void Inet::Wait::await_resume() const
{
    if (m_cancelled)
        throw cancelled();
}

Inet::Inet() : m_loop(CurlLoop::forThisThread())
{
}

// Every coroutine still awaiting this instance runs on now, while all of it
// is still here for the calls that coroutine may make on its way out.
Inet::~Inet()
{
    m_closing = true;
    Cancel();
}

QCoro::Task<QString> Inet::OpenURL(QString address)
{
    const std::unique_ptr<Transfer> page = startTransfer(address, true, Resume{});
    const PageEntry entry(m_pages, page.get());
    co_await Wait(page.get(), Wait::Until::Done);
    if (page->failed())
        throw page->failure();
    if (page->status() < 200 || page->status() > 299)
        throw Error(errc::Transfer, QStringLiteral("the server answered %1").arg(page->status()));
    co_return decodePageText(page->takeBody(), page->headerValues("content-type").value(0));
}

void Inet::Execute(const QString &address, const QString &operation)
{
    Execute(address, operation, Resume{});
}

void Inet::Execute(const QString &address, const QString &operation, const Resume &resume)
{
    std::unique_ptr<Transfer> previous = std::move(m_stream);
    if (previous)
        previous->cancel();
    m_streamCancelled = false;
    m_stream = startTransfer(address, false, resume);
    if (operation.compare(QLatin1String("GET"), Qt::CaseInsensitive) != 0)
        m_stream->fail(errc::Transfer, QStringLiteral("only GET is supported"));
}

std::unique_ptr<Transfer> Inet::startTransfer(const QString &address, bool page,
                                              const Resume &resume) const
{
    if (m_closing)
        throw Error(errc::Cancelled, QStringLiteral("the transfer component is closing"));
    Transfer::Options options;
    options.mode = page ? Transfer::Mode::Page : Transfer::Mode::Stream;
    options.rateWindow = m_timeout;
    options.pageCap = m_pageCap;
    if (page)
        options.deadline = m_pageDeadline;
    options.resume = resume;
    return std::make_unique<Transfer>(m_loop, wireAddress(address), options);
}

bool Inet::StillExecuting() const
{
    return m_stream && !m_stream->headersComplete() && !m_stream->done();
}

Inet::Wait Inet::untilResponse()
{
    return Wait(m_stream.get(), Wait::Until::Response);
}

QString Inet::GetHeader(const QString &name) const
{
    return QString::fromLatin1(GetHeaders(name).value(0));
}

QList<QByteArray> Inet::GetHeaders(const QString &name) const
{
    if (!m_stream || !m_stream->headersComplete())
        return {};
    return m_stream->headerValues(name.toLatin1().toLower());
}

int Inet::ResponseCode() const
{
    return m_stream && m_stream->headersComplete() ? m_stream->status() : 0;
}

bool Inet::ChunkReady(std::int64_t maxBytes) const
{
    return !m_stream || m_stream->available() >= maxBytes || m_stream->done();
}

Inet::Wait Inet::untilChunkReady(std::int64_t maxBytes)
{
    if (m_stream)
        m_stream->resumeIfRoom();
    return Wait(m_stream.get(), Wait::Until::Chunk, maxBytes);
}

QByteArray Inet::GetChunk(std::int64_t maxBytes)
{
    if (m_streamCancelled)
        throw cancelled();
    if (!m_stream || maxBytes <= 0)
        return {};
    if (m_stream->available() == 0 && m_stream->failed())
        throw m_stream->failure();
    return m_stream->take(static_cast<qsizetype>(maxBytes));
}

void Inet::Cancel()
{
    // Off the instance before its waiter runs on, so a waiter that calls in
    // again finds nothing half-cancelled, and one that starts another request
    // keeps it.
    const std::unique_ptr<Transfer> stream = std::move(m_stream);
    if (stream) {
        m_streamCancelled = true;
        stream->cancel();
    }
    cancelPages();
}

// Each cancelled fetch's coroutine ends its own transfer, and may end others
// on its way out: only those still running are cancelled.
void Inet::cancelPages()
{
    const std::vector<Transfer *> running = m_pages;
    for (Transfer *page : running) {
        if (std::ranges::find(m_pages, page) != m_pages.end() && !page->cancelled())
            page->cancel();
    }
}

void Inet::setRequestTimeout(std::chrono::milliseconds timeout)
{
    m_timeout = timeout;
}

void Inet::setPageCap(std::int64_t bytes)
{
    m_pageCap = bytes;
}

void Inet::setPageDeadline(std::chrono::milliseconds deadline)
{
    m_pageDeadline = deadline;
}

}  // namespace plimo
