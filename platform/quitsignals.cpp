#include "platform/quitsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace plimo {
namespace {

volatile std::sig_atomic_t writeEnd = -1;

void onSignal(int)
{
    const int savedErrno = errno;
    // A full pipe already holds a request the loop has yet to read.
    const char byte = 1;
    const ssize_t written = ::write(writeEnd, &byte, 1);
    Q_UNUSED(written);
    errno = savedErrno;
}

}  // namespace

QuitSignals::QuitSignals(QObject *parent) : QObject(parent)
{
    int ends[2];
    // Non-blocking, so the handler can never hang on a full pipe.
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot make a pipe");
    m_readEnd = ends[0];
    m_writeEnd = ends[1];
    writeEnd = m_writeEnd;
    m_notifier = new QSocketNotifier(m_readEnd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitSignals::drain);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < Handled.size(); ++i)
        ::sigaction(Handled[i], &action, &m_previous[i]);
}

QuitSignals::~QuitSignals()
{
    for (std::size_t i = 0; i < Handled.size(); ++i)
        ::sigaction(Handled[i], &m_previous[i], nullptr);
    writeEnd = -1;
    delete m_notifier;
    ::close(m_readEnd);
    ::close(m_writeEnd);
}

void QuitSignals::drain()
{
    char bytes[64];
    bool received = false;
    for (;;) {
        const ssize_t got = ::read(m_readEnd, bytes, sizeof bytes);
        if (got > 0)
            received = true;
        else if (got == 0 || errno != EINTR)
            break;
    }
    if (received)
        emit quitRequested();
}

}  // namespace plimo
