// The list's registration as the server last spoke to the authority for it: shown
// after each load and synchronization. A server without the state method (older
// ones) leaves the label empty and is not asked again while the screen is open.
#include "SincronizacaoCTe.h"
#include "Exceptions.h"

#include <QVBoxLayout>
#include <QLabel>

namespace Cli_Dfe71000 {

namespace {
const char kMethod[] = "GetEstadoSincronizacao";

// The [name, value] pairs of the state by name; names this screen does not know stay unread.
QHash<QString, QVariant> pairsOf(const QVariant &payload)
{
    QHash<QString, QVariant> out;
    for (const QVariant &p : payload.toList()) {
        const QVariantList pair = p.toList();
        if (pair.size() == 2 && pair[0].metaType().id() == QMetaType::QString)
            out.insert(pair[0].toString(), pair[1]);
    }
    return out;
}

QString textOf(const QHash<QString, QVariant> &state, const char *name)
{
    const QVariant v = state.value(QString::fromLatin1(name));
    return v.metaType().id() == QMetaType::QString ? v.toString().trimmed() : QString();
}
} // namespace

void TfrmSincronizacaoCTe::buildState()
{
    // A line of its own under the list: the footer has no room left at the screen's size.
    lblEstado = new QLabel(tshPadrao);
    lblEstado->setObjectName(QStringLiteral("lblEstado"));
    lblEstado->setContentsMargins(6, 2, 6, 2);
    lblEstado->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    tshPadraoLayout->addWidget(lblEstado);
    lblEstado->hide();
}

void TfrmSincronizacaoCTe::atualizaEstado()
{
    lblEstado->clear();
    lblEstado->hide();
    if (!listaFiltro || semEstado)
        return;
    const FiltroLista f = *listaFiltro;
    QVariant reply;
    try {
        reply = netSincronizacaoCTe.AppServer(QString::fromLatin1(kMethod),
                                              {ByVal(f.empresa), ByVal(f.stInscrEstadFiltro), ByVal(f.rc.stInscrJurid)});
    } catch (const std::exception &e) {
        // Nothing the user asked for failed: the label just stays empty.
        semEstado = QString::fromUtf8(e.what()).contains(QStringLiteral("método desconhecido"));
        return;
    }
    const QVariantList l = reply.toList();
    if (l.size() != 2 || l[0].toString() != QLatin1String("S"))
        return;
    mostraEstado(pairsOf(l[1]));
}

void TfrmSincronizacaoCTe::mostraEstado(const QHash<QString, QVariant> &state)
{
    const QString last = textOf(state, "ultima_sincronizacao");
    const QString result = textOf(state, "resultado");
    const QString next = textOf(state, "proxima_consulta");
    QString text = QStringLiteral("Última sincronização: %1").arg(last.isEmpty() ? QStringLiteral("nenhuma") : last);
    if (!last.isEmpty() && !result.isEmpty())
        text += QStringLiteral(" (%1)").arg(result);
    if (!next.isEmpty())
        text += QStringLiteral(" · Próxima consulta permitida: %1").arg(next);
    lblEstado->setText(text);
    lblEstado->show();

    QStringList tip{text};
    const QVariant documents = state.value(QStringLiteral("documentos_24h"));
    if (documents.canConvert<qlonglong>() && documents.isValid())
        tip << QStringLiteral("Documentos recebidos nas últimas 24 horas: %1").arg(documents.toLongLong());
    const QVariant gaps = state.value(QStringLiteral("lacunas_nsu"));
    if (gaps.isValid() && gaps.toLongLong() > 0)
        tip << QStringLiteral("NSUs ainda a recuperar: %1").arg(gaps.toLongLong());
    if (const QString capture = textOf(state, "proxima_captura"); !capture.isEmpty())
        tip << QStringLiteral("Próxima captura automática: %1").arg(capture);
    if (const QString certificate = textOf(state, "validade_certificado"); !certificate.isEmpty())
        tip << QStringLiteral("Certificado digital da empresa válido até %1").arg(certificate);
    lblEstado->setToolTip(tip.join(QLatin1Char('\n')) + QStringLiteral("\n(horário de Brasília)"));
}

} // namespace Cli_Dfe71000
