// The company panel and the loading of the list.
#include "SincronizacaoCTe.h"
#include "Creation.h"
#include "Exceptions.h"
#include "FiltroSincronizacaoCTe.h"
#include "Funcoes.h"

#include <QHBoxLayout>
#include <QPainter>

namespace Cli_Dfe71000 {

namespace {
QImage boxPicture(bool ticked)
{
    QImage img(16, 16, QImage::Format_RGB32);
    img.fill(QColor(128, 128, 0));
    for (int y = 2; y <= 11; ++y)
        for (int x = 2; x <= 11; ++x)
            img.setPixelColor(x, y, (x == 2 || y == 2) ? Qt::black : Qt::white);
    for (int i = 2; i <= 12; ++i) {
        img.setPixelColor(12, i, QColor(192, 192, 192));
        img.setPixelColor(i, 12, QColor(192, 192, 192));
    }
    if (ticked) {
        // A two-pixel tick from the lower left up to the right.
        const int pts[][2] = {{4, 6}, {5, 7}, {6, 8}, {7, 7}, {8, 6}, {9, 5}, {10, 4}};
        for (const auto &p : pts) {
            img.setPixelColor(p[0], p[1], Qt::black);
            img.setPixelColor(p[0], p[1] + 1, Qt::black);
        }
    }
    return img;
}
} // namespace

void TfrmSincronizacaoCTe::buildCompanyPanel()
{
    panEmpresa = new TPanel(tshPadrao);
    panEmpresa->setObjectName(QStringLiteral("panEmpresa"));
    panEmpresa->setFixedHeight(33);
    auto *lay = new QHBoxLayout(panEmpresa);
    lay->setContentsMargins(6, 4, 6, 4);
    lay->setSpacing(4);
    lblEmpresa = new QLabel(QStringLiteral("Empresa"), panEmpresa);
    SetBold(lblEmpresa);
    medCdEmpresa = new TMaskEdit(panEmpresa);
    medCdEmpresa->setObjectName(QStringLiteral("medCdEmpresa"));
    medCdEmpresa->SetEditMask(QStringLiteral("00; "));
    medCdEmpresa->SetMaxLength(2);
    medCdEmpresa->setFixedWidth(32);
    SetColor(medCdEmpresa, clInfoBk());
    medCdEmpresa->SetTabStop(false);
    btnEmpresa = new TBtnPesquisa(panEmpresa);
    btnEmpresa->setObjectName(QStringLiteral("btnEmpresa"));
    btnEmpresa->SetHint(QStringLiteral("Pesquisar"));
    btnEmpresa->Title = QStringLiteral("Empresa");
    btnEmpresa->SetAssociate(medCdEmpresa);
    btnEmpresa->DataSource = &qryPesqEmpresa;
    btnEmpresa->FieldCodigo = QStringLiteral("CDEMPRESA");
    btnEmpresa->EmptyError = QStringLiteral("Não há empresa cadastrada.");
    btnEmpresa->PesqChave = true;
    edtNmEmpresa = new QLineEdit(panEmpresa);
    edtNmEmpresa->setObjectName(QStringLiteral("edtNmEmpresa"));
    edtNmEmpresa->setFixedWidth(500);
    edtNmEmpresa->setEnabled(false);
    SetColor(edtNmEmpresa, clMenu());
    imgCheck = new TImage(panEmpresa);
    imgCheck->SetPicture(boxPicture(true));
    imgCheck->hide();
    imgUncheck = new TImage(panEmpresa);
    imgUncheck->SetPicture(boxPicture(false));
    imgUncheck->hide();
    lay->addWidget(lblEmpresa);
    lay->addWidget(medCdEmpresa);
    lay->addWidget(btnEmpresa);
    lay->addWidget(edtNmEmpresa);
    lblLista = new QLabel(panEmpresa);
    lblLista->setObjectName(QStringLiteral("lblLista"));
    SetBold(lblLista);
    lblLista->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    lay->addSpacing(12);
    lay->addWidget(lblLista, 1);
    tshPadraoLayout->insertWidget(0, panEmpresa);

    const TFieldDef companyFields[] = {
        {QStringLiteral("CDEMPRESA"), ftString, 2, QStringLiteral("Código")},
        {QStringLiteral("NMEMPRESA"), ftString, 40, QStringLiteral("Nome")},
        {QStringLiteral("NMRAZSOCEMPR"), ftString, 80, QStringLiteral("Razão Social")},
    };
    qryPesqEmpresa.Name = QStringLiteral("qryPesqEmpresa");
    qryPesqEmpresa.SQL = {QStringLiteral("SELECT E.CDEMPRESA,"), QStringLiteral("E.NMEMPRESA,"),
                          QStringLiteral("E.NMRAZSOCEMPR"), QStringLiteral("FROM EMPRESA E"),
                          QStringLiteral("ORDER BY CDEMPRESA")};
    qryVdEmpresa.Name = QStringLiteral("qryVdEmpresa");
    qryVdEmpresa.SQL = {QStringLiteral("SELECT E.CDEMPRESA,"), QStringLiteral("E.NMEMPRESA,"),
                        QStringLiteral("E.NMRAZSOCEMPR"), QStringLiteral("FROM EMPRESA E"),
                        QStringLiteral("WHERE CDEMPRESA = :P_CDEMPRESA")};
    for (const TFieldDef &d : companyFields) {
        qryPesqEmpresa.AddField(d);
        qryVdEmpresa.AddField(d);
    }
    dtsPesqEmpresa.Name = QStringLiteral("dtsPesqEmpresa");
    dtsPesqEmpresa.SetDataSet(&qryPesqEmpresa);

    btnEmpresa->OnBeforePesq = [this](QObject *s, bool &proceed) { btnEmpresaBeforePesq(s, proceed); };
    btnEmpresa->OnAfterPesq = [this](QObject *s) { btnEmpresaAfterPesq(s); };
    medCdEmpresa->OnChange = [this](QObject *s) { medCdEmpresaChange(s); };
    SetOnEnter(panEmpresa, [this](QObject *s) { panEmpresaEnter(s); });
    SetOnExit(panEmpresa, [this](QObject *s) { panEmpresaExit(s); });
}

void TfrmSincronizacaoCTe::panEmpresaEnter(QObject *)
{
    cdsSincronizacaoCTe.Close();
    listaFiltro.reset();
    mostraFiltroLista();
    dtsPadraoStateChange(&dtsPadrao);
}

void TfrmSincronizacaoCTe::medCdEmpresaChange(QObject *) { edtNmEmpresa->clear(); }

void TfrmSincronizacaoCTe::btnEmpresaBeforePesq(QObject *, bool &)
{
    qryPesqEmpresa.Close();
    qryPesqEmpresa.Open();
}

void TfrmSincronizacaoCTe::btnEmpresaAfterPesq(QObject *)
{
    medCdEmpresa->SetText(qryPesqEmpresa.FieldByName(QStringLiteral("CDEMPRESA")).AsString());
    edtNmEmpresa->setText(qryPesqEmpresa.FieldByName(QStringLiteral("NMRAZSOCEMPR")).AsString());
}

void TfrmSincronizacaoCTe::Vd_Empresa(bool required)
{
    try {
        edtNmEmpresa->clear();
        if (EmptyString(medCdEmpresa->Text())) {
            if (required)
                MensErro(msgPadrao.Msg(QStringLiteral("EMPRESA_DEVE")), true);
            return;
        }
        medCdEmpresa->SetText(Ajusta(medCdEmpresa->Text(), 2));
        qryVdEmpresa.Close();
        qryVdEmpresa.ParamByName(QStringLiteral("P_CDEMPRESA")).AsString = medCdEmpresa->Text();
        qryVdEmpresa.Open();
        if (qryVdEmpresa.IsEmpty())
            MensErro(msgPadrao.Msg(QStringLiteral("EMPRESA_N_CADASTRADA")), true);
        edtNmEmpresa->setText(qryVdEmpresa.FieldByName(QStringLiteral("NMRAZSOCEMPR")).AsString());
    } catch (...) {
        medCdEmpresa->setFocus();
        throw;
    }
}

void TfrmSincronizacaoCTe::panEmpresaExit(QObject *)
{
    Vd_Empresa(true);
    if (Cli_Dfe71100::CriaFiltroSincronizacaoCTe()) {
        carregaFiltroConfirmado();
        dbgPadrao->setFocus();
    } else {
        medCdEmpresa->setFocus();
    }
}

void TfrmSincronizacaoCTe::sbtFiltroClick(QObject *)
{
    if (Cli_Dfe71100::CriaFiltroSincronizacaoCTe())
        carregaFiltroConfirmado();
}

void TfrmSincronizacaoCTe::sbtVerificarClick(QObject *) { CarregaDadosGerais(); }

bool TfrmSincronizacaoCTe::ensureFilter()
{
    if (Cli_Dfe71100::frmFiltroSincronizacaoCTe)
        return true;
    return Cli_Dfe71100::CriaFiltroSincronizacaoCTe();
}

TfrmSincronizacaoCTe::FiltroLista TfrmSincronizacaoCTe::filtroDosComandos() const
{
    if (listaFiltro)
        return *listaFiltro;
    const auto *dlg = Cli_Dfe71100::frmFiltroSincronizacaoCTe.data();
    if (!dlg)
        return {CodigoEmpresa(), {}, {}};
    return {CodigoEmpresa(), dlg->rcFiltro, dlg->stInscrEstadFiltro};
}

void TfrmSincronizacaoCTe::carregaFiltroConfirmado()
{
    auto *dlg = Cli_Dfe71100::frmFiltroSincronizacaoCTe.data();
    FiltroLista f{CodigoEmpresa(), dlg->rcFiltro, dlg->stInscrEstadFiltro};
    carrega(f);
    // What the server wrote back is the dialog's stored filter too.
    if (Cli_Dfe71100::frmFiltroSincronizacaoCTe)
        dlg->rcFiltro = f.rc;
}

void TfrmSincronizacaoCTe::CarregaDadosGerais()
{
    if (!listaFiltro && !ensureFilter())
        return;
    FiltroLista f = filtroDosComandos();
    carrega(f);
}

void TfrmSincronizacaoCTe::carrega(FiltroLista &f)
{
    Cli_Dfe71100::TRecordFilter &rc = f.rc;
    const Envelope e = callServer(
        QStringLiteral("GetSincronizacaoCTe"),
        {ByRef(rc.dtEmissaoIni), ByRef(rc.dtEmissaoFim), ByRef(rc.stInscrJurid), ByRef(rc.stStatus),
         ByRef(rc.dtSincIni), ByRef(rc.dtSincFin)});
    if (e.flag != QLatin1String("S"))
        MensErro(e.text, true);
    if (e.payload.metaType() != QMetaType::fromType<TDataPacket>())
        throw Exception(QStringLiteral("O servidor de aplicação não enviou a lista de CT-e."));
    // The user keeps their place: the same NSU stays current when it is still listed.
    const QString atual = NsuAtual();
    cdsSincronizacaoCTe.SetData(e.payload.value<TDataPacket>());
    recebeRestoDaLista();
    if (!atual.isEmpty())
        cdsSincronizacaoCTe.Locate(QStringLiteral("NRNSU"), atual);
    listaFiltro = f;
    mostraFiltroLista();
    atualizaTotais();
    mostraOrdem();
    atualizaEstado();
}

// The rest of a long list, painted as it comes; a list that cannot come whole is not
// shown in part, as if it were all there.
void TfrmSincronizacaoCTe::recebeRestoDaLista()
{
    try {
        netSincronizacaoCTe.ReceiveParts([this](const TDataPacket &p) { cdsSincronizacaoCTe.AppendData(p); });
    } catch (...) {
        cdsSincronizacaoCTe.Close();
        listaFiltro.reset();
        mostraFiltroLista();
        atualizaTotais();
        throw;
    }
}

QString TfrmSincronizacaoCTe::NsuAtual() const
{
    const TClientDataSet &cds = cdsSincronizacaoCTe;
    return cds.Active() && !cds.IsEmpty() ? cds.FieldByName(QStringLiteral("NRNSU")).AsString() : QString();
}

void TfrmSincronizacaoCTe::mostraFiltroLista()
{
    if (!listaFiltro) {
        lblLista->setText(QStringLiteral("Nenhuma lista carregada"));
        lblEstado->clear();
        lblEstado->hide();
        return;
    }
    const QString ie = listaFiltro->stInscrEstadFiltro;
    lblLista->setText(QStringLiteral("Lista de %1 · IE %2")
                          .arg(InscricaoFormatada(listaFiltro->rc.stInscrJurid),
                               ie.isEmpty() || ie == QLatin1String("T") ? QStringLiteral("todas") : ie));
}

} // namespace Cli_Dfe71000
