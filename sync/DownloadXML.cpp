// XML download of the ticked rows into a folder the user chooses.
#include "SincronizacaoCTe.h"
#include "Dialogs.h"
#include "Downloaded.h"
#include "Exceptions.h"
#include "Funcoes.h"

#include <QDir>
#include <QSaveFile>

namespace Cli_Dfe71000 {

namespace {
QString fillCounts(QString text, const QStringList &values)
{
    for (const QString &v : values) {
        const qsizetype at = text.indexOf(QStringLiteral("%s"));
        if (at < 0)
            break;
        text.replace(at, 2, v);
    }
    return text;
}

// The document is checked as XML, then written exactly as received: it is signed,
// and any re-serialisation would break the signature.
void saveDocument(const QString &path, const QByteArray &xml, const QString &nsu)
{
    if (const std::optional<XmlProblem> p = xmlProblem(xml))
        throw Exception(QStringLiteral("O XML do NSU %1 é inválido: %2 (linha %3)").arg(nsu, p->text).arg(p->line));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(xml) != xml.size() || !file.commit())
        throw Exception(QStringLiteral("Não foi possível gravar o arquivo \"%1\": %2").arg(path, file.errorString()));
}
} // namespace

std::vector<XmlBaixado> TfrmSincronizacaoCTe::baixaXml(const TDataPacket &rows, FiltroLista &f)
{
    const Envelope e = callServer(QStringLiteral("DownloadXML"), {ByVal(QVariant::fromValue(rows)), ByVal(f.empresa),
                                                                  ByRef(f.stInscrEstadFiltro), ByRef(f.rc.stInscrJurid)});
    if (e.flag == QLatin1String("N"))
        MensErro(e.text, true);
    if (e.payload.metaType() != QMetaType::fromType<TDataPacket>())
        throw Exception(QStringLiteral("O servidor de aplicação não enviou os XML."));
    if (cdsDownloadXML.Active())
        cdsDownloadXML.EmptyDataSet();
    else
        cdsDownloadXML.CreateDataSet();
    cdsDownloadXML.SetData(e.payload.value<TDataPacket>());
    std::vector<XmlBaixado> out;
    for (cdsDownloadXML.First(); !cdsDownloadXML.Eof(); cdsDownloadXML.Next())
        out.push_back({cdsDownloadXML.FieldByName(QStringLiteral("NRNSU")).AsString(),
                       cdsDownloadXML.FieldByName(QStringLiteral("DSNOMEARQUIVO")).AsString(),
                       cdsDownloadXML.FieldByName(QStringLiteral("DSTEXTOXML")).AsBytes(),
                       cdsDownloadXML.FieldByName(QStringLiteral("IDSTATUS")).AsString() == QLatin1String("S"),
                       cdsDownloadXML.FieldByName(QStringLiteral("DSSTATUS")).AsString()});
    return out;
}

QString TfrmSincronizacaoCTe::contagemDownload(int saved, int failed) const
{
    if (failed == 0)
        return msgPadrao.Msg(QStringLiteral("DOWNLOAD_SUCESSO"));
    return fillCounts(msgPadrao.Msg(QStringLiteral("DOWNLOAD_ERRO")), {QString::number(saved), QString::number(failed)});
}

void TfrmSincronizacaoCTe::comMarcados(const std::function<void(FiltroLista &)> &command)
{
    if (!listaFiltro && !ensureFilter())
        return;
    FiltroLista f = filtroDosComandos();
    TClientDataSet &cds = cdsSincronizacaoCTe;
    const QString nsu = cds.Active() ? cds.FieldByName(QStringLiteral("NRNSU")).AsString() : QString();
    cds.DisableControls();
    std::exception_ptr failure;
    try {
        restrictToTicked();
        if (!cds.Active() || cds.RecordCount() == 0)
            MensErro(msgPadrao.Msg(QStringLiteral("NSU_DEVE")), true);
        command(f);
    } catch (...) {
        failure = std::current_exception();
    }
    cds.EnableControls();
    // Also on a closed list: a filter left on would hide every row of the next load.
    cds.SetFiltered(false);
    if (cds.Active())
        cds.Locate(QStringLiteral("NRNSU"), nsu);
    atualizaTotais();
    if (failure)
        std::rethrow_exception(failure);
}

void TfrmSincronizacaoCTe::sbtDownloadXMLClick(QObject *)
{
    comMarcados([this](FiltroLista &f) {
        const std::optional<QString> chosen = Dialogs().ChooseFolder(this);
        if (!chosen)
            Abort();
        QString folder = *chosen;
        if (Right(folder, 1) != QDir::separator())
            folder += QDir::separator();
        qint32 saved = 0, failed = 0;
        for (const XmlBaixado &x : baixaXml(cdsSincronizacaoCTe.Data(), f)) {
            if (x.ok && safeFileName(x.name)) {
                saveDocument(folder + x.name, x.xml, x.nsu);
                ++saved;
            } else {
                ++failed;
            }
        }
        Dialogs().Information(this, contagemDownload(saved, failed));
        CarregaDadosGerais();
    });
}

} // namespace Cli_Dfe71000
