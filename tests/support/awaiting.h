#pragma once

#include "platform/error.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <QCoroTask>

#include <chrono>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace plimo::test {

namespace detail {

struct Finish {
    QEventLoop loop;
    bool done = false;
    std::exception_ptr error;
};

template <typename T, typename Result>
QCoro::Task<> runToEnd(QCoro::Task<T> task, Finish &finish, Result &result)
{
    try {
        if constexpr (std::is_void_v<T>)
            co_await std::move(task);
        else
            result = co_await std::move(task);
    } catch (...) {
        finish.error = std::current_exception();
    }
    finish.done = true;
    finish.loop.quit();
}

}  // namespace detail

// Runs a task to its end on a nested event loop, as the window's own loop
// would, and gives its result or rethrows what it threw. (QCoro's waitFor
// never returns from a task that throws.)
template <typename T> T await(QCoro::Task<T> task)
{
    detail::Finish finish;
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> result{};
    detail::runToEnd(std::move(task), finish, result);
    if (!finish.done)
        finish.loop.exec();
    if (finish.error)
        std::rethrow_exception(finish.error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*result);
}

// Awaits task and notes how it ended: 0, or the number of the plimo::Error it
// threw. Started without being awaited, it lets a test watch a task run.
template <typename T> QCoro::Task<> record(QCoro::Task<T> task, int &outcome)
{
    try {
        co_await std::move(task);
        outcome = 0;
    } catch (const Error &error) {
        outcome = error.number();
    }
}

// Runs the event loop until done() holds or the time is up; whether it held.
template <typename Predicate> bool spinUntil(Predicate done, std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    return done();
}

}  // namespace plimo::test
