// The reason dialog: the CT-e it is about and the reason, at least 15 characters.
#include "RecusaCTe.h"
#include "Exceptions.h"
#include "Fiscal.h"
#include "Funcoes.h"
#include "SincronizacaoCTe.h"

#include <QFormLayout>
#include <QSignalBlocker>
#include <QTextCursor>
#include <algorithm>
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
        QStringLiteral("MOTIVO_CARACTERE|Motivo da Recusa do CT-e tem o caractere %1, que a SEFAZ não aceita: "
                       "retire-o ou troque-o."),
    };
    grbDadosRel->setMinimumWidth(486);
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
        // The whole access key shows: 44 digits.
        if (e == dbeNrAcessoCTe)
            e->setFixedWidth(std::max(280, e->fontMetrics().horizontalAdvance(QString(44, QLatin1Char('0'))) + 16));
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
    lblContador = new QLabel(grbMotivo);
    lblContador->setObjectName(QStringLiteral("lblContador"));
    lblContador->setFont(mf);
    lblContador->setAlignment(Qt::AlignRight);
    m->addWidget(lblContador);
    QObject::connect(memMotivoRecusaCTe, &QPlainTextEdit::textChanged, this, [this] { memMotivoRecusaCTeChange(); });
    memMotivoRecusaCTeChange();
    lay->addWidget(grbCte);
    lay->addWidget(grbMotivo, 1);
    // Wide enough for the label and the whole key beside it.
    for (QLabel *l : {lblNrAcessoCTe, lblEmitente})
        l->setMinimumWidth(l->sizeHint().width());
    grbDadosRel->setMinimumWidth(std::max(486, lblNrAcessoCTe->sizeHint().width() + dbeNrAcessoCTe->width() + 48));
    resize(std::max(541, grbDadosRel->minimumWidth() + panMenu->sizeHint().width() + 24), 186);

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

int MotivoLength(const QString &reason) { return int(fiscal::plainReason(reason).toUcs4().size()); }

QString MotivoDobrado(const QString &typed)
{
    // The authority's plain forms, character by character: blanks at the ends stay as typed.
    QString out;
    for (const char32_t c : typed.toUcs4()) {
        if (c == U' ') {
            out += QLatin1Char(' ');
            continue;
        }
        const QString plain = fiscal::plainReason(QString::fromUcs4(&c, 1));
        out += plain.isEmpty() ? QStringLiteral(" ") : plain;
    }
    return out;
}

void TfrmRecusaCTe::memMotivoRecusaCTeChange()
{
    // One line: a pasted line break or tab becomes one blank where it stands.
    const QString text = memMotivoRecusaCTe->toPlainText();
    if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\t')) || text.contains(QLatin1Char('\r'))) {
        QString one = text;
        one.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
        for (QChar &c : one)
            if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('\t'))
                c = QLatin1Char(' ');
        const int at = memMotivoRecusaCTe->textCursor().position() - int(text.size() - one.size());
        const QSignalBlocker quiet(memMotivoRecusaCTe);
        memMotivoRecusaCTe->setPlainText(one);
        QTextCursor cursor = memMotivoRecusaCTe->textCursor();
        cursor.setPosition(std::clamp(at, 0, int(one.size())));
        memMotivoRecusaCTe->setTextCursor(cursor);
    }
    const int n = MotivoLength(memMotivoRecusaCTe->toPlainText());
    lblContador->setText(QStringLiteral("%1 de 255 caracteres (mínimo 15)").arg(n));
    QPalette pal = lblContador->palette();
    pal.setColor(QPalette::WindowText, n > 255 ? QColor(170, 0, 0) : palette().color(QPalette::WindowText));
    lblContador->setPalette(pal);
}

void TfrmRecusaCTe::sbtConfirmaClick(QObject *)
{
    if (EmptyString(memMotivoRecusaCTe->Text()))
        MensErro(msgPadrao.Msg(QStringLiteral("MOTIVO_DEVE")), true);
    // What word processors paste takes its plain form here, where the user sees it.
    const QString reason = MotivoDobrado(memMotivoRecusaCTe->Text());
    if (reason != memMotivoRecusaCTe->Text())
        memMotivoRecusaCTe->setPlainText(reason);
    if (const char32_t refused = fiscal::refusedReasonChar(reason))
        MensErro(msgPadrao.Msg(QStringLiteral("MOTIVO_CARACTERE")).arg(fiscal::describeChar(refused)), true);
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
