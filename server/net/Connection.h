#pragma once
// One client connection on the I/O thread: reads frames, hands each call to the
// worker pool (one at a time: calls on a connection are sequential), writes the reply.
#include "ByteBudget.h"
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
    // The request bytes held in memory; a frame's bytes are taken as they arrive.
    virtual ByteBudget &budget() = 0;
    // Runs a call; the answer comes back through Connection::replied. The `charged`
    // bytes, taken for `chargedTo`, are given back once the reply is built.
    virtual void submit(quint64 connection, QByteArray payload, qint64 charged, const QString &chargedTo, const Caller &caller) = 0;
    // How long a connection's first frame from `address` waits before it is looked at.
    virtual qint64 firstFrameDelay(const QString &address) = 0;
    // A first frame from `address` refused; false when the refusal is not to be logged on its own.
    virtual bool firstFrameRefused(const QString &address) = 0;
    // Checks a token; the answer comes back through Connection::authenticated.
    virtual void authenticate(quint64 connection, QString token, qint64 charged, const QString &chargedTo) = 0;

protected:
    ~ConnectionOwner() = default;
};

class Connection : public QObject {
    Q_OBJECT
public:
    Connection(quint64 id, qintptr fd, ConnectionOwner &owner);
    ~Connection() override;
    bool isOpen() const { return m_socket != nullptr; }
    // Gives back the bytes of a frame still in progress (the connection has finished).
    void releaseBudget();
    // The reply of the call in flight (from the worker, through the owner).
    void replied(const QByteArray &frame);
    // A frame of the call in flight that goes ahead of its reply.
    void sendAhead(const QByteArray &frame);
    // The answer to the connection's token: its name, or nothing (and why, when the
    // store failed rather than the token).
    void authenticated(const std::optional<QString> &name, const QString &failure);

Q_SIGNALS:
    void finished(quint64 id);

private:
    void pump();
    bool admit(quint32 announced);
    bool readMore(bool headIn, quint32 announced);
    void overBudget(ByteBudget::Refusal why, quint32 announced, qsizetype unread);
    void dispatch(QByteArray payload);
    void handle(QByteArray payload);
    void stalled();
    QString chargeKey() const { return m_caller.anonymous() ? m_address : m_caller.describe(); }
    void refuse(const QString &why, bool thenClose);
    // An authentication failure: said as is, then the connection goes. `counted`: the
    // caller's fault, so its address is slowed down after a few.
    void deny(const QString &why, bool counted = true);
    void close();
    void hello(const QByteArray &payload, qint64 charged);
    void tlsReady();
    quint64 m_id;
    ConnectionOwner &m_owner;
    QTcpSocket *m_socket = nullptr; // child
    QTimer m_idle;
    QTimer m_stall; // runs while a frame is partly in
    wire::FrameReader m_reader;
    QString m_address; // the caller's key in the budget until it is known by name
    qint64 m_held = 0;    // body bytes of the frame in progress, taken from the budget
    quint64 m_toSkip = 0; // bytes of a refused frame still to come
    bool m_firstFrame = true; // none looked at yet
    bool m_admitted = false, m_busy = false, m_closing = false, m_finished = false;
    bool m_sniffed = false;      // the first bytes were checked for a TLS handshake
    bool m_encrypted = true;     // false until a TLS handshake ends
    bool m_authenticated = true; // false while the server waits for a credential
    Caller m_caller;
};
