// Measures downloads in the real program, loaded into it with LD_PRELOAD:
//
//   LD_PRELOAD=build/bench/libwindow_probe.so PLIMO_PROBE_OUT=FILE build/app/plimomp3
//
// From the release of the mouse button on 음악다운 (Command3) to the progress
// bar's 100 (the file has its name by then), it appends one line to FILE:
//   "<seconds> <process CPU s> <window thread CPU s> <waits> <preempted>"
// (waits: the times the window's thread blocked, most of them in the event
// loop's poll; preempted: the times it was pushed off its core). With PLIMO_PROBE_GAPS=1 it counts
// the event loop's passes meanwhile instead and appends their summary (see loopgaps.h); the
// counting keeps the loop busy, so those runs say nothing about CPU.

#include "bench/loopgaps.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QProgressBar>
#include <QWidget>

#include <memory>
#include <optional>

#include <sys/resource.h>

namespace {

struct Usage {
    double process = 0;
    double thread = 0;
    long threadWaits = 0;
    long threadPreempted = 0;
};

double seconds(const timeval &t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

Usage usageNow()
{
    rusage process{}, thread{};
    getrusage(RUSAGE_SELF, &process);
    getrusage(RUSAGE_THREAD, &thread);
    return {seconds(process.ru_utime) + seconds(process.ru_stime),
            seconds(thread.ru_utime) + seconds(thread.ru_stime), thread.ru_nvcsw, thread.ru_nivcsw};
}

class Probe final : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonRelease && !m_running &&
            watched->objectName() == u"Command3" && watched->isWidgetType())
            start(static_cast<QWidget *>(watched)->window());
        return false;
    }

private:
    void start(QWidget *window)
    {
        auto *bar = window->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"));
        if (bar == nullptr)
            return;
        if (!m_watching) {
            m_watching = true;
            connect(bar, &QProgressBar::valueChanged, this, [this](int value) {
                if (value == 100 && m_running)
                    stop();
            });
        }
        m_running = true;
        if (qEnvironmentVariableIntValue("PLIMO_PROBE_GAPS") == 1)
            m_gaps.emplace();
        m_before = usageNow();
        m_clock.start();
    }

    void stop()
    {
        const double wall = double(m_clock.nsecsElapsed()) / 1e9;
        const Usage after = usageNow();
        m_running = false;
        QByteArray line;
        if (m_gaps) {
            m_gaps->stop();
            line = QByteArray::fromStdString(m_gaps->summary());
            m_gaps.reset();
        } else {
            line = QByteArray::number(wall, 'f', 3) + ' ' +
                   QByteArray::number(after.process - m_before.process, 'f', 3) + ' ' +
                   QByteArray::number(after.thread - m_before.thread, 'f', 3) + ' ' +
                   QByteArray::number(after.threadWaits - m_before.threadWaits) + ' ' +
                   QByteArray::number(after.threadPreempted - m_before.threadPreempted);
        }
        QFile out(qEnvironmentVariable("PLIMO_PROBE_OUT"));
        if (out.open(QIODevice::Append))
            out.write(line + '\n');
    }

    bool m_running = false;
    bool m_watching = false;
    Usage m_before;
    QElapsedTimer m_clock;
    std::optional<benchgaps::LoopGaps> m_gaps;
};

void installProbe()
{
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr)
        return;
    static Probe probe;
    QCoreApplication::instance()->installEventFilter(&probe);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
