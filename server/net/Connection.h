#pragma once
// One client connection on the I/O thread: reads frames, hands each call to the
// worker pool (one at a time: calls on a connection are sequential), writes the reply.
#include "Caller.h"
#include "Frame.h"
#include "NetConfig.h"

#include <QObject>
#include <QSslConfiguration>
#include <QTimer>
#include <optional>

class QTcpSocket;

// What a connection needs of whoever accepted it (the Listener).
class ConnectionOwner {
public:
    virtual const NetConfig &config() const = 0;
    virtual const std::optional<QSslConfiguration> &tls() const = 0;
    virtual bool authRequired() const = 0;
    // Takes `bytes` from the in-flight budget; false when they do not fit.
    virtual bool reserve(quint32 bytes) = 0;
    virtual void unreserve(quint32 bytes) = 0;
    // Runs a call; the answer comes back through Connection::replied.
    virtual void submit(quint64 connection, QByteArray payload, quint32 reserved, const Caller &caller) = 0;
    // Checks a token; the answer comes back through Connection::authenticated.
    virtual void authenticate(quint64 connection, QString token, quint32 reserved) = 0;

protected:
    ~ConnectionOwner() = default;
};

class Connection : public QObject {
    Q_OBJECT
public:
    Connection(quint64 id, qintptr fd, ConnectionOwner &owner);
    ~Connection() override;
    bool isOpen() const { return m_socket != nullptr; }
    // The reply of the call in flight (from the worker, through the owner).
    void replied(const QByteArray &frame);
    // The answer to the connection's token: its name, or nothing (and why, when the
    // store failed rather than the token).
    void authenticated(const std::optional<QString> &name, const QString &failure);

Q_SIGNALS:
    void finished(quint64 id);

private:
    void pump();
    void refuse(const QString &why, bool thenClose);
    void deny(const QString &why); // an authentication failure: said as is, then the connection goes
    void close();
    void hello(const QByteArray &payload);
    void tlsReady();
    quint64 m_id;
    ConnectionOwner &m_owner;
    QTcpSocket *m_socket = nullptr; // child
    QTimer m_idle;
    wire::FrameReader m_reader;
    QString m_peer;
    quint32 m_reserved = 0;
    bool m_haveReservation = false, m_busy = false, m_closing = false, m_finished = false;
    bool m_sniffed = false;      // the first bytes were checked for a TLS handshake
    bool m_encrypted = true;     // false until a TLS handshake ends
    bool m_authenticated = true; // false while the server waits for a credential
    Caller m_caller;
};
