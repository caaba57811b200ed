// The registration numbers of the filter dialog: lookups, mask, key filter, checks.
#include "FiltroSincronizacaoCTe.h"
#include "Exceptions.h"
#include "Funcoes.h"
#include "SincronizacaoCTe.h"

namespace Cli_Dfe71100 {

void TfrmFiltroSincronizacaoCTe::buildLookups()
{
    qryPesqInscrJurid.Name = QStringLiteral("qryPesqInscrJurid");
    qryPesqInscrJurid.SQL = {QStringLiteral("SELECT DISTINCT NRINSJURIEST, IDTPIJURIEST, CDEMPRESA"),
                             QStringLiteral("FROM INSCRESTAD"), QStringLiteral("WHERE CDEMPRESA = :P_CDEMPRESA"),
                             QStringLiteral("ORDER BY NRINSJURIEST")};
    qryPesqInscrJurid.AddField({QStringLiteral("NRINSJURIEST"), ftString, 20, QStringLiteral("Inscrição Jurídica"),
                                QString(), true, false, 25});
    qryPesqInscrJurid.AddField({QStringLiteral("IDTPIJURIEST"), ftString, 1, QString(), QString(), false});
    qryPesqInscrJurid.AddField({QStringLiteral("CDEMPRESA"), ftString, 2, QString(), QString(), false});
    qryPesqInscrJurid.FieldByName(QStringLiteral("NRINSJURIEST")).OnGetText = [this](TField &f, int row) {
        return qryPesqInscrJuridNRINSJURIESTGetText(f, row);
    };

    qryVdInscrJurid.Name = QStringLiteral("qryVdInscrJurid");
    qryVdInscrJurid.SQL = {QStringLiteral("SELECT NRINSJURIEST"), QStringLiteral("FROM INSCRESTAD"),
                           QStringLiteral("WHERE CDEMPRESA = :P_CDEMPRESA"),
                           QStringLiteral("AND NRINSJURIEST = :P_NRINSJURIEST")};
    qryVdInscrJurid.SQL_IB = {QStringLiteral("SELECT DISTINCT NRINSJURIEST"), QStringLiteral("FROM INSCRESTAD"),
                              QStringLiteral("WHERE CDEMPRESA = :P_CDEMPRESA"),
                              QStringLiteral("AND NRINSJURIEST = :P_NRINSJURIEST"),
                              QStringLiteral("ORDER BY NRINSJURIEST")};

    qryPesqInscrEstad.Name = QStringLiteral("qryPesqInscrEstad");
    qryPesqInscrEstad.SQL = {QStringLiteral("SELECT CDINSCESTA"), QStringLiteral("FROM INSCRESTAD"),
                             QStringLiteral("WHERE CDEMPRESA = :P_CDEMPRESA"),
                             QStringLiteral("AND NRINSJURIEST = :P_NRINSJURIEST"), QStringLiteral("ORDER BY CDINSCESTA")};
    qryPesqInscrEstad.AddField({QStringLiteral("CDINSCESTA"), ftString, 16, QStringLiteral("Inscrição Estadual")});

    qryVdInscrEstad.Name = QStringLiteral("qryVdInscrEstad");
    qryVdInscrEstad.SQL = {QStringLiteral("SELECT CDINSCESTA"), QStringLiteral("FROM INSCRESTAD"),
                           QStringLiteral("WHERE CDEMPRESA = :P_CDEMPRESA"), QStringLiteral("AND CDINSCESTA = :P_CDINSCESTA"),
                           QStringLiteral("AND NRINSJURIEST = :P_NRINSJURIEST")};

    btpInscrJurid->SetHint(QStringLiteral("Pesquisar"));
    btpInscrJurid->SetAssociate(medInscrJurid);
    btpInscrJurid->Title = QStringLiteral("Inscrição Jurídica");
    btpInscrJurid->DataSource = &qryPesqInscrJurid;
    btpInscrJurid->FieldCodigo = QStringLiteral("NRINSJURIEST");
    btpInscrJurid->EmptyError = QStringLiteral("Não há inscrição jurídica cadastrada.");
    btpInscrJurid->PesqChave = true;
    btpInscrEstad->SetHint(QStringLiteral("Pesquisar"));
    btpInscrEstad->SetAssociate(medInscrEstad);
    btpInscrEstad->Title = QStringLiteral("Inscrição Estadual");
    btpInscrEstad->DataSource = &qryPesqInscrEstad;
    btpInscrEstad->FieldCodigo = QStringLiteral("CDINSCESTA");
    btpInscrEstad->EmptyError = QStringLiteral("Não há inscrição estadual cadastrada.");
    btpInscrEstad->PesqChave = true;

    medInscrJurid->OnChange = [this](QObject *s) { medInscrJuridChange(s); };
    medInscrJurid->OnKeyPress = [this](QObject *s, QChar &k) { medInscrJuridKeyPress(s, k); };
    SetOnEnter(medInscrJurid, [this](QObject *s) { medInscrJuridEnter(s); });
    SetOnExit(medInscrJurid, [this](QObject *s) { medInscrJuridExit(s); });
    btpInscrJurid->OnBeforePesq = [this](QObject *s, bool &p) { btpInscrJuridBeforePesq(s, p); };
    btpInscrJurid->OnAfterPesq = [this](QObject *s) { btpInscrJuridAfterPesq(s); };
    SetOnExit(medInscrEstad, [this](QObject *s) { medInscrEstadExit(s); });
    btpInscrEstad->OnBeforePesq = [this](QObject *s, bool &p) { btpInscrEstadBeforePesq(s, p); };
    btpInscrEstad->OnAfterPesq = [this](QObject *s) { btpInscrEstadAfterPesq(s); };
}

QString TfrmFiltroSincronizacaoCTe::currentLookupType() const
{
    if (!qryPesqInscrJurid.Active() || qryPesqInscrJurid.IsEmpty())
        return {};
    return qryPesqInscrJurid.FieldByName(QStringLiteral("IDTPIJURIEST")).AsString();
}

void TfrmFiltroSincronizacaoCTe::medInscrJuridChange(QObject *) { medInscrEstad->SetText(QString()); }

void TfrmFiltroSincronizacaoCTe::medInscrJuridEnter(QObject *)
{
    auto change = medInscrJurid->OnChange;
    medInscrJurid->OnChange = nullptr;
    medInscrJurid->SetEditMask(QString());
    medInscrJurid->OnChange = change;
}

void TfrmFiltroSincronizacaoCTe::medInscrJuridKeyPress(QObject *, QChar &key)
{
    MaxNumber(medInscrJurid->Text(), 20, 0, key, medInscrJurid->cursorPosition(),
              int(medInscrJurid->selectedText().size()));
}

void TfrmFiltroSincronizacaoCTe::medInscrJuridExit(QObject *)
{
    Vd_InscrJurid(false);
    auto change = medInscrJurid->OnChange;
    medInscrJurid->OnChange = nullptr;
    if (EmptyString(medInscrJurid->Text()))
        medInscrJurid->SetEditMask(QString());
    else
        medInscrJurid->SetEditMask(PictPess(currentLookupType()));
    medInscrJurid->OnChange = change;
}

void TfrmFiltroSincronizacaoCTe::btpInscrJuridBeforePesq(QObject *, bool &)
{
    qryPesqInscrJurid.Close();
    qryPesqInscrJurid.ParamByName(QStringLiteral("P_CDEMPRESA")).AsString = Cli_Dfe71000::CodigoEmpresa();
    qryPesqInscrJurid.Open();
}

void TfrmFiltroSincronizacaoCTe::btpInscrJuridAfterPesq(QObject *)
{
    const bool rows = qryPesqInscrJurid.Active() && !qryPesqInscrJurid.IsEmpty();
    medInscrJurid->SetText(rows ? qryPesqInscrJurid.FieldByName(QStringLiteral("NRINSJURIEST")).AsString() : QString());
}

void TfrmFiltroSincronizacaoCTe::medInscrEstadExit(QObject *) { Vd_InscrEstad(false); }

void TfrmFiltroSincronizacaoCTe::btpInscrEstadBeforePesq(QObject *, bool &)
{
    qryPesqInscrEstad.Close();
    qryPesqInscrEstad.ParamByName(QStringLiteral("P_CDEMPRESA")).AsString = Cli_Dfe71000::CodigoEmpresa();
    qryPesqInscrEstad.ParamByName(QStringLiteral("P_NRINSJURIEST")).AsString = medInscrJurid->Text();
    qryPesqInscrEstad.Open();
}

void TfrmFiltroSincronizacaoCTe::btpInscrEstadAfterPesq(QObject *)
{
    medInscrEstad->SetText(qryPesqInscrEstad.FieldByName(QStringLiteral("CDINSCESTA")).AsString());
}

QString TfrmFiltroSincronizacaoCTe::qryPesqInscrJuridNRINSJURIESTGetText(TField &sender, int row)
{
    const QString number = sender.StringAt(row);
    if (EmptyString(number))
        return {};
    const QString type = qryPesqInscrJurid.FieldByName(QStringLiteral("IDTPIJURIEST")).StringAt(row);
    return FormatMaskText(PictPess(type), number);
}

void TfrmFiltroSincronizacaoCTe::Vd_InscrJurid(bool required)
{
    try {
        if (EmptyString(medInscrJurid->Text())) {
            if (required)
                MensErro(msgPadrao.Msg(QStringLiteral("INSCRJURID_DEVE")), true);
            return;
        }
        qryVdInscrJurid.Close();
        qryVdInscrJurid.ParamByName(QStringLiteral("P_CDEMPRESA")).AsString = Cli_Dfe71000::CodigoEmpresa();
        qryVdInscrJurid.ParamByName(QStringLiteral("P_NRINSJURIEST")).AsString = medInscrJurid->Text();
        qryVdInscrJurid.Open();
        if (qryVdInscrJurid.IsEmpty())
            MensErro(msgPadrao.Msg(QStringLiteral("INSCRJURID_N_CAD")), true);
    } catch (...) {
        medInscrJurid->setFocus();
        throw;
    }
}

void TfrmFiltroSincronizacaoCTe::Vd_InscrEstad(bool required)
{
    try {
        if (EmptyString(medInscrEstad->Text())) {
            if (required)
                MensErro(msgPadrao.Msg(QStringLiteral("IE_DEV")), true);
            return;
        }
        qryVdInscrEstad.Close();
        qryVdInscrEstad.ParamByName(QStringLiteral("P_CDEMPRESA")).AsString = Cli_Dfe71000::CodigoEmpresa();
        qryVdInscrEstad.ParamByName(QStringLiteral("P_NRINSJURIEST")).AsString = medInscrJurid->Text();
        qryVdInscrEstad.ParamByName(QStringLiteral("P_CDINSCESTA")).AsString = medInscrEstad->Text();
        qryVdInscrEstad.Open();
        if (qryVdInscrEstad.IsEmpty())
            MensErro(msgPadrao.Msg(QStringLiteral("IE_NCAD")), true);
    } catch (...) {
        medInscrEstad->setFocus();
        throw;
    }
}

} // namespace Cli_Dfe71100
