#include "ServerLog.h"

#include <QDateTime>
#include <QMutex>
#include <cstdio>

bool ServerLog::quiet = false;

namespace {
QMutex logMutex;
} // namespace

void ServerLog::write(const QString &line)
{
    if (quiet)
        return;
    QMutexLocker lock(&logMutex);
    std::fprintf(stderr, "%s %s\n", qPrintable(QDateTime::currentDateTime().toString(Qt::ISODateWithMs)),
                 line.toLocal8Bit().constData());
    std::fflush(stderr);
}
