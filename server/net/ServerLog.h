#pragma once
// The server's log: one line per event on standard error, with its time.
#include <QString>

class ServerLog {
public:
    static void write(const QString &line); // thread-safe
    static bool quiet;
};
