// What ended rows of the line cost while the downloads list shows them: the
// window (Form1) with its list open runs WARM tiny downloads, then ROWS more,
// all through http_proxy (list_bench.sh starts the server), and the process's
// resident memory and heap in use are compared before and after the ROWS.
//
//   http_proxy=http://127.0.0.1:PORT list_memory ADDRESS-PREFIX [ROWS] [WARM]
//
// Each download is ADDRESS-PREFIX<n>.mp3, clicked in batches of 100 as a
// user would queue them. Prints
//   "rows <n> done <n> boxes <n> rss-kb <before> <after> heap-kb <before> <after>"
// (boxes: message boxes the clicks raised; there should be none).

#include "ui/form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include <malloc.h>

namespace {

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLong();
    }
    return -1;
}

long heapKb()
{
    return static_cast<long>(mallinfo2().uordblks / 1024);
}

// Lets the event loop run for a while: the list repaints, the timers fire.
void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

class Clicker final {
public:
    Clicker(plimo::Form1 &form, QString prefix) : m_form(form), m_prefix(std::move(prefix))
    {
        m_address = form.findChild<QLineEdit *>(QStringLiteral("Text3"));
    }

    // Queues count downloads and waits until the line has run them all.
    bool run(int count)
    {
        for (int n = 0; n < count; ++n) {
            m_address->setText(m_prefix + QString::number(m_next++) + QStringLiteral(".mp3"));
            m_form.Command3_Click();
        }
        QEventLoop loop;
        QObject::connect(&m_form.line(), &plimo::DownloadLine::idle, &loop, &QEventLoop::quit);
        QTimer::singleShot(120'000, &loop, [&loop] { loop.exit(1); });
        return m_form.line().isIdle() || loop.exec() == 0;
    }

private:
    plimo::Form1 &m_form;
    QString m_prefix;
    QLineEdit *m_address = nullptr;
    int m_next = 1;
};

}  // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: list_memory ADDRESS-PREFIX [ROWS] [WARM]\n");
        return 2;
    }
    const int rows = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int warm = argc > 3 ? std::atoi(argv[3]) : 100;
    QTemporaryDir folder;
    plimo::Form1 form;
    int boxes = 0;
    form.setMessageBox([&boxes](QWidget *, const QString &, plimo::MessageStyle) {
        ++boxes;
        return plimo::MessageAnswer::No;
    });
    form.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(folder.path() + u'/');
    form.show();
    form.showDownloadList();

    Clicker clicker(form, QString::fromLocal8Bit(argv[1]));
    if (!clicker.run(warm))
        return 1;
    settle(1000);
    const long rssBefore = residentKb(), heapBefore = heapKb();
    for (int done = 0; done < rows; done += 100) {
        if (!clicker.run(std::min(100, rows - done)))
            return 1;
    }
    settle(1000);
    const long rssAfter = residentKb(), heapAfter = heapKb();

    int landed = 0;
    for (int row = 0; row < form.line().rowCount(); ++row)
        landed += form.line().state(row) == plimo::DownloadState::Done ? 1 : 0;
    std::printf("rows %d done %d boxes %d rss-kb %ld %ld heap-kb %ld %ld\n", form.line().rowCount(),
                landed, boxes, rssBefore, rssAfter, heapBefore, heapAfter);
    return 0;
}
