// The synchronization screen: construction, layout, showing and closing.
#include "SincronizacaoCTe.h"
#include "ListFind.h"
#include "Bind.h"
#include "Creation.h"
#include "Exceptions.h"
#include "Funcoes.h"
#include "Verdano.h"

#include <QStyle>

namespace Cli_Dfe71000 {

QPointer<TfrmSincronizacaoCTe> frmSincronizacaoCTe;
bool boIdCriado = false;

void Initialization() { boIdCriado = false; }
void Finalization() {}

QString CodigoEmpresa() { return frmSincronizacaoCTe ? frmSincronizacaoCTe->medCdEmpresa->Text() : QString(); }

TfrmSincronizacaoCTe::TfrmSincronizacaoCTe(QWidget *owner) : TfrmPadraoGrid(owner)
{
    setObjectName(QStringLiteral("frmSincronizacaoCTe"));
    SetCaption(QStringLiteral("Sincronização do Conhecimento de Transporte Eletrônico (CT-e)"));
    lblCodTela->setText(QStringLiteral("DFE71000"));
    msgPadrao.Lines = {
        QStringLiteral("Excl|Confirma exclusão?"),
        QStringLiteral("EMPRESA_DEVE|Empresa deve ser informada."),
        QStringLiteral("EMPRESA_N_CADASTRADA|Empresa não cadastrada."),
        QStringLiteral("OK|Sincronização do CT-e realizada com sucesso."),
        QStringLiteral("SINC_AGUARDE|Nada falhou: a SEFAZ só aceita nova consulta da inscrição jurídica %1 a partir "
                       "de %2 (horário de Brasília). A lista já tem o que foi recebido."),
        QStringLiteral("NSU_DEVE|NSU deve ser informado."),
        QStringLiteral("DOWNLOAD_SUCESSO|Download do XML realizado com sucesso. "),
        QStringLiteral("PRODUCAO|Produção"),
        QStringLiteral("HOMOLOGACAO|Homologação"),
        QStringLiteral("EVENTO_SUCESSO|Evento registrado com sucesso."),
        QStringLiteral("APENAS_UM_CTE|Evento deve ser registrado em um CT-e por vez."),
        QStringLiteral("INFO_PREST_DESACORDO|Para registrar esse evento, o CT-e deve estar autorizado e não pode "
                       "estar cancelado, denegado ou ter um CT-e de substituição ou anulação associado. Evento "
                       "pode ser registrado em até 45 dias a partir da data de autorização do CT-e."),
        QStringLiteral("CTE_JA_RECUSADO|Evento de Prestação de Serviço em Desacordo já registrado para esse CT-e."),
        QStringLiteral("DOWNLOAD_ERRO|Download de %s XML(s) realizado(s) com sucesso. %s XML(s) não baixado(s)."),
        QStringLiteral("INFORMAR_CTE|CT-e deve ser selecionado."),
        QStringLiteral("CTE_CANCELADO|CT-e cancelado: o evento de Prestação de Serviço em Desacordo não pode ser "
                       "registrado."),
        QStringLiteral("PRAZO_RECUSA|CT-e emitido em %s, há mais de 45 dias: o evento de Prestação de Serviço em "
                       "Desacordo já não pode ser registrado."),
        QStringLiteral("TOMADOR_OUTRO|O tomador do serviço deste CT-e é %s, não a inscrição jurídica da lista: só o "
                       "tomador registra a Prestação de Serviço em Desacordo."),
        QStringLiteral("CTE_NAO_RECUSADO|Evento de Prestação de Serviço em Desacordo não registrado para esse CT-e."),
        QStringLiteral("CONFIRMA_CANCELA_DESACORDO|Confirma o cancelamento do evento de Prestação de Serviço em Desacordo desse CT-e?"),
        QStringLiteral("CANCELA_SUCESSO|Evento de Prestação de Serviço em Desacordo cancelado com sucesso."),
    };

    netSincronizacaoCTe.ServerName = QStringLiteral("Dfe71000.rdmSincronizacaoCTe");
    netSincronizacaoCTe.ThrowException = false;
    netSincronizacaoCTe.AcceptParts = true; // a long list shows its first rows at once

    buildList();
    buildCompanyPanel();
    buildCommands();
    buildGrid();
    buildDocumentCommands();
    buildFind();
    buildState();
    mostraFiltroLista();

    OnShow = [this](QObject *s) { FormShow(s); };
    OnClose = [this](QObject *s, TCloseAction &a) { FormClose(s, a); };
    dtsPadraoStateChange(&dtsPadrao);
}

TfrmSincronizacaoCTe::~TfrmSincronizacaoCTe()
{
    dtsPadrao.SetDataSet(nullptr);
    dtsPesqEmpresa.SetDataSet(nullptr);
}

void TfrmSincronizacaoCTe::buildCommands()
{
    auto tool = [this](const QString &hint, QStyle::StandardPixmap icon) {
        auto *b = new TButtonFlat(panMenu);
        b->SetHint(hint);
        b->setIcon(style()->standardIcon(icon));
        b->setFixedSize(21, 21);
        AddToolButton(b);
        return b;
    };
    sbtFiltro = tool(QStringLiteral("Filtrar Lançamentos"), QStyle::SP_FileDialogContentsView);
    sbtSincronizarCTe = tool(QStringLiteral("Sincronizar CT-e"), QStyle::SP_BrowserReload);
    sbtRecusaCTe = tool(QStringLiteral("Prestação do Serviço em Desacordo"), QStyle::SP_MessageBoxWarning);
    sbtCancelaRecusaCTe = tool(QStringLiteral("Cancelar Prestação do Serviço em Desacordo"), QStyle::SP_DialogCancelButton);
    sbtDownloadXML = tool(QStringLiteral("Download XML"), QStyle::SP_DialogSaveButton);
    sbtFiltro->setObjectName(QStringLiteral("sbtFiltro"));
    sbtSincronizarCTe->setObjectName(QStringLiteral("sbtSincronizarCTe"));
    sbtRecusaCTe->setObjectName(QStringLiteral("sbtRecusaCTe"));
    sbtCancelaRecusaCTe->setObjectName(QStringLiteral("sbtCancelaRecusaCTe"));
    sbtDownloadXML->setObjectName(QStringLiteral("sbtDownloadXML"));

    mnuManutencao->addSeparator();
    mnuFiltro = mnuManutencao->addAction(QStringLiteral("Filtrar Lançamentos"));
    mnuManutencao->addSeparator();
    mnuSincronizarCTe = mnuManutencao->addAction(QStringLiteral("Sincronizar CT-e"));
    mnuManutencao->addSeparator();
    mnuRecusaCTe = mnuManutencao->addAction(QStringLiteral("Prestação do Serviço em Desacordo"));
    mnuCancelaRecusaCTe = mnuManutencao->addAction(QStringLiteral("Cancelar Prestação do Serviço em Desacordo"));
    mnuManutencao->addSeparator();
    mnuDownloadXML = mnuManutencao->addAction(QStringLiteral("Download XML"));

    sbtFiltro->OnClick = [this](QObject *s) { sbtFiltroClick(s); };
    sbtSincronizarCTe->OnClick = [this](QObject *s) { sbtSincronizarCTeClick(s); };
    sbtRecusaCTe->OnClick = [this](QObject *s) { sbtRecusaCTeClick(s); };
    sbtCancelaRecusaCTe->OnClick = [this](QObject *s) { sbtCancelaRecusaCTeClick(s); };
    sbtDownloadXML->OnClick = [this](QObject *s) { sbtDownloadXMLClick(s); };
    Bind(mnuFiltro, &QAction::triggered, this, [this](bool) { sbtFiltroClick(mnuFiltro); });
    Bind(mnuSincronizarCTe, &QAction::triggered, this, [this](bool) { sbtSincronizarCTeClick(mnuSincronizarCTe); });
    Bind(mnuRecusaCTe, &QAction::triggered, this, [this](bool) { sbtRecusaCTeClick(mnuRecusaCTe); });
    Bind(mnuCancelaRecusaCTe, &QAction::triggered, this, [this](bool) { sbtCancelaRecusaCTeClick(mnuCancelaRecusaCTe); });
    Bind(mnuDownloadXML, &QAction::triggered, this, [this](bool) { sbtDownloadXMLClick(mnuDownloadXML); });
    // The list is read-only: the base's editing commands are not offered at all.
    for (QAction *a : {mnuIncluir, mnuAlterar, mnuExcluir, mnuGravar, mnuCancelar})
        a->setVisible(false);
    for (QWidget *b : {static_cast<QWidget *>(sbtIncluir), static_cast<QWidget *>(sbtAlterar),
                       static_cast<QWidget *>(sbtExcluir), static_cast<QWidget *>(sbtGravar),
                       static_cast<QWidget *>(sbtCancelar)})
        b->setVisible(false);
    buildPrintAndHelp();
}

void TfrmSincronizacaoCTe::FormShow(QObject *)
{
    netSincronizacaoCTe.Host = Verdano::WebURL();
    netSincronizacaoCTe.Port = Verdano::WebPort();
    netSincronizacaoCTe.Open();
    medCdEmpresa->setFocus();
    medCdEmpresa->SetText(Ajusta(Verdano::EmprProc(), 2));
}

void TfrmSincronizacaoCTe::FormClose(QObject *sender, TCloseAction &action)
{
    boIdCriado = false;
    netSincronizacaoCTe.Close();
    TfrmPadraoGrid::FormClose(sender, action);
}

Envelope TfrmSincronizacaoCTe::callServer(const QString &method, const std::vector<TArg> &args)
{
    struct StopAnimation {
        ~StopAnimation() { DeactiveShowAvi(); }
    } stop;
    ActiveShowAvi(frmSincronizacaoCTe, 6);
    const QVariant reply = netSincronizacaoCTe.AppServer(method, args);
    DeactiveShowAvi();
    const Envelope e = ReadEnvelope(reply);
    if (e.errorText)
        MensErro(e.text, true);
    return e;
}

void TfrmSincronizacaoCTe::restrictToTicked()
{
    cdsSincronizacaoCTe.SetFiltered(false);
    cdsSincronizacaoCTe.SetFilter(QStringLiteral("IDCHECK = 'S'"));
    cdsSincronizacaoCTe.SetFiltered(true);
}

Envelope ReadEnvelope(const QVariant &reply)
{
    Envelope e;
    if (reply.metaType().id() == QMetaType::QString) {
        e.errorText = true;
        e.text = reply.toString();
        return e;
    }
    const QVariantList l = reply.toList();
    if (reply.metaType().id() != QMetaType::QVariantList || l.size() != 2)
        throw Exception(QStringLiteral("Resposta inesperada do servidor de aplicação."));
    e.flag = l[0].metaType().id() == QMetaType::QString ? l[0].toString() : QString();
    e.payload = l[1];
    // A failure is told by its payload text; any other payload leaves nothing to show.
    e.text = l[1].metaType().id() == QMetaType::QString && !l[1].toString().trimmed().isEmpty()
                 ? l[1].toString()
                 : QStringLiteral("A resposta do servidor de aplicação não foi compreendida: a operação não foi "
                                  "concluída e o servidor não informou o motivo.");
    return e;
}

} // namespace Cli_Dfe71000
