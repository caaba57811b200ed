// The wire contract to the letter: request maps, text encoding, packet types and
// layout, the disagreement reason, one spelling of a registration, access keys
// from the authority, alphanumeric CNPJ.
#include "Cbor.h"
#include "Fiscal.h"
#include "Frame.h"
#include "Calls.h"
#include "DisagreementEvent.h"
#include "RemoteModule.h"
#include "Packet.h"
#include "authority/simulated/SimulatedAuthority.h"
#include "store/Store.h"
#include "authority/Xml.h"

#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamWriter>

namespace {
const QString kReg = QStringLiteral("11222333000181");
const QDateTime kNow(QDate(2026, 12, 8), QTime(12, 0), Qt::UTC);

QVariantList syncArgs(const QString &reg)
{
    return {QStringLiteral("01"), QStringLiteral("T"), reg, QStringLiteral("MANUAL"), QString(), QString()};
}

QVariantList getArgs(const QString &reg)
{
    const QVariant none = QVariant::fromValue(nullptr);
    return {none, none, reg, QStringLiteral("T"), none, none};
}

// A request map written by hand: `entries` are already-encoded key/value pairs.
QByteArray map(const QList<QByteArray> &entries)
{
    QByteArray out;
    wire::CborWriter w(out);
    w.map(quint64(entries.size()));
    for (const QByteArray &e : entries)
        out += e;
    return out;
}

QByteArray entry(const char *key, const QVariant &value)
{
    QByteArray out;
    wire::CborWriter w(out);
    w.text(QString::fromLatin1(key));
    w.value(value);
    return out;
}

QByteArray rawText(const char *key, const QByteArray &utf8)
{
    QByteArray out;
    wire::CborWriter w(out);
    w.text(QString::fromLatin1(key));
    w.text(utf8.constData(), utf8.size());
    return out;
}

// Answers the distribution with one page, and remembers the event it was sent.
class Scripted : public AuthoritySource {
public:
    QByteArray answer, lastEvent;
    QByteArray distDFeInt(const QByteArray &) override { return answer; }
    QByteArray eventoCTe(const QByteArray &r) override
    {
        lastEvent = r;
        return "<retEventoCTe><infEvento><cStat>135</cStat><nProt>1</nProt></infEvento></retEventoCTe>";
    }
};
} // namespace

class TestContract : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<Store> store;
    std::unique_ptr<SimulatedAuthority> sim;
    RemoteModule module(AuthoritySource &a) { return RemoteModule(*store, a, QStringLiteral("35"), [] { return kNow; }); }
    static QString eventKey()
    {
        const QString first43 = QStringLiteral("3526110456789000011857001000001234112345678");
        return first43 + QChar('0' + fiscal::accessKeyDigit(first43));
    }

