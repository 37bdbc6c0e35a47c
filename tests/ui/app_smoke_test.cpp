#include <QProcess>
#include <QTest>

// Starts the built program itself on the offscreen platform and lets it close
// its window after its first event-loop pass.
class AppSmokeTest final : public QObject {
    Q_OBJECT

private slots:
    void startsAndClosesCleanly()
    {
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("PLIMOMP3_QUIT_AFTER_START"), QStringLiteral("1"));
        app.setProcessEnvironment(env);
        app.start(QStringLiteral(PLIMOMP3_EXECUTABLE), {});
        QVERIFY2(app.waitForStarted(10'000), qPrintable(app.errorString()));
        QVERIFY(app.waitForFinished(60'000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(AppSmokeTest)
#include "app_smoke_test.moc"
