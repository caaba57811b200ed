// Manual synchronization of the company's CT-e with the tax authority.
#include "SincronizacaoCTe.h"
#include "Dialogs.h"
#include "Funcoes.h"

namespace Cli_Dfe71000 {

void TfrmSincronizacaoCTe::sbtSincronizarCTeClick(QObject *)
{
    if (!listaFiltro && !ensureFilter())
        return;
    FiltroLista f = filtroDosComandos();
    const Envelope e = callServer(
        QStringLiteral("SincronizarCTe"),
        {ByVal(f.empresa), ByRef(f.stInscrEstadFiltro), ByRef(f.rc.stInscrJurid), ByVal(QStringLiteral("MANUAL")),
         ByVal(QString()), ByVal(QString())});
    if (e.flag != QLatin1String("S"))
        MensErro(e.text, true);
    Dialogs().Information(this, msgPadrao.Msg(QStringLiteral("OK")));
    CarregaDadosGerais();
}

} // namespace Cli_Dfe71000
