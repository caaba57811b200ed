#pragma once
// One client connection on the I/O thread: reads frames, hands each call to the
// worker pool (one at a time: calls on a connection are sequential), writes the reply.
#include "Frame.h"

#include <QObject>
#include <QTimer>

class Listener;
class QTcpSocket;

class Connection : public QObject {
    Q_OBJECT
public:
    Connection(quint64 id, qintptr fd, Listener &owner);
    ~Connection() override;
    bool isOpen() const { return m_socket != nullptr; }
    // The reply of the call in flight (from the worker, through the owner).
    void replied(const QByteArray &frame);

Q_SIGNALS:
    void finished(quint64 id);

private:
    void pump();
    void refuse(const QString &why, bool thenClose);
    void close();
    quint64 m_id;
    Listener &m_owner;
    QTcpSocket *m_socket = nullptr; // child
    QTimer m_idle;
    wire::FrameReader m_reader;
    QString m_peer;
    quint32 m_reserved = 0;
    bool m_haveReservation = false, m_busy = false, m_closing = false, m_finished = false;
};
