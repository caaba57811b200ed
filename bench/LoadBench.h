#pragma once
// Server benchmarks over loopback against a dfe-server process: many clients calling
// at once, and thousands of idle connections held open.
#include <QStringList>

class QProcess;
#include <vector>

// Calls per second, median and 99th percentile of the clients' latencies (microseconds).
struct LoadFigures {
    double callsPerSecond = 0, p50Ms = 0, p99Ms = 0;
};
LoadFigures loadFigures(const std::vector<std::vector<qint64>> &latenciesUs, double seconds);
// The loopback port a started dfe-server reports it listens on, or 0 with why.
quint16 listeningPort(QProcess &server, int ms, QString &error);

int runServerBench(const QStringList &args);
// The load mode in plain text and over TLS with a token, one beside the other.
int runSecureLoadBench(const QStringList &args);