private Q_SLOTS:
    void init()
    {
        static int n = 0;
        store = std::make_unique<Store>(dir.filePath(QStringLiteral("c%1.sqlite").arg(++n)));
        sim = std::make_unique<SimulatedAuthority>([] { return kNow; });
    }

    void requestShapeRefused_data()
    {
        QTest::addColumn<QByteArray>("payload");
        const QString s = QString::fromLatin1(wire::kServerName);
        const QByteArray server = entry("server", s), method = entry("method", QStringLiteral("GetSincronizacaoCTe")),
                         args = entry("args", getArgs(kReg));
        QTest::newRow("extra key") << map({server, method, args, entry("trace", QStringLiteral("x"))});
        QTest::newRow("duplicate key") << map({server, method, args, entry("method", QStringLiteral("RecusaCTe"))});
        QTest::newRow("invalid UTF-8 in the method") << map({server, rawText("method", "Get\xff"), args});
        QTest::newRow("overlong UTF-8 in the server") << map({rawText("server", "\xc0\xaf"), method, args});
        QTest::newRow("surrogate in UTF-8") << map({server, rawText("method", "\xed\xa0\x80"), args});
        QByteArray badArg = entry("args", QVariantList{QString()});
        badArg.chop(1); // the empty text, replaced by a broken one
        wire::CborWriter(badArg).text("Servi\xe7o", 6);
        QTest::newRow("invalid UTF-8 in an argument") << map({server, method, badArg});
    }
    void requestShapeRefused()
    {
        QFETCH(QByteArray, payload);
        QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodeRequest(payload));
    }

    void integerRange_data()
    {
        QTest::addColumn<QByteArray>("item"); // one CBOR integer
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<qlonglong>("value");
        QTest::newRow("2^63 - 1") << QByteArray::fromHex("1b7fffffffffffffff") << true << std::numeric_limits<qlonglong>::max();
        QTest::newRow("2^63") << QByteArray::fromHex("1b8000000000000000") << false << 0LL;
        QTest::newRow("-2^63") << QByteArray::fromHex("3b7fffffffffffffff") << true << std::numeric_limits<qlonglong>::min();
        QTest::newRow("-2^63 - 1") << QByteArray::fromHex("3b8000000000000000") << false << 0LL;
        QTest::newRow("-2^64") << QByteArray::fromHex("3bffffffffffffffff") << false << 0LL;
    }
    void integerRange()
    {
        QFETCH(QByteArray, item);
        QFETCH(bool, accepted);
        QFETCH(qlonglong, value);
        QByteArray args = entry("args", QVariantList{});
        args.chop(1);
        wire::CborWriter(args).array(1);
        args += item;
        const QByteArray payload = map({entry("server", QString::fromLatin1(wire::kServerName)), entry("method", QStringLiteral("X")), args});
        if (!accepted) {
            QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodeRequest(payload));
            return;
        }
        const wire::Request r = wire::decodeRequest(payload);
        QCOMPARE(r.args.value(0).toLongLong(), value);
    }

    void packetRefused_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QString>("why");
        auto list = [](wire::PacketType nsuType, const QVariant &nsu) {
            wire::PacketWriter w({{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1}, {QStringLiteral("NRNSU"), nsuType, 15}});
            w.beginRow();
            w.text(QStringLiteral("S"));
            if (nsu.metaType().id() == QMetaType::Double) w.real(nsu.toDouble()); else w.text(nsu.toString());
            return w.finish().cbor;
        };
        QTest::newRow("NRNSU declared float") << list(wire::PacketType::Float, 1.0) << "deve ser texto";
        QTest::newRow("float value in a text field") << list(wire::PacketType::Text, 1.0) << "tipo errado";
        // The same table with one byte more inside the byte string.
        const TDataPacket good{list(wire::PacketType::Text, QStringLiteral("000000000000001"))};
        QByteArray body = wire::packetBody(good);
        body.append(char(0xf6));
        QByteArray padded;
        wire::CborWriter w(padded);
        w.tag(wire::kTagDataPacket);
        w.bytes(body);
        QTest::newRow("bytes after the table") << padded << "bytes a mais";
    }
    void packetRefused()
    {
        QFETCH(QByteArray, packet);
        QFETCH(QString, why);
        Scripted a;
        RemoteModule m = module(a);
        const wire::Reply r = m.call({QString::fromLatin1(wire::kServerName), QStringLiteral("DownloadXML"),
                                      {QVariant::fromValue(TDataPacket{packet}), QStringLiteral("01"), QStringLiteral("T"), kReg}});
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(why), qPrintable(r.error));
    }

    // `text` and `fixedtext` both carry text: either declaration of a text field is taken;
    // a value is read as sent, never padded to the size.
    void textAndFixedTextAlike_data()
    {
        QTest::addColumn<int>("checkType");
        QTest::addColumn<int>("nsuType");
        QTest::newRow("as the list is sent") << int(wire::PacketType::FixedText) << int(wire::PacketType::Text);
        QTest::newRow("IDCHECK declared text") << int(wire::PacketType::Text) << int(wire::PacketType::Text);
        QTest::newRow("NRNSU declared fixedtext") << int(wire::PacketType::FixedText) << int(wire::PacketType::FixedText);
    }
    void textAndFixedTextAlike()
    {
        QFETCH(int, checkType);
        QFETCH(int, nsuType);
        RemoteModule m = module(*sim);
        QVariantList s = syncArgs(kReg);
        QCOMPARE(run(m, "SincronizarCTe", s).value(0).toString(), QStringLiteral("S"));
        Statement st(*store, "SELECT nrnsu FROM cte WHERE cdstatus = '100' LIMIT 2");
        wire::PacketWriter w({{QStringLiteral("IDCHECK"), wire::PacketType(checkType), 1},
                              {QStringLiteral("NRNSU"), wire::PacketType(nsuType), 15}});
        while (st.step()) {
            w.beginRow();
            w.text(QStringLiteral("S"));
            w.text(st.text(0));
        }
        QVariantList d{QVariant::fromValue(w.finish()), QStringLiteral("01"), QStringLiteral("T"), kReg};
        const wire::DecodedPacket xml = packetOf(run(m, "DownloadXML", d));
        QCOMPARE(xml.rows.size(), size_t(2));
        for (const QVariantList &row : xml.rows)
            QCOMPARE(row[3].toString(), QStringLiteral("S"));
    }

    void disagreementReason_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("sent"); // the xObs the authority receives, when accepted
        const QString emoji = QString::fromUtf8("\xf0\x9f\x9a\x9a"); // outside the BMP: two UTF-16 units
        // The authority admits U+0020..U+00FF only: an emoji is refused whatever the length.
        QTest::newRow("15 emoji are refused") << emoji.repeated(15) << false << QString();
        QTest::newRow("200 emoji are refused") << emoji.repeated(200) << false << QString();
        QTest::newRow("15 accented letters are 15 characters") << QStringLiteral("ç").repeated(15) << true << QStringLiteral("ç").repeated(15);
        QTest::newRow("255 accented letters are 255 characters") << QStringLiteral("ã").repeated(255) << true << QStringLiteral("ã").repeated(255);
        QTest::newRow("256 accented letters are too many") << QStringLiteral("é").repeated(256) << false << QString();
        QTest::newRow("8 emoji are too few") << emoji.repeated(8) << false << QString();
        QTest::newRow("two lines") << QStringLiteral("Serviço não\r\ncontratado\tpela empresa\n") << true
                                   << QStringLiteral("Serviço não contratado pela empresa");
        QTest::newRow("NUL inside") << QStringLiteral("Serviço não contratado").insert(7, QChar(0)) << false << QString();
        QTest::newRow("escape inside") << QStringLiteral("Serviço \x1bnão contratado") << false << QString();
    }
    void disagreementReason()
    {
        QFETCH(QString, reason);
        QFETCH(bool, accepted);
        QFETCH(QString, sent);
        {
            RemoteModule m = module(*sim);
            QVariantList s = syncArgs(kReg);
            run(m, "SincronizarCTe", s);
        }
        Statement st(*store, "SELECT nracessocte FROM cte WHERE cdstatus = '100' AND dtemissao_iso >= '2026-11-01' LIMIT 1");
        QVERIFY(st.step());
        const QString key = st.text(0);
        Scripted a;
        RemoteModule m = module(a);
        QVariantList args{key, reason, QStringLiteral("01"), kReg, QStringLiteral("T")};
        const QVariantList r = run(m, "RecusaCTe", args);
        QCOMPARE(r.value(0).toString() == QLatin1String("S"), accepted);
        if (accepted)
            QCOMPARE(xmlutil::leaves(a.lastEvent).value(QStringLiteral("eventoCTe/infEvento/detEvento/evPrestDesacordo/xObs")), sent);
        else
            QVERIFY(a.lastEvent.isEmpty());
        if (reason.contains(QChar(0)))
            QVERIFY2(r.value(1).toString().contains(QStringLiteral("U+0000")), qPrintable(r.value(1).toString()));
        if (reason.size() >= 30 && reason.startsWith(QString::fromUtf8("\xf0\x9f\x9a\x9a")))
            QVERIFY2(r.value(1).toString().contains(QStringLiteral("U+1F69A")), qPrintable(r.value(1).toString()));
    }

    // The event rule on its own: which CT-e may take the event, and its sequence number.
    void disagreementEligibility_data()
    {
        QTest::addColumn<QString>("owner");   // the registration the CT-e is stored for; empty: not stored
        QTest::addColumn<QString>("status");  // its cdstatus
        QTest::addColumn<int>("kept");        // 610110 events already kept for its key
        QTest::addColumn<QString>("refusal"); // empty: registered
        QTest::addColumn<QString>("sequence"); // nSeqEvento sent
        const QString other = fiscal::cnpjWithDigits(QStringLiteral("998887770001"));
        const QString notFound = QStringLiteral("CT-e %1 não encontrado para a inscrição jurídica %2.").arg(eventKey(), kReg);
        QTest::newRow("authorised") << kReg << "100" << 0 << QString() << "1";
        QTest::newRow("after two kept events") << kReg << "100" << 2 << QString() << "3";
        QTest::newRow("not stored") << QString() << "100" << 0 << notFound << "";
        QTest::newRow("another registration's") << other << "100" << 0 << notFound << "";
        QTest::newRow("already registered") << kReg << "000" << 0
            << QStringLiteral("Evento de Prestação de Serviço em Desacordo já registrado para esse CT-e.") << "";
        QTest::newRow("cancelled") << kReg << "101" << 0 << QStringLiteral("CT-e cancelado: o evento não pode ser registrado.") << "";
        QTest::newRow("99 kept") << kReg << "100" << 99
            << QStringLiteral("CT-e %1 já tem 99 eventos de Prestação do Serviço em Desacordo.").arg(eventKey()) << "";
    }
    void disagreementEligibility()
    {
        QFETCH(QString, owner);
        QFETCH(QString, status);
        QFETCH(int, kept);
        QFETCH(QString, refusal);
        const QString key = eventKey();
        if (!owner.isEmpty())
            Statement(*store, "INSERT INTO cte (nrinsjurpesq, nrnsu, nracessocte, cdstatus, dsstatus, dtsincronizacao,"
                              " dtsinc_iso) VALUES (?, '000000000000001', ?, ?, '', '08/12/2026', '2026-12-08')")
                .bind(1, owner).bind(2, key).bind(3, status).run();
        for (int i = 0; i < kept; ++i)
            Statement(*store, "INSERT INTO evento (nrinsjurpesq, nrnsu, nracessocte, tpevento, nprot, dhregevento, xml)"
                              " VALUES (?, NULL, ?, '610110', ?, '', '')")
                .bind(1, kReg).bind(2, key).bind(3, QString::number(i)).run();
        Scripted a;
        DisagreementEvent event(*store, a, [] { return kNow; });
        const QVariantList r = event.record(key, kReg, QStringLiteral("Serviço não contratado pela empresa"));
        if (refusal.isEmpty()) {
            QCOMPARE(r, (QVariantList{QStringLiteral("S"), QStringLiteral("Evento registrado. Protocolo 1.")}));
            QTEST(xmlutil::leaves(a.lastEvent).value(QStringLiteral("eventoCTe/infEvento/nSeqEvento")), "sequence");
            Statement st(*store, "SELECT cdstatus FROM cte WHERE nracessocte = ?");
            st.bind(1, key);
            QVERIFY(st.step());
            QCOMPARE(st.text(0), QStringLiteral("000"));
        } else {
            QCOMPARE(r, (QVariantList{QStringLiteral("N"), refusal}));
            QVERIFY(a.lastEvent.isEmpty()); // nothing goes to the authority
        }
    }

    void oneSpellingOfARegistration_data()
    {
        QTest::addColumn<QString>("spelling");
        QTest::newRow("digits") << kReg;
        QTest::newRow("punctuated") << QStringLiteral("11.222.333/0001-81");
        QTest::newRow("blanks") << QStringLiteral(" 11 222 333 0001 81 ");
    }
    void oneSpellingOfARegistration()
    {
        QFETCH(QString, spelling);
        RemoteModule m = module(*sim);
        QVariantList s = syncArgs(spelling);
        QCOMPARE(run(m, "SincronizarCTe", s).value(0).toString(), QStringLiteral("S"));
        QVariantList g = getArgs(spelling);
        const TDataPacket p = run(m, "GetSincronizacaoCTe", g).value(1).value<TDataPacket>();
        const wire::DecodedPacket list = wire::decodePacket(p);
        QVERIFY(list.rows.size() > 10);
        QCOMPARE(list.rows.front()[size_t(list.indexOf(QStringLiteral("NRINSJURPESQ")))].toString(), kReg);
        // The download of the first rows under the same spelling finds their documents.
        wire::PacketWriter w({{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1}, {QStringLiteral("NRNSU"), wire::PacketType::Text, 15}});
        Statement st(*store, "SELECT nrnsu FROM cte WHERE cdstatus = '100' LIMIT 3");
        while (st.step()) {
            w.beginRow();
            w.text(QStringLiteral("S"));
            w.text(st.text(0));
        }
        QVariantList d{QVariant::fromValue(w.finish()), QStringLiteral("01"), QStringLiteral("T"), spelling};
        const wire::DecodedPacket xml = packetOf(run(m, "DownloadXML", d));
        QCOMPARE(xml.rows.size(), size_t(3));
        for (const QVariantList &row : xml.rows)
            QCOMPARE(row[3].toString(), QStringLiteral("S"));
    }

    void keyFromTheAuthorityIsValidated()
    {
        SimulatedAuthority::Item it;
        for (const auto &i : sim->history(kReg))
            if (i.kind == SimulatedAuthority::Item::Cte) {
                it = i;
                break;
            }
        it.key = QStringLiteral("../../x");
        QByteArray xml;
        QXmlStreamWriter w(&xml);
        w.writeStartElement(QStringLiteral("retDistDFeInt"));
        w.writeTextElement(QStringLiteral("cStat"), QStringLiteral("138"));
        w.writeTextElement(QStringLiteral("ultNSU"), QStringLiteral("000000000000001"));
        w.writeTextElement(QStringLiteral("maxNSU"), QStringLiteral("000000000000001"));
        w.writeStartElement(QStringLiteral("docZip"));
        w.writeAttribute(QStringLiteral("NSU"), QStringLiteral("000000000000001"));
        w.writeAttribute(QStringLiteral("schema"), QStringLiteral("procCTe_v4.00.xsd"));
        w.writeCharacters(QString::fromLatin1(xmlutil::gzip(sim->procCTe(it)).toBase64()));
        w.writeEndElement();
        w.writeEndElement();
        Scripted a;
        a.answer = xml;
        RemoteModule m = module(a);
        QVariantList s = syncArgs(kReg);
        QCOMPARE(run(m, "SincronizarCTe", s).value(0).toString(), QStringLiteral("S"));
        Statement keys(*store, "SELECT COUNT(*) FROM cte WHERE nracessocte LIKE '%/%'");
        QVERIFY(keys.step());
        QCOMPARE(keys.integer(0), 0);
        Statement raw(*store, "SELECT COUNT(*) FROM doc_bruto");
        QVERIFY(raw.step());
        QCOMPARE(raw.integer(0), 1);
    }

    void alphanumericCnpj_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("cnpj");
        QTest::addColumn<bool>("cpf");
        QTest::newRow("published example") << "12ABC34501DE35" << true << false;
        QTest::newRow("wrong check digit") << "12ABC34501DE36" << false << false;
        QTest::newRow("lower case is not normal form") << "12abc34501de35" << false << false;
        QTest::newRow("letter in the check digits") << "12ABC34501DE3A" << false << false;
        QTest::newRow("numeric CNPJ") << "11222333000181" << true << false;
        QTest::newRow("CPF stays numeric") << "52998224725" << false << true;
        QTest::newRow("letter in a CPF") << "5299822472A" << false << false;
    }
    void alphanumericCnpj()
    {
        QFETCH(QString, value);
        QFETCH(bool, cnpj);
        QFETCH(bool, cpf);
        QCOMPARE(fiscal::validCnpj(value), cnpj);
        QCOMPARE(fiscal::validCpf(value), cpf);
    }

    void alphanumericRegistrationAndKey()
    {
        QCOMPARE(fiscal::cnpjWithDigits(QStringLiteral("12ABC34501DE")), QStringLiteral("12ABC34501DE35"));
        QCOMPARE(fiscal::normalRegistration(QStringLiteral("12.abc.345/01de-35")), QStringLiteral("12ABC34501DE35"));
        const QString first43 = QStringLiteral("352612") + QStringLiteral("12ABC34501DE35") + QStringLiteral("57001000001002100000002");
        const QString key = first43 + QChar('0' + fiscal::accessKeyDigit(first43));
        QVERIFY(fiscal::validAccessKey(key));
        QVERIFY(!fiscal::validAccessKey(QString(key).replace(6, 1, QLatin1Char('a'))));
        QVERIFY(!fiscal::validAccessKey(QString(key).replace(2, 1, QLatin1Char('A'))));
        // The server synchronizes and lists an alphanumeric registration under its normal spelling.
        RemoteModule m = module(*sim);
        QVariantList s = syncArgs(QStringLiteral("12.abc.345/01de-35"));
        QCOMPARE(run(m, "SincronizarCTe", s).value(0).toString(), QStringLiteral("S"));
        QVariantList g = getArgs(QStringLiteral("12ABC34501DE35"));
        QVERIFY(!packetOf(run(m, "GetSincronizacaoCTe", g)).rows.empty());
        // Part of the simulated authority's issuers have letters in their CNPJ, and their keys carry them.
        Statement st(*store, "SELECT nracessocte, nrinsjuremit FROM cte WHERE cdstatus <> '999'");
        int lettered = 0, all = 0;
        while (st.step()) {
            ++all;
            QVERIFY2(fiscal::validAccessKey(st.text(0)), qPrintable(st.text(0)));
            QVERIFY(fiscal::validCnpj(st.text(1)));
            if (!fiscal::allDigits(st.text(1))) {
                ++lettered;
                QCOMPARE(st.text(0).mid(6, 14), st.text(1));
            }
        }
        QVERIFY(lettered > 0 && lettered < all);
    }
};

QTEST_GUILESS_MAIN(TestContract)
#include "tst_contract.moc"
