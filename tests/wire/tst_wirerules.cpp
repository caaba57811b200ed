// What every reader of the protocol must do: float widths, definite lengths at every
// level, the frame limit to the byte, and the fiscal check digits over real numbers.
#include "Cbor.h"
#include "DataSet.h"
#include "Exceptions.h"
#include "Fiscal.h"
#include "Frame.h"
#include "Packet.h"

#include <QTest>
#include <cmath>
#include <limits>

namespace {
QByteArray request(const QByteArray &argsItem)
{
    // {"server": ..., "method": "M", "args": <argsItem>}
    QByteArray out;
    wire::CborWriter w(out);
    w.map(3);
    w.text(QStringLiteral("server"));
    w.text(QString::fromLatin1(wire::kServerName));
    w.text(QStringLiteral("method"));
    w.text(QStringLiteral("M"));
    w.text(QStringLiteral("args"));
    w.raw(argsItem);
    return out;
}

QByteArray packetItem(const QByteArray &table)
{
    QByteArray out;
    wire::CborWriter w(out);
    w.tag(wire::kTagDataPacket);
    w.bytes(table);
    return out;
}

// [[["F", "float", 0]], <rows>]
QByteArray oneFloatTable(const QByteArray &rows)
{
    return QByteArray::fromHex("82" "81" "83" "6146" "65666c6f6174" "00") + rows;
}
} // namespace

using namespace Qt::StringLiterals;

