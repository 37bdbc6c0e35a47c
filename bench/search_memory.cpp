// Memory across searches in one window, for search_memory.sh:
//   search_memory [SEARCHES [WARMUP]]
// runs SEARCHES searches (default 100) one after the other in one real
// window (through http_proxy), each started as Enter in the query box does,
// and prints after the first WARMUP (default 10) how much each search added
//   rss    resident memory
//   heap   bytes malloc has handed out and not had back (live heap)
//   held   what malloc holds from the system (arenas and mapped blocks)
// as the slope of a least-squares line through the figures after every
// search, then the figures themselves. Live heap that grows is a leak or an
// unbounded cache; resident memory that grows over a flat live heap is the
// allocator's (fragmentation, arenas), and what malloc_trim gives back of it
// shows how much.
//   PLIMO_MEMORY_READ=1  after each search, read the window as a screen
//                        reader does: every accessible object's name, role
//                        and state, every row's cells included

#include "ui/form1.h"

#include <QAccessible>
#include <QApplication>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

struct Sample {
    double rss = 0;   // bytes
    double heap = 0;  // bytes
    double held = 0;  // bytes
};

Sample sample()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    const struct mallinfo2 info = mallinfo2();
    return {static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)),
            static_cast<double>(info.uordblks + info.hblkhd),
            static_cast<double>(info.arena + info.hblkhd)};
}

// Bytes per search: the least-squares slope of figure over the search's number.
double slope(const std::vector<Sample> &samples, double Sample::*figure)
{
    const auto n = static_cast<double>(samples.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto x = static_cast<double>(i), y = samples[i].*figure;
        sx += x, sy += y, sxx += x * x, sxy += x * y;
    }
    return (n * sxy - sx * sy) / (n * sxx - sx * sx);
}

int readAloud(QAccessibleInterface *node)
{
    if (node == nullptr)
        return 0;
    int read = 1;
    (void)node->text(QAccessible::Name);
    (void)node->role();
    (void)node->state();
    for (int i = 0; i < node->childCount(); ++i)
        read += readAloud(node->child(i));
    return read;
}

// Starts each search once the previous one has ended: the search button
// comes back on last thing in a search.
class Driver final : public QObject {
public:
    Driver(plimo::Form1 &form, int searches) : m_form(form), m_searches(searches)
    {
        m_form.findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(QStringLiteral("봄+왈츠"));
        m_button = m_form.findChild<QPushButton *>(QStringLiteral("Command1"));
        m_button->installEventFilter(this);
        m_samples.reserve(static_cast<std::size_t>(searches));  // grows nothing meanwhile
        QTimer::singleShot(0, this, [this] { m_form.Text1_KeyPress(13); });
    }

    const std::vector<Sample> &samples() const { return m_samples; }
    bool allFound() const { return m_allFound; }
    int objectsRead() const { return m_objectsRead; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_button && event->type() == QEvent::EnabledChange && m_button->isEnabled())
            QTimer::singleShot(0, this, [this] { searchEnded(); });
        return false;
    }

private:
    void searchEnded()
    {
        if (m_readAloud)
            m_objectsRead = readAloud(QAccessible::queryAccessibleInterface(&m_form));
        m_samples.push_back(sample());
        const int rows =
            m_form.findChild<QTreeWidget *>(QStringLiteral("ListView1"))->topLevelItemCount();
        if (m_samples.size() == 1)
            m_rows = rows;
        m_allFound = m_allFound && rows > 0 && rows == m_rows;
        if (static_cast<int>(m_samples.size()) == m_searches)
            QCoreApplication::quit();
        else
            m_form.Text1_KeyPress(13);
    }

    plimo::Form1 &m_form;
    QPushButton *m_button = nullptr;
    int m_searches;
    int m_rows = 0;
    bool m_allFound = true;
    const bool m_readAloud = qEnvironmentVariableIntValue("PLIMO_MEMORY_READ") == 1;
    int m_objectsRead = 0;
    std::vector<Sample> m_samples;
};

void report(const std::vector<Sample> &all, int warmup)
{
    const std::vector<Sample> measured(all.begin() + warmup, all.end());
    const Sample &first = measured.front(), &last = measured.back();
    std::printf("%zu searches after %d of warm-up, KiB (growth per search: slope)\n",
                measured.size(), warmup);
    std::printf("  %-6s %10s %10s %10s %12s\n", "", "first", "last", "last-first", "per search");
    const auto row = [&](const char *name, double Sample::*figure, const char *goal) {
        std::printf("  %-6s %10.0f %10.0f %10.0f %12.2f  %s\n", name, first.*figure / 1024,
                    last.*figure / 1024, (last.*figure - first.*figure) / 1024,
                    slope(measured, figure) / 1024, goal);
    };
    row("rss", &Sample::rss, "goal <= 1 KiB per search");
    row("heap", &Sample::heap, "(live)");
    row("held", &Sample::held, "(malloc's arenas and mapped blocks)");
    malloc_trim(0);
    std::printf("  rss after malloc_trim: %.0f KiB\n", sample().rss / 1024);
    std::fprintf(stderr, "search, rss, heap, held (KiB)\n");
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::fprintf(stderr, "%zu %.0f %.0f %.0f\n", i + 1, all[i].rss / 1024, all[i].heap / 1024,
                     all[i].held / 1024);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int searches = argc > 1 ? std::atoi(argv[1]) : 100;
    const int warmup = argc > 2 ? std::atoi(argv[2]) : 10;
    if (searches < warmup + 3 || warmup < 0)
        return std::fprintf(stderr, "usage: search_memory [SEARCHES [WARMUP]]\n"), 2;

    plimo::Form1 form;
    form.setMessageBox(
        [](QWidget *, const QString &, plimo::MessageStyle) { return plimo::MessageAnswer::Ok; });
    form.show();
    Driver driver(form, searches);
    app.exec();
    if (!driver.allFound())
        return std::fprintf(stderr, "a search found no rows, or other rows than the first\n"), 1;
    // The bridge to the screen readers' bus comes up once the loop runs.
    std::printf("accessibility %s, %d objects read after each search\n",
                QAccessible::isActive() ? "on" : "off", driver.objectsRead());
    report(driver.samples(), warmup);
    return 0;
}
