#pragma once
// How the network side listens and how much it takes in.
#include <QHostAddress>
#include <QString>

struct NetConfig {
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8750;
    quint32 maxFrame = 256u * 1024u * 1024u;
    int maxConnections = 0;               // 0: sized to the open-file limit
    int idleTimeoutMs = 5 * 60 * 1000;    // a connection without a call for this long is closed
    int workers = 16;                     // calls running at once
    qint64 maxInFlight = 1024ll * 1024 * 1024; // request bytes held across all connections
    // TLS (PEM files): serves TLS 1.2 or later only. With clientCa, a client proves itself
    // with a certificate that CA issued; otherwise with a token in its first frame.
    QString tlsCert, tlsKey, clientCa;
    bool insecurePlaintext = false; // plain text on an address other than loopback
};
