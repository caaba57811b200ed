#include "Messages.h"

QString TMessages::Msg(const QString &key) const
{
    for (const QString &line : Lines) {
        const qsizetype bar = line.indexOf(QLatin1Char('|'));
        if (bar >= 0 && QStringView(line).left(bar) == key)
            return line.mid(bar + 1);
    }
    return {};
}
