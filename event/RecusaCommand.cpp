// The "Prestação do Serviço em Desacordo" command of the synchronization screen.
#include "Bind.h"
#include "Creation.h"
#include "Dialogs.h"
#include "Exceptions.h"
#include "FiltroSincronizacaoCTe.h"
#include "Funcoes.h"
#include "RecusaCTe.h"
#include "SincronizacaoCTe.h"

namespace Cli_Dfe71000 {

void TfrmSincronizacaoCTe::sbtRecusaCTeClick(QObject *)
{
    if (!listaFiltro && !ensureFilter())
        return;
    FiltroLista f = filtroDosComandos();
    TClientDataSet &cds = cdsSincronizacaoCTe;
    cds.DisableControls();
    std::exception_ptr failure;
    try {
        restrictToTicked();
        const bool rows = cds.Active() && !cds.IsEmpty();
        if (rows) {
            cds.First();
            if (cds.FieldByName(QStringLiteral("CDSTATUS")).AsString() == QLatin1String("000"))
                throw Exception(msgPadrao.Msg(QStringLiteral("CTE_JA_RECUSADO")));
            if (cds.RecordCount() > 1)
                throw Exception(msgPadrao.Msg(QStringLiteral("APENAS_UM_CTE")));
        } else {
            // The event is for exactly one CT-e: with none ticked there is nothing to send.
            throw Exception(msgPadrao.Msg(QStringLiteral("INFORMAR_CTE")));
        }
        Dialogs().Information(this, msgPadrao.Msg(QStringLiteral("INFO_PREST_DESACORDO")));
        const QVariantList result = Cli_Dfe71200::CriaRecusaCTe();
        if (result.value(0).toBool()) {
            const Envelope e = callServer(
                QStringLiteral("RecusaCTe"),
                {ByVal(cds.FieldByName(QStringLiteral("NRACESSOCTE")).AsString()), ByVal(result.value(1)),
                 ByVal(f.empresa), ByRef(f.rc.stInscrJurid), ByRef(f.stInscrEstadFiltro)});
            if (e.flag != QLatin1String("S"))
                MensErro(e.text, true);
            Dialogs().Information(this, msgPadrao.Msg(QStringLiteral("EVENTO_SUCESSO")));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    cds.EnableControls();
    cds.SetFiltered(false);
    try {
        CarregaDadosGerais();
    } catch (...) {
        if (!failure)
            throw;
        // Both went wrong: the reload's error is shown here, the command's by the caller.
        try {
            throw;
        } catch (const EAbort &) {
        } catch (const std::exception &ex) {
            ShowException(ex);
        }
    }
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace Cli_Dfe71000
