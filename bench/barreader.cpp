// Reads the progress bar's description over the accessibility bus as a
// screen reader reads it, for the line benchmark: it listens for the
// description changes that the program announces, and DELAY-MS after the
// first one that leaves it non-empty (a download has started and its summary
// appeared) it asks the program for the description again, as a screen
// reader does when the user asks what the bar says.
//
//   barreader DELAY-MS
//
// Prints "listening" once it listens, then
//   "read <ms since the first change> <description>"
// and ends; it ends by itself after a minute without one.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

class Reader final : public QObject {
    Q_OBJECT
public:
    Reader(const QDBusConnection &bus, int delayMs) : m_bus(bus), m_delayMs(delayMs) {}

    void listen()
    {
        QDBusInterface registry(QStringLiteral("org.a11y.atspi.Registry"),
                                QStringLiteral("/org/a11y/atspi/registry"),
                                QStringLiteral("org.a11y.atspi.Registry"), m_bus);
        registry.call(QStringLiteral("RegisterEvent"),
                      QStringLiteral("object:property-change:accessible-description"),
                      QStringList(), QString());
        m_bus.connect({}, {}, QStringLiteral("org.a11y.atspi.Event.Object"),
                      QStringLiteral("PropertyChange"), this, SLOT(onChange(QDBusMessage)));
    }

private slots:
    // The event names the object, not its new text (so Qt sends it): the
    // text is asked for, as a screen reader asks.
    void onChange(const QDBusMessage &event)
    {
        const QList<QVariant> arguments = event.arguments();
        if (m_started || arguments.isEmpty() ||
            arguments[0].toString() != u"accessible-description")
            return;
        if (description(event.service(), event.path()).isEmpty())
            return;
        m_started = true;
        m_clock.start();
        QTimer::singleShot(m_delayMs, this, [this, service = event.service(), path = event.path()] {
            const QString text = description(service, path);
            std::printf("read %lld %s\n", static_cast<long long>(m_clock.elapsed()),
                        text.toUtf8().constData());
            std::fflush(stdout);
            QCoreApplication::quit();
        });
    }

private:
    QString description(const QString &service, const QString &path) const
    {
        QDBusInterface properties(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                  m_bus);
        const QDBusReply<QDBusVariant> reply =
            properties.call(QStringLiteral("Get"), QStringLiteral("org.a11y.atspi.Accessible"),
                            QStringLiteral("Description"));
        return reply.isValid() ? reply.value().variant().toString() : QString();
    }

    QDBusConnection m_bus;
    int m_delayMs;
    bool m_started = false;
    QElapsedTimer m_clock;
};

// The accessibility bus, with accessibility switched on for the session.
QDBusConnection accessibilityBus()
{
    QDBusInterface status(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                          QStringLiteral("org.freedesktop.DBus.Properties"),
                          QDBusConnection::sessionBus());
    for (const char *property : {"IsEnabled", "ScreenReaderEnabled"})
        status.call(QStringLiteral("Set"), QStringLiteral("org.a11y.Status"),
                    QString::fromLatin1(property), QVariant::fromValue(QDBusVariant(true)));
    const QDBusReply<QString> address =
        QDBusInterface(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                       QStringLiteral("org.a11y.Bus"), QDBusConnection::sessionBus())
            .call(QStringLiteral("GetAddress"));
    return QDBusConnection::connectToBus(address.value(), QStringLiteral("a11y"));
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QDBusConnection bus = accessibilityBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "barreader: no accessibility bus\n");
        return 1;
    }
    Reader reader(bus, argc > 1 ? std::atoi(argv[1]) : 3000);
    reader.listen();
    QTimer::singleShot(60'000, &app, [] {
        std::fprintf(stderr, "barreader: no description came\n");
        QCoreApplication::exit(1);
    });
    std::printf("listening\n");
    std::fflush(stdout);
    return app.exec();
}

#include "barreader.moc"
