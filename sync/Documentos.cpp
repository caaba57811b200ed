// The documents behind the list: the DACTE of a row in the print preview, and the DACTEs
// (or the XML with their DACTEs) of the ticked rows into one file in a chosen folder.
#include "SincronizacaoCTe.h"
#include "Dialogs.h"
#include "Exceptions.h"
#include "Funcoes.h"
#include "Packet.h"
#include "Renderer.h"
#include "Writers.h"

#include "Bind.h"
#include "Grid.h"

#include <QClipboard>
#include <QDateTime>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QSaveFile>
#include <QDir>
#include <QPrinter>
#include <QProgressDialog>
#include <stdexcept>

namespace Cli_Dfe71000 {

namespace {
dacte::Options optionsOf(const QString &status) { return dacte::Options{status == QLatin1String("101")}; }

dacte::Document readDocument(const XmlBaixado &x)
{
    try {
        return dacte::read(x.xml);
    } catch (const std::exception &e) {
        throw Exception(QStringLiteral("O XML do NSU %1 não pôde ser lido: %2").arg(x.nsu, QString::fromUtf8(e.what())));
    }
}
} // namespace

TDataPacket TfrmSincronizacaoCTe::pacoteLinhaAtual() const
{
    const TClientDataSet &cds = cdsSincronizacaoCTe;
    wire::PacketWriter w({{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
                          {QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                          {QStringLiteral("NRACESSOCTE"), wire::PacketType::Text, 44}});
    w.beginRow();
    w.text(QStringLiteral("S"));
    w.text(cds.FieldByName(QStringLiteral("NRNSU")).AsString());
    w.text(cds.FieldByName(QStringLiteral("NRACESSOCTE")).AsString());
    return w.finish();
}

void TfrmSincronizacaoCTe::sbtDacteClick(QObject *)
{
    TClientDataSet &cds = cdsSincronizacaoCTe;
    if (!cds.Active() || cds.IsEmpty())
        MensErro(msgPadrao.Msg(QStringLiteral("NSU_DEVE")), true);
    FiltroLista f = filtroDosComandos();
    const QString status = cds.FieldByName(QStringLiteral("CDSTATUS")).AsString();
    const std::vector<XmlBaixado> docs = baixaXml(pacoteLinhaAtual(), f);
    if (docs.empty() || !docs.front().ok)
        MensErro(docs.empty() ? QStringLiteral("O servidor de aplicação não enviou o XML.") : docs.front().status, true);
    const dacte::Batch batch{{readDocument(docs.front()), optionsOf(status)}};
    Dialogs().PrintPreview(this, QStringLiteral("DACTE %1").arg(batch.front().first.key), QPageLayout::Portrait,
                           [&batch](QPrinter &printer) { dacte::printAll(printer, batch); });
}

// The ticked rows' documents rendered with a progress window that a long batch shows.
QByteArray TfrmSincronizacaoCTe::pdfDosMarcados(const std::vector<XmlBaixado> &docs, const QHash<QString, QString> &status,
                                                int &failed)
{
    dacte::Batch batch;
    for (const XmlBaixado &x : docs) {
        if (x.ok)
            batch.emplace_back(readDocument(x), optionsOf(status.value(x.nsu)));
        else
            ++failed;
    }
    if (batch.empty())
        return {};
    QProgressDialog progress(QStringLiteral("Gerando DACTE..."), QStringLiteral("Cancelar"), 0, int(batch.size()), this);
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(800);
    const QByteArray bytes = dacte::pdf(batch, [&progress](int done) {
        progress.setValue(done);
        return !progress.wasCanceled();
    });
    if (bytes.isEmpty())
        Abort();
    return bytes;
}

void TfrmSincronizacaoCTe::salvaDocumentosMarcados(bool zip)
{
    comMarcados([this, zip](FiltroLista &f) {
        const std::optional<QString> chosen = Dialogs().ChooseFolder(this);
        if (!chosen)
            Abort();
        QHash<QString, QString> status;
        TClientDataSet &cds = cdsSincronizacaoCTe;
        for (int v = 0; v < cds.RecordCount(); ++v)
            status.insert(cds.FieldByName(QStringLiteral("NRNSU")).StringAt(cds.RowAt(v)),
                          cds.FieldByName(QStringLiteral("CDSTATUS")).StringAt(cds.RowAt(v)));
        const std::vector<XmlBaixado> docs = baixaXml(cds.Data(), f);
        int failed = 0;
        const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
        const QString base = QDir(*chosen).filePath(QStringLiteral("CT-e_%1_%2").arg(f.rc.stInscrJurid, stamp));
        QString error;
        if (!zip) {
            const QByteArray bytes = pdfDosMarcados(docs, status, failed);
            if (!bytes.isEmpty() && !writeFile(base + QStringLiteral(".pdf"), bytes, error))
                throw Exception(error);
        } else {
            std::vector<listexport::ZipEntry> entries;
            for (const XmlBaixado &x : docs) {
                if (!x.ok) {
                    ++failed;
                    continue;
                }
                const dacte::Batch one{{readDocument(x), optionsOf(status.value(x.nsu))}};
                entries.push_back({x.name, x.xml});
                entries.push_back({QFileInfo(x.name).completeBaseName() + QStringLiteral(".pdf"), dacte::pdf(one)});
            }
            if (!entries.empty() && !listexport::writeZip(base + QStringLiteral(".zip"), entries, &error))
                throw Exception(QStringLiteral("Não foi possível gravar o arquivo: %1").arg(error));
        }
        Dialogs().Information(this, contagemDownload(int(docs.size()) - failed, failed));
    });
}

bool TfrmSincronizacaoCTe::writeFile(const QString &path, const QByteArray &bytes, QString &error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    error = QStringLiteral("Não foi possível gravar o arquivo \"%1\": %2").arg(path, file.errorString());
    return false;
}

void TfrmSincronizacaoCTe::buildDocumentCommands()
{
    auto tool = [this](const QString &hint, QStyle::StandardPixmap icon, const char *name) {
        auto *b = new TButtonFlat(panMenu);
        b->SetHint(hint);
        b->setIcon(style()->standardIcon(icon));
        b->setFixedSize(21, 21);
        b->setObjectName(QLatin1String(name));
        AddToolButton(b);
        return b;
    };
    sbtDacte = tool(QStringLiteral("Visualizar DACTE (Enter)"), QStyle::SP_FileDialogDetailedView, "sbtDacte");
    sbtExportar = tool(QStringLiteral("Exportar lista"), QStyle::SP_DriveFDIcon, "sbtExportar");
    sbtDacte->OnClick = [this](QObject *s) { sbtDacteClick(s); };
    sbtExportar->OnClick = [this](QObject *s) { sbtExportarClick(s); };

    mnuManutencao->addSeparator();
    auto entry = [this](const QString &text, void (TfrmSincronizacaoCTe::*handler)(QObject *)) {
        QAction *a = mnuManutencao->addAction(text);
        Bind(a, &QAction::triggered, this, [this, a, handler](bool) { (this->*handler)(a); });
        return a;
    };
    mnuDacte = entry(QStringLiteral("Visualizar DACTE"), &TfrmSincronizacaoCTe::sbtDacteClick);
    mnuDactesPdf = entry(QStringLiteral("DACTE dos CT-e marcados (PDF)"), &TfrmSincronizacaoCTe::sbtDactesPdfClick);
    mnuDactesZip = entry(QStringLiteral("XML e DACTE dos CT-e marcados (ZIP)"), &TfrmSincronizacaoCTe::sbtDactesZipClick);
    mnuExportar = entry(QStringLiteral("Exportar lista"), &TfrmSincronizacaoCTe::sbtExportarClick);
    // Ctrl+F is the find bar's own shortcut: the entry only names it.
    mnuLocalizar = entry(QStringLiteral("Localizar (Ctrl+F)"), &TfrmSincronizacaoCTe::mnuLocalizarClick);

    dbgPadrao->setContextMenuPolicy(Qt::CustomContextMenu);
    Bind(dbgPadrao, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        const QModelIndex index = dbgPadrao->indexAt(at);
        if (index.isValid())
            cdsSincronizacaoCTe.SetRecNo(index.row() + 1);
        std::unique_ptr<QMenu> menu(menuLinha());
        menu->exec(dbgPadrao->viewport()->mapToGlobal(at));
    });
}

QMenu *TfrmSincronizacaoCTe::menuLinha()
{
    auto *menu = new QMenu(this);
    auto item = [this, menu](const QString &text, std::function<void()> f) {
        QAction *a = menu->addAction(text);
        Bind(a, &QAction::triggered, this, [f = std::move(f)](bool) { f(); });
        return a;
    };
    const bool row = cdsSincronizacaoCTe.Active() && !cdsSincronizacaoCTe.IsEmpty();
    item(QStringLiteral("Visualizar DACTE"), [this] { sbtDacteClick(this); })->setEnabled(row);
    item(QStringLiteral("Copiar chave de acesso"), [this] {
        QGuiApplication::clipboard()->setText(cdsSincronizacaoCTe.FieldByName(QStringLiteral("NRACESSOCTE")).AsString().trimmed());
    })->setEnabled(row);
    item(QStringLiteral("Marcar / desmarcar"), [this] { toggleCurrentRow(); })->setEnabled(row);
    menu->addSeparator();
    item(QStringLiteral("Download XML dos marcados"), [this] { sbtDownloadXMLClick(this); });
    item(QStringLiteral("Prestação do Serviço em Desacordo"), [this] { sbtRecusaCTeClick(this); });
    return menu;
}

void TfrmSincronizacaoCTe::sbtDactesPdfClick(QObject *) { salvaDocumentosMarcados(false); }

void TfrmSincronizacaoCTe::sbtDactesZipClick(QObject *) { salvaDocumentosMarcados(true); }

} // namespace Cli_Dfe71000
