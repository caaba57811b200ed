// The filter dialog: layout, defaults, showing, the status list and confirming.
#include "FiltroSincronizacaoCTe.h"
#include "Exceptions.h"
#include "Funcoes.h"
#include "Verdano.h"

#include <QGridLayout>

namespace Cli_Dfe71100 {

QPointer<TfrmFiltroSincronizacaoCTe> frmFiltroSincronizacaoCTe;
bool boConfirma = false;

void Initialization() {}
void Finalization() {}

TfrmFiltroSincronizacaoCTe::TfrmFiltroSincronizacaoCTe(QWidget *owner) : TfrmRotiGeral(owner)
{
    setObjectName(QStringLiteral("frmFiltroSincronizacaoCTe"));
    setWindowTitle(QStringLiteral("Filtro Sincronização do CT-e"));
    lblCodTela->setText(QStringLiteral("DFE71100"));
    msgPadrao.Lines = {
        QStringLiteral("INSCRJURID_DEVE|Inscrição jurídica deve ser informada."),
        QStringLiteral("INSCRJURID_N_CAD|Inscrição jurídica não cadastrada."),
        QStringLiteral("IE_DEV|Inscrição Estadual deve ser informada."),
        QStringLiteral("IE_NCAD|Inscrição Estadual não cadastrada."),
        QStringLiteral("Data_Ini|Data Inicial de Sincronização deve ser informada."),
        QStringLiteral("Data_Fin|Data Final de Sincronização deve ser informada."),
        QStringLiteral("PERIODO_INVERTIDO|Data de %1: a data inicial (%2) é posterior à data final (%3)."),
    };
    buildLayout();
    buildLookups();
    OnCreate = [this](QObject *s) { FormCreate(s); };
    OnShow = [this](QObject *s) { FormShow(s); };
    OnClose = [this](QObject *s, TCloseAction &a) { FormClose(s, a); };
    sbtConfirma->OnClick = [this](QObject *s) { sbtConfirmaClick(s); };
    OnActivate = [this](QObject *s) { FormActivate(s); };
}

TfrmFiltroSincronizacaoCTe::~TfrmFiltroSincronizacaoCTe() = default;

namespace {
QWidget *bold(QWidget *w)
{
    SetBold(w);
    return w;
}

void plainFont(QWidget *w)
{
    QFont f = w->font();
    f.setBold(false);
    w->setFont(f);
}

// An "Inicial"/"Final" pair of dates under a bold title.
QGroupBox *dateGroup(QWidget *parent, const QString &title, QLabel *&l1, QLabel *&l2, TDateEditPlus *&d1, TDateEditPlus *&d2)
{
    auto *g = new QGroupBox(title, parent);
    bold(g);
    auto *lay = new QGridLayout(g);
    l1 = new QLabel(QStringLiteral("Inicial"), g);
    l2 = new QLabel(QStringLiteral("Final"), g);
    bold(l1);
    bold(l2);
    d1 = new TDateEditPlus(g);
    d2 = new TDateEditPlus(g);
    for (TDateEditPlus *d : {d1, d2}) {
        plainFont(d);
        SetColor(d, clInfoBk());
        d->SaveTime = false;
        d->ValidDateColor = Qt::blue;
        d->NomeSemana = {QStringLiteral("Domingo"), QStringLiteral("Segunda"), QStringLiteral("Terça"), QStringLiteral("Quarta"),
                         QStringLiteral("Quinta"), QStringLiteral("Sexta"), QStringLiteral("Sábado")};
    }
    lay->addWidget(l1, 0, 0);
    lay->addWidget(l2, 0, 1);
    lay->addWidget(d1, 1, 0);
    lay->addWidget(d2, 1, 1);
    lay->setRowStretch(2, 1); // dates at the top of a group taller than they need
    return g;
}
} // namespace

void TfrmFiltroSincronizacaoCTe::buildLayout()
{
    auto *grid = new QGridLayout(grbDadosRel);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(4);
    grid->addLayout(buildRegistrations(), 0, 0);
    grid->addWidget(buildStatus(), 1, 0);
    grbDataEmissao = dateGroup(grbDadosRel, QStringLiteral(" Data de Emissão "), lblEmissaoIni, lblEmissaoFim, depEmissaoIni,
                               depEmissaoFim);
    grbSinc = dateGroup(grbDadosRel, QStringLiteral(" Data de Sincronização "), Label1, Label2, depSincIni, depSincFin);
    depEmissaoIni->setObjectName(QStringLiteral("depEmissaoIni"));
    depEmissaoFim->setObjectName(QStringLiteral("depEmissaoFim"));
    depSincIni->setObjectName(QStringLiteral("depSincIni"));
    depSincFin->setObjectName(QStringLiteral("depSincFin"));
    grid->addWidget(grbDataEmissao, 0, 1);
    grid->addWidget(grbSinc, 1, 1);

    QWidget *order[] = {medInscrJurid, medInscrEstad, chkNSUInex, chkAutorizado, chkRecusado,
                        chkCancelado, depEmissaoIni, depEmissaoFim, depSincIni, depSincFin};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);

