// Manual synchronization of the company's CT-e with the tax authority.
#include "SincronizacaoCTe.h"
#include "Dialogs.h"
#include "Funcoes.h"

#include <QRegularExpression>

namespace Cli_Dfe71000 {

namespace {
// The server's words for the time from which the authority takes the next query
// (its own time zone, Brasília's).
const QRegularExpression &holdOff()
{
    static const QRegularExpression re(QStringLiteral("^Nova consulta à SEFAZ permitida a partir de "
                                                      "(\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d)\\.$"));
    return re;
}
const QRegularExpression &holdOffTime()
{
    static const QRegularExpression re(QStringLiteral("(a partir de \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d)\\."));
    return re;
}
} // namespace

void TfrmSincronizacaoCTe::sbtSincronizarCTeClick(QObject *)
{
    if (!listaFiltro && !ensureFilter())
        return;
    FiltroLista f = filtroDosComandos();
    const Envelope e = callServer(
        QStringLiteral("SincronizarCTe"),
        {ByVal(f.empresa), ByRef(f.stInscrEstadFiltro), ByRef(f.rc.stInscrJurid), ByVal(QStringLiteral("MANUAL")),
         ByVal(QString()), ByVal(QString())});
    if (e.flag != QLatin1String("S")) {
        atualizaEstado(); // no reload follows: the state still tells what happened
        // The authority's hold-off is no failure: the user is told when to try again.
        const QRegularExpressionMatch held = holdOff().match(e.text);
        if (!held.hasMatch())
            MensErro(e.text, true);
        Dialogs().Information(this, msgPadrao.Msg(QStringLiteral("SINC_AGUARDE"))
                                        .arg(InscricaoFormatada(f.rc.stInscrJurid), held.captured(1)));
        return;
    }
    QString done = msgPadrao.Msg(QStringLiteral("OK"));
    QString told = e.payload.metaType().id() == QMetaType::QString ? e.payload.toString().trimmed() : QString();
    if (!told.isEmpty())
        done += QLatin1Char('\n') + told.replace(holdOffTime(), QStringLiteral("\\1 (horário de Brasília)."));
    Dialogs().Information(this, done);
    CarregaDadosGerais();
}

} // namespace Cli_Dfe71000
