// Printing the list as shown, the screen's help, and the menu entries that go with them.
#include "SincronizacaoCTe.h"
#include "Bind.h"
#include "Dialogs.h"

#include <QPrinter>
#include <QShortcut>
#include <QTextDocument>

namespace Cli_Dfe71000 {

namespace {
const char kAjuda[] = R"(<h2>Sincronização do CT-e (DFE71000)</h2>
<ol>
<li>A tela abre com a empresa corrente em <b>Empresa</b> (<b>F2</b> ou o botão ao lado pesquisa as empresas).</li>
<li>Ao sair do campo da empresa (Tab) a empresa é conferida e abre o filtro (DFE71100): inscrição jurídica
(<b>F2</b> lista os CNPJ/CPF da empresa), inscrição estadual opcional, situações e os períodos de emissão e de
sincronização. Um período cuja data inicial é posterior à final é recusado.</li>
<li><b>Confirmar</b> lista os CT-e da inscrição, em ordem de NSU. Acima da grade aparece a inscrição jurídica e a
estadual da lista mostrada: todos os comandos agem sobre elas, mesmo que um filtro confirmado depois não tenha
carregado. Duplo clique ou espaço marca uma linha; um clique no título da coluna de marca marca ou desmarca todas.
Um clique no título de outra coluna ordena por ela, o segundo inverte, o terceiro volta à ordem de NSU.</li>
<li>O rodapé mostra NSU e chave da linha atual, o número de CT-e e de marcados e as somas de Valor Total e Valor a
Receber dos marcados (de todos quando nenhum está marcado).</li>
<li>Barra de ferramentas e menu Manutenção: filtro; <b>Sincronizar CT-e</b> com a SEFAZ (a mensagem diz quantos
documentos chegaram e quando a próxima consulta é permitida, em horário de Brasília); <b>Prestação do Serviço em
Desacordo</b> para um CT-e marcado (autorizado, não cancelado, emitido há no máximo 45 dias, tomado pela inscrição
da lista; o motivo tem uma linha de 15 a 255 caracteres, contados como o servidor conta); <b>Download XML</b> dos
marcados para uma pasta, cada arquivo exatamente como foi assinado.</li>
<li>Durante uma chamada ao servidor, <b>Cancelar</b> (ou Esc) desiste de esperar; a operação pode ainda ser concluída
no servidor.</li>
<li><b>Imprimir</b> mostra a lista como está na tela (colunas, ordem, filtro e totais) e imprime ou grava em PDF.</li>
<li>Nos diálogos <b>Ctrl+Enter</b> confirma e <b>Esc</b> cancela.</li>
</ol>)";

QString escaped(const QString &s) { return s.toHtmlEscaped(); }
} // namespace

void TfrmSincronizacaoCTe::buildPrintAndHelp()
{
    sbtImprimir->setEnabled(true);
    mnuListagem->setEnabled(true);
    // The print dialog chooses and sets up the printer: a menu entry of its own does nothing more.
    mnuConfigImpressora->setVisible(false);
    sbtImprimir->OnClick = [this](QObject *s) { sbtImprimirClick(s); };
    Bind(mnuListagem, &QAction::triggered, this, [this](bool) { sbtImprimirClick(mnuListagem); });
    sbtAjuda->OnClick = [this](QObject *s) { sbtAjudaClick(s); };
    auto *f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    f1->setContext(Qt::WidgetWithChildrenShortcut);
    Bind(f1, &QShortcut::activated, this, [this] { sbtAjudaClick(nullptr); });
}

void TfrmSincronizacaoCTe::sbtAjudaClick(QObject *)
{
    Dialogs().Help(this, QStringLiteral("Ajuda — Sincronização do CT-e (DFE71000)"), QString::fromUtf8(kAjuda));
}

void TfrmSincronizacaoCTe::sbtImprimirClick(QObject *)
{
    Dialogs().PrintPreview(this, QStringLiteral("Sincronização do CT-e — lista"), QPageLayout::Landscape, [this](QPrinter &printer) {
        QTextDocument doc;
        doc.setHtml(HtmlDaLista());
        doc.print(&printer);
    });
}

QString TfrmSincronizacaoCTe::HtmlDaLista() const
{
    const QString whose = edtNmEmpresa->text().isEmpty() ? lblLista->text()
                                                         : edtNmEmpresa->text() + QStringLiteral(" · ") + lblLista->text();
    QString html = QStringLiteral("<h3>Sincronização do Conhecimento de Transporte Eletrônico (CT-e)</h3><p>%1<br>%2</p>")
                       .arg(escaped(whose), escaped(descricaoFiltro()));
    html += QStringLiteral("<p>%1</p>").arg(escaped(lblTotais->text()));
    // Small print; only the two long texts wrap, so the page holds every column.
    html += QStringLiteral("<table border=\"1\" cellspacing=\"0\" cellpadding=\"2\" width=\"100%\" "
                           "style=\"font-size:6pt\"><tr>");
    const TDataSetModel *m = dbgPadrao->Model();
    QStringList open;
    for (int c = 0; c < m->columnCount(); ++c) {
        const QString field = dbgPadrao->Columns[size_t(c)].FieldName;
        const bool wraps = field == QLatin1String("NMRAZSOCEMIT") || field == QLatin1String("DSSTATUS");
        open << (wraps ? QStringLiteral("<td>") : QStringLiteral("<td style=\"white-space:nowrap\">"));
        html += QStringLiteral("<th>%1</th>").arg(escaped(m->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString()));
    }
    html += QStringLiteral("</tr>");
    for (int r = 0; r < m->rowCount(); ++r) {
        html += QStringLiteral("<tr>");
        for (int c = 0; c < m->columnCount(); ++c) {
            QString cell = m->index(r, c).data().toString();
            if (c == 0) // the tick column prints as a mark, not its letter
                cell = cell == QLatin1String("S") ? QStringLiteral("\u2714") : QString();
            html += open[c] + escaped(cell) + QStringLiteral("</td>");
        }
        html += QStringLiteral("</tr>");
    }
    return html + QStringLiteral("</table>");
}

QString TfrmSincronizacaoCTe::descricaoFiltro() const
{
    if (!listaFiltro)
        return QStringLiteral("Nenhuma lista carregada");
    const Cli_Dfe71100::TRecordFilter &rc = listaFiltro->rc;
    const QString f = QStringLiteral("dd/MM/yyyy");
    const std::pair<const char *, const char *> names[] = {
        {"_999_", "NSU Inexistente"}, {"_100_", "Autorizado"}, {"_000_", "Serviço em Desacordo"}, {"_101_", "Cancelado"}};
    QStringList chosen;
    for (const auto &[code, name] : names)
        if (rc.stStatus.contains(QLatin1String(code)))
            chosen << QString::fromUtf8(name);
    const QString status = chosen.isEmpty() ? QStringLiteral("todas") : chosen.join(QStringLiteral(", "));
    return QStringLiteral("Emissão de %1 a %2 · Sincronização de %3 a %4 · Situações %5")
        .arg(rc.dtEmissaoIni.toString(f), rc.dtEmissaoFim.toString(f), rc.dtSincIni.toString(f), rc.dtSincFin.toString(f),
             status);
}

} // namespace Cli_Dfe71000