class TestWireRules : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everyFloatWidthIsRead_data()
    {
        QTest::addColumn<QByteArray>("encoded");
        QTest::addColumn<double>("value");
        // 1.5 fits every width; the others lose precision in a narrower one.
        QTest::newRow("float16 1.5") << QByteArray::fromHex("f93e00") << 1.5;
        QTest::newRow("float16 -0.333") << QByteArray::fromHex("f9b555") << -0.333251953125;
        QTest::newRow("float16 65504") << QByteArray::fromHex("f97bff") << 65504.0;
        QTest::newRow("float16 smallest subnormal") << QByteArray::fromHex("f90001") << 5.9604644775390625e-08;
        QTest::newRow("float16 largest subnormal") << QByteArray::fromHex("f903ff") << 6.0975551605224609e-05;
        QTest::newRow("float16 -infinity") << QByteArray::fromHex("f9fc00") << -qInf();
        QTest::newRow("float32 0.1") << QByteArray::fromHex("fa3dcccccd") << double(0.1f);
        QTest::newRow("float32 16777217 rounds") << QByteArray::fromHex("fa4b800000") << 16777216.0;
        QTest::newRow("float64 0.1") << QByteArray::fromHex("fb3fb999999999999a") << 0.1;
        QTest::newRow("float64 1500.57") << QByteArray::fromHex("fb40977247ae147ae1") << 1500.57;
        QTest::newRow("float64 -0") << QByteArray::fromHex("fb8000000000000000") << -0.0;
        QTest::newRow("float64 largest") << QByteArray::fromHex("fb7fefffffffffffff") << std::numeric_limits<double>::max();
        // Integers where a float is expected: a writer may send 1500 as an integer.
        QTest::newRow("integer 0") << QByteArray::fromHex("00") << 0.0;
        QTest::newRow("integer 1500") << QByteArray::fromHex("1905dc") << 1500.0;
        QTest::newRow("integer -1") << QByteArray::fromHex("20") << -1.0;
        QTest::newRow("integer -1500") << QByteArray::fromHex("3905db") << -1500.0;
        QTest::newRow("integer 2^53") << QByteArray::fromHex("1b0020000000000000") << 9007199254740992.0;
        QTest::newRow("integer 2^53 + 1 rounds") << QByteArray::fromHex("1b0020000000000001") << 9007199254740992.0;
        QTest::newRow("integer -(2^53 + 2)") << QByteArray::fromHex("3b0020000000000001") << -9007199254740994.0;
        QTest::newRow("integer 2^64 - 1") << QByteArray::fromHex("1bffffffffffffffff") << 18446744073709551616.0;
        QTest::newRow("integer -2^64") << QByteArray::fromHex("3bffffffffffffffff") << -18446744073709551616.0;
    }
    void everyFloatWidthIsRead()
    {
        QFETCH(QByteArray, encoded);
        QFETCH(double, value);
        // As an argument of a request and the result of a reply (integers stay integers there)...
        if (const bool integer = (quint8(encoded.at(0)) >> 5) < 2; !integer) {
            const wire::Request r = wire::decodeRequest(request(QByteArray("\x81", 1) + encoded));
            QCOMPARE(r.args.size(), 1);
            QCOMPARE(r.args[0].metaType().id(), int(QMetaType::Double));
            QCOMPARE(r.args[0].toDouble(), value);
            QCOMPARE(std::signbit(r.args[0].toDouble()), std::signbit(value));
            QByteArray reply;
            wire::CborWriter w(reply);
            w.map(2);
            w.text(QStringLiteral("result"));
            w.raw(encoded);
            w.text(QStringLiteral("args"));
            w.array(0);
            const wire::Reply answer = wire::decodeReply(reply);
            QVERIFY(answer.ok);
            QCOMPARE(answer.result.metaType().id(), int(QMetaType::Double));
            QCOMPARE(answer.result.toDouble(), value);
        }
        // ...and as a float cell of a packet row.
        TDataPacket p;
        p.cbor = packetItem(oneFloatTable(QByteArray("\x81\x81", 2) + encoded));
        const wire::DecodedPacket d = wire::decodePacket(p);
        QCOMPARE(d.rows.size(), size_t(1));
        QCOMPARE(d.rows[0].value(0).toDouble(), value);
        QVERIFY2(d.rows[0].value(0).toDouble() == value, qPrintable(QString::number(d.rows[0].value(0).toDouble(), 'g', 17))); // not only near it
        // ...and by the screen's dataset.
        TClientDataSet ds;
        ds.SetData(p);
        QCOMPARE(ds.RecordCount(), 1);
        QCOMPARE(ds.FieldByName(QStringLiteral("F")).AsFloat(), value);
    }

    // What a peer written from the protocol document expects, byte for byte (RFC 8949
    // heads in their shortest form, doubles as float64, dates as tag 1004).
    void encoderWritesTheDocumentedBytes_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QByteArray>("hex");
        const struct {
            qint64 v;
            const char *hex;
        } ints[] = {{0, "00"}, {23, "17"}, {24, "1818"}, {255, "18ff"}, {256, "190100"}, {65535, "19ffff"},
                    {65536, "1a00010000"}, {4294967295LL, "1affffffff"}, {4294967296LL, "1b0000000100000000"},
                    {-1, "20"}, {-24, "37"}, {-25, "3818"}, {-256, "38ff"}, {-257, "390100"}};
        for (const auto &i : ints)
            QTest::addRow("integer %lld", static_cast<long long>(i.v)) << QVariant(qlonglong(i.v)) << QByteArray(i.hex);
        QTest::newRow("text of 23") << QVariant(QString(23, QLatin1Char('a'))) << QByteArray("77") + QByteArray(23, 'a').toHex();
        QTest::newRow("text of 24") << QVariant(QString(24, QLatin1Char('a'))) << QByteArray("7818") + QByteArray(24, 'a').toHex();
        QTest::newRow("text counts bytes, not characters") << QVariant(QStringLiteral("ção")) << QByteArray("65c3a7c3a36f");
        QTest::newRow("bytes with NUL") << QVariant(QByteArray("a\0", 2)) << QByteArray("426100");
        QTest::newRow("double 1.5") << QVariant(1.5) << QByteArray("fb3ff8000000000000");
        QTest::newRow("date") << QVariant(QDate(2026, 12, 1)) << QByteArray("d903ec6a323032362d31322d3031");
        QTest::newRow("true") << QVariant(true) << QByteArray("f5");
        QTest::newRow("null") << QVariant::fromValue(nullptr) << QByteArray("f6");
        QTest::newRow("array") << QVariant(QVariantList{QStringLiteral("S"), 2.5}) << QByteArray("826153fb4004000000000000");
    }
    void encoderWritesTheDocumentedBytes()
    {
        QFETCH(QVariant, value);
        QFETCH(QByteArray, hex);
        QByteArray out;
        wire::CborWriter w(out);
        w.value(value);
        QCOMPARE(out.toHex(), hex);
    }

    void requestOfTheWorkedExample()
    {
        const QByteArray expected = QByteArray::fromHex(
            "a366736572766572781c44666537313030302e72646d53696e63726f6e697a6163616f435465666d6574686f646e53696e"
            "63726f6e697a617243546564617267738662303161546e3131323232333333303030313831664d414e55414c6060");
        const wire::Request r{QString::fromLatin1(wire::kServerName), QStringLiteral("SincronizarCTe"),
                              {QStringLiteral("01"), QStringLiteral("T"), QStringLiteral("11222333000181"),
                               QStringLiteral("MANUAL"), QString(), QString()}};
        QCOMPARE(wire::encodeRequest(r).toHex(), expected.toHex());
        QCOMPARE(wire::frame(expected).left(4).toHex(), QByteArray("0000005f"));
        QCOMPARE(wire::frame(expected).mid(4), expected);
    }

    void indefiniteLengthsAreRefusedAtEveryLevel_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("isPacket"); // false: a whole request
        const QByteArray good = request(QByteArray::fromHex("826141f6"));
        QTest::newRow("definite request is read") << good << false;
        QByteArray indefMap = good;
        indefMap[0] = char(0xbf); // map of indefinite length
        QTest::newRow("request map") << indefMap + QByteArray("\xff", 1) << false;
        QTest::newRow("args array") << request(QByteArray::fromHex("9f6141f6ff")) << false;
        QTest::newRow("array inside args") << request(QByteArray::fromHex("819f6141ff")) << false;
        QTest::newRow("text in chunks is read") << request(QByteArray::fromHex("817f61416142ff")) << false;
        QTest::newRow("packet table") << packetItem(QByteArray::fromHex("9f" "81" "83" "6146" "65666c6f6174" "00" "80" "ff"))
                                      << true;
        QTest::newRow("packet field model") << packetItem(QByteArray::fromHex("82" "9f" "83" "6146" "65666c6f6174" "00" "ff" "80"))
                                            << true;
        QTest::newRow("definite packet is read") << packetItem(oneFloatTable(QByteArray::fromHex("8181f93e00"))) << true;
        QTest::newRow("packet rows") << packetItem(oneFloatTable(QByteArray::fromHex("9f81f93e00ff"))) << true;
        QTest::newRow("packet row") << packetItem(oneFloatTable(QByteArray::fromHex("819ff93e00ff"))) << true;
    }
    void indefiniteLengthsAreRefusedAtEveryLevel()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, isPacket);
        const bool accepted = QByteArray(QTest::currentDataTag()).endsWith("is read");
        bool refused = false;
        try {
            if (isPacket) {
                TDataPacket p;
                p.cbor = message;
                wire::decodePacket(p);
            } else {
                wire::decodeRequest(message);
            }
        } catch (const wire::DecodeError &) {
            refused = true;
        }
        QCOMPARE(refused, !accepted);
        if (isPacket) {
            // The screen's dataset reads packets too, and must agree.
            TDataPacket p;
            p.cbor = message;
            TClientDataSet ds;
            bool dataSetRefused = false;
            try {
                ds.SetData(p);
            } catch (const Exception &) {
                dataSetRefused = true;
            }
            QCOMPARE(dataSetRefused, !accepted);
        }
    }

    void frameLimitToTheByte_data()
    {
        QTest::addColumn<quint32>("size");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("exactly the limit") << quint32(4096) << true;
        QTest::newRow("one byte more") << quint32(4097) << false;
        QTest::newRow("one byte less") << quint32(4095) << true;
    }
    void frameLimitToTheByte()
    {
        QFETCH(quint32, size);
        QFETCH(bool, accepted);
        wire::FrameReader reader(4096);
        const QByteArray f = wire::frame(QByteArray(int(size), 'x'));
        // Only the announced length is needed to decide: feed the head alone first.
        reader.feed(f.left(4));
        QByteArray payload;
        bool refused = false;
        try {
            QVERIFY(!reader.next(payload));
            reader.feed(f.mid(4));
            QVERIFY(reader.next(payload));
            QCOMPARE(payload.size(), qsizetype(size));
        } catch (const std::runtime_error &) {
            refused = true;
        }
        QCOMPARE(refused, !accepted);
    }

    void checkDigitsOfRealNumbers_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("number");
        QTest::addColumn<bool>("valid");
        for (const char *n : {"11222333000181", "04567890000179", "61327382000157", "19345678000134", "00000000000191"})
            QTest::addRow("cnpj %s", n) << "cnpj" << QString::fromLatin1(n) << true;
        // Two neighbours swapped: a check that ignored the weights' direction would pass them.
        QTest::newRow("cnpj, base digits swapped") << "cnpj" << "61372382000157" << false;
        QTest::newRow("cnpj, other base digits swapped") << "cnpj" << "19354678000134" << false;
        QTest::newRow("cnpj, check digits swapped") << "cnpj" << "04567890000197" << false;
        QTest::newRow("cnpj, first check digit off") << "cnpj" << "11222333000191" << false;
        QTest::newRow("cnpj, 13 digits") << "cnpj" << "1122233300018" << false;
        // Alphanumeric CNPJ: letters weigh their code minus 48, like the digits.
        QTest::newRow("cnpj 12ABC34501DE35") << "cnpj" << "12ABC34501DE35" << true;
        QTest::newRow("cnpj A1B2C3D4E5F668") << "cnpj" << "A1B2C3D4E5F668" << true;
        QTest::newRow("cnpj, letters swapped") << "cnpj" << "12BAC34501DE35" << false;
        QTest::newRow("cnpj, letter and digit swapped") << "cnpj" << "12ABC3450D1E35" << false;
        QTest::newRow("cnpj, lower-case letters") << "cnpj" << "12abc34501de35" << false;
        QTest::newRow("cnpj, letters as check digits") << "cnpj" << "12ABC34501DEAB" << false;
        for (const char *n : {"52998224725", "12345678909", "98765432100", "11144477735"})
            QTest::addRow("cpf %s", n) << "cpf" << QString::fromLatin1(n) << true;
        QTest::newRow("cpf, base digits swapped") << "cpf" << "13245678909" << false;
        QTest::newRow("cpf, other base digits swapped") << "cpf" << "97865432100" << false;
        QTest::newRow("cpf, second check digit off") << "cpf" << "52998224724" << false;
        QTest::newRow("cpf, all alike") << "cpf" << "22222222222" << false;
        QTest::newRow("key of the worked example") << "key" << "35261204567890000179570010000010021000000027" << true;
        QTest::newRow("key, remainder below 2 gives 0") << "key" << "35261211222333000181570010000010011000000010" << true;
        QTest::newRow("key of another state") << "key" << "42261261873282000126570010000020011682624059" << true;
        QTest::newRow("key, neighbours swapped") << "key" << "42261261872382000126570010000020011682624059" << false;
        QTest::newRow("key, last digit off") << "key" << "35261204567890000179570010000010021000000028" << false;
        QTest::newRow("key with an alphanumeric issuer") << "key" << "35261212ABC34501DE35570010000010021000000026" << true;
        QTest::newRow("key, issuer letters swapped") << "key" << "35261212BAC34501DE35570010000010021000000026" << false;
        QTest::newRow("key, 43 digits") << "key" << "3526120456789000017957001000001002100000002" << false;
    }
    void checkDigitsOfRealNumbers()
    {
        QFETCH(QString, kind);
        QFETCH(QString, number);
        QFETCH(bool, valid);
        if (kind == QLatin1String("cnpj")) {
            QCOMPARE(fiscal::validCnpj(number), valid);
            if (valid)
                QCOMPARE(fiscal::cnpjWithDigits(number.left(12)), number);
        } else if (kind == QLatin1String("cpf")) {
            QCOMPARE(fiscal::validCpf(number), valid);
            if (valid)
                QCOMPARE(fiscal::cpfWithDigits(number.left(9)), number);
        } else {
            QCOMPARE(fiscal::validAccessKey(number), valid);
            if (valid)
                QCOMPARE(fiscal::accessKeyDigit(number.left(43)), number.right(1).toInt());
        }
    }
    void reasonIsFoldedToWhatTheAuthorityAdmits_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("refused"); // how the first refused character is named, empty when none
        QTest::newRow("plain Latin-1 kept") << u"Serviço não contratado, peso º"_s << u"Serviço não contratado, peso º"_s << QString();
        QTest::newRow("typographic quotes") << u"\u201cCarga\u201d do \u2018cliente\u2019"_s << u"\"Carga\" do 'cliente'"_s << QString();
        QTest::newRow("dashes and minus") << u"a\u2013b\u2014c\u2212d"_s << u"a-b-c-d"_s << QString();
        QTest::newRow("ellipsis counts three") << u"espera\u2026"_s << u"espera..."_s << QString();
        QTest::newRow("no-break spaces at the ends dropped") << u"\u00a0motivo\u202f"_s << u"motivo"_s << QString();
        QTest::newRow("Windows break is one blank") << u"linha um\r\nlinha dois"_s << u"linha um linha dois"_s << QString();
        QTest::newRow("break and tab each one blank") << u"a\n\tb"_s << u"a  b"_s << QString();
        QTest::newRow("euro refused") << u"custo de 10 \u20ac"_s << u"custo de 10 \u20ac"_s << u"\"\u20ac\" (U+20AC)"_s;
        QTest::newRow("emoji named whole") << u"ok \U0001F600 ok"_s << u"ok \U0001F600 ok"_s << u"\"\U0001F600\" (U+1F600)"_s;
        QTest::newRow("C1 control by code only") << u"a\u0085b"_s << u"a\u0085b"_s << u"U+0085"_s;
        QTest::newRow("NUL refused by its code") << u"a\u0000b"_s << u"a\u0000b"_s << u"U+0000"_s;
        QTest::newRow("first of two refused") << u"\u0152 e \u20ac"_s << u"\u0152 e \u20ac"_s << u"\"\u0152\" (U+0152)"_s;
    }
    void reasonIsFoldedToWhatTheAuthorityAdmits()
    {
        QFETCH(QString, typed);
        QFETCH(QString, sent);
        QFETCH(QString, refused);
        const QString plain = fiscal::plainReason(typed);
        QCOMPARE(plain, sent);
        const std::optional<char32_t> c = fiscal::refusedReasonChar(plain);
        QCOMPARE(c ? fiscal::describeChar(*c) : QString(), refused);
    }
};

QTEST_MAIN(TestWireRules)
#include "tst_wirerules.moc"
