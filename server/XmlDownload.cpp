#include "XmlDownload.h"
#include "Envelope.h"
#include "Fiscal.h"

namespace xmldownload {

QVariantList download(Store &store, const wire::DecodedPacket &list, const Columns &columns, const QString &registration)
{
    wire::PacketWriter w({{QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                          {QStringLiteral("DSNOMEARQUIVO"), wire::PacketType::Text, 255},
                          {QStringLiteral("DSTEXTOXML"), wire::PacketType::Blob, 0},
                          {QStringLiteral("IDSTATUS"), wire::PacketType::Text, 3},
                          {QStringLiteral("DSSTATUS"), wire::PacketType::Text, 255}});
    Statement st(store, "SELECT c.nracessocte, x.xml FROM cte c LEFT JOIN cte_xml x"
                        " ON x.nrinsjurpesq = c.nrinsjurpesq AND x.nrnsu = c.nrnsu WHERE c.nrinsjurpesq = ? AND c.nrnsu = ?");
    for (const QVariantList &row : list.rows) {
        if (row[columns.check].toString() != QLatin1String("S"))
            continue;
        const QString nsu = row[columns.nsu].toString();
        const QString owner = registration.isEmpty() && columns.registration >= 0
            ? fiscal::normalRegistration(row[columns.registration].toString())
            : registration;
        st.bind(1, owner).bind(2, nsu);
        w.beginRow();
        const bool found = st.step();
        // The list the client shows may belong to another registration than the one it
        // sends (a filter changed after the list was loaded): an NSU alone would then
        // answer another company's document under the same number.
        const QString sentKey = columns.key >= 0 ? row[columns.key].toString().trimmed() : QString();
        if (found && columns.key >= 0 && sentKey != st.text(0)) {
            w.text(nsu);
            w.text(QString());
            w.blob(QByteArray());
            w.text(QStringLiteral("N"));
            w.text(QStringLiteral("A chave de acesso do NSU %1 na lista (%2) não é a do CT-e armazenado para a "
                                  "inscrição %3.").arg(nsu, sentKey, owner));
        // A stored key becomes a file name on the client: only a valid one goes out.
        } else if (found && !st.isNull(1) && !st.blob(1).isEmpty() && fiscal::validAccessKey(st.text(0))) {
            w.text(nsu);
            w.text(st.text(0) + QStringLiteral("-procCTe.xml"));
            w.blob(st.blob(1));
            w.text(QStringLiteral("S"));
            w.text(QStringLiteral("XML disponível"));
        } else {
            w.text(nsu);
            w.text(QString());
            w.blob(QByteArray());
            w.text(QStringLiteral("N"));
            w.text(QStringLiteral("Não há XML armazenado para o NSU %1.").arg(nsu));
        }
        st.reset();
    }
    return envelope(QStringLiteral("S"), QVariant::fromValue(w.finish()));
}

} // namespace xmldownload