    SetOnExit(depEmissaoIni, [this](QObject *s) { depEmissaoIniExit(s); });
    SetOnExit(depEmissaoFim, [this](QObject *s) { depEmissaoFimExit(s); });
    SetOnExit(depSincIni, [this](QObject *s) { depSincIniExit(s); });
    SetOnExit(depSincFin, [this](QObject *s) { depSincFinExit(s); });
    resize(503, 183);
}

QGridLayout *TfrmFiltroSincronizacaoCTe::buildRegistrations()
{
    lblInscrJurid = new QLabel(QStringLiteral("Inscrição Jurídica"), grbDadosRel);
    bold(lblInscrJurid);
    medInscrJurid = new TMaskEdit(grbDadosRel);
    medInscrJurid->setObjectName(QStringLiteral("medInscrJurid"));
    medInscrJurid->SetMaxLength(20);
    SetColor(medInscrJurid, clInfoBk());
    btpInscrJurid = new TBtnPesquisa(grbDadosRel);
    btpInscrJurid->setObjectName(QStringLiteral("btpInscrJurid"));
    lblInscrEstad = new QLabel(QStringLiteral("Inscrição Estadual"), grbDadosRel);
    bold(lblInscrEstad);
    medInscrEstad = new TMaskEdit(grbDadosRel);
    medInscrEstad->setObjectName(QStringLiteral("medInscrEstad"));
    medInscrEstad->SetMaxLength(16);
    SetColor(medInscrEstad, Qt::white);
    btpInscrEstad = new TBtnPesquisa(grbDadosRel);
    btpInscrEstad->setObjectName(QStringLiteral("btpInscrEstad"));
    plainFont(medInscrJurid);
    plainFont(medInscrEstad);

    auto *regs = new QGridLayout;
    regs->addWidget(lblInscrJurid, 0, 0);
    regs->addWidget(medInscrJurid, 1, 0);
    regs->addWidget(btpInscrJurid, 1, 1);
    regs->addWidget(lblInscrEstad, 2, 0);
    regs->addWidget(medInscrEstad, 3, 0);
    regs->addWidget(btpInscrEstad, 3, 1);
    return regs;
}

QGroupBox *TfrmFiltroSincronizacaoCTe::buildStatus()
{
    grbStatus = new QGroupBox(QStringLiteral(" Situação CT-e "), grbDadosRel);
    bold(grbStatus);
    auto *st = new QGridLayout(grbStatus);
    chkNSUInex = new QCheckBox(QStringLiteral("NSU Inexistente"), grbStatus);
    chkAutorizado = new QCheckBox(QStringLiteral("Autorizado"), grbStatus);
    chkRecusado = new QCheckBox(QStringLiteral("Serviço em Desacordo"), grbStatus);
    chkCancelado = new QCheckBox(QStringLiteral("Cancelado"), grbStatus);
    chkAutorizado->setChecked(true);
    chkRecusado->setChecked(true);
    chkCancelado->setChecked(true);
    st->addWidget(chkNSUInex, 0, 0);
    st->addWidget(chkAutorizado, 1, 0);
    st->addWidget(chkRecusado, 2, 0);
    st->addWidget(chkCancelado, 3, 0);
    return grbStatus;
}

void TfrmFiltroSincronizacaoCTe::FormCreate(QObject *sender)
{
    TfrmRotiGeral::FormCreate(sender);
    depEmissaoIni->SetDate(PriDiaMes(Verdano::DataProc(Verdano::FiliProc())));
    depEmissaoFim->SetDate(Verdano::DataProc(Verdano::FiliProc()));
    depSincIni->SetDate(PriDiaMes(Verdano::DataProc(Verdano::FiliProc())));
    depSincFin->SetDate(Verdano::DataProc(Verdano::FiliProc()));
    rcFiltro.stInscrJurid = medInscrJurid->Text();
    rcFiltro.stInscrEstad = medInscrEstad->Text();
    rcFiltro.dtEmissaoIni = depEmissaoIni->GetDate();
    rcFiltro.dtEmissaoFim = depEmissaoFim->GetDate();
    rcFiltro.dtSincIni = depSincIni->GetDate();
    rcFiltro.dtSincFin = depSincFin->GetDate();
}

