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
    if (!ensureFilter())
        return;
    auto *filtro = Cli_Dfe71100::frmFiltroSincronizacaoCTe.data();
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
                 ByVal(CodigoEmpresa()), ByRef(filtro->rcFiltro.stInscrJurid), ByRef(filtro->stInscrEstadFiltro)});
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

// Undoing a disagreement registered by mistake: the same restriction to one ticked CT-e
// (here at "000"), a confirmation instead of the reason, the same reload on every path.
void TfrmSincronizacaoCTe::sbtCancelaRecusaCTeClick(QObject *)
{
    if (!ensureFilter())
        return;
    auto *filtro = Cli_Dfe71100::frmFiltroSincronizacaoCTe.data();
    TClientDataSet &cds = cdsSincronizacaoCTe;
    cds.DisableControls();
    std::exception_ptr failure;
    try {
        restrictToTicked();
        if (!cds.Active() || cds.IsEmpty())
            throw Exception(msgPadrao.Msg(QStringLiteral("INFORMAR_CTE")));
        cds.First();
        if (cds.RecordCount() > 1)
            throw Exception(msgPadrao.Msg(QStringLiteral("APENAS_UM_CTE")));
        if (cds.FieldByName(QStringLiteral("CDSTATUS")).AsString() != QLatin1String("000"))
            throw Exception(msgPadrao.Msg(QStringLiteral("CTE_NAO_RECUSADO")));
        if (Dialogs().Confirm(this, msgPadrao.Msg(QStringLiteral("CONFIRMA_CANCELA_DESACORDO")))) {
            const Envelope e = callServer(QStringLiteral("CancelaRecusaCTe"),
                                          {ByVal(cds.FieldByName(QStringLiteral("NRACESSOCTE")).AsString()), ByVal(CodigoEmpresa()),
                                           ByRef(filtro->rcFiltro.stInscrJurid), ByRef(filtro->stInscrEstadFiltro)});
            if (e.flag != QLatin1String("S"))
                MensErro(e.text, true);
            Dialogs().Information(this, msgPadrao.Msg(QStringLiteral("CANCELA_SUCESSO")));
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
