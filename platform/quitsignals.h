#pragma once

// SIGTERM, SIGINT and SIGHUP as a Qt signal, so that a program asked to end
// ends the way it does when its window is closed: through its event loop,
// with every destructor run and no temporary file left behind.
//
// The handlers only write a byte to a pipe (the only kind of work a signal
// handler may do); the event loop reads it and emits quitRequested(). One
// object at a time: it installs the handlers in its constructor and restores
// the previous ones in its destructor.

#include <QObject>

#include <array>
#include <csignal>

class QSocketNotifier;

namespace plimo {

class QuitSignals final : public QObject {
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

signals:
    // After one or more of the signals arrived; signals that arrive together
    // may make one emission.
    void quitRequested();

private:
    void drain();

    static constexpr std::array<int, 3> Handled{SIGTERM, SIGINT, SIGHUP};
    int m_readEnd = -1;
    int m_writeEnd = -1;
    QSocketNotifier *m_notifier = nullptr;
    std::array<struct sigaction, Handled.size()> m_previous{};
};

}  // namespace plimo