void TfrmFiltroSincronizacaoCTe::FormShow(QObject *)
{
    boConfirma = false;
    medInscrJurid->SetText(rcFiltro.stInscrJurid);
    if (EmptyString(medInscrJurid->Text()))
        medInscrJurid->SetEditMask(QString());
    else
        medInscrJurid->SetEditMask(PictPess(currentLookupType()));
    medInscrEstad->SetText(rcFiltro.stInscrEstad);
    depEmissaoIni->SetDate(rcFiltro.dtEmissaoIni);
    depEmissaoFim->SetDate(rcFiltro.dtEmissaoFim);
    depSincIni->SetDate(rcFiltro.dtSincIni);
    depSincFin->SetDate(rcFiltro.dtSincFin);
    if (EmptyString(medInscrJurid->Text()))
        medInscrJurid->setFocus();
}

void TfrmFiltroSincronizacaoCTe::FormActivate(QObject *sender)
{
    // Only an empty registration takes the lookup's row: what the user typed or the stored
    // filter restored is never replaced (and the state registration with it).
    if (EmptyString(medInscrJurid->Text()))
        btpInscrJuridAfterPesq(sender);
}

QString TfrmFiltroSincronizacaoCTe::StatusList() const
{
    QString s = QStringLiteral("_");
    if (chkNSUInex->isChecked()) s += QStringLiteral("999_");
    if (chkAutorizado->isChecked()) s += QStringLiteral("100_");
    if (chkRecusado->isChecked()) s += QStringLiteral("000_");
    if (chkCancelado->isChecked()) s += QStringLiteral("101_");
    return s == QLatin1String("_") ? QStringLiteral("T") : s;
}

void TfrmFiltroSincronizacaoCTe::Vd_Periodo(TDateEditPlus *ini, TDateEditPlus *fim, const QString &which)
{
    const QDate from = ini->GetDate(), to = fim->GetDate();
    if (!from.isValid() || !to.isValid() || from <= to)
        return;
    ini->setFocus();
    const QString f = QStringLiteral("dd/MM/yyyy");
    MensErro(msgPadrao.Msg(QStringLiteral("PERIODO_INVERTIDO")).arg(which, from.toString(f), to.toString(f)), true);
}

void TfrmFiltroSincronizacaoCTe::sbtConfirmaClick(QObject *)
{
    boConfirma = true;
    Vd_InscrJurid(true);
    Vd_InscrEstad(false);
    Vd_Periodo(depEmissaoIni, depEmissaoFim, QStringLiteral("Emissão"));
    Vd_Periodo(depSincIni, depSincFin, QStringLiteral("Sincronização"));
    stInscrEstadFiltro = EmptyString(medInscrEstad->Text()) ? QStringLiteral("T") : medInscrEstad->Text();
    const QString status = StatusList();
    rcFiltro.stInscrJurid = medInscrJurid->Text();
    rcFiltro.stInscrEstad = medInscrEstad->Text();
    rcFiltro.dtEmissaoIni = depEmissaoIni->GetDate();
    rcFiltro.dtEmissaoFim = depEmissaoFim->GetDate();
    rcFiltro.stStatus = status;
    rcFiltro.dtSincIni = depSincIni->GetDate();
    rcFiltro.dtSincFin = depSincFin->GetDate();
    Close();
}

void TfrmFiltroSincronizacaoCTe::FormClose(QObject *, TCloseAction &action) { action = caHide; }

void TfrmFiltroSincronizacaoCTe::depEmissaoIniExit(QObject *) { depEmissaoIni->CheckValidDate(); }
void TfrmFiltroSincronizacaoCTe::depEmissaoFimExit(QObject *) { depEmissaoFim->CheckValidDate(); }
void TfrmFiltroSincronizacaoCTe::depSincIniExit(QObject *) { depSincIni->CheckValidDate(); }
void TfrmFiltroSincronizacaoCTe::depSincFinExit(QObject *) { depSincFin->CheckValidDate(); }

} // namespace Cli_Dfe71100
