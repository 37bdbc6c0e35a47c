#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plimo::test {

// An HTTP responder on 127.0.0.1 with a free port that sends exactly the
// bytes it is given, for answers no well-behaved server library would write:
// lengths that lie, conflicting headers, bodies that trickle in.
//
// It serves connections one after another on its own thread from
// construction on. For each it reads the request head up to the blank line,
// records the request line, sends the pieces in order (each after its delay)
// and closes the connection. The destructor returns promptly even while a
// piece is being waited for.
class RawServer final {
public:
    struct Piece {
        QByteArray bytes;
        std::chrono::milliseconds delayBefore{0};
    };

    explicit RawServer(std::vector<Piece> answer);
    ~RawServer();
    RawServer(const RawServer &) = delete;
    RawServer &operator=(const RawServer &) = delete;

    int port() const { return m_port; }
    // "http://127.0.0.1:<port>" followed by pathAndQuery.
    QString url(const QString &pathAndQuery) const;
    // The request lines received so far, without their line end.
    std::vector<std::string> requestLines() const;

private:
    void serve();
    void answer(int client);
    bool readHead(int client, std::string &head);
    bool sendAll(int client, const QByteArray &bytes);
    // Waits until fd is ready for events or the delay has passed; false once
    // the server is stopping.
    bool waitFor(int fd, short events, int timeoutMs);

    const std::vector<Piece> m_answer;
    int m_listener = -1;
    int m_stopRead = -1;
    int m_stopWrite = -1;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requestLines;
    std::thread m_thread;
};

}  // namespace plimo::test
