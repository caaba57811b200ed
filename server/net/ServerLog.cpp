#include "ServerLog.h"

#include <QDateTime>
#include <QMutex>
#include <cstdio>

bool ServerLog::quiet = false;

namespace {
QMutex logMutex;

const char *levelName(ServerLog::Level level)
{
    switch (level) {
    case ServerLog::Level::Warning: return "aviso";
    case ServerLog::Level::Error: return "erro";
    case ServerLog::Level::Info: break;
    }
    return "info";
}

// syslog priorities: 6 info, 4 warning, 3 error.
char journalPriority(ServerLog::Level level)
{
    return level == ServerLog::Level::Error ? '3' : level == ServerLog::Level::Warning ? '4' : '6';
}

bool underJournal()
{
    static const bool journal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    return journal;
}
} // namespace

QByteArray ServerLog::format(const QString &line, Level level, bool journal)
{
    QByteArray out;
    if (journal)
        out = QByteArray("<") + journalPriority(level) + '>';
    else
        out = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toLatin1() + ' ';
    return out + levelName(level) + ' ' + line.toLocal8Bit();
}

void ServerLog::write(const QString &line, Level level)
{
    if (quiet && level == Level::Info)
        return;
    const QByteArray text = format(line, level, underJournal());
    QMutexLocker lock(&logMutex);
    std::fprintf(stderr, "%s\n", text.constData());
    std::fflush(stderr);
}
