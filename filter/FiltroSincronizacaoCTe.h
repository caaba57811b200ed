#pragma once
// Unit Cli_Dfe71100: the filter dialog of the synchronization screen.
#include "Forms.h"
#include "ModuleApi.h"
#include "Query.h"

#include <QCheckBox>
#include <QDate>
#include <QPointer>

class QGridLayout;
class QGroupBox;

namespace Cli_Dfe71100 {

struct TRecordFilter {
    QString stInscrJurid;
    QString stInscrEstad;
    QDate dtEmissaoIni;
    QDate dtEmissaoFim;
    QString stStatus;
    QDate dtSincIni;
    QDate dtSincFin;
};

class TfrmFiltroSincronizacaoCTe : public TfrmRotiGeral {
public:
    explicit TfrmFiltroSincronizacaoCTe(QWidget *owner = nullptr);
    ~TfrmFiltroSincronizacaoCTe() override;

    QLabel *lblInscrJurid;
    TMaskEdit *medInscrJurid;
    TBtnPesquisa *btpInscrJurid;
    QLabel *lblInscrEstad;
    TMaskEdit *medInscrEstad;
    TBtnPesquisa *btpInscrEstad;
    QGroupBox *grbStatus;
    QCheckBox *chkNSUInex, *chkAutorizado, *chkRecusado, *chkCancelado;
    QGroupBox *grbDataEmissao;
    QLabel *lblEmissaoIni, *lblEmissaoFim;
    TDateEditPlus *depEmissaoIni, *depEmissaoFim;
    QGroupBox *grbSinc;
    QLabel *Label1, *Label2;
    TDateEditPlus *depSincIni, *depSincFin;
    TADOIBQuery qryPesqInscrJurid, qryVdInscrJurid, qryPesqInscrEstad, qryVdInscrEstad;

    TRecordFilter rcFiltro;
    QString stInscrEstadFiltro;

    void FormCreate(QObject *sender);
    void FormShow(QObject *sender);
    // The window became active: an empty legal registration is filled from the lookup.
    void FormActivate(QObject *sender);
    void FormClose(QObject *sender, TCloseAction &action);
    void sbtConfirmaClick(QObject *sender);
    void depEmissaoIniExit(QObject *sender);
    void depEmissaoFimExit(QObject *sender);
    void depSincIniExit(QObject *sender);
    void depSincFinExit(QObject *sender);

    // Registration lookups and checks.
    void medInscrJuridChange(QObject *sender);
    void medInscrJuridEnter(QObject *sender);
    void medInscrJuridExit(QObject *sender);
    void medInscrJuridKeyPress(QObject *sender, QChar &key);
    void btpInscrJuridBeforePesq(QObject *sender, bool &proceed);
    void btpInscrJuridAfterPesq(QObject *sender);
    void medInscrEstadExit(QObject *sender);
    void btpInscrEstadBeforePesq(QObject *sender, bool &proceed);
    void btpInscrEstadAfterPesq(QObject *sender);
    QString qryPesqInscrJuridNRINSJURIESTGetText(TField &sender, int row);
    void Vd_InscrJurid(bool required);
    void Vd_InscrEstad(bool required);
    // A range whose first date comes after its last is refused, naming both.
    void Vd_Periodo(TDateEditPlus *ini, TDateEditPlus *fim, const QString &which);

    // The status list of the ticked boxes: "_999_100_000_101_" order, "T" for none.
    QString StatusList() const;

private:
    void buildLayout();
    QGridLayout *buildRegistrations();
    QGroupBox *buildStatus();
    void buildLookups();
    QString currentLookupType() const;
};

DFE_MODULE_EXPORT extern QPointer<TfrmFiltroSincronizacaoCTe> frmFiltroSincronizacaoCTe;
DFE_MODULE_EXPORT extern bool boConfirma;

} // namespace Cli_Dfe71100
