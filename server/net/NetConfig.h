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
    qint64 maxPerCaller = 0;              // of those, by one caller (0: half of maxInFlight)
    qint64 maxPerConnection = 0;          // and by one connection (0: maxFrame)
    int frameStallMs = 30 * 1000;         // a frame whose bytes stop coming for this long is dropped
    // TLS (PEM files): serves TLS 1.2 or later only. With clientCa, a client proves itself
    // with a certificate that CA issued; otherwise with a token in its first frame.
    QString tlsCert, tlsKey, clientCa;
    bool insecurePlaintext = false; // plain text on an address other than loopback
};
