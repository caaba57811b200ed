// The CT-e list and the download rows: field models, order, read-only guards and
// the list's two display texts.
#include "SincronizacaoCTe.h"
#include "Exceptions.h"
#include "Funcoes.h"

namespace Cli_Dfe71000 {

QString InscricaoFormatada(const QString &registration)
{
    const QString r = registration.trimmed();
    if (r.size() == 14)
        return FormatMaskText(PictPess(QStringLiteral("J")), r);
    if (r.size() == 11)
        return FormatMaskText(PictPess(QStringLiteral("F")), r);
    return r;
}

void TfrmSincronizacaoCTe::buildList()
{
    cdsSincronizacaoCTe.Name = QStringLiteral("cdsSincronizacaoCTe");
    const QString money = QStringLiteral("#,##0.00");
    const TFieldDef defs[] = {
        {QStringLiteral("IDCHECK"), ftFixedChar, 1, QString(), QString(), false},
        {QStringLiteral("NRINSJURPESQ"), ftString, 14, QString(), QString(), false},
        {QStringLiteral("NRNSU"), ftString, 15, QStringLiteral("NSU")},
        {QStringLiteral("IDTPAMBIENTE"), ftString, 1, QStringLiteral("Ambiente")},
        {QStringLiteral("NRACESSOCTE"), ftString, 50, QStringLiteral("Chave de Acesso")},
        {QStringLiteral("NRINSJUREMIT"), ftString, 14, QStringLiteral("Emitente")},
        {QStringLiteral("NMRAZSOCEMIT"), ftString, 60, QStringLiteral("Razão Social Emitente")},
        {QStringLiteral("NRINSJURREME"), ftString, 14, QString(), QString(), false},
        {QStringLiteral("NMRAZSOCREME"), ftString, 60, QString(), QString(), false},
        {QStringLiteral("NRINSJUREXPE"), ftString, 14, QString(), QString(), false},
        {QStringLiteral("NMRAZSOCEXPE"), ftString, 60, QString(), QString(), false},
        {QStringLiteral("NRINSJURRECE"), ftString, 14, QString(), QString(), false},
        {QStringLiteral("NMRAZSOCRECE"), ftString, 60, QString(), QString(), false},
        {QStringLiteral("NRINSJURDEST"), ftString, 14, QString(), QString(), false},
        {QStringLiteral("NMRAZSOCDEST"), ftString, 60, QString(), QString(), false},
        {QStringLiteral("IDTOMADOR"), ftString, 1, QString(), QString(), false},
        {QStringLiteral("NRINSJURTOMA"), ftString, 14, QString(), QString(), false},
        {QStringLiteral("NMRAZSOCTOMA"), ftString, 60, QString(), QString(), false},
        {QStringLiteral("DTEMISSAO"), ftString, 10, QStringLiteral("Emissão")},
        {QStringLiteral("VRTOTALPREST"), ftFloat, 0, QStringLiteral("Valor Total"), money},
        {QStringLiteral("VRRECEBER"), ftFloat, 0, QStringLiteral("Valor a Receber"), money},
        {QStringLiteral("CDSTATUS"), ftString, 3, QStringLiteral("Cód Status")},
        {QStringLiteral("DSSTATUS"), ftString, 255, QStringLiteral("Descrição Status")},
        {QStringLiteral("DTSINCRONIZACAO"), ftString, 10, QStringLiteral("Sincronização")},
        {QStringLiteral("RODAPE"), ftString, 255, QString(), QString(), true, true},
    };
    for (const TFieldDef &d : defs)
        cdsSincronizacaoCTe.AddField(d);
    cdsSincronizacaoCTe.AddIndex(QStringLiteral("cdsSincronizacaoCTeIndex1"), QStringLiteral("NRNSU"));
    cdsSincronizacaoCTe.BeforeEdit = [this](TClientDataSet &ds) { cdsSincronizacaoCTeBeforeEdit(ds); };
    cdsSincronizacaoCTe.BeforeInsert = [this](TClientDataSet &ds) { cdsSincronizacaoCTeBeforeInsert(ds); };
    cdsSincronizacaoCTe.BeforeDelete = [this](TClientDataSet &ds) { cdsSincronizacaoCTeBeforeDelete(ds); };
    cdsSincronizacaoCTe.FieldByName(QStringLiteral("RODAPE")).OnGetText = [this](TField &f, int row) {
        return cdsSincronizacaoCTeRODAPEGetText(f, row);
    };
    cdsSincronizacaoCTe.FieldByName(QStringLiteral("NRINSJUREMIT")).OnGetText = [](TField &f, int row) {
        return InscricaoFormatada(f.StringAt(row));
    };
    cdsSincronizacaoCTe.FieldByName(QStringLiteral("IDTPAMBIENTE")).OnGetText = [this](TField &f, int row) {
        return cdsSincronizacaoCTeIDTPAMBIENTEGetText(f, row);
    };
    dtsPadrao.Name = QStringLiteral("dtsPadrao");
    dtsPadrao.SetDataSet(&cdsSincronizacaoCTe);
    dbtNome->DataField = QStringLiteral("RODAPE");
    dbtNome->refresh();

    cdsDownloadXML.Name = QStringLiteral("cdsDownloadXML");
    cdsDownloadXML.AddField({QStringLiteral("NRNSU"), ftString, 15});
    cdsDownloadXML.AddField({QStringLiteral("DSNOMEARQUIVO"), ftString, 255});
    cdsDownloadXML.AddField({QStringLiteral("DSTEXTOXML"), ftBlob, 0});
    cdsDownloadXML.AddField({QStringLiteral("IDSTATUS"), ftString, 3});
    cdsDownloadXML.AddField({QStringLiteral("DSSTATUS"), ftString, 255});
}

void TfrmSincronizacaoCTe::cdsSincronizacaoCTeBeforeEdit(TClientDataSet &) { Abort(); }
void TfrmSincronizacaoCTe::cdsSincronizacaoCTeBeforeInsert(TClientDataSet &) { Abort(); }
void TfrmSincronizacaoCTe::cdsSincronizacaoCTeBeforeDelete(TClientDataSet &) { Abort(); }

QString TfrmSincronizacaoCTe::cdsSincronizacaoCTeRODAPEGetText(TField &, int row)
{
    if (!cdsSincronizacaoCTe.Active() || cdsSincronizacaoCTe.IsEmpty() || row < 0)
        return {};
    QString text = cdsSincronizacaoCTe.FieldByName(QStringLiteral("NRNSU")).StringAt(row);
    const QString key = cdsSincronizacaoCTe.FieldByName(QStringLiteral("NRACESSOCTE")).StringAt(row);
    if (!EmptyString(key))
        text = text + QStringLiteral(" - ") + key;
    return text;
}

QString TfrmSincronizacaoCTe::cdsSincronizacaoCTeIDTPAMBIENTEGetText(TField &sender, int row)
{
    const QString v = sender.StringAt(row);
    if (v == QLatin1String("1"))
        return msgPadrao.Msg(QStringLiteral("PRODUCAO"));
    if (v == QLatin1String("2"))
        return msgPadrao.Msg(QStringLiteral("HOMOLOGACAO"));
    return {};
}

} // namespace Cli_Dfe71000
