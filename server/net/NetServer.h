#pragma once
// The network side: connections are served by an event loop on one I/O thread, and
// their calls run on a bounded pool of workers (see Listener, Connection, WorkerPool),
// each handed to the application's CallHandler.
#include "CallHandler.h"
#include "NetConfig.h"

#include <QHostAddress>
#include <QString>
#include <functional>
#include <memory>

class Listener;
class QThread;

class NetServer {
public:
    NetServer(NetConfig config, std::shared_ptr<CallHandler> handler);
    ~NetServer();
    NetServer(const NetServer &) = delete;
    NetServer &operator=(const NetServer &) = delete;
    bool start(QString &error);
    void stop();
    // Runs a job of the application on the calls' worker pool (after start); false when stopped.
    bool post(std::function<void()> job);
    QHostAddress serverAddress() const { return m_address; }
    quint16 serverPort() const { return m_port; }
    // The connection cap in force (after start).
    int maxConnections() const { return m_config.maxConnections; }
    // Raises the soft open-file limit to the hard one; returns the limit in force.
    static int raiseOpenFileLimit();

private:
    NetConfig m_config;
    std::shared_ptr<CallHandler> m_handler;
    std::unique_ptr<QThread> m_io;
    Listener *m_listener = nullptr; // lives in m_io
    QHostAddress m_address;
    quint16 m_port = 0;
};
