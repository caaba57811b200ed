#include "CallerCommand.h"
#include "Callers.h"

#include <cstdio>

int callerCommand(const QStringList &words, const QString &storePath, const QStringList &registrations)
{
    const QString what = words.value(0), verb = words.value(1), name = words.value(2);
    const Caller::Kind kind = what == QLatin1String("token") ? Caller::Kind::Token : Caller::Kind::Certificate;
    // "list" takes an optional name: that one caller only.
    const bool listing = verb == QLatin1String("list");
    if ((what != QLatin1String("token") && what != QLatin1String("certificate")) ||
        (verb != QLatin1String("add") && verb != QLatin1String("remove") && !listing) ||
        (!listing && name.isEmpty()) || words.size() > 3 || (!listing && words.size() != 3)) {
        std::fprintf(stderr, "uso: dfe-server [--store ...] token add NOME --registration CNPJ [--registration ...]\n"
                             "     dfe-server [--store ...] certificate add \"NOME COMUM\" --registration CNPJ [...]\n"
                             "     dfe-server [--store ...] token|certificate remove NOME | token|certificate list [NOME]\n");
        return 2;
    }
    try {
        Store store(storePath);
        if (verb == QLatin1String("add") && kind == Caller::Kind::Token) {
            const QString secret = callers::addToken(store, name, registrations);
            // The only time the secret is shown: it goes into the host's INI file ([server] token).
            std::printf("%s\n", qPrintable(secret));
            std::fprintf(stderr, "token \"%s\" criado para %s; guarde-o em [server] token do arquivo INI do sistema.\n",
                         qPrintable(name), qPrintable(registrations.join(QLatin1Char(' '))));
        } else if (verb == QLatin1String("add")) {
            callers::addCertificate(store, name, registrations);
        } else if (verb == QLatin1String("remove")) {
            if (!callers::remove(store, kind, name)) {
                std::fprintf(stderr, "%s \"%s\" não existe\n", qPrintable(what), qPrintable(name));
                return 1;
            }
        } else {
            bool found = false;
            for (const callers::Entry &e : callers::list(store)) {
                if (e.caller.kind != kind || (!name.isEmpty() && e.caller.name != name))
                    continue;
                found = true;
                std::printf("%s\t%s\n", qPrintable(e.caller.name), qPrintable(e.registrations.join(QLatin1Char(' '))));
            }
            if (!found && !name.isEmpty()) {
                std::fprintf(stderr, "%s \"%s\" não existe\n", qPrintable(what), qPrintable(name));
                return 1;
            }
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fflush(stdout);
    return 0;
}
