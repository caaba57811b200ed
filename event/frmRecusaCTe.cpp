// The reason dialog: the CT-e it is about and the reason, at least 15 characters.
#include "RecusaCTe.h"
#include "Exceptions.h"
#include "Funcoes.h"
#include "SincronizacaoCTe.h"

#include <QFormLayout>
#include <QVBoxLayout>

namespace Cli_Dfe71200 {

QPointer<TfrmRecusaCTe> frmRecusaCTe;
bool boIdCriado = false;
bool boConfirma = false;
QString stMotivoRecusaCTe;

void Initialization() { boIdCriado = false; }
void Finalization() { stMotivoRecusaCTe = QString(); }

TfrmRecusaCTe::TfrmRecusaCTe(QWidget *owner) : TfrmRotiGeral(owner)
{
    setObjectName(QStringLiteral("frmRecusaCTe"));
    setWindowTitle(QStringLiteral("Prestação de Serviço em Desacordo"));
    msgPadrao.Lines = {
        QStringLiteral("MOTIVO_DEVE|Motivo da Recusa do CT-e deve ser informado."),
        QStringLiteral("MOTIVO_MAIOR_15|Motivo da Recusa do CT-e deve conter no mínimo 15 caracteres."),
        QStringLiteral("MOTIVO_MENOR_255|Motivo da Recusa do CT-e deve conter no máximo 255 caracteres."),
    };
    grbDadosRel->setFixedWidth(486);
    auto *lay = new QVBoxLayout(grbDadosRel);
    grbCte = new QGroupBox(QStringLiteral(" Dados do CT-e "), grbDadosRel);
    SetBold(grbCte);
    grbCte->setFixedHeight(74);
    auto *form = new QFormLayout(grbCte);
    lblNrAcessoCTe = new QLabel(QStringLiteral("Chave de Acesso:"), grbCte);
    lblEmitente = new QLabel(QStringLiteral("Emitente: "), grbCte);
    SetBold(lblNrAcessoCTe);
    SetBold(lblEmitente);
    dbeNrAcessoCTe = new TDBEdit(grbCte);
    dbeEmitente = new TDBEdit(grbCte);
    for (TDBEdit *e : {dbeNrAcessoCTe, dbeEmitente}) {
        QFont f = e->font();
        f.setBold(false);
        e->setFont(f);
        e->setFixedWidth(280);
        e->setEnabled(false);
        e->setReadOnly(true);
        SetColor(e, clMenu());
    }
    dbeNrAcessoCTe->DataField = QStringLiteral("NRACESSOCTE");
    dbeEmitente->DataField = QStringLiteral("NMRAZSOCEMIT");
    if (Cli_Dfe71000::frmSincronizacaoCTe) {
        dbeNrAcessoCTe->SetDataSource(&Cli_Dfe71000::frmSincronizacaoCTe->dtsPadrao);
        dbeEmitente->SetDataSource(&Cli_Dfe71000::frmSincronizacaoCTe->dtsPadrao);
    }
    form->addRow(lblNrAcessoCTe, dbeNrAcessoCTe);
    form->addRow(lblEmitente, dbeEmitente);
    grbMotivo = new QGroupBox(QStringLiteral(" Motivo da Recusa do CT-e "), grbDadosRel);
    SetBold(grbMotivo);
    auto *m = new QVBoxLayout(grbMotivo);
    memMotivoRecusaCTe = new TMemo(grbMotivo);
    memMotivoRecusaCTe->setObjectName(QStringLiteral("memMotivoRecusaCTe"));
    QFont mf = memMotivoRecusaCTe->font();
    mf.setBold(false);
    memMotivoRecusaCTe->setFont(mf);
    memMotivoRecusaCTe->WantReturns = false;
    SetColor(memMotivoRecusaCTe, clInfoBk());
    m->addWidget(memMotivoRecusaCTe);
    lay->addWidget(grbCte);
    lay->addWidget(grbMotivo, 1);
    resize(541, 186);

    OnShow = [this](QObject *s) { FormShow(s); };
    OnClose = [this](QObject *s, TCloseAction &a) { FormClose(s, a); };
    sbtConfirma->OnClick = [this](QObject *s) { sbtConfirmaClick(s); };
    sbtCancel->OnClick = [this](QObject *s) { sbtCancelClick(s); };
}

TfrmRecusaCTe::~TfrmRecusaCTe()
{
    dbeNrAcessoCTe->SetDataSource(nullptr);
    dbeEmitente->SetDataSource(nullptr);
}

void TfrmRecusaCTe::FormShow(QObject *)
{
    boConfirma = false;
    memMotivoRecusaCTe->setFocus();
}

int MotivoLength(const QString &reason)
{
    // As the server counts it: each line break or tab is one blank, surrounding blanks
    // do not count, and a character is a code point.
    QString t = reason;
    t.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    for (QChar &c : t)
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QLatin1Char('\t'))
            c = QLatin1Char(' ');
    qsizetype from = 0, to = t.size();
    while (from < to && t[from] == QLatin1Char(' '))
        ++from;
    while (to > from && t[to - 1] == QLatin1Char(' '))
        --to;
    return int(QStringView(t).mid(from, to - from).toUcs4().size());
}

void TfrmRecusaCTe::sbtConfirmaClick(QObject *)
{
    const QString reason = memMotivoRecusaCTe->Text();
    if (EmptyString(reason))
        MensErro(msgPadrao.Msg(QStringLiteral("MOTIVO_DEVE")), true);
    const int length = MotivoLength(reason);
    if (length < 15)
        MensErro(msgPadrao.Msg(QStringLiteral("MOTIVO_MAIOR_15")), true);
    if (length > 255)
        MensErro(msgPadrao.Msg(QStringLiteral("MOTIVO_MENOR_255")), true);
    boConfirma = true;
    stMotivoRecusaCTe = reason;
    Close();
}

void TfrmRecusaCTe::sbtCancelClick(QObject *sender)
{
    TfrmRotiGeral::sbtCancelClick(sender);
    boConfirma = false;
}

void TfrmRecusaCTe::FormClose(QObject *sender, TCloseAction &action)
{
    boIdCriado = false;
    TfrmRotiGeral::FormClose(sender, action);
}

} // namespace Cli_Dfe71200
