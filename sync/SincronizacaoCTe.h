#pragma once
// Unit Cli_Dfe71000: the CT-e synchronization screen.
#include "FiltroSincronizacaoCTe.h"
#include "Forms.h"
#include "ModuleApi.h"
#include "NetConnection.h"
#include "Query.h"

#include <QHash>
#include <QPointer>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

class QMenu;
class TListFind;
namespace listexport { struct Table; }

namespace Cli_Dfe71000 {

// One document the server sent for a row of the list.
struct XmlBaixado {
    QString nsu, name;
    QByteArray xml;
    bool ok = false;
    QString status;
};

class TfrmSincronizacaoCTe : public TfrmPadraoGrid {
public:
    explicit TfrmSincronizacaoCTe(QWidget *owner = nullptr);
    ~TfrmSincronizacaoCTe() override;

    // Company panel.
    TPanel *panEmpresa;
    QLabel *lblEmpresa;
    TMaskEdit *medCdEmpresa;
    TBtnPesquisa *btnEmpresa;
    QLineEdit *edtNmEmpresa;
    TImage *imgCheck, *imgUncheck;
    QLabel *lblLista;  // the registrations the list shown belongs to
    QLabel *lblTotais; // rows, ticked rows and the amounts, in the footer
    QLabel *lblVazio;  // over the grid when the filter found nothing
    QLabel *lblEstado; // the list's registration: last synchronization, next query allowed

    // Commands.
    TButtonFlat *sbtFiltro, *sbtSincronizarCTe, *sbtRecusaCTe, *sbtCancelaRecusaCTe, *sbtDownloadXML;
    TButtonFlat *sbtDacte, *sbtExportar;
    QAction *mnuFiltro, *mnuSincronizarCTe, *mnuRecusaCTe, *mnuCancelaRecusaCTe, *mnuDownloadXML;
    QAction *mnuDacte, *mnuDactesPdf, *mnuDactesZip, *mnuExportar, *mnuLocalizar;

    // The find bar over the list (Ctrl+F, F3, Shift+F3).
    QWidget *panBusca;
    QLineEdit *edtBusca;
    QLabel *lblBusca;

    TADOIBQuery qryPesqEmpresa, qryVdEmpresa;
    TDataSource dtsPesqEmpresa;
    TClientDataSet cdsSincronizacaoCTe;
    TClientDataSet cdsDownloadXML;
    TNetConnection netSincronizacaoCTe;

    // What the list shown was loaded with. Every command acts on it: a filter confirmed
    // later whose load failed must not send another registration with this list's rows.
    struct FiltroLista {
        QString empresa;
        Cli_Dfe71100::TRecordFilter rc;
        QString stInscrEstadFiltro;
    };
    std::optional<FiltroLista> listaFiltro;

    // Showing, closing, company panel and list loading.
    void FormShow(QObject *sender);
    void FormClose(QObject *sender, TCloseAction &action);
    void panEmpresaEnter(QObject *sender);
    void panEmpresaExit(QObject *sender);
    void medCdEmpresaChange(QObject *sender);
    void btnEmpresaBeforePesq(QObject *sender, bool &proceed);
    void btnEmpresaAfterPesq(QObject *sender);
    void Vd_Empresa(bool required);
    void sbtFiltroClick(QObject *sender);
    void sbtVerificarClick(QObject *sender);
    void CarregaDadosGerais();
    // The last synchronization and the next query allowed for the list's registration,
    // asked of the server; nothing is said when it cannot tell.
    void atualizaEstado();
    bool semEstado = false; // the server has no state method

    // The list.
    void cdsSincronizacaoCTeBeforeEdit(TClientDataSet &dataSet);
    void cdsSincronizacaoCTeBeforeInsert(TClientDataSet &dataSet);
    void cdsSincronizacaoCTeBeforeDelete(TClientDataSet &dataSet);
    QString cdsSincronizacaoCTeRODAPEGetText(TField &sender, int row);
    QString cdsSincronizacaoCTeIDTPAMBIENTEGetText(TField &sender, int row);

    // The grid and ticking.
    void dbgPadraoDrawColumnCell(TDBGrid *sender, const QRect &rect, int dataCol, TColumn &column,
                                 QStyle::State state);
    void dbgPadraoDblClick(QObject *sender);
    void dbgPadraoKeyDown(QObject *sender, int &key, Qt::KeyboardModifiers shift);
    void dbgPadraoTitleClick(TColumn &column);
    void dtsPadraoStateChange(TDataSource *sender);

    // Commands on the loaded list.
    void sbtSincronizarCTeClick(QObject *sender);
    void sbtDownloadXMLClick(QObject *sender);
    void sbtRecusaCTeClick(QObject *sender);
    void sbtCancelaRecusaCTeClick(QObject *sender);
    // Printing the list as shown and the screen's help.
    void sbtImprimirClick(QObject *sender);
    void sbtAjudaClick(QObject *sender);
    QString HtmlDaLista() const;
    void sbtDacteClick(QObject *sender);     // the current row's DACTE in the preview
    void sbtDactesPdfClick(QObject *sender); // the ticked rows' DACTEs in one PDF
    void sbtDactesZipClick(QObject *sender); // their XML and DACTEs in one ZIP
    void sbtExportarClick(QObject *sender);  // the list as shown to XLSX or CSV

