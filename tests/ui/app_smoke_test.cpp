#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/types.h>

namespace {

// Whether the process catches the signal: from then on the signal no longer
// kills it outright.
bool catches(qint64 pid, int signal)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

}  // namespace

// The built program itself (on the platform CTest sets): once its window is
// up, SIGTERM ends it as closing the window does, rather than killing it.
class AppSmokeTest final : public QObject {
    Q_OBJECT

private slots:
    void startsAndEndsCleanlyOnSigterm()
    {
        QProcess app;
        app.start(QStringLiteral(PLIMOMP3_EXECUTABLE), {});
        QVERIFY2(app.waitForStarted(10'000), qPrintable(app.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(catches(app.processId(), SIGTERM), 60'000);
        QCOMPARE(::kill(static_cast<pid_t>(app.processId()), SIGTERM), 0);
        QVERIFY(app.waitForFinished(60'000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(AppSmokeTest)
#include "app_smoke_test.moc"
