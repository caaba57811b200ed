// Writes the seed corpus of the fuzz targets: the worked examples of docs/protocol.md.
#include "Frame.h"
#include "Packet.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <cstdio>

namespace {
void put(const QString &dir, const QString &name, const QByteArray &bytes)
{
    QDir().mkpath(dir);
    QFile f(dir + QLatin1Char('/') + name);
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
}

TDataPacket listPacket(const QString &check)
{
    wire::PacketWriter w({{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
                          {QStringLiteral("NRINSJURPESQ"), wire::PacketType::Text, 14},
                          {QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                          {QStringLiteral("VRTOTALPREST"), wire::PacketType::Float, 0}});
    w.beginRow();
    w.text(check);
    w.text(QStringLiteral("11222333000181"));
    w.text(QStringLiteral("000000000000001"));
    w.real(1500.5);
    w.beginRow();
    w.text(QStringLiteral("N"));
    w.text(QStringLiteral("11222333000181"));
    w.text(QStringLiteral("000000000000002"));
    w.null();
    return w.finish();
}

// Three list rows, each given encoded: the rows after the first carry repeat marks.
TDataPacket markedPacket()
{
    const std::vector<wire::PacketField> fields{{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
                                                {QStringLiteral("NRINSJURPESQ"), wire::PacketType::Text, 14},
                                                {QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                                                {QStringLiteral("VRTOTALPREST"), wire::PacketType::Float, 0}};
    wire::PacketWriter w(fields);
    w.setRepeats(true);
    for (int i = 1; i <= 3; ++i) {
        wire::PacketWriter one(fields);
        one.beginRow();
        one.text(QStringLiteral("N"));
        one.text(QStringLiteral("11222333000181"));
        one.text(QStringLiteral("00000000000000%1").arg(i));
        one.real(1500.5);
        w.encodedRow(one.rows().data(), one.rows().size());
    }
    return w.finish();
}

TDataPacket xmlPacket()
{
    wire::PacketWriter w({{QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                          {QStringLiteral("DSNOMEARQUIVO"), wire::PacketType::Text, 255},
                          {QStringLiteral("DSTEXTOXML"), wire::PacketType::Blob, 0},
                          {QStringLiteral("IDSTATUS"), wire::PacketType::Text, 3},
                          {QStringLiteral("DSSTATUS"), wire::PacketType::Text, 255}});
    w.beginRow();
    w.text(QStringLiteral("000000000000001"));
    w.text(QStringLiteral("35261204567890000179570010000010021000000027-procCTe.xml"));
    w.blob(QByteArrayLiteral("<?xml version=\"1.0\"?><cteProc/>"));
    w.text(QStringLiteral("S"));
    w.text(QStringLiteral("XML disponível"));
    return w.finish();
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QString s = QString::fromLatin1(wire::kServerName);
    const QDate a(2026, 12, 1), b(2026, 12, 8);
    const QString reg = QStringLiteral("11222333000181");
    const QVariant list = QVariant::fromValue(listPacket(QStringLiteral("S")));
    const QList<wire::Request> requests = {
        {s, QStringLiteral("GetSincronizacaoCTe"), {a, b, reg, QStringLiteral("_100_000_101_"), a, b}},
        {s, QStringLiteral("SincronizarCTe"), {QStringLiteral("01"), QStringLiteral("T"), reg, QStringLiteral("MANUAL"), QString(), QString()}},
        {s, QStringLiteral("DownloadXML"), {list, QStringLiteral("01"), QStringLiteral("T"), reg}},
        {s, QStringLiteral("RecusaCTe"), {QStringLiteral("35261204567890000179570010000010021000000027"),
                                          QStringLiteral("Serviço não contratado pela empresa"), QStringLiteral("01"), reg, QStringLiteral("T")}},
        {QStringLiteral("Outro.rdm"), QStringLiteral("GetSincronizacaoCTe"), {}},
        {s, QStringLiteral("GetSincronizacaoCTe"), {a, b, reg, QStringLiteral("T"), a, b}, true, true},
    };
    int n = 0;
    for (const wire::Request &r : requests)
        put(root + QStringLiteral("/request"), QStringLiteral("seed%1").arg(++n), wire::frame(wire::encodeRequest(r)));
    const QList<wire::Reply> replies = {
        {true, {}, QVariantList{QStringLiteral("S"), list}, requests[0].args},
        {true, {}, QVariantList{QStringLiteral("S"), QStringLiteral("Sincronização concluída: 12 documento(s) recebido(s).")}, requests[1].args},
        {true, {}, QVariantList{QStringLiteral("S"), QVariant::fromValue(xmlPacket())}, requests[2].args},
        {true, {}, QVariantList{QStringLiteral("N"), QStringLiteral("631 - Rejeição: Evento registrado após 45 dias da autorização do CT-e")}, requests[3].args},
        {false, QStringLiteral("servidor desconhecido: Outro.rdm"), {}, {}},
    };
    n = 0;
    for (const wire::Reply &r : replies)
        put(root + QStringLiteral("/reply"), QStringLiteral("seed%1").arg(++n), wire::encodeReply(r));
    put(root + QStringLiteral("/packet"), QStringLiteral("seed1"), listPacket(QStringLiteral("S")).cbor);
    put(root + QStringLiteral("/packet"), QStringLiteral("seed2"), xmlPacket().cbor);
    put(root + QStringLiteral("/packet"), QStringLiteral("seed3"), markedPacket().cbor);
    return 0;
}