    // Finding a row.
    void mnuLocalizarClick(QObject *sender);
    void edtBuscaChange(QObject *sender);
    void buscaProxima(bool forward);
    // The menu of a row (view its DACTE, copy its key, tick, download, event).
    QMenu *menuLinha();

private:
    void buildCompanyPanel();
    void buildCommands();
    void buildList();
    void buildGrid();
    void toggleCurrentRow();
    void buildFooter();
    void buildPrintAndHelp();
    QString descricaoFiltro() const; // the list's filter in words, for the printout
    // The footer's counts and sums; the empty list's notice.
    void atualizaTotais();
    void mostraTotais();
    struct Totais {
        int ticked = 0;
        double sums[2][2] = {{0, 0}, {0, 0}}; // [all, ticked][total, receivable]
    };
    Totais totais;
    // What a tick changed since the totals were last shown: one row (the totals move by it
    // alone) or every row (1 ticked, 0 unticked: the ticked sums are all or nothing).
    int linhaMarcada = -1, todasMarcadas = -1;
    QString semCTe() const; // the empty list's notice, naming its filter
    // A title click on any other column than the tick's: its order, reversed, then NSU's.
    void ordenaPor(const QString &field);
    void mostraOrdem(); // the sort indicator on the sorted column's title
    // The filter dialog holds the filter every server call sends; before it exists
    // it is asked for first. False: no filter was confirmed.
    bool ensureFilter();
    // The list shown's filter; with no list, the one last confirmed in the dialog.
    FiltroLista filtroDosComandos() const;
    // Loads the list with the dialog's filter just confirmed.
    void carregaFiltroConfirmado();
    // Loads the list with `f`; on success the list belongs to `f` (written back into).
    void carrega(FiltroLista &f);
    void recebeRestoDaLista();
    void mostraFiltroLista();
    // NRNSU of the current row; empty with no row.
    QString NsuAtual() const;
    // What the list knows of the one ticked CT-e is checked before the reason is asked for.
    void verificaRecusa(const FiltroLista &f);
    // The reload after a command whose own `failure` the caller still reports.
    void recarregaDepoisDe(const std::exception_ptr &failure);
    // The end of the event commands however they end: the list whole again, the current
    // row kept, the reload when asked, then the command's own failure.
    void encerraEvento(const QString &nsu, bool reload, const std::exception_ptr &failure);
    // One remote call under the busy animation; an error-text reply is shown and
    // ends the command. Returns the envelope of any other reply.
    struct Envelope callServer(const QString &method, const std::vector<TArg> &args);
    // Restricts the list to its ticked rows (the caller lifts the filter).
    void restrictToTicked();
    // Runs `command` on the ticked rows of the list shown (at least one), then lifts the
    // restriction and keeps the current row however it ends.
    void comMarcados(const std::function<void(FiltroLista &)> &command);
    // The documents of `rows` (a packet of the list's fields; ticked rows are sent).
    std::vector<XmlBaixado> baixaXml(const TDataPacket &rows, FiltroLista &f);
    QString contagemDownload(int saved, int failed) const;
    TDataPacket pacoteLinhaAtual() const;
    void salvaDocumentosMarcados(bool zip);
    QByteArray pdfDosMarcados(const std::vector<XmlBaixado> &docs, const QHash<QString, QString> &status, int &failed);
    static bool writeFile(const QString &path, const QByteArray &bytes, QString &error);
    void buildFind();
    // The list as shown; only its ticked rows when asked.
    listexport::Table tabelaMostrada(bool tickedOnly) const;
    void buildDocumentCommands();
    void atualizaBusca();
    // The cell holds what the find bar looks for: drawn marked.
    bool celulaEncontrada(const TColumn &column, int row) const;
    std::unique_ptr<TListFind> busca;
    void buildState();
    void mostraEstado(const QHash<QString, QVariant> &state);
};

DFE_MODULE_EXPORT extern QPointer<TfrmSincronizacaoCTe> frmSincronizacaoCTe;
DFE_MODULE_EXPORT extern bool boIdCriado;

// The current company code as the screen holds it (empty without a screen).
QString CodigoEmpresa();
// A CNPJ or CPF laid out as the lookups show it; any other text unchanged.
QString InscricaoFormatada(const QString &registration);
// The reply envelope of the remote methods.
struct Envelope {
    bool errorText = false; // the reply is a text: an error message
    QString text;           // the error text, or the payload as text
    QString flag;
    QVariant payload;
};
Envelope ReadEnvelope(const QVariant &reply);

} // namespace Cli_Dfe71000
