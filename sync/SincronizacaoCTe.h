#pragma once
// Unit Cli_Dfe71000: the CT-e synchronization screen.
#include "Forms.h"
#include "ModuleApi.h"
#include "NetConnection.h"
#include "Query.h"

#include <QPointer>

namespace Cli_Dfe71000 {

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

    // Commands.
    TButtonFlat *sbtFiltro, *sbtSincronizarCTe, *sbtRecusaCTe, *sbtCancelaRecusaCTe, *sbtDownloadXML;
    QAction *mnuFiltro, *mnuSincronizarCTe, *mnuCancelaRecusaCTe, *mnuDownloadXML;

    TADOIBQuery qryPesqEmpresa, qryVdEmpresa;
    TDataSource dtsPesqEmpresa;
    TClientDataSet cdsSincronizacaoCTe;
    TClientDataSet cdsDownloadXML;
    TNetConnection netSincronizacaoCTe;

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

private:
    void buildCompanyPanel();
    void buildCommands();
    void buildList();
    void buildGrid();
    void toggleCurrentRow();
    // The filter dialog holds the filter every server call sends; before it exists
    // it is asked for first. False: no filter was confirmed.
    bool ensureFilter();
    // One remote call under the busy animation; an error-text reply is shown and
    // ends the command. Returns the envelope of any other reply.
    struct Envelope callServer(const QString &method, const std::vector<TArg> &args);
    // Restricts the list to its ticked rows (the caller lifts the filter).
    void restrictToTicked();
};

DFE_MODULE_EXPORT extern QPointer<TfrmSincronizacaoCTe> frmSincronizacaoCTe;
DFE_MODULE_EXPORT extern bool boIdCriado;

// The current company code as the screen holds it (empty without a screen).
QString CodigoEmpresa();
// The reply envelope of the remote methods.
struct Envelope {
    bool errorText = false; // the reply is a text: an error message
    QString text;           // the error text, or the payload as text
    QString flag;
    QVariant payload;
};
Envelope ReadEnvelope(const QVariant &reply);

} // namespace Cli_Dfe71000
