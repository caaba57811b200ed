#include "CaptureCommand.h"
#include "CaptureSchedule.h"
#include "Fiscal.h"

#include <cstdio>

namespace {
int usage()
{
    std::fprintf(stderr, "uso: dfe-server [--store ...] capture add CNPJ|CPF [--uf UF]\n"
                         "     dfe-server [--store ...] capture remove CNPJ|CPF | capture list\n");
    return 2;
}

QString when(const QDateTime &t) { return t.isValid() ? t.toUTC().toString(Qt::ISODate) : QStringLiteral("-"); }
} // namespace

int captureCommand(const QStringList &words, const QString &storePath, const QString &uf)
{
    const QString verb = words.value(1);
    const bool list = verb == QLatin1String("list");
    if ((!list && verb != QLatin1String("add") && verb != QLatin1String("remove")) || words.size() != (list ? 2 : 3))
        return usage();
    const QString reg = fiscal::normalRegistration(words.value(2));
    if (!list && !fiscal::validCnpj(reg) && !fiscal::validCpf(reg)) {
        std::fprintf(stderr, "inscrição jurídica inválida: %s\n", qPrintable(words.value(2)));
        return 2;
    }
    try {
        Store store(storePath);
        if (verb == QLatin1String("add")) {
            if (!capture::add(store, reg, uf, QDateTime::currentDateTimeUtc()))
                std::fprintf(stderr, "%s já estava na captura; UF atualizada\n", qPrintable(reg));
        } else if (verb == QLatin1String("remove")) {
            if (!capture::remove(store, reg)) {
                std::fprintf(stderr, "%s não está na captura\n", qPrintable(reg));
                return 1;
            }
        } else {
            // registration, state, next run, failures in a row, last run and its answer
            for (const capture::Entry &e : capture::list(store))
                std::printf("%s\t%s\t%s\t%d\t%s\t%s\n", qPrintable(e.registration), qPrintable(e.uf.isEmpty() ? QStringLiteral("-") : e.uf),
                            qPrintable(when(e.next)), e.failures, qPrintable(when(e.last)), qPrintable(e.result));
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fflush(stdout);
    return 0;
}
