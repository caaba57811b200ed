// The "Prestação do Serviço em Desacordo" command of the synchronization screen.
#include "Bind.h"
#include "Creation.h"
#include "Dialogs.h"
#include "Exceptions.h"
#include "Fiscal.h"
#include "Funcoes.h"
#include "RecusaCTe.h"
#include "SincronizacaoCTe.h"

namespace Cli_Dfe71000 {

namespace {
// The authority takes the event up to 45 days after the CT-e was authorized.
constexpr int kPrazoRecusa = 45;
} // namespace

void TfrmSincronizacaoCTe::verificaRecusa(const FiltroLista &f)
{
    TClientDataSet &cds = cdsSincronizacaoCTe;
    if (!cds.Active() || cds.IsEmpty())
        throw Exception(msgPadrao.Msg(QStringLiteral("INFORMAR_CTE")));
    cds.First();
    auto field = [&cds](const char *name) { return cds.FieldByName(QString::fromLatin1(name)).AsString().trimmed(); };
    const QString status = field("CDSTATUS");
    if (status == QLatin1String("000"))
        throw Exception(msgPadrao.Msg(QStringLiteral("CTE_JA_RECUSADO")));
    if (cds.RecordCount() > 1)
        throw Exception(msgPadrao.Msg(QStringLiteral("APENAS_UM_CTE")));
    if (status == QLatin1String("101"))
        throw Exception(msgPadrao.Msg(QStringLiteral("CTE_CANCELADO")));
    const QDate emissao = QDate::fromString(field("DTEMISSAO"), QStringLiteral("dd/MM/yyyy"));
    if (emissao.isValid() && emissao.daysTo(QDate::currentDate()) > kPrazoRecusa)
        throw Exception(msgPadrao.Msg(QStringLiteral("PRAZO_RECUSA")).replace(QStringLiteral("%s"), field("DTEMISSAO")));
    const QString tomador = fiscal::normalRegistration(field("NRINSJURTOMA"));
    if (!tomador.isEmpty() && tomador != fiscal::normalRegistration(f.rc.stInscrJurid))
        throw Exception(msgPadrao.Msg(QStringLiteral("TOMADOR_OUTRO"))
                            .replace(QStringLiteral("%s"), InscricaoFormatada(tomador)));
}

void TfrmSincronizacaoCTe::sbtRecusaCTeClick(QObject *)
{
    if (!listaFiltro && !ensureFilter())
        return;
    FiltroLista f = filtroDosComandos();
    TClientDataSet &cds = cdsSincronizacaoCTe;
    const QString nsu = NsuAtual();
    cds.DisableControls();
    bool called = false;
    std::exception_ptr failure;
    try {
        restrictToTicked();
        verificaRecusa(f);
        Dialogs().Information(this, msgPadrao.Msg(QStringLiteral("INFO_PREST_DESACORDO")));
        const QVariantList result = Cli_Dfe71200::CriaRecusaCTe();
        if (result.value(0).toBool()) {
            called = true;
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
    // Nothing reached the server: the list, its ticks and the current row stay.
    encerraEvento(nsu, called, failure);
}

void TfrmSincronizacaoCTe::encerraEvento(const QString &nsu, bool reload, const std::exception_ptr &failure)
{
    TClientDataSet &cds = cdsSincronizacaoCTe;
    cds.EnableControls();
    cds.SetFiltered(false);
    if (!nsu.isEmpty())
        cds.Locate(QStringLiteral("NRNSU"), nsu);
    atualizaTotais();
    if (reload)
        recarregaDepoisDe(failure);
    if (failure)
        std::rethrow_exception(failure);
}

namespace {
QString textOf(const std::exception_ptr &failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
    }
    return {};
}
} // namespace

void TfrmSincronizacaoCTe::recarregaDepoisDe(const std::exception_ptr &failure)
{
    try {
        CarregaDadosGerais();
    } catch (...) {
        if (!failure)
            throw;
        // Both went wrong: the reload's error is shown here, the command's by the caller;
        // the same error twice (a server that cannot be reached) is shown once.
        try {
            throw;
        } catch (const EAbort &) {
        } catch (const std::exception &ex) {
            if (QString::fromUtf8(ex.what()) != textOf(failure))
                ShowException(ex);
        }
    }
}

// Undoing a disagreement registered by mistake: the same restriction to one ticked CT-e
// (here at "000"), a confirmation instead of the reason, the same reload on every path.
void TfrmSincronizacaoCTe::sbtCancelaRecusaCTeClick(QObject *)
{
    if (!listaFiltro && !ensureFilter())
        return;
    FiltroLista f = filtroDosComandos();
    TClientDataSet &cds = cdsSincronizacaoCTe;
    const QString nsu = NsuAtual();
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
                                          {ByVal(cds.FieldByName(QStringLiteral("NRACESSOCTE")).AsString()), ByVal(f.empresa),
                                           ByRef(f.rc.stInscrJurid), ByRef(f.stInscrEstadFiltro)});
            if (e.flag != QLatin1String("S"))
                MensErro(e.text, true);
            Dialogs().Information(this, msgPadrao.Msg(QStringLiteral("CANCELA_SUCESSO")));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    encerraEvento(nsu, true, failure);
}

} // namespace Cli_Dfe71000
