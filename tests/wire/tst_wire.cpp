// The wire protocol: values, requests and replies, frames, packets and the fiscal
// check digits.
#include "Cbor.h"
#include "Fiscal.h"
#include "Frame.h"
#include "Packet.h"

#include <QDate>
#include <QTest>

class TestWire : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void valueRoundTrip_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<int>("type");
        QTest::newRow("text") << QVariant(QStringLiteral("Produção")) << int(QMetaType::QString);
        QTest::newRow("empty text") << QVariant(QString()) << int(QMetaType::QString);
        QTest::newRow("double") << QVariant(1234.56) << int(QMetaType::Double);
        QTest::newRow("negative integer") << QVariant(qlonglong(-42)) << int(QMetaType::LongLong);
        QTest::newRow("large integer") << QVariant(qlonglong(1) << 40) << int(QMetaType::LongLong);
        QTest::newRow("true") << QVariant(true) << int(QMetaType::Bool);
        QTest::newRow("null") << QVariant::fromValue(nullptr) << int(QMetaType::Nullptr);
        QTest::newRow("bytes with NUL") << QVariant(QByteArray("a\0b\xff", 4)) << int(QMetaType::QByteArray);
        QTest::newRow("date") << QVariant(QDate(2026, 12, 1)) << int(QMetaType::QDate);
        QTest::newRow("array") << QVariant(QVariantList{QStringLiteral("S"), 2.5, QVariantList{}})
                               << int(QMetaType::QVariantList);
    }
    void valueRoundTrip()
    {
        QFETCH(QVariant, value);
        QFETCH(int, type);
        wire::Request req{QStringLiteral("srv"), QStringLiteral("m"), {value}};
        const wire::Request back = wire::decodeRequest(wire::encodeRequest(req));
        QCOMPARE(back.args.size(), 1);
        QCOMPARE(back.args[0].metaType().id(), type);
        if (type != QMetaType::Nullptr)
            QCOMPARE(back.args[0], value);
    }

    void replyCarriesWrittenBackArgumentsAndErrors()
    {
        wire::Reply ok;
        ok.result = QVariantList{QStringLiteral("S"), QStringLiteral("feito")};
        ok.args = {QDate(2026, 1, 31), QStringLiteral("11222333000181")};
        const wire::Reply back = wire::decodeReply(wire::encodeReply(ok));
        QVERIFY(back.ok);
        QCOMPARE(back.args, ok.args);
        QCOMPARE(back.result.toList().value(1).toString(), QStringLiteral("feito"));

        wire::Reply err;
        err.ok = false;
        err.error = QStringLiteral("método desconhecido: X");
        const wire::Reply e = wire::decodeReply(wire::encodeReply(err));
        QVERIFY(!e.ok);
        QCOMPARE(e.error, err.error);
    }

    void malformedMessagesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("payload");
        const QByteArray good = wire::encodeRequest({QStringLiteral("s"), QStringLiteral("m"), {QStringLiteral("x")}});
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("truncated") << good.left(good.size() - 3);
        QTest::newRow("not a map") << QByteArray("\x83\x01\x02\x03", 4);
        QTest::newRow("trailing bytes") << good + QByteArray("\x00", 1);
        QTest::newRow("method not text") << QByteArray::fromHex("a366736572766572617366"
                                                                 "6d6574686f6401" "6461726773" "80");
        QTest::newRow("args missing") << QByteArray::fromHex("a2667365727665726173666d6574686f64616d");
        QTest::newRow("huge array length") << QByteArray::fromHex("a3667365727665726173666d6574686f64616d6461726773"
                                                                   "9bffffffffffffffff");
        QTest::newRow("packet tag on an array") << QByteArray::fromHex("a3667365727665726173666d6574686f64616d6461726773"
                                                                        "81d9fde8828080");
        QTest::newRow("packet longer than the message")
            << QByteArray::fromHex("a3667365727665726173666d6574686f64616d6461726773" "81d9fde85a00ffffff8280");
        QTest::newRow("unknown tag") << QByteArray::fromHex("a3667365727665726173666d6574686f64616d6461726773"
                                                             "81d9270f00");
    }
    void malformedMessagesAreRefused()
    {
        QFETCH(QByteArray, payload);
        QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodeRequest(payload));
    }

    void framesAreSplitAndLimited()
    {
        const QByteArray a = wire::frame("abc"), b = wire::frame(QByteArray(300, 'x'));
        wire::FrameReader r(1000);
        QByteArray out;
        const QByteArray both = a + b;
        r.feed(both.left(5));
        QVERIFY(!r.next(out));
        r.feed(both.mid(5));
        QVERIFY(r.next(out));
        QCOMPARE(out, QByteArray("abc"));
        QVERIFY(r.next(out));
        QCOMPARE(out.size(), 300);
        QVERIFY(!r.next(out));

        wire::FrameReader small(100);
        small.feed(wire::frame(QByteArray(101, 'y')).left(4));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, small.next(out));
    }

    // A caller that takes parts says so; a reply says parts follow; each part carries its
    // number, whether another follows, and its rows or why the rest failed.
    void partsOfALongList()
    {
        wire::Request req{QStringLiteral("s"), QStringLiteral("m"), {QStringLiteral("x")}, true};
        QVERIFY(wire::decodeRequest(wire::encodeRequest(req)).parts);
        req.parts = false;
        QVERIFY(!wire::decodeRequest(wire::encodeRequest(req)).parts);
        QVERIFY(!wire::encodeRequest(req).contains("parts")); // as every server has always read it
        req.repeats = true;
        QVERIFY(wire::decodeRequest(wire::encodeRequest(req)).repeats);
        req.repeats = false;
        QVERIFY(!wire::encodeRequest(req).contains("repeats"));

        wire::PacketWriter w({{QStringLiteral("NRNSU"), wire::PacketType::Text, 15}});
        w.beginRow();
        w.text(QStringLiteral("000000000000007"));
        const TDataPacket rows = w.finish();
        for (bool inPlace : {false, true}) {
            wire::Reply head{true, {}, QVariantList{QStringLiteral("S"), QVariant::fromValue(rows)}, {QStringLiteral("a")}, true};
            const QByteArray f = inPlace ? wire::encodeReplyFrame(std::move(head)) : wire::encodeReplyFrame(std::as_const(head));
            const wire::Reply back = wire::decodeReply(f.mid(4));
            QVERIFY(back.more);
            QCOMPARE(back.result.toList().value(1).value<TDataPacket>(), rows);
        }
        QVERIFY(!wire::decodeReply(wire::encodeReply(wire::Reply{true, {}, QStringLiteral("x"), {}})).more);

        for (bool inPlace : {false, true}) {
            wire::Part sent{3, true, rows, {}};
            const QByteArray f = inPlace ? wire::encodePartFrame(std::move(sent)) : wire::encodePartFrame(std::as_const(sent));
            const wire::Part p = wire::decodePart(f.mid(4));
            QCOMPARE(p.number, quint64(3));
            QVERIFY(p.more);
            QCOMPARE(p.rows, rows);
            QVERIFY(p.error.isEmpty());
        }
        const wire::Part e = wire::decodePart(wire::encodePartFrame({4, false, {}, QStringLiteral("falhou")}).mid(4));
        QCOMPARE(e.error, QStringLiteral("falhou"));
        QVERIFY(!e.more);
    }

    void malformedPartsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("payload");
        wire::PacketWriter w({{QStringLiteral("NRNSU"), wire::PacketType::Text, 15}});
        const QByteArray rows = wire::encodePartFrame({1, false, w.finish(), {}}).mid(4);
        auto map = [](std::initializer_list<std::pair<const char *, QVariant>> items) {
            QByteArray out;
            wire::CborWriter c(out);
            c.map(items.size());
            for (const auto &[k, v] : items) {
                c.text(QString::fromLatin1(k));
                c.value(v);
            }
            return out;
        };
        const QVariant packet = QVariant::fromValue(wire::decodePart(rows).rows);
        QTest::newRow("a reply, not a part") << wire::encodeReply(wire::Reply{true, {}, QStringLiteral("x"), {}});
        QTest::newRow("part zero") << map({{"part", qint64(0)}, {"more", false}, {"rows", packet}});
        QTest::newRow("part number as text") << map({{"part", QStringLiteral("1")}, {"more", false}, {"rows", packet}});
        QTest::newRow("no more") << map({{"part", qint64(1)}, {"rows", packet}});
        QTest::newRow("no rows") << map({{"part", qint64(1)}, {"more", false}});
        QTest::newRow("rows not a packet") << map({{"part", qint64(1)}, {"more", false}, {"rows", QVariantList{}}});
        QTest::newRow("rows and an error") << map({{"part", qint64(1)}, {"rows", packet}, {"error", QStringLiteral("e")}});
        QTest::newRow("more with an error") << map({{"part", qint64(1)}, {"more", true}, {"error", QStringLiteral("e")}});
        QTest::newRow("part twice") << map({{"part", qint64(1)}, {"part", qint64(2)}, {"more", false}, {"rows", packet}});
        QTest::newRow("truncated") << rows.left(rows.size() - 1);
    }
    void malformedPartsAreRefused()
    {
        QFETCH(QByteArray, payload);
        QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodePart(payload));
    }

    void replyWithAPacketIsFramedWhereThePacketWasBuilt_data()
    {
        QTest::addColumn<int>("rows");
        QTest::newRow("empty list") << 0;
        QTest::newRow("one row") << 1;
        QTest::newRow("a list of 20000 rows") << 20000;
    }
    void replyWithAPacketIsFramedWhereThePacketWasBuilt()
    {
        QFETCH(int, rows);
        wire::PacketWriter w({{QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                              {QStringLiteral("VALOR"), wire::PacketType::Float, 0}});
        for (int i = 0; i < rows; ++i) {
            w.beginRow();
            w.text(QStringLiteral("%1").arg(i, 15, 10, QLatin1Char('0')));
            w.real(i / 4.0);
        }
        TDataPacket p = w.finish();
        const QByteArray sent(p.cbor.constData(), p.cbor.size()); // a copy to compare with
        const char *built = p.cbor.constData();
        const QVariantList args{QStringLiteral("11222333000181"), QDate(2026, 12, 8), QVariant::fromValue(nullptr)};
        wire::Reply r{true, {}, QVariantList{QStringLiteral("S"), QVariant::fromValue(p)}, args};
        p = TDataPacket(); // the reply holds the packet alone
        const QByteArray f = wire::encodeReplyFrame(std::move(r));
        // The frame ends with the packet's bytes where the writer left them: nothing was copied.
        QCOMPARE(static_cast<const void *>(f.constData() + f.size() - sent.size()), static_cast<const void *>(built));
        wire::FrameReader reader;
        reader.feed(f);
        QByteArray payload;
        QVERIFY(reader.next(payload));
        const wire::Reply back = wire::decodeReply(payload);
        QVERIFY(back.ok);
        QCOMPARE(back.args, args);
        QCOMPARE(back.result.toList().value(0).toString(), QStringLiteral("S"));
        const TDataPacket got = back.result.toList().value(1).value<TDataPacket>();
        QCOMPARE(got.cbor, sent);
        // A long list read from the message stays in the message's bytes; a short one is copied out.
        const bool inMessage = got.cbor.constData() >= payload.constData() && got.cbor.constData() < payload.constData() + payload.size();
        QCOMPARE(inMessage, sent.size() >= 64 * 1024);
        QCOMPARE(wire::decodePacket(back.result.toList().value(1).value<TDataPacket>()).rows.size(), size_t(rows));
    }

    // Rows given encoded go out with each value equal to the one above as a one-byte mark,
    // and read back whole. A value of one byte, a row written value by value and the
    // first row of a packet are never compared against.
    void valuesRepeatedDownAColumn_data()
    {
        QTest::addColumn<QList<QVariantList>>("rows");
        QTest::addColumn<QList<bool>>("encoded"); // each row given encoded (else value by value)
        QTest::addColumn<int>("saved");           // bytes the marks save
        const QVariant null = QVariant::fromValue(nullptr);
        const QVariantList a{QStringLiteral("Transportadora"), QStringLiteral("x"), 1.5};
        QTest::newRow("the same row twice") << QList<QVariantList>{a, a} << QList<bool>{true, true} << (15 - 1) + (2 - 1) + (9 - 1);
        QTest::newRow("one value changes")
            << QList<QVariantList>{a, {QStringLiteral("Transportadora"), QStringLiteral("y"), 1.5}} << QList<bool>{true, true} << 14 + 8;
        QTest::newRow("a row in between") << QList<QVariantList>{a, a, a, a} << QList<bool>{true, false, true, true} << 23;
        QTest::newRow("nulls and empty texts") << QList<QVariantList>{{null, QString(), null}, {null, QString(), null}}
                                               << QList<bool>{true, true} << 0;
        QTest::newRow("a null below a value") << QList<QVariantList>{a, {QStringLiteral("Transportadora"), QStringLiteral("x"), null}}
                                              << QList<bool>{true, true} << 14 + 1;
        QTest::newRow("UTF-8") << QList<QVariantList>{{QStringLiteral("Ação"), QStringLiteral("é"), 0.0}, {QStringLiteral("Ação"), QStringLiteral("é"), 0.0}}
                               << QList<bool>{true, true} << (7 - 1) + (3 - 1) + (9 - 1);
    }
    void valuesRepeatedDownAColumn()
    {
        QFETCH(QList<QVariantList>, rows);
        QFETCH(QList<bool>, encoded);
        QFETCH(int, saved);
        const std::vector<wire::PacketField> fields{{QStringLiteral("NOME"), wire::PacketType::Text, 60},
                                                    {QStringLiteral("TIPO"), wire::PacketType::Text, 1},
                                                    {QStringLiteral("VALOR"), wire::PacketType::Float, 0}};
        auto write = [](wire::PacketWriter &w, const QVariantList &row) {
            w.beginRow();
            for (const QVariant &v : row) {
                if (v.metaType().id() == QMetaType::Nullptr)
                    w.null();
                else if (v.metaType().id() == QMetaType::Double)
                    w.real(v.toDouble());
                else
                    w.text(v.toString());
            }
        };
        wire::PacketWriter plain(fields), marked(fields);
        marked.setRepeats(true);
        for (qsizetype i = 0; i < rows.size(); ++i) {
            write(plain, rows[i]);
            if (!encoded[i]) {
                write(marked, rows[i]);
                continue;
            }
            wire::PacketWriter one(fields);
            write(one, rows[i]);
            marked.encodedRow(one.rows().data(), one.rows().size());
        }
        QCOMPARE(plain.size() - marked.size(), qsizetype(saved));
        const TDataPacket p = marked.finish();
        QCOMPARE(int(p.cbor.count(wire::kRepeatMark) > 0), int(saved > 0));
        const wire::DecodedPacket back = wire::decodePacket(p);
        QCOMPARE(int(back.rows.size()), int(rows.size()));
        for (qsizetype i = 0; i < rows.size(); ++i)
            for (qsizetype c = 0; c < 3; ++c)
                QCOMPARE(back.rows[size_t(i)][c], rows[i][c].metaType().id() == QMetaType::QString
                                                      ? QVariant(rows[i][c].toString()) : rows[i][c]);
    }

    // A mark with no row above, and a row that is not one of the packet's (given as it
    // is, never taken apart).
    void repeatMarksNeedARowAbove()
    {
        const std::vector<wire::PacketField> fields{{QStringLiteral("NOME"), wire::PacketType::Text, 60}};
        wire::PacketWriter w(fields);
        const char first[] = {char(0x81), wire::kRepeatMark};
        w.encodedRow(first, 2);
        QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodePacket(w.finish()));

        wire::PacketWriter odd(fields);
        odd.setRepeats(true);
        const char two[] = {char(0x82), 0x61, 'a', 0x61, 'a'}; // two values where the packet has one
        odd.encodedRow(two, 5);
        odd.encodedRow(two, 5);
        QCOMPARE(odd.size(), qsizetype(10));

        // A value cut short between two good rows: it goes as it is, and the row after it
        // is compared with nothing.
        wire::PacketWriter cut(fields);
        cut.setRepeats(true);
        const char good[] = {char(0x81), 0x63, 'a', 'b', 'c'};
        const char shortValue[] = {char(0x81), 0x65, 'a', 'b', 'c'}; // says 5 bytes, holds 3
        cut.encodedRow(good, 5);
        cut.encodedRow(shortValue, 5);
        cut.encodedRow(good, 5);
        QCOMPARE(cut.size(), qsizetype(15));
        QCOMPARE(cut.rows().sliced(5, 5), QByteArrayView(shortValue, 5));
    }

    void packetKeepsTypesAndBytes()
    {
        wire::PacketWriter w({{QStringLiteral("NOME"), wire::PacketType::Text, 60},
                              {QStringLiteral("VALOR"), wire::PacketType::Float, 0},
                              {QStringLiteral("XML"), wire::PacketType::Blob, 0}});
        w.beginRow();
        w.text(QStringLiteral("Ação Logística"));
        w.real(10.5);
        w.blob(QByteArray("<a>\0</a>", 8));
        w.beginRow();
        w.text(QString());
        w.null();
        w.blob(QByteArray());
        const TDataPacket p = w.finish();
        const wire::DecodedPacket d = wire::decodePacket(p);
        QCOMPARE(int(d.fields.size()), 3);
        QCOMPARE(d.fields[1].type, wire::PacketType::Float);
        QCOMPARE(int(d.rows.size()), 2);
        QCOMPARE(d.rows[0][0].toString(), QStringLiteral("Ação Logística"));
        QCOMPARE(d.rows[0][2].toByteArray(), QByteArray("<a>\0</a>", 8));
        QCOMPARE(d.rows[1][1].metaType().id(), int(QMetaType::Nullptr));

        // A packet travels inside a message untouched.
        const wire::Request back = wire::decodeRequest(
            wire::encodeRequest({QStringLiteral("s"), QStringLiteral("m"), {QVariant::fromValue(p), 1.0}}));
        QCOMPARE(back.args[0].value<TDataPacket>().cbor, p.cbor);
        QCOMPARE(back.args[1].toDouble(), 1.0);

        // The table's length is in the packet's head: a cut or padded packet is refused.
        QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodePacket(TDataPacket{p.cbor.left(p.cbor.size() - 1)}));
        QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodePacket(TDataPacket{p.cbor + '\0'}));
    }

    void checkDigits_data()
    {
        QTest::addColumn<QString>("number");
        QTest::addColumn<bool>("valid");
        QTest::newRow("cnpj ok") << QStringLiteral("11222333000181") << true;
        QTest::newRow("cnpj wrong digit") << QStringLiteral("11222333000182") << false;
        QTest::newRow("cnpj repeated") << QStringLiteral("11111111111111") << false;
        QTest::newRow("cpf ok") << QStringLiteral("52998224725") << true;
        QTest::newRow("cpf wrong digit") << QStringLiteral("52998224726") << false;
        QTest::newRow("cpf letters") << QStringLiteral("5299822472a") << false;
    }
    void checkDigits()
    {
        QFETCH(QString, number);
        QFETCH(bool, valid);
        const bool ok = number.size() == 14 ? fiscal::validCnpj(number) : fiscal::validCpf(number);
        QCOMPARE(ok, valid);
    }

    void accessKeyDigit()
    {
        // weights 2..9 from the right; a remainder below 2 gives 0
        const QString first43 = QStringLiteral("3526121122233300018157001000001001100000001");
        const int d = fiscal::accessKeyDigit(first43);
        int sum = 0, w = 2;
        for (int i = 42; i >= 0; --i) {
            sum += (first43[i].unicode() - '0') * w;
            w = w == 9 ? 2 : w + 1;
        }
        QCOMPARE(d, sum % 11 < 2 ? 0 : 11 - sum % 11);
        QVERIFY(fiscal::validAccessKey(first43 + QChar('0' + d)));
        QVERIFY(!fiscal::validAccessKey(first43 + QChar('0' + (d + 1) % 10)));
        QVERIFY(!fiscal::validAccessKey(first43));
    }
};

QTEST_GUILESS_MAIN(TestWire)
#include "tst_wire.moc"
