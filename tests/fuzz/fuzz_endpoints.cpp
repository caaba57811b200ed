// libFuzzer target: the file of the authority's addresses, read and asked for the
// services the server calls, in both environments and for every state.
#include "authority/sefaz/Endpoints.h"

#include <cstdint>
#include <exception>

namespace {
void ask(const Endpoints &e, Endpoints::Environment env)
{
    try {
        e.url(QStringLiteral("CTeDistribuicaoDFe"), QStringLiteral("AN"), env);
    } catch (const std::exception &) {
    }
    // Every state, and one code that names none.
    for (int uf = 10; uf <= 53; ++uf) {
        const QString code = QString::number(uf);
        if (uf > 10 && Endpoints::ufName(code).isEmpty())
            continue;
        try {
            e.asciiOnly(e.authorizer(code));
            e.authorizerUrl(QStringLiteral("CTeRecepcaoEventoV4"), code, env);
        } catch (const std::exception &) {
        }
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    try {
        const Endpoints e = Endpoints::parse(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)),
                                             QStringLiteral("endpoints.ini"));
        ask(e, Endpoints::Environment::Producao);
        ask(e, Endpoints::Environment::Homologacao);
    } catch (const std::exception &) {
    }
    return 0;
}
