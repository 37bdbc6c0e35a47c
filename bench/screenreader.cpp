// A stand-in for a screen reader, for the window benchmarks: it turns the
// desktop's accessibility on, as a screen reader does, so that the program
// under test talks to the accessibility bus; it asks for every object, window
// and focus event, and answers each property change as a screen reader
// would, by asking the program for the new value (a call into the program's
// event loop). Prints "listening" once it listens; on SIGTERM or SIGINT it
// prints "events <n> queries <n>" and ends.

#include "platform/quitsignals.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusVariant>

#include <cstdio>

namespace {

constexpr char Registry[] = "org.a11y.atspi.Registry";
constexpr char RegistryPath[] = "/org/a11y/atspi/registry";
constexpr char ObjectEvents[] = "org.a11y.atspi.Event.Object";

class Listener final : public QObject {
    Q_OBJECT
public:
    explicit Listener(const QDBusConnection &bus) : m_bus(bus) {}

    void listen()
    {
        QDBusInterface registry(QString::fromLatin1(Registry), QString::fromLatin1(RegistryPath),
                                QString::fromLatin1(Registry), m_bus);
        for (const char *event : {"object:", "window:", "focus:"})
            registry.call(QStringLiteral("RegisterEvent"), QString::fromLatin1(event),
                          QStringList(), QString());
        const QString objects = QString::fromLatin1(ObjectEvents);
        for (const char *name :
             {"PropertyChange", "StateChanged", "TextChanged", "ChildrenChanged", "BoundsChanged"})
            m_bus.connect({}, {}, objects, QString::fromLatin1(name), this,
                          SLOT(onEvent(QDBusMessage)));
        m_bus.connect({}, {}, QStringLiteral("org.a11y.atspi.Event.Window"), {}, this,
                      SLOT(onEvent(QDBusMessage)));
        m_bus.connect({}, {}, QStringLiteral("org.a11y.atspi.Event.Focus"), {}, this,
                      SLOT(onEvent(QDBusMessage)));
    }

    void report() const { std::printf("events %ld queries %ld\n", m_events, m_queries); }

private slots:
    void onEvent(const QDBusMessage &event)
    {
        ++m_events;
        if (event.member() != u"PropertyChange" || event.arguments().isEmpty())
            return;
        const QString property = event.arguments().constFirst().toString();
        const auto [interface, name] =
            property == u"accessible-value"
                ? std::pair(QStringLiteral("org.a11y.atspi.Value"), QStringLiteral("CurrentValue"))
                : std::pair(QStringLiteral("org.a11y.atspi.Accessible"), QStringLiteral("Name"));
        QDBusMessage get = QDBusMessage::createMethodCall(
            event.service(), event.path(), QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"));
        get << interface << name;
        m_bus.asyncCall(get);
        ++m_queries;
    }

private:
    QDBusConnection m_bus;
    long m_events = 0;
    long m_queries = 0;
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
        std::fprintf(stderr, "screenreader: no accessibility bus\n");
        return 1;
    }
    Listener listener(bus);
    listener.listen();
    const plimo::QuitSignals quitSignals;
    QObject::connect(&quitSignals, &plimo::QuitSignals::quitRequested, &app,
                     &QCoreApplication::quit);
    std::printf("listening\n");
    std::fflush(stdout);
    app.exec();
    listener.report();
    return 0;
}

#include "screenreader.moc"
