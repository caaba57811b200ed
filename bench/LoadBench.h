#pragma once
// Server benchmarks over loopback against a dfe-server process: many clients calling
// at once, and thousands of idle connections held open.
#include <QStringList>

int runServerBench(const QStringList &args);
// The load mode in plain text and over TLS with a token, one beside the other.
int runSecureLoadBench(const QStringList &args);
