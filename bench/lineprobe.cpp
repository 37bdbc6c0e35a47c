// Drives and measures the line of downloads in the real program, loaded into
// it with LD_PRELOAD:
//
//   LD_PRELOAD=libline_probe.so PLIMO_PROBE_IN=FIFO PLIMO_PROBE_OUT=FILE plimomp3
//
// It reads commands, one a line, from the FIFO (so a script can drive the
// window without clicking where Text3 cannot be seen):
//   folder <path>        Text2 takes the path (it must end with "/")
//   queue <address>...   appends "queued", then for each address, one a pass
//                        of the event loop: Text3 takes it, and 음악다운
//                        (Command3) is clicked
//   list / unlist        opens the downloads list as Ctrl+J does / closes it
//   gaps / endgaps       counts the event loop's passes from now / appends
//                        "gaps <summary>" (see loopgaps.h)
// and appends to FILE, times in CLOCK_MONOTONIC nanoseconds (the portal's
// clock), CPU in seconds of the process and of the window's thread:
//   queued <ns> <cpu> <thread cpu>
//   landed <ns> <cpu> <thread cpu> <name>   a download's file took its name
//   full <ns>                               ProgressBar1 shows 100
// A landing is seen where it happens, in the call that names the file (the
// probe stands in front of libc's linkat and renameat), not when the window
// gets round to showing it.

#include "bench/loopgaps.h"

#include <QAbstractButton>
#include <QApplication>
#include <QByteArray>
#include <QKeySequence>
#include <QLineEdit>
#include <QProgressBar>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <optional>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace {

int outFd = -1;

std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

double cpuSeconds(clockid_t clock)
{
    timespec used{};
    clock_gettime(clock, &used);
    return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

// One write per line, so that a reader never sees half of one.
void emitLine(const QByteArray &line)
{
    if (outFd >= 0) [[maybe_unused]]
        auto written = ::write(outFd, line.constData(), size_t(line.size()));
}

QByteArray stamped(const char *what)
{
    return QByteArray(what) + ' ' + QByteArray::number(monotonicNs()) + ' ' +
           QByteArray::number(cpuSeconds(CLOCK_PROCESS_CPUTIME_ID), 'f', 4) + ' ' +
           QByteArray::number(cpuSeconds(CLOCK_THREAD_CPUTIME_ID), 'f', 4);
}

// The downloads' files end in .mp3; the settings file, also saved through a
// rename, does not.
void noteLanding(const char *name)
{
    const QByteArray path(name);
    const QByteArray base = path.mid(path.lastIndexOf('/') + 1);
    if (base.startsWith('.') || !base.endsWith(".mp3"))
        return;
    emitLine(stamped("landed") + ' ' + base + '\n');
}

class Probe final : public QObject {
public:
    explicit Probe(int in) : m_in(in), m_notifier(in, QSocketNotifier::Read)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] { readCommands(); });
    }

private:
    void readCommands()
    {
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(m_in, buffer, sizeof buffer)) > 0)
            m_pending.append(buffer, got);
        qsizetype end = 0;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            const QByteArray line = m_pending.left(end).trimmed();
            m_pending.remove(0, end + 1);
            run(line.split(' '));
        }
    }

    static QWidget *form()
    {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (top->objectName() == u"Form1")
                return top;
        }
        return nullptr;
    }

    void run(const QList<QByteArray> &words)
    {
        QWidget *window = form();
        if (window == nullptr || words.isEmpty())
            return;
        const QByteArray &command = words.constFirst();
        if (command == "folder" && words.size() == 2)
            setText(window, "Text2", words[1]);
        else if (command == "queue") {
            emitLine(stamped("queued") + '\n');
            queue(window, words.mid(1));
        } else if (command == "list")
            openList(window);
        else if (command == "unlist")
            closeList();
        else if (command == "gaps")
            m_gaps.emplace();
        else if (command == "endgaps" && m_gaps) {
            m_gaps->stop();
            emitLine("gaps " + QByteArray::fromStdString(m_gaps->summary()) + '\n');
            m_gaps.reset();
        }
    }

    static void setText(QWidget *window, const char *box, const QByteArray &text)
    {
        if (auto *edit = window->findChild<QLineEdit *>(QString::fromLatin1(box)))
            edit->setText(QString::fromUtf8(text));
    }

    // One click a pass of the event loop, as clicks by hand come: ten in one
    // pass would count as one gap ten clicks long.
    void queue(QWidget *window, const QList<QByteArray> &addresses)
    {
        watchBar(window);
        auto *button = window->findChild<QAbstractButton *>(QStringLiteral("Command3"));
        if (button == nullptr)
            return;
        if (addresses.isEmpty())
            return;
        setText(window, "Text3", addresses.constFirst());
        button->click();
        QTimer::singleShot(0, this, [this, rest = addresses.mid(1)] {
            if (QWidget *window = form())
                queue(window, rest);
        });
    }

    void watchBar(QWidget *window)
    {
        if (m_watching)
            return;
        auto *bar = window->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"));
        if (bar == nullptr)
            return;
        m_watching = true;
        connect(bar, &QProgressBar::valueChanged, this, [](int value) {
            if (value == 100)
                emitLine("full " + QByteArray::number(monotonicNs()) + '\n');
        });
    }

    // As the key would: the window's own Ctrl+J shortcut fires.
    static void openList(QWidget *window)
    {
        const QKeySequence key(Qt::CTRL | Qt::Key_J);
        for (QShortcut *shortcut : window->findChildren<QShortcut *>()) {
            if (shortcut->key() == key)
                emit shortcut->activated();
        }
    }

    static void closeList()
    {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (top->objectName() == u"DownloadList")
                top->close();
        }
    }

    int m_in;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
    bool m_watching = false;
    std::optional<benchgaps::LoopGaps> m_gaps;
};

void installProbe()
{
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr)
        return;
    outFd = ::open(qgetenv("PLIMO_PROBE_OUT").constData(),
                   O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    // Read and write: the FIFO never reads as ended between two writers.
    const int in = ::open(qgetenv("PLIMO_PROBE_IN").constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (in < 0)
        return;
    static Probe probe(in);
}

template <typename Function> Function next(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)

extern "C" {

int linkat(int fromFolder, const char *from, int toFolder, const char *to, int flags) noexcept
{
    static const auto real = next<int (*)(int, const char *, int, const char *, int)>("linkat");
    const int result = real(fromFolder, from, toFolder, to, flags);
    if (result == 0)
        noteLanding(to);
    return result;
}

int renameat(int fromFolder, const char *from, int toFolder, const char *to) noexcept
{
    static const auto real = next<int (*)(int, const char *, int, const char *)>("renameat");
    const int result = real(fromFolder, from, toFolder, to);
    if (result == 0)
        noteLanding(to);
    return result;
}

int renameat2(int fromFolder, const char *from, int toFolder, const char *to,
              unsigned flags) noexcept
{
    static const auto real =
        next<int (*)(int, const char *, int, const char *, unsigned)>("renameat2");
    const int result = real(fromFolder, from, toFolder, to, flags);
    if (result == 0)
        noteLanding(to);
    return result;
}

}  // extern "C"
