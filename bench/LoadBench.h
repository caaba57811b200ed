#pragma once
// Server benchmarks over loopback against a dfe-server process: many clients calling
// at once, and thousands of idle connections held open.
#include <QStringList>

int runServerBench(const QStringList &args);
