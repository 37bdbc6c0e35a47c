#pragma once

#include <httplib.h>

#include <QByteArray>
#include <QString>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plimo::test {

// A real HTTP server on 127.0.0.1 with a free port, serving on its own thread
// from start() until the object is destroyed. Register handlers on http()
// before start(). Every request it receives is recorded, so tests can assert
// what the program sent.
class LocalServer final {
public:
    struct Received {
        std::string target;  // the request target as sent: a path or, via a proxy, absolute
    };

    LocalServer();
    ~LocalServer() { stop(); }
    LocalServer(const LocalServer &) = delete;
    LocalServer &operator=(const LocalServer &) = delete;

    httplib::Server &http() { return m_server; }
    void start();
    void stop();

    // "http://127.0.0.1:<port>" followed by pathAndQuery.
    QString url(const QString &pathAndQuery) const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(m_port) + pathAndQuery;
    }
    // The same, as a proxy address for http_proxy.
    std::string proxyAddress() const { return "http://127.0.0.1:" + std::to_string(m_port); }

    std::vector<Received> received() const;

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::vector<Received> m_received;
};

// Sets an environment variable for the lifetime of the object.
class ScopedEnv final {
public:
    ScopedEnv(const char *name, const std::string &value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        qputenv(name, QByteArray::fromStdString(value));
    }
    ~ScopedEnv() { m_had ? qputenv(m_name, m_old) : qunsetenv(m_name); }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *m_name;
    bool m_had;
    QByteArray m_old;
};

}  // namespace plimo::test
