#pragma once
// The server's log: one line per event on standard error, with its level ("info",
// "aviso", "erro"). Under systemd (JOURNAL_STREAM set) each line starts with the
// journal's priority prefix instead of a time, which the journal keeps on its own.
#include <QString>

class ServerLog {
public:
    enum class Level { Info, Warning, Error };
    static void write(const QString &line, Level level = Level::Info); // thread-safe
    static void warning(const QString &line) { write(line, Level::Warning); }
    static void error(const QString &line) { write(line, Level::Error); }
    // The line as written (without its end of line).
    static QByteArray format(const QString &line, Level level, bool journal);
    static bool quiet; // no info lines; warnings and errors still go out
};
