#include "platform/quitsignals.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

class QuitSignalsTest final : public QObject {
    Q_OBJECT

private slots:
    void eachSignalAsksToQuit_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void eachSignalAsksToQuit()
    {
        QFETCH(int, signal);
        const plimo::QuitSignals quit;
        QSignalSpy asked(&quit, &plimo::QuitSignals::quitRequested);
        QCOMPARE(std::raise(signal), 0);
        QTRY_COMPARE(asked.count(), 1);
    }
};

QTEST_GUILESS_MAIN(QuitSignalsTest)
#include "quitsignals_test.moc"
