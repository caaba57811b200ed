// The reference server: its four methods on a temporary store, the synchronization
// loop against the simulated authority, and the connection over loopback.
#include "Calls.h"
#include "authority/EventMessages.h"
#include "authority/OfficialSchemas.h"
#include "Exceptions.h"
#include "Fiscal.h"
#include "RemoteModule.h"
#include "RowFeed.h"
#include "NetConnection.h"
#include "DfeServer.h"
#include "authority/simulated/SimulatedAuthority.h"
#include "TestSupport.h"
#include "authority/Xml.h"
#include "authority/DistMessages.h"
#include "store/RegistrationLock.h"

#include <QScopeGuard>
#include <QTest>
#include <QXmlStreamWriter>
#include <thread>

namespace {
const QString kReg = QStringLiteral("11222333000181");
const QDateTime kNow(QDate(2026, 12, 8), QTime(12, 0), Qt::UTC);

// Counts the distribution answers of the authority it wraps.
class Counting : public AuthoritySource {
public:
    explicit Counting(AuthoritySource &a) : inner(a) {}
    QByteArray distDFeInt(const QByteArray &r) override
    {
        const QByteArray ans = inner.distDFeInt(r);
        pages << ans.count("<docZip");
        cStats << xmlutil::leaves(ans).value(QStringLiteral("retDistDFeInt/cStat"));
        return ans;
    }
    QByteArray eventoCTe(const QByteArray &r) override
    {
        ++events;
        return inner.eventoCTe(r);
    }
    AuthoritySource &inner;
    QList<int> pages;
    QStringList cStats;
    int events = 0;
};

// Answers the distribution requests with `pages`, one per request (the last one again
// when they run out), and every event with `event`.
class Scripted : public AuthoritySource {
public:
    QList<QByteArray> pages;
    QByteArray event;
    QList<QByteArray> requests;
    QList<QByteArray> sentEvents;
    int events = 0;
    QByteArray distDFeInt(const QByteArray &r) override
    {
        requests << r;
        return pages.value(std::min(requests.size(), pages.size()) - 1);
    }
    QByteArray eventoCTe(const QByteArray &r) override
    {
        ++events;
        sentEvents << r;
        return event;
    }
};

QByteArray distAnswer(const QString &cStat, const QString &ult, const QString &max, const QList<QStringList> &docs)
{
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.writeStartElement(QStringLiteral("retDistDFeInt"));
    w.writeTextElement(QStringLiteral("cStat"), cStat);
    w.writeTextElement(QStringLiteral("xMotivo"), cStat == QLatin1String("656") ? QStringLiteral("Rejeição: Consumo Indevido") : QStringLiteral("ok"));
    w.writeTextElement(QStringLiteral("ultNSU"), ult);
    w.writeTextElement(QStringLiteral("maxNSU"), max);
    w.writeStartElement(QStringLiteral("loteDistDFeInt"));
    for (const QStringList &d : docs) {
        w.writeStartElement(QStringLiteral("docZip"));
        w.writeAttribute(QStringLiteral("NSU"), d[0]);
        w.writeAttribute(QStringLiteral("schema"), d[1]);
        w.writeCharacters(d[2]);
        w.writeEndElement();
    }
    w.writeEndElement();
    w.writeEndElement();
    return xml;
}

qint64 scalar(Store &s, const char *sql)
{
    try {
        Statement st(s, sql);
        return st.step() ? st.integer(0) : -1;
    } catch (const std::exception &e) {
        QTest::qFail(e.what(), __FILE__, __LINE__);
        return -1;
    }
}

// The NSUs of the rows `where` selects, in order.
QList<int> nsus(Store &s, const QString &where)
{
    QList<int> out;
    try {
        Statement st(s, ("SELECT CAST(nrnsu AS INTEGER) FROM cte WHERE " + where + " ORDER BY nrnsu").toUtf8().constData());
        while (st.step())
            out << int(st.integer(0));
    } catch (const std::exception &e) {
        QTest::qFail(e.what(), __FILE__, __LINE__);
    }
    return out;
}

QByteArray acceptedEvent()
{
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.writeStartElement(QStringLiteral("retEventoCTe"));
    w.writeStartElement(QStringLiteral("infEvento"));
    w.writeTextElement(QStringLiteral("cStat"), QStringLiteral("135"));
    w.writeTextElement(QStringLiteral("xMotivo"), QStringLiteral("Evento registrado e vinculado a CT-e"));
    w.writeTextElement(QStringLiteral("nProt"), QStringLiteral("135260000000001"));
    w.writeTextElement(QStringLiteral("dhRegEvento"), QStringLiteral("2026-12-08T09:00:00-03:00"));
    w.writeEndElement();
    w.writeEndElement();
    return xml;
}

// Accepts every event, slowly, counting them from any thread.
class SlowEvents : public AuthoritySource {
public:
    QByteArray distDFeInt(const QByteArray &) override { return {}; }
    QByteArray eventoCTe(const QByteArray &) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ++events;
        return acceptedEvent();
    }
    std::atomic<int> events{0};
};

QString nsu(int n) { return QStringLiteral("%1").arg(n, 15, 10, QLatin1Char('0')); }

// One page of documents after the cursor.
struct Page {
    QList<int> docs;
    int ult = 0;
};

QVariantList getArgs(const QString &reg, const QString &status, QDate from = {}, QDate to = {})
{
    return {from.isValid() ? QVariant(from) : QVariant::fromValue(nullptr), to.isValid() ? QVariant(to) : QVariant::fromValue(nullptr),
            reg, status, QVariant::fromValue(nullptr), QVariant::fromValue(nullptr)};
}

QVariantList syncArgs(const QString &reg)
{
    return {QStringLiteral("01"), QStringLiteral("T"), reg, QStringLiteral("MANUAL"), QString(), QString()};
}
} // namespace
Q_DECLARE_METATYPE(QList<Page>)

class TestServer : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QDateTime now = kNow;
    std::unique_ptr<SimulatedAuthority> sim;
    std::unique_ptr<Store> store;
    QString storePath;

    RemoteModule module(AuthoritySource &a) { return RemoteModule(*store, a, QStringLiteral("35"), [this] { return now; }); }

    // The simulated history's n-th CT-e under NSU n, as a docZip carries it.
    QList<QStringList> cteDocs(const QList<int> &nsus)
    {
        std::vector<SimulatedAuthority::Item> ctes;
        for (const auto &it : sim->history(kReg))
            if (it.kind == SimulatedAuthority::Item::Cte)
                ctes.push_back(it);
        QList<QStringList> out;
        for (int n : nsus)
            out << QStringList{nsu(n), QStringLiteral("procCTe_v4.00.xsd"),
                               QString::fromLatin1(xmlutil::gzip(sim->procCTe(ctes.at(size_t(n - 1)))).toBase64())};
        return out;
    }
    QByteArray page(const Page &p, int max)
    {
        return distAnswer(QStringLiteral("138"), nsu(p.ult), nsu(max), cteDocs(p.docs));
    }

private Q_SLOTS:
    void init()
    {
        static int n = 0;
        now = kNow;
        storePath = dir.filePath(QStringLiteral("s%1.sqlite").arg(++n));
        store = std::make_unique<Store>(storePath);
        sim = std::make_unique<SimulatedAuthority>([this] { return now; });
    }

    void storeIsVersionedAndInWal()
    {
        QCOMPARE(store->schemaVersion(), Store::kSchemaVersion);
        {
            Statement st(*store, "PRAGMA journal_mode");
            QVERIFY(st.step());
            QCOMPARE(st.text(0), QStringLiteral("wal"));
        } // a statement left open would keep the update below uncommitted
        Statement(*store, "UPDATE meta SET value = '99' WHERE key = 'schema_version'").run();
        QVERIFY_THROWS_EXCEPTION(StoreError, Store s(storePath));
    }

    void synchronizationLoop()
    {
        Counting counting(*sim);
        RemoteModule m = module(counting);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QVERIFY(counting.pages.size() > 2);
        for (int p : counting.pages)
            QVERIFY(p <= 50);
        for (const QString &c : counting.cStats)
            QCOMPARE(c, QStringLiteral("138"));
        const qint64 ult = QString::fromLatin1(QByteArray::number(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"))).toLongLong();
        // Every NSU up to the cursor is stored exactly once: a CT-e, an event, or "999".
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM cte") + scalar(*store, "SELECT COUNT(*) FROM evento WHERE nrnsu IS NOT NULL"), ult);
        QVERIFY(scalar(*store, "SELECT COUNT(*) FROM cte WHERE cdstatus = '999'") > 0);
        QVERIFY(scalar(*store, "SELECT COUNT(*) FROM cte WHERE cdstatus = '101'") > 0);
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM (SELECT nrnsu FROM cte GROUP BY nrnsu HAVING COUNT(*) > 1)"), 0);

        // Again with nothing new: one answer, 137, nothing added.
        const qint64 rows = scalar(*store, "SELECT COUNT(*) FROM cte");
        counting.pages.clear();
        counting.cStats.clear();
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(counting.cStats, QStringList{QStringLiteral("137")});
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM cte"), rows);

        // Time passes: the authority has new documents.
        now = now.addDays(3);
        run(m, "SincronizarCTe", syncArgs(kReg));
        QVERIFY(scalar(*store, "SELECT COUNT(*) FROM cte") > rows);
    }

    void errorAnswerKeepsTheCursor()
    {
        RemoteModule good = module(*sim);
        QCOMPARE(run(good, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        const qint64 before = scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu");
        Scripted bad;
        bad.pages = {distAnswer(QStringLiteral("656"), QStringLiteral("000000000000000"), QStringLiteral("000000000000000"), {})};
        RemoteModule m = module(bad);
        const QVariantList r = run(m, "SincronizarCTe", syncArgs(kReg));
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QCOMPARE(r.value(1).toString(), QStringLiteral("656 - Rejeição: Consumo Indevido. Nova consulta à SEFAZ permitida a partir de 08/12/2026 10:00."));
        QCOMPARE(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"), before);
    }

    void errorAnswersNeverMoveTheCursor_data()
    {
        QTest::addColumn<QString>("cStat");
        QTest::addColumn<QString>("ult");
        QTest::addColumn<bool>("withDocs");
        // Each answer names an ultNSU beyond the stored cursor (3); some carry documents.
        QTest::newRow("656 beyond the cursor") << "656" << nsu(20) << false;
        QTest::newRow("656 beyond the cursor, with documents") << "656" << nsu(20) << true;
        QTest::newRow("589 NSU above the largest") << "589" << nsu(20) << true;
        QTest::newRow("593 other CNPJ base") << "593" << nsu(9) << false;
        QTest::newRow("215 schema failure") << "215" << nsu(5) << true;
        QTest::newRow("138 with ultNSU not a number") << "138" << QStringLiteral("00000000000002X") << true;
        QTest::newRow("138 with ultNSU of 14 digits") << "138" << QStringLiteral("00000000000020") << true;
    }
    void errorAnswersNeverMoveTheCursor()
    {
        QFETCH(QString, cStat);
        QFETCH(QString, ult);
        QFETCH(bool, withDocs);
        Scripted first;
        first.pages = {page({{1, 2, 3}, 3}, 3)};
        RemoteModule m1 = module(first);
        QCOMPARE(run(m1, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(nsus(*store, "1=1"), (QList<int>{1, 2, 3}));

        Scripted bad;
        bad.pages = {distAnswer(cStat, ult, ult, withDocs ? cteDocs({4, 5}) : QList<QStringList>{})};
        RemoteModule m2 = module(bad);
        const QVariantList r = run(m2, "SincronizarCTe", syncArgs(kReg));
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QVERIFY2(r.value(1).toString().contains(cStat == QLatin1String("138") ? ult : cStat), qPrintable(r.value(1).toString()));
        QCOMPARE(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"), 3);
        QCOMPARE(scalar(*store, "SELECT CAST(maxnsu AS INTEGER) FROM cursor_nsu"), 3);
        QCOMPARE(nsus(*store, "1=1"), (QList<int>{1, 2, 3}));
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM doc_bruto"), 0);
    }

    // A page the authority sent whole except for one part (cStat 138, NSU 4 and 5 after
    // the cursor 3), edited into an answer that cannot be trusted.
    void incompleteAnswersNeverMoveTheCursor_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("message");
        const QString incomplete = QStringLiteral("Falha na consulta à SEFAZ: resposta da SEFAZ incompleta: ");
        const QString invalid = QStringLiteral("Falha na consulta à SEFAZ: resposta da SEFAZ inválida: ");
        QTest::newRow("no cStat") << QByteArray("<cStat>138</cStat>") << QByteArray() << incomplete + "sem cStat";
        QTest::newRow("empty cStat") << QByteArray("<cStat>138</cStat>") << QByteArray("<cStat> </cStat>") << incomplete + "sem cStat";
        QTest::newRow("no ultNSU") << QByteArray("<ultNSU>000000000000005</ultNSU>") << QByteArray() << incomplete + "sem ultNSU";
        QTest::newRow("no maxNSU") << QByteArray("<maxNSU>000000000000005</maxNSU>") << QByteArray() << incomplete + "sem maxNSU";
        QTest::newRow("maxNSU not a number") << QByteArray("<maxNSU>000000000000005</maxNSU>")
                                             << QByteArray("<maxNSU>00000000000000X</maxNSU>")
                                             << QStringLiteral("A SEFAZ respondeu com um maxNSU inválido (00000000000000X).");
        QTest::newRow("137 with an empty maxNSU") << QByteArray("<cStat>138</cStat><xMotivo>ok</xMotivo><ultNSU>000000000000005</ultNSU><maxNSU>000000000000005</maxNSU>")
                                                  << QByteArray("<cStat>137</cStat><xMotivo>ok</xMotivo><ultNSU>000000000000003</ultNSU><maxNSU></maxNSU>")
                                                  << QStringLiteral("A SEFAZ respondeu com um maxNSU inválido ().");
        QTest::newRow("docZip without NSU") << QByteArray(" NSU=\"000000000000005\"") << QByteArray()
                                            << incomplete + "docZip sem NSU de 15 dígitos (\"\")";
        QTest::newRow("docZip with an NSU of 14 digits") << QByteArray(" NSU=\"000000000000005\"") << QByteArray(" NSU=\"00000000000005\"")
                                                         << incomplete + "docZip sem NSU de 15 dígitos (\"00000000000005\")";
        QTest::newRow("docZip without schema") << QByteArray("NSU=\"000000000000004\" schema=\"procCTe_v4.00.xsd\"")
                                               << QByteArray("NSU=\"000000000000004\"")
                                               << incomplete + "docZip do NSU 000000000000004 sem schema";
        QTest::newRow("truncated after the documents") << QByteArray("</loteDistDFeInt></retDistDFeInt>") << QByteArray() << invalid;
        QTest::newRow("truncated inside a docZip") << QByteArray("</docZip><docZip") << QByteArray() << invalid;
        QTest::newRow("tags that do not match") << QByteArray("</ultNSU>") << QByteArray("</maxNSU>") << invalid;
    }
    void incompleteAnswersNeverMoveTheCursor()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, message);
        Scripted first;
        first.pages = {page({{1, 2, 3}, 3}, 3)};
        RemoteModule m1 = module(first);
        QCOMPARE(run(m1, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));

        QByteArray answer = page({{4, 5}, 5}, 5);
        const qsizetype at = answer.indexOf(from);
        QVERIFY2(at >= 0, answer.constData());
        // A truncated answer ends where the edit begins.
        answer = to.isEmpty() && message.endsWith(QStringLiteral("inválida: ")) ? answer.left(at) : answer.replace(at, from.size(), to);
        Scripted bad;
        bad.pages = {answer};
        RemoteModule m2 = module(bad);
        const QVariantList r = run(m2, "SincronizarCTe", syncArgs(kReg));
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QVERIFY2(r.value(1).toString().startsWith(message), qPrintable(r.value(1).toString()));
        QCOMPARE(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"), 3);
        QCOMPARE(scalar(*store, "SELECT CAST(maxnsu AS INTEGER) FROM cursor_nsu"), 3);
        QCOMPARE(nsus(*store, "1=1"), (QList<int>{1, 2, 3}));
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM doc_bruto"), 0);
    }

    void pageAndCursorAreStoredTogether_data()
    {
        QTest::addColumn<QString>("trigger"); // fails the second page's transaction part way
        // Page 1 holds NSU 1 to 3, page 2 NSU 4 to 7 with 6 skipped by the authority.
        QTest::newRow("first document of the page")
            << "BEFORE INSERT ON cte WHEN NEW.nrnsu = '000000000000004'";
        QTest::newRow("last document of the page")
            << "BEFORE INSERT ON cte WHEN NEW.nrnsu = '000000000000007'";
        QTest::newRow("the skipped NSU's row") << "BEFORE INSERT ON cte WHEN NEW.nrnsu = '000000000000006'";
        QTest::newRow("the cursor") << "BEFORE UPDATE ON cursor_nsu WHEN NEW.ultnsu = '000000000000007'";
    }
    void pageAndCursorAreStoredTogether()
    {
        QFETCH(QString, trigger);
        Statement(*store, ("CREATE TRIGGER falha " + trigger + " BEGIN SELECT RAISE(ABORT, 'disco cheio'); END").toUtf8().constData()).run();
        Scripted a;
        a.pages = {page({{1, 2, 3}, 3}, 7), page({{4, 5, 7}, 7}, 7)};
        RemoteModule m = module(a);
        const QVariantList r = run(m, "SincronizarCTe", syncArgs(kReg));
        QVERIFY2(r.value(0).toString() != QLatin1String("S"), qPrintable(r.value(1).toString()));
        QVERIFY2(r.value(1).toString().contains(QStringLiteral("disco cheio")), qPrintable(r.value(1).toString()));
        QCOMPARE(a.requests.size(), 2);
        // Page 1 stays whole, nothing of page 2 remains.
        QCOMPARE(nsus(*store, "1=1"), (QList<int>{1, 2, 3}));
        QCOMPARE(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"), 3);

        // Once the store works again the next run takes page 2 from the cursor.
        Statement(*store, "DROP TRIGGER falha").run();
        Scripted again;
        again.pages = {page({{4, 5, 7}, 7}, 7)};
        RemoteModule m2 = module(again);
        QCOMPARE(run(m2, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QVERIFY(again.requests.value(0).contains("<ultNSU>000000000000003</ultNSU>"));
        QCOMPARE(nsus(*store, "cdstatus = '100'"), (QList<int>{1, 2, 3, 4, 5, 7}));
        QCOMPARE(nsus(*store, "cdstatus = '999'"), (QList<int>{6}));
        QCOMPARE(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"), 7);
    }

    void skippedNsusBecomeRowsWithoutDocument_data()
    {
        QTest::addColumn<QList<Page>>("pages");
        QTest::addColumn<QList<int>>("missing");
        QTest::newRow("at the end of the page") << QList<Page>{{{1, 2, 3}, 5}} << QList<int>{4, 5};
        QTest::newRow("at the start") << QList<Page>{{{3, 4, 5}, 5}} << QList<int>{1, 2};
        QTest::newRow("in the middle") << QList<Page>{{{1, 5}, 5}} << QList<int>{2, 3, 4};
        QTest::newRow("a page of nothing") << QList<Page>{{{}, 3}} << QList<int>{1, 2, 3};
        QTest::newRow("the end of each of two pages") << QList<Page>{{{1, 2}, 3}, {{4, 5}, 6}} << QList<int>{3, 6};
        QTest::newRow("one NSU, skipped") << QList<Page>{{{}, 1}} << QList<int>{1};
    }
    void skippedNsusBecomeRowsWithoutDocument()
    {
        QFETCH(QList<Page>, pages);
        QFETCH(QList<int>, missing);
        const int last = pages.last().ult;
        Scripted a;
        QList<int> docs;
        for (const Page &p : pages) {
            a.pages << page(p, last);
            docs << p.docs;
        }
        RemoteModule m = module(a);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(a.requests.size(), pages.size());
        QCOMPARE(nsus(*store, "cdstatus = '999'"), missing);
        QCOMPARE(nsus(*store, "cdstatus = '100'"), docs);
        QCOMPARE(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"), last);
        // The list shows them as rows without a document.
        const wire::DecodedPacket p = packetOf(run(m, "GetSincronizacaoCTe", getArgs(kReg, QStringLiteral("_999_"))));
        QCOMPARE(int(p.rows.size()), int(missing.size()));
        for (const QVariantList &row : p.rows) {
            QCOMPARE(row[21].toString(), QStringLiteral("999"));
            QCOMPARE(row[4].toString(), QString());
            QCOMPARE(row[18].toString(), QString());
        }
    }

    void rowsWithoutDocumentPassAnyIssueDateRange_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<bool>("gaps");
        QTest::addColumn<bool>("ctes");
        const QDate past1(2000, 1, 1), past2(2000, 12, 31), future(2100, 1, 1);
        const QString any = QStringLiteral("_999_100_000_101_");
        for (const QString &st : {QStringLiteral("T"), QString(), QStringLiteral("_999_"), any}) {
            const bool withCtes = st != QLatin1String("_999_");
            const QByteArray tag = st.isEmpty() ? QByteArray("empty list") : st.toLatin1();
            QTest::addRow("%s, no range", tag.constData()) << st << QDate() << QDate() << true << withCtes;
            QTest::addRow("%s, a past year", tag.constData()) << st << past1 << past2 << true << false;
            QTest::addRow("%s, from a future day", tag.constData()) << st << future << QDate() << true << false;
            QTest::addRow("%s, up to a past day", tag.constData()) << st << QDate() << past2 << true << false;
            QTest::addRow("%s, a wide range", tag.constData()) << st << past1 << future << true << withCtes;
        }
        QTest::newRow("_100_, no range: no gaps") << "_100_" << QDate() << QDate() << false << true;
        QTest::newRow("_100_, a past year: nothing") << "_100_" << past1 << past2 << false << false;
    }
    void rowsWithoutDocumentPassAnyIssueDateRange()
    {
        QFETCH(QString, status);
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(bool, gaps);
        QFETCH(bool, ctes);
        Scripted a;
        a.pages = {page({{2, 4}, 5}, 5)};
        RemoteModule m = module(a);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        const QVariantList r = run(m, "GetSincronizacaoCTe", getArgs(kReg, status, from, to));
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        QList<int> shown;
        for (const QVariantList &row : packetOf(r).rows)
            shown << row[2].toString().toInt();
        QList<int> expected;
        for (int n = 1; n <= 5; ++n)
            if ((n % 2 == 1) ? gaps : ctes)
                expected << n;
        QCOMPARE(shown, expected);
    }

    void emptyStatusListIsAll()
    {
        RemoteModule m = module(*sim);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        const wire::DecodedPacket all = packetOf(run(m, "GetSincronizacaoCTe", getArgs(kReg, QStringLiteral("T"))));
        const wire::DecodedPacket empty = packetOf(run(m, "GetSincronizacaoCTe", getArgs(kReg, QString())));
        QSet<QString> statuses;
        for (const QVariantList &row : all.rows)
            statuses << row[21].toString();
        QCOMPARE(statuses, (QSet<QString>{"100", "101", "999"}));
        QCOMPARE(qint64(all.rows.size()), scalar(*store, "SELECT COUNT(*) FROM cte"));
        QCOMPARE(empty.rows, all.rows);
    }

    void disagreementRefusalsNeverReachTheAuthority_data()
    {
        QTest::addColumn<int>("row");      // the CT-e: its NSU, 0 for none
        QTest::addColumn<QString>("setup"); // SQL run before the call
        QTest::addColumn<QString>("keyChange"); // "digit": the check digit is changed
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("authorityCalls");
        const QString reason = QStringLiteral("Serviço não contratado pela empresa");
        QTest::newRow("accepted: the one call") << 1 << QString() << QString() << reason << 1;
        QTest::newRow("cancelled") << 1 << "UPDATE cte SET cdstatus = '101' WHERE nrnsu = '000000000000001'" << QString() << reason << 0;
        QTest::newRow("already registered") << 1 << "UPDATE cte SET cdstatus = '000' WHERE nrnsu = '000000000000001'" << QString() << reason << 0;
        QTest::newRow("another registration's CT-e")
            << 1 << "UPDATE cte SET nrinsjurpesq = '04567890000179' WHERE nrnsu = '000000000000001'" << QString() << reason << 0;
        QTest::newRow("a key not in the store") << 0 << QString() << QString() << reason << 0;
        QTest::newRow("check digit off") << 1 << QString() << "digit" << reason << 0;
        QTest::newRow("reason of 14") << 1 << QString() << QString() << QStringLiteral("  Serviço não co  ") << 0;
        QTest::newRow("reason of 256") << 1 << QString() << QString() << QString(256, QLatin1Char('a')) << 0;
        QTest::newRow("reason with a NUL") << 1 << QString() << QString() << reason + QChar(0) + reason << 0;
        QTest::newRow("reason with a euro sign") << 1 << QString() << QString() << reason + QStringLiteral(" de 10 €") << 0;
        QTest::newRow("reason with an emoji") << 1 << QString() << QString() << reason + QString::fromUcs4(U" \U0001F69A") << 0;
    }
    void disagreementRefusalsNeverReachTheAuthority()
    {
        QFETCH(int, row);
        QFETCH(QString, setup);
        QFETCH(QString, keyChange);
        QFETCH(QString, reason);
        QFETCH(int, authorityCalls);
        Scripted a;
        a.pages = {page({{1, 2}, 2}, 2)};
        a.event = acceptedEvent();
        RemoteModule m = module(a);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QString key;
        {
            Statement st(*store, "SELECT nracessocte FROM cte WHERE nrnsu = ?");
            st.bind(1, nsu(row == 0 ? 2 : row));
            QVERIFY(st.step());
            key = st.text(0);
        }
        if (row == 0)
            Statement(*store, "DELETE FROM cte WHERE nrnsu = '000000000000002'").run();
        if (!setup.isEmpty())
            Statement(*store, setup.toUtf8().constData()).run();
        if (keyChange == QLatin1String("digit"))
            key = key.left(43) + QChar('0' + (key.right(1).toInt() + 1) % 10);
        const qint64 events = scalar(*store, "SELECT COUNT(*) FROM evento");
        const QVariantList r = run(m, "RecusaCTe", {key, reason, QStringLiteral("01"), kReg, QStringLiteral("T")});
        QCOMPARE(a.events, authorityCalls);
        QCOMPARE(r.value(0).toString(), authorityCalls ? QStringLiteral("S") : QStringLiteral("N"));
        QVERIFY(!r.value(1).toString().isEmpty());
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM evento"), events + authorityCalls);
    }

    // What a word processor pastes goes in its plain form; what the authority refuses is named.
    void reasonFoldedOrRefused_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sent");    // xObs; empty when refused
        QTest::addColumn<QString>("message"); // the refusal
        QTest::newRow("quotes, dashes, ellipsis, no-break space")
            << QStringLiteral("\u00a0\u201cCarga\u201d n\u00e3o \u2018entregue\u2019 \u2013 avaria \u2014 fim\u2026\u00a0")
            << QStringLiteral("\"Carga\" não 'entregue' - avaria - fim...") << QString();
        QTest::newRow("accents and Latin-1 signs kept") << QStringLiteral("Coleta nº 12 às 10h, ½ carga ÷ 2")
                                                        << QStringLiteral("Coleta nº 12 às 10h, ½ carga ÷ 2") << QString();
        QTest::newRow("line break and tab become blanks") << QStringLiteral("Serviço não\r\ncontratado\tpela empresa")
                                                          << QStringLiteral("Serviço não contratado pela empresa") << QString();
        QTest::newRow("euro sign") << QStringLiteral("Cobrança indevida de 10 € no frete") << QString()
                                   << QStringLiteral("O motivo contém um caractere que a SEFAZ não aceita: \"€\" (U+20AC).");
        QTest::newRow("emoji") << QStringLiteral("Cobrança indevida no frete ") + QString::fromUcs4(U"\U0001F69A") << QString()
                               << QStringLiteral("O motivo contém um caractere que a SEFAZ não aceita: \"%1\" (U+1F69A).")
                                      .arg(QString::fromUcs4(U"\U0001F69A"));
        QTest::newRow("control character") << QStringLiteral("Cobrança indevida\x07 no frete") << QString()
                                            << QStringLiteral("O motivo contém um caractere que a SEFAZ não aceita: U+0007.");
    }
    void reasonFoldedOrRefused()
    {
        QFETCH(QString, typed);
        QFETCH(QString, sent);
        QFETCH(QString, message);
        Scripted a;
        a.pages = {page({{1}, 1}, 1)};
        a.event = acceptedEvent();
        RemoteModule m = module(a);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        Statement st(*store, "SELECT nracessocte FROM cte WHERE nrnsu = '000000000000001'");
        QVERIFY(st.step());
        const QVariantList r = run(m, "RecusaCTe", {st.text(0), typed, QStringLiteral("01"), kReg, QStringLiteral("T")});
        if (sent.isEmpty()) {
            QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
            QCOMPARE(r.value(1).toString(), message);
            QCOMPARE(a.events, 0);
            return;
        }
        QVERIFY2(r.value(0).toString() == QLatin1String("S"), qPrintable(r.value(1).toString()));
        QCOMPARE(a.sentEvents.size(), 1);
        QCOMPARE(evento::read(a.sentEvents[0]).xObs, sent);
    }

    // Every kind the distribution delivers is listed with the fields it carries, and what
    // real files carry around a document does not keep it off the list.
    void everyKindIsListed_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("kind"); // how the status text names it; empty for a CT-e
        using I = SimulatedAuthority::Item;
        QTest::newRow("CT-e") << int(I::Normal) << "" << "";
        QTest::newRow("CT-e OS") << int(I::Os) << "" << "CT-e OS";
        QTest::newRow("GTV-e") << int(I::Gtv) << "" << "GTV-e";
        QTest::newRow("CT-e Simplificado") << int(I::Simplified) << "" << "CT-e Simplificado";
        QTest::newRow("CT-e 3.00") << int(I::Normal) << "3.00" << "";
        QTest::newRow("CT-e OS 3.00") << int(I::Os) << "3.00" << "CT-e OS";
        QTest::newRow("byte-order mark") << int(I::Normal) << "bom" << "";
        QTest::newRow("element after the protocol") << int(I::Normal) << "after protocol" << "";
    }
    void everyKindIsListed()
    {
        QFETCH(int, model);
        QFETCH(QString, change);
        QFETCH(QString, kind);
        SimulatedAuthority::Item it;
        for (const auto &i : sim->history(kReg))
            if (i.kind == SimulatedAuthority::Item::Cte && int(i.model) == model && SimulatedAuthority::taker(i).doc == kReg)
                it = i;
        QVERIFY(!it.key.isEmpty());
        QByteArray xml = sim->procCTe(it);
        if (change == QLatin1String("3.00")) xml.replace("versao=\"4.00\"", "versao=\"3.00\"");
        else if (change == QLatin1String("bom")) xml.prepend("\xEF\xBB\xBF");
        else if (change == QLatin1String("after protocol"))
            xml.insert(xml.lastIndexOf("</"), "<procCancCTe versao=\"3.00\"><cancCTe/></procCancCTe>");
        Scripted a;
        a.pages = {distAnswer(QStringLiteral("138"), nsu(1), nsu(1),
                              {{nsu(1), SimulatedAuthority::procSchema(it), QString::fromLatin1(xmlutil::gzip(xml).toBase64())}})};
        RemoteModule m = module(a);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM doc_bruto"), 0);
        Statement st(*store, "SELECT nracessocte, nrinsjuremit, nmrazsocemit, nrinsjurreme, nrinsjurdest, idtomador,"
                             " nrinsjurtoma, nmrazsoctoma, vrtotalprest, vrreceber, cdstatus, dsstatus, x.xml"
                             " FROM cte JOIN cte_xml x USING (nrinsjurpesq, nrnsu)");
        QVERIFY(st.step());
        const SimulatedAuthority::Party &taker = SimulatedAuthority::taker(it);
        QCOMPARE(st.text(0), it.key);
        QCOMPARE(st.text(1), it.issuer.doc);
        QCOMPARE(st.text(2), it.issuer.name.left(60));
        // A CT-e OS names only its taker; a CT-e Simplificado its taker and the items' cities.
        const bool parties = model == SimulatedAuthority::Item::Normal || model == SimulatedAuthority::Item::Gtv;
        QCOMPARE(st.text(3), parties ? it.rem.doc : QString());
        QCOMPARE(st.text(4), parties ? it.dest.doc : QString());
        QCOMPARE(st.text(5), QString::number(it.toma));
        QCOMPARE(st.text(6), taker.doc);
        QCOMPARE(st.text(7), taker.name.left(60));
        QCOMPARE(st.real(8), model == SimulatedAuthority::Item::Gtv ? 0.0 : it.vTPrest);
        QCOMPARE(st.text(10), QStringLiteral("100"));
        QCOMPARE(st.text(11), kind.isEmpty() ? QStringLiteral("Autorizado o uso do CT-e") : kind + QStringLiteral(" - Autorizado o uso do CT-e"));
        QCOMPARE(st.blob(12), xml); // kept byte for byte
    }

    // The status a CT-e shows follows every event the distribution delivered for it,
    // whoever registered it and in whatever order it came.
    void statusFollowsEveryEvent_data()
    {
        QTest::addColumn<QStringList>("docs"); // in NSU order
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("nextSequence"); // of the company's own 610110; 0: none sent
        QTest::newRow("authorised") << QStringList{"cte"} << "100" << 1;
        QTest::newRow("cancelled") << QStringList{"cte", "cancel"} << "101" << 0;
        QTest::newRow("cancelled, wrapper in the NF-e namespace after a BOM") << QStringList{"cte", "cancel nfe"} << "101" << 0;
        QTest::newRow("cancelled, wrapper without a namespace") << QStringList{"cte", "cancel bare"} << "101" << 0;
        QTest::newRow("disagreement from another system") << QStringList{"cte", "disagreement"} << "000" << 0;
        QTest::newRow("disagreement before its CT-e") << QStringList{"disagreement", "cte"} << "000" << 0;
        QTest::newRow("disagreement undone") << QStringList{"cte", "disagreement", "undo"} << "100" << 2;
        QTest::newRow("undone before the CT-e came") << QStringList{"disagreement", "undo", "cte"} << "100" << 2;
    }
    void statusFollowsEveryEvent()
    {
        QFETCH(QStringList, docs);
        QFETCH(QString, status);
        QFETCH(int, nextSequence);
        SimulatedAuthority::Item it;
        for (const auto &i : sim->history(kReg))
            if (i.kind == SimulatedAuthority::Item::Cte && i.model == SimulatedAuthority::Item::Normal && i.cancelProt.isEmpty() &&
                SimulatedAuthority::taker(i).doc == kReg && i.at.daysTo(now) < 40)
                it = i;
        QVERIFY(!it.key.isEmpty());
        SimulatedAuthority::Item cancel = it;
        cancel.at = it.at.addSecs(3600);
        cancel.cancelProt = QStringLiteral("135260000000777");
        const QString disagreementProt = QStringLiteral("135260000000888");
        QList<QStringList> zips;
        for (const QString &d : docs) {
            QByteArray xml;
            QString schema = QStringLiteral("procEventoCTe_v4.00.xsd");
            if (d == QLatin1String("cte")) { xml = sim->procCTe(it); schema = QStringLiteral("procCTe_v4.00.xsd"); }
            else if (d.startsWith(QLatin1String("cancel"))) xml = sim->procEventoCancel(cancel, it);
            else if (d == QLatin1String("disagreement")) xml = sim->procEventoDisagreement(it, 1, it.at.addDays(1), disagreementProt);
            else xml = sim->procEventoUndo(it, 1, it.at.addDays(2), QStringLiteral("135260000000999"), disagreementProt);
            const QByteArray wrapper = "<procEventoCTe xmlns=\"http://www.portalfiscal.inf.br/cte\"";
            if (d == QLatin1String("cancel nfe"))
                xml = "\xEF\xBB\xBF" + xml.replace(wrapper, "<procEventoCTe xmlns=\"http://www.portalfiscal.inf.br/nfe\"");
            else if (d == QLatin1String("cancel bare"))
                xml.replace(wrapper, "<procEventoCTe");
            zips << QStringList{nsu(int(zips.size()) + 1), schema, QString::fromLatin1(xmlutil::gzip(xml).toBase64())};
        }
        Scripted a;
        a.pages = {distAnswer(QStringLiteral("138"), nsu(int(docs.size())), nsu(int(docs.size())), zips)};
        a.event = acceptedEvent();
        RemoteModule m = module(a);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM doc_bruto"), 0);
        Statement st(*store, "SELECT cdstatus, dsstatus FROM cte WHERE nracessocte = ?");
        st.bind(1, it.key);
        QVERIFY(st.step());
        QCOMPARE(st.text(0), status);
        if (status == QLatin1String("100"))
            QCOMPARE(st.text(1), QStringLiteral("Autorizado o uso do CT-e"));
        const QVariantList r = run(m, "RecusaCTe", {it.key, QStringLiteral("Serviço não contratado pela empresa"),
                                                    QStringLiteral("01"), kReg, QStringLiteral("T")});
        QCOMPARE(r.value(0).toString(), nextSequence ? QStringLiteral("S") : QStringLiteral("N"));
        if (nextSequence)
            QCOMPARE(evento::read(a.sentEvents.value(0)).nSeqEvento, QString::number(nextSequence));
    }

    // A disagreement registered by mistake is undone (610111 naming its protocol); the CT-e
    // returns to the status its other events give it.
    void disagreementUndone_data()
    {
        QTest::addColumn<bool>("registered"); // the company's 610110 first
        QTest::addColumn<QString>("answer");  // of CancelaRecusaCTe
        QTest::newRow("registered, then undone") << true << "S";
        QTest::newRow("nothing to undo") << false << "Evento de Prestação de Serviço em Desacordo não registrado para esse CT-e.";
    }
    void disagreementUndone()
    {
        QFETCH(bool, registered);
        QFETCH(QString, answer);
        RemoteModule m = module(*sim);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QString key;
        for (const auto &it : sim->history(kReg))
            if (it.kind == SimulatedAuthority::Item::Cte && it.model == SimulatedAuthority::Item::Normal && it.cancelProt.isEmpty() &&
                SimulatedAuthority::taker(it).doc == kReg && it.at.daysTo(now) < 40)
                key = it.key;
        QVERIFY(!key.isEmpty());
        if (registered) {
            const QVariantList r = run(m, "RecusaCTe", {key, QStringLiteral("Serviço não contratado pela empresa"),
                                                        QStringLiteral("01"), kReg, QStringLiteral("T")});
            QVERIFY2(r.value(0).toString() == QLatin1String("S"), qPrintable(r.value(1).toString()));
        }
        const QVariantList r = run(m, "CancelaRecusaCTe", {key, QStringLiteral("01"), kReg, QStringLiteral("T")});
        Statement st(*store, "SELECT cdstatus, dsstatus FROM cte WHERE nracessocte = ?");
        st.bind(1, key);
        QVERIFY(st.step());
        QCOMPARE(st.text(0), QStringLiteral("100"));
        QCOMPARE(st.text(1), QStringLiteral("Autorizado o uso do CT-e"));
        if (answer != QLatin1String("S")) {
            QCOMPARE(r, (QVariantList{QStringLiteral("N"), answer}));
            return;
        }
        QVERIFY2(r.value(0).toString() == QLatin1String("S"), qPrintable(r.value(1).toString()));
        Statement ev(*store, "SELECT tpevento, nprot, xml FROM evento WHERE nracessocte = ? ORDER BY rowid");
        ev.bind(1, key);
        QVERIFY(ev.step());
        const QString disagreement = ev.text(1);
        QVERIFY(ev.step());
        QCOMPARE(ev.text(0), QStringLiteral("610111"));
        const QByteArray undo = ev.blob(2);
        QCOMPARE(schemas::problem(undo, QStringLiteral("procEventoCTe_v4.00.xsd")), QString());
        QCOMPARE(schemas::problem(schemas::firstChildOf(undo, QStringLiteral("detEvento")), QStringLiteral("evCancPrestDesacordo_v4.00.xsd")),
                 QString());
        const auto v = xmlutil::leaves(undo);
        QCOMPARE(v.value(QStringLiteral("procEventoCTe/eventoCTe/infEvento/detEvento/evCancPrestDesacordo/nProtEvPrestDes")), disagreement);
        QCOMPARE(v.value(QStringLiteral("procEventoCTe/retEventoCTe/infEvento/cStat")), QStringLiteral("135"));
        // Undone once: a second undo has nothing left to cancel; a new disagreement is the next of its sequence.
        QCOMPARE(run(m, "CancelaRecusaCTe", {key, QStringLiteral("01"), kReg, QStringLiteral("T")}).value(0).toString(), QStringLiteral("N"));
    }

    void corruptDocumentsAreKeptRaw()
    {
        SimulatedAuthority::Item it;
        const auto h = sim->history(kReg);
        for (const auto &i : h)
            if (i.kind == SimulatedAuthority::Item::Cte) {
                it = i;
                break;
            }
        const QString good = QString::fromLatin1(xmlutil::gzip(sim->procCTe(it)).toBase64());
        Scripted a;
        a.pages = {distAnswer(QStringLiteral("138"), QStringLiteral("000000000000004"), QStringLiteral("000000000000004"),
                              {{QStringLiteral("000000000000001"), QStringLiteral("procCTe_v4.00.xsd"), QStringLiteral("@@not base64@@")},
                               {QStringLiteral("000000000000002"), QStringLiteral("procCTe_v4.00.xsd"), QString::fromLatin1(QByteArray("not gzip").toBase64())},
                               {QStringLiteral("000000000000003"), QStringLiteral("resNFe_v1.01.xsd"), good},
                               {QStringLiteral("000000000000004"), QStringLiteral("procCTe_v4.00.xsd"), good}})};
        RemoteModule m = module(a);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM doc_bruto"), 3);
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM cte WHERE cdstatus = '100'"), 1);
        QCOMPARE(scalar(*store, "SELECT CAST(ultnsu AS INTEGER) FROM cursor_nsu"), 4);
    }

    void listFilters_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("where");
        QTest::newRow("all") << "T" << "1=1";
        QTest::newRow("authorised") << "_100_" << "cdstatus = '100'";
        QTest::newRow("cancelled and missing") << "_999_101_" << "cdstatus IN ('999','101')";
        QTest::newRow("disagreement only") << "_000_" << "cdstatus = '000'";
    }
    void listFilters()
    {
        QFETCH(QString, status);
        QFETCH(QString, where);
        RemoteModule m = module(*sim);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        const QVariantList r = run(m, "GetSincronizacaoCTe", getArgs(kReg, status));
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        const wire::DecodedPacket p = packetOf(r);
        QCOMPARE(int(p.fields.size()), 24);
        QCOMPARE(p.fields[0].name, QStringLiteral("IDCHECK"));
        QCOMPARE(p.fields[19].type, wire::PacketType::Float);
        QCOMPARE(p.fields[23].name, QStringLiteral("DTSINCRONIZACAO"));
        const QByteArray sql = "SELECT COUNT(*) FROM cte WHERE " + where.toLatin1();
        QCOMPARE(qint64(p.rows.size()), scalar(*store, sql.constData()));
        for (const QVariantList &row : p.rows) {
            QCOMPARE(row[0].toString(), QStringLiteral("N"));
            QCOMPARE(row[1].toString(), kReg);
        }
    }

    void listByEmissionDate()
    {
        RemoteModule m = module(*sim);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        const wire::DecodedPacket p = packetOf(run(m, "GetSincronizacaoCTe", getArgs(kReg, QStringLiteral("_100_101_"), QDate(2026, 11, 1), QDate(2026, 11, 30))));
        QVERIFY(!p.rows.empty());
        for (const QVariantList &row : p.rows)
            QVERIFY2(row[18].toString().endsWith(QStringLiteral("/11/2026")), qPrintable(row[18].toString()));
        QCOMPARE(qint64(p.rows.size()),
                 scalar(*store, "SELECT COUNT(*) FROM cte WHERE cdstatus IN ('100','101') AND dtemissao_iso BETWEEN '2026-11-01' AND '2026-11-30'"));
    }

    void listWithoutRegistrationIsRefused()
    {
        RemoteModule m = module(*sim);
        const QVariantList r = run(m, "GetSincronizacaoCTe", getArgs(QString(), QStringLiteral("T")));
        QCOMPARE(r.value(0).toString(), QStringLiteral("N"));
        QVERIFY(!r.value(1).toString().isEmpty());
    }

    void downloadKeepsDocumentsByteForByte()
    {
        RemoteModule m = module(*sim);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        wire::DecodedPacket p = packetOf(run(m, "GetSincronizacaoCTe", getArgs(kReg, QStringLiteral("T"))));
        // Tick a CT-e and a "999" row.
        QString cteNsu, gapNsu;
        wire::PacketWriter w(p.fields);
        for (QVariantList row : p.rows) {
            if (cteNsu.isEmpty() && row[21].toString() == QLatin1String("100")) { row[0] = QStringLiteral("S"); cteNsu = row[2].toString(); }
            else if (gapNsu.isEmpty() && row[21].toString() == QLatin1String("999")) { row[0] = QStringLiteral("S"); gapNsu = row[2].toString(); }
            w.beginRow();
            for (int c = 0; c < row.size(); ++c)
                if (c == 19 || c == 20) w.real(row[c].toDouble()); else w.text(row[c].toString());
        }
        QVariantList dl{QVariant::fromValue(w.finish()), QStringLiteral("01"), QStringLiteral("T"), kReg};
        const QVariantList r = run(m, "DownloadXML", dl);
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        const wire::DecodedPacket d = packetOf(r);
        QCOMPARE(int(d.rows.size()), 2);
        Statement st(*store, "SELECT c.nracessocte, x.xml FROM cte c JOIN cte_xml x USING (nrinsjurpesq, nrnsu) WHERE c.nrnsu = ?");
        st.bind(1, cteNsu);
        QVERIFY(st.step());
        for (const QVariantList &row : d.rows) {
            if (row[0].toString() == cteNsu) {
                QCOMPARE(row[1].toString(), st.text(0) + QStringLiteral("-procCTe.xml"));
                QCOMPARE(row[2].toByteArray(), st.blob(1));
                QCOMPARE(row[3].toString(), QStringLiteral("S"));
            } else {
                QCOMPARE(row[0].toString(), gapNsu);
                QCOMPARE(row[3].toString(), QStringLiteral("N"));
                QVERIFY(!row[4].toString().isEmpty());
            }
        }
    }

    void downloadAnswersOnlyTheRegistrationsTickedRows()
    {
        Scripted a;
        a.pages = {page({{1, 2, 3}, 4}, 4)};
        RemoteModule m = module(a);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        Statement(*store, "UPDATE cte SET nrinsjurpesq = '04567890000179' WHERE nrnsu = '000000000000003'").run();
        wire::PacketWriter w({{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
                              {QStringLiteral("NRNSU"), wire::PacketType::Text, 15}});
        const QList<QPair<QString, int>> list{{"S", 1}, {"s", 2}, {"S", 3}, {"S", 4}, {"", 2}, {"N", 1}, {"S", 9}};
        for (const auto &[tick, n] : list) {
            w.beginRow();
            w.text(tick);
            w.text(nsu(n));
        }
        const QVariantList r = run(m, "DownloadXML", {QVariant::fromValue(w.finish()), QStringLiteral("01"), QStringLiteral("T"), kReg});
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        QStringList answered;
        for (const QVariantList &row : packetOf(r).rows)
            answered << QStringLiteral("%1 %2").arg(row[0].toString().toInt()).arg(row[3].toString());
        // Another registration's NSU 3, the gap 4 and the unknown 9 hold nothing for this one.
        QCOMPARE(answered, (QStringList{"1 S", "3 N", "4 N", "9 N"}));
    }

    // A list loaded for one registration and sent with another (the filter changed after
    // the load) must not answer the other registration's document under the same NSU.
    void downloadAnswersOnlyTheKeyStoredUnderTheNsu_data()
    {
        QTest::addColumn<QString>("sentKey"); // "stored": the key stored under NSU 1
        QTest::addColumn<QString>("status");
        QTest::newRow("the stored key") << "stored" << "S";
        QTest::newRow("the stored key within blanks") << " stored " << "S";
        QTest::newRow("another CT-e's key") << "35261299888777000166570010000000011000000016" << "N";
        QTest::newRow("no key") << "" << "N";
    }
    void downloadAnswersOnlyTheKeyStoredUnderTheNsu()
    {
        QFETCH(QString, sentKey);
        QFETCH(QString, status);
        Scripted a;
        a.pages = {page({{1, 2}, 2}, 2)};
        RemoteModule m = module(a);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        Statement st(*store, "SELECT nracessocte FROM cte WHERE nrnsu = ?");
        st.bind(1, nsu(1));
        QVERIFY(st.step());
        sentKey.replace(QStringLiteral("stored"), st.text(0));
        wire::PacketWriter w({{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
                              {QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                              {QStringLiteral("NRACESSOCTE"), wire::PacketType::Text, 50}});
        w.beginRow();
        w.text(QStringLiteral("S"));
        w.text(nsu(1));
        w.text(sentKey);
        const QVariantList r = run(m, "DownloadXML", {QVariant::fromValue(w.finish()), QStringLiteral("01"), QStringLiteral("T"), kReg});
        QCOMPARE(r.value(0).toString(), QStringLiteral("S"));
        const wire::DecodedPacket d = packetOf(r);
        QCOMPARE(int(d.rows.size()), 1);
        QCOMPARE(d.rows[0][3].toString(), status);
        QCOMPARE(d.rows[0][2].toByteArray().isEmpty(), status == QLatin1String("N"));
        if (status == QLatin1String("N"))
            QVERIFY2(d.rows[0][4].toString().contains(QStringLiteral("chave de acesso")), qPrintable(d.rows[0][4].toString()));
    }

    void listBySynchronizationDate_data()
    {
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<QList<int>>("shown");
        // NSU 1 to 3 arrive on 08/12, 4 and 5 (a gap) on 10/12.
        const QDate first(2026, 12, 8), second(2026, 12, 10);
        QTest::newRow("no range") << QDate() << QDate() << QList<int>{1, 2, 3, 4, 5};
        QTest::newRow("from the first day") << first << QDate() << QList<int>{1, 2, 3, 4, 5};
        QTest::newRow("from the day after") << first.addDays(1) << QDate() << QList<int>{4, 5};
        QTest::newRow("up to the first day") << QDate() << first << QList<int>{1, 2, 3};
        QTest::newRow("up to the day before the second") << QDate() << second.addDays(-1) << QList<int>{1, 2, 3};
        QTest::newRow("the second day only") << second << second << QList<int>{4, 5};
        QTest::newRow("a day between") << first.addDays(1) << first.addDays(1) << QList<int>{};
    }
    void listBySynchronizationDate()
    {
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(QList<int>, shown);
        Scripted a;
        a.pages = {page({{1, 2, 3}, 3}, 3)};
        RemoteModule m = module(a);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        now = now.addDays(2);
        a.pages = {page({{4}, 5}, 5)};
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        QVariantList args = getArgs(kReg, QStringLiteral("T"));
        args[4] = from.isValid() ? QVariant(from) : QVariant::fromValue(nullptr);
        args[5] = to.isValid() ? QVariant(to) : QVariant::fromValue(nullptr);
        QList<int> got;
        for (const QVariantList &row : packetOf(run(m, "GetSincronizacaoCTe", args)).rows)
            got << row[2].toString().toInt();
        QCOMPARE(got, shown);
    }

    void twoEventsForOneCteAtOnceCallTheAuthorityOnce()
    {
        Scripted a;
        a.pages = {page({{1}, 1}, 1)};
        {
            RemoteModule m = module(a);
            QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        }
        const QString key = [this] {
            Statement st(*store, "SELECT nracessocte FROM cte");
            return st.step() ? st.text(0) : QString();
        }();
        QVERIFY(!key.isEmpty());
        SlowEvents slow;
        QStringList answers[2];
        {
            std::vector<std::jthread> calls; // joined on every way out of this block
            for (int t = 0; t < 2; ++t)
                calls.emplace_back([&, t] {
                    try {
                        Store own(storePath); // one connection per thread
                        RemoteModule m(own, slow, QStringLiteral("35"), [this] { return now; });
                        const QVariantList r = run(m, "RecusaCTe", {key, QStringLiteral("Serviço não contratado pela empresa"),
                                                                   QStringLiteral("01"), kReg, QStringLiteral("T")});
                        answers[t] = QStringList{r.value(0).toString(), r.value(1).toString()};
                    } catch (const std::exception &e) {
                        answers[t] = QStringList{QStringLiteral("exceção"), QString::fromUtf8(e.what())};
                    }
                });
        }
        QCOMPARE(slow.events.load(), 1);
        QStringList flags{answers[0].value(0), answers[1].value(0)};
        flags.sort();
        QCOMPARE(flags, (QStringList{"N", "S"}));
        QCOMPARE(scalar(*store, "SELECT COUNT(*) FROM evento WHERE tpevento = '610110'"), 1);
    }

    // Several holders of one lock at once: one inside at a time, every one gets its turn,
    // and a holder that throws still lets the next one in.
    // Rows read ahead come in their order, each once, up to a failure of the reader, which the
    // caller gets where the rows end; a caller that stops early stops the reader.
    void rowsReadAheadKeepTheirOrder_data()
    {
        QTest::addColumn<int>("total"); // -1: endless
        QTest::addColumn<int>("failAt"); // the row whose reading fails; -1: none
        QTest::addColumn<int>("taken"); // rows the caller takes before it stops; -1: all
        QTest::newRow("no rows") << 0 << -1 << -1;
        QTest::newRow("fewer than the first batch") << 5 << -1 << -1;
        QTest::newRow("exactly the first batch") << 8 << -1 << -1;
        QTest::newRow("one past the first batch") << 9 << -1 << -1;
        QTest::newRow("many batches") << 1000 << -1 << -1;
        QTest::newRow("reader fails midway") << 1000 << 500 << -1;
        QTest::newRow("reader fails in the first batch") << 1000 << 3 << -1;
        QTest::newRow("caller stops early on an endless list") << -1 << -1 << 100;
    }
    void rowsReadAheadKeepTheirOrder()
    {
        QFETCH(int, total);
        QFETCH(int, failAt);
        QFETCH(int, taken);
        const qsizetype first = 8, batch = 4;
        std::atomic<int> produced{0};
        auto fill = [&](RowBatch &b, qsizetype rows) {
            for (qsizetype i = 0; i < rows && (total < 0 || produced < total); ++i) {
                if (produced == failAt)
                    throw std::runtime_error("disco cheio");
                const QByteArray row = "r" + QByteArray::number(produced++);
                b.add(row.constData(), row.size());
            }
            return total < 0 || produced < total;
        };
        QList<QByteArray> got;
        QString failure;
        try {
            RowFeed feed(fill, first, batch);
            const char *row = nullptr;
            qsizetype len = 0;
            while ((taken < 0 || got.size() < taken) && feed.next(row, len))
                got << QByteArray(row, len);
            QCOMPARE(feed.more(), taken >= 0);
        } catch (const std::exception &e) {
            failure = QString::fromUtf8(e.what());
        }
        const int expected = taken >= 0 ? taken : failAt >= 0 ? failAt : total;
        QCOMPARE(failure, failAt >= 0 ? QStringLiteral("disco cheio") : QString());
        QCOMPARE(got.size(), failAt >= 0 && failAt < first ? 0 : expected);
        for (int i = 0; i < got.size(); ++i)
            QCOMPARE(got[i], "r" + QByteArray::number(i));
        if (taken >= 0) // a few batches ahead at most, not the endless rest
            QVERIFY2(produced <= taken + 5 * batch, qPrintable(QString::number(produced)));
    }

    void locksUnderContention_data()
    {
        QTest::addColumn<QString>("lock");
        QTest::addColumn<int>("threads");
        QTest::addColumn<bool>("throwing");
        for (const char *lock : {"process", "store"})
            for (int threads : {3, 6})
                for (bool throwing : {false, true})
                    QTest::addRow("%s, %d threads%s", lock, threads, throwing ? ", every other holder throws" : "")
                        << QString::fromLatin1(lock) << threads << throwing;
    }
    void locksUnderContention()
    {
        QFETCH(QString, lock);
        QFETCH(int, threads);
        QFETCH(bool, throwing);
        const bool process = lock == QLatin1String("process");
        std::atomic<int> inside{0}, most{0}, done{0}, thrown{0};
        const auto holder = [&](int t) {
            Store own(storePath);
            try {
                std::optional<RegistrationLock> p;
                std::optional<Store::RegistrationLock> st;
                if (process)
                    p.emplace(kReg);
                else
                    st.emplace(own, kReg);
                most = std::max(most.load(), ++inside);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                --inside;
                ++done;
                if (throwing && t % 2 == 0)
                    throw std::runtime_error("falha do dono");
            } catch (const std::runtime_error &) {
                ++thrown;
            }
        };
        {
            // All wait behind the test's own hold, then are woken together.
            std::optional<RegistrationLock> first;
            std::optional<Store::RegistrationLock> firstStore;
            if (process)
                first.emplace(kReg);
            else
                firstStore.emplace(*store, kReg);
            std::vector<std::jthread> all;
            for (int t = 0; t < threads; ++t)
                all.emplace_back(holder, t);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            QCOMPARE(done.load(), 0);
            first.reset();
            firstStore.reset();
        }
        QCOMPARE(most.load(), 1);
        QCOMPARE(done.load(), threads);
        QCOMPARE(thrown.load(), throwing ? (threads + 1) / 2 : 0);
        // Free again: taken at once without waiting.
        QVERIFY(RegistrationLock(kReg, false).held());
        QVERIFY(Store::RegistrationLock(*store, kReg, false).held());
    }

    // One that found the lock taken and gave up must not free it on its way out.
    void lockReleasedOnlyByItsHolder_data()
    {
        QTest::addColumn<QString>("lock");
        QTest::newRow("process") << "process";
        QTest::newRow("store") << "store";
    }
    void lockReleasedOnlyByItsHolder()
    {
        QFETCH(QString, lock);
        Store other(storePath);
        if (lock == QLatin1String("process")) {
            const RegistrationLock held(kReg);
            QVERIFY(!RegistrationLock(kReg, false).held());
            QVERIFY(!RegistrationLock(kReg, false).held());
            QVERIFY(RegistrationLock(QStringLiteral("evento ") + kReg, false).held());
        } else {
            const Store::RegistrationLock held(*store, kReg);
            QVERIFY(!Store::RegistrationLock(other, kReg, false).held());
            QVERIFY(!Store::RegistrationLock(other, kReg, false).held());
            QVERIFY(Store::RegistrationLock(other, QStringLiteral("evento ") + kReg, false).held());
        }
        QVERIFY(RegistrationLock(kReg, false).held());
        QVERIFY(Store::RegistrationLock(other, kReg, false).held());
    }

    // Three manual synchronizations of one registration at once: the authority is asked
    // for each range once; those that waited find the hold-off of the first.
    void threeSynchronizationsAtOnce()
    {
        struct Serial : AuthoritySource {
            SimulatedAuthority &sim;
            std::mutex m;
            QStringList asked;
            explicit Serial(SimulatedAuthority &s) : sim(s) {}
            QByteArray distDFeInt(const QByteArray &r) override
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                const std::lock_guard l(m);
                asked << dist::readRequest(r).ultNSU + dist::readRequest(r).nsu;
                return sim.distDFeInt(r);
            }
            QByteArray eventoCTe(const QByteArray &) override { return {}; }
        } authority(*sim);
        QStringList answers[3];
        {
            std::vector<std::jthread> calls;
            for (int t = 0; t < 3; ++t)
                calls.emplace_back([&, t] {
                    Store own(storePath);
                    RemoteModule m(own, authority, QStringLiteral("35"), [this] { return now; });
                    const QVariantList r = run(m, "SincronizarCTe", syncArgs(kReg));
                    answers[t] = QStringList{r.value(0).toString(), r.value(1).toString()};
                });
        }
        // One receives the documents; the others, after it, find nothing new or the hold-off.
        int received = 0;
        for (const QStringList &a : answers) {
            if (a.value(0) == QLatin1String("N"))
                QVERIFY2(a.value(1).startsWith(QStringLiteral("Nova consulta à SEFAZ permitida")), qPrintable(a.value(1)));
            else if (!a.value(1).startsWith(QStringLiteral("Sincronização concluída: 0 ")))
                ++received;
        }
        QCOMPARE(received, 1);
        QVERIFY(authority.asked.size() > 1);
        QCOMPARE(QSet<QString>(authority.asked.begin(), authority.asked.end()).size(), authority.asked.size());
    }

    void disagreementEvent()
    {
        RemoteModule m = module(*sim);
        QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        // A recent CT-e that the company pays for, and one it only receives.
        QString mine, notMine;
        for (const auto &it : sim->history(kReg)) {
            if (it.kind != SimulatedAuthority::Item::Cte || !it.cancelProt.isEmpty() || it.at.daysTo(now) > 40)
                continue;
            const bool taker = (it.toma == 0 && it.rem.doc == kReg) || (it.toma == 3 && it.dest.doc == kReg) ||
                               (it.toma == 4 && it.toma4.doc == kReg);
            (taker ? mine : notMine) = it.key;
        }
        QVERIFY(!mine.isEmpty() && !notMine.isEmpty());
        auto call = [&](const QString &key, const QString &reason) {
            return run(m, "RecusaCTe", {key, reason, QStringLiteral("01"), kReg, QStringLiteral("T")});
        };
        QCOMPARE(call(mine, QStringLiteral("  curto  ")).value(0).toString(), QStringLiteral("N"));
        QCOMPARE(call(mine.left(43) + QChar('0' + (mine.right(1).toInt() + 1) % 10), QStringLiteral("Serviço não contratado pela empresa")).value(0).toString(), QStringLiteral("N"));
        const QVariantList refused = call(notMine, QStringLiteral("Serviço não contratado pela empresa"));
        QCOMPARE(refused.value(0).toString(), QStringLiteral("N"));
        QVERIFY(refused.value(1).toString().startsWith(QStringLiteral("632 - ")));
        const QVariantList ok = call(mine, QStringLiteral("   Serviço não contratado pela empresa   "));
        QCOMPARE(ok.value(0).toString(), QStringLiteral("S"));
        Statement st(*store, "SELECT cdstatus FROM cte WHERE nracessocte = ?");
        st.bind(1, mine);
        QVERIFY(st.step());
        QCOMPARE(st.text(0), QStringLiteral("000"));
        Statement ev(*store, "SELECT xml FROM evento WHERE tpevento = '610110'");
        QVERIFY(ev.step());
        QVERIFY(ev.blob(0).contains("<xObs>Serviço não contratado pela empresa</xObs>"));
        QVERIFY(ev.blob(0).contains("<indDesacordoOper>1</indDesacordoOper>"));
        QCOMPARE(call(mine, QStringLiteral("Serviço não contratado pela empresa")).value(0).toString(), QStringLiteral("N"));
    }

    void badRequestsGetErrorReplies_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("args");
        const QString s = QString::fromLatin1(wire::kServerName);
        QTest::newRow("other server") << "Outro.rdm" << "GetSincronizacaoCTe" << getArgs(kReg, "T");
        QTest::newRow("unknown method") << s << "Apagar" << QVariantList{};
        QTest::newRow("missing arguments") << s << "GetSincronizacaoCTe" << QVariantList{QDate(2026, 1, 1)};
        QTest::newRow("text where a date goes") << s << "GetSincronizacaoCTe"
                                                << QVariantList{"ontem", QDate(), kReg, "T", QDate(), QDate()};
        QTest::newRow("download without packet") << s << "DownloadXML" << QVariantList{"x", "01", "T", kReg};
    }
    void badRequestsGetErrorReplies()
    {
        QFETCH(QString, server);
        QFETCH(QString, method);
        QFETCH(QVariantList, args);
        RemoteModule m = module(*sim);
        const wire::Reply r = m.call({server, method, args});
        QVERIFY(!r.ok);
        QVERIFY(!r.error.isEmpty());
    }

    void clientsOverLoopback()
    {
        {
            RemoteModule m = module(*sim);
            QCOMPARE(run(m, "SincronizarCTe", syncArgs(kReg)).value(0).toString(), QStringLiteral("S"));
        }
        ServerConfig c;
        c.port = 0;
        c.storePath = storePath;
        c.maxFrame = 1 << 20;
        DfeServer::quiet = true;
        DfeServer server(c, std::make_shared<SimulatedAuthority>());
        QString error;
        QVERIFY2(server.start(error), qPrintable(error));
        const quint16 port = server.serverPort();

        // Raw clients in threads, several at once; one of them sends garbage first.
        std::atomic<int> okCalls{0}, errorReplies{0};
        std::vector<std::thread> threads;
        // Joined on every way out: a failed check below must end this test, not the run.
        const auto joinAll = qScopeGuard([&threads] {
            for (auto &t : threads)
                if (t.joinable())
                    t.join();
        });
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, port);
                if (!s.waitForConnected(3000))
                    return;
                auto roundTrip = [&](const QByteArray &payload) {
                    s.write(wire::frame(payload));
                    wire::FrameReader r;
                    QByteArray out;
                    while (!r.next(out)) {
                        if (!s.waitForReadyRead(5000))
                            return wire::Reply{false, QStringLiteral("timeout")};
                        r.feed(s.readAll());
                    }
                    return wire::decodeReply(out);
                };
                if (t == 0 && !roundTrip("\xff\x00garbage").ok)
                    ++errorReplies;
                for (int i = 0; i < 5; ++i) {
                    const wire::Reply r = roundTrip(wire::encodeRequest(
                        {QString::fromLatin1(wire::kServerName), QStringLiteral("GetSincronizacaoCTe"), getArgs(kReg, "_100_")}));
                    if (r.ok && r.result.toList().value(0).toString() == QLatin1String("S"))
                        ++okCalls;
                }
            });
        }
        // An oversized frame closes that connection only.
        QTcpSocket big;
        big.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(big.waitForConnected(3000));
        big.write(QByteArray::fromHex("7fffffff"));
        QVERIFY(waitFor([&] { return big.state() == QAbstractSocket::UnconnectedState; }, 5000));

        // The toolkit's connection, with by-reference write-back.
        TNetConnection net;
        net.ServerName = QString::fromLatin1(wire::kServerName);
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = port;
        QDate from(2026, 1, 1), to;
        QString reg = kReg, status = QStringLiteral("T");
        QDate si, sf;
        const QVariant reply = net.AppServer(QStringLiteral("GetSincronizacaoCTe"),
                                             {ByRef(from), ByRef(to), ByRef(reg), ByRef(status), ByRef(si), ByRef(sf)});
        QCOMPARE(reply.toList().value(0).toString(), QStringLiteral("S"));
        QCOMPARE(from, QDate(2026, 1, 1));
        QCOMPARE(reg, kReg);
        QVERIFY_THROWS_EXCEPTION(Exception, net.AppServer(QStringLiteral("Nada"), {}));
        for (auto &t : threads)
            t.join();
        QCOMPARE(okCalls.load(), 20);
        QCOMPARE(errorReplies.load(), 1);
        server.stop();
    }

    void writeBackReachesEveryPosition_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<int>>("byRef");
        QTest::newRow("one argument") << 1 << QList<int>{0};
        QTest::newRow("first of six") << 6 << QList<int>{0};
        QTest::newRow("last of six") << 6 << QList<int>{5};
        QTest::newRow("last of five") << 5 << QList<int>{4};
        QTest::newRow("every other one") << 6 << QList<int>{1, 3, 5};
        QTest::newRow("all six") << 6 << QList<int>{0, 1, 2, 3, 4, 5};
    }
    void writeBackReachesEveryPosition()
    {
        QFETCH(int, count);
        QFETCH(QList<int>, byRef);
        FakeServer fake;
        fake.handler = [](const wire::Request &r) {
            QVariantList back = r.args;
            for (QVariant &v : back)
                v = v.metaType() == QMetaType::fromType<QDate>() ? QVariant(v.toDate().addDays(1)) : QVariant(v.toString() + QLatin1Char('!'));
            return okReply(QStringLiteral("S"), back);
        };
        TNetConnection net;
        net.ServerName = QString::fromLatin1(wire::kServerName);
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = fake.port();
        // Dates and texts in turn, as the list's filter sends them.
        std::vector<QDate> dates(static_cast<size_t>(count));
        std::vector<QString> texts(static_cast<size_t>(count));
        std::vector<TArg> args;
        for (int i = 0; i < count; ++i) {
            const bool ref = byRef.contains(i);
            if (i % 2 == 0) {
                dates[size_t(i)] = QDate(2026, 12, 1 + i);
                args.push_back(ref ? ByRef(dates[size_t(i)]) : ByVal(dates[size_t(i)]));
            } else {
                texts[size_t(i)] = QStringLiteral("v%1").arg(i);
                args.push_back(ref ? ByRef(texts[size_t(i)]) : ByVal(texts[size_t(i)]));
            }
        }
        QVariant result;
        try {
            result = net.AppServer(QStringLiteral("X"), args);
        } catch (const Exception &e) {
            QFAIL(qPrintable(e.Message));
        }
        QCOMPARE(result.toString(), QStringLiteral("S"));
        QCOMPARE(fake.requests.size(), 1);
        QCOMPARE(fake.requests[0].args.size(), count);
        for (int i = 0; i < count; ++i) {
            const bool ref = byRef.contains(i);
            if (i % 2 == 0) {
                QCOMPARE(fake.requests[0].args[i].toDate(), QDate(2026, 12, 1 + i));
                QCOMPARE(dates[size_t(i)], QDate(2026, 12, ref ? 2 + i : 1 + i));
            } else {
                QCOMPARE(fake.requests[0].args[i].toString(), QStringLiteral("v%1").arg(i));
                QCOMPARE(texts[size_t(i)], QStringLiteral("v%1").arg(i) + (ref ? QStringLiteral("!") : QString()));
            }
        }
    }

    // The client takes only the reply shapes the protocol names, as the server takes only
    // the request shapes it names; a refused reply changes none of the caller's values.
    void replyShapeRefusedByTheClient_data()
    {
        QTest::addColumn<QByteArray>("payload"); // CBOR, in hex
        QTest::addColumn<QString>("why");        // empty: accepted
        // {"result": "S", "args": ["novo"]} and variations of it.
        const QByteArray result = "66726573756c74" "6153", args = "6461726773" "81646e6f766f";
        QTest::newRow("result and args") << "a2" + result + args << "";
        QTest::newRow("args, then result") << "a2" + args + result << "";
        QTest::newRow("a key the protocol does not name") << "a3" + result + args + "657472616365" "6178" << "chave desconhecida na resposta: trace";
        QTest::newRow("result twice") << "a3" + result + args + result << "chave repetida na resposta: result";
        QTest::newRow("result without args") << "a1" + result << "resposta sem result ou args";
        QTest::newRow("error beside a result") << "a3" + result + args + "656572726f72" "6178" << "resposta com error e result";
        QTest::newRow("error that is not text") << QByteArray("a1" "656572726f72" "01") << "error deve ser texto";
    }
    void replyShapeRefusedByTheClient()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QString, why);
        FakeServer fake;
        fake.raw = [&](const wire::Request &) { return QList<QByteArray>{QByteArray::fromHex(payload)}; };
        TNetConnection net;
        net.ServerName = QString::fromLatin1(wire::kServerName);
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = fake.port();
        QString value = QStringLiteral("antigo");
        try {
            const QVariant r = net.AppServer(QStringLiteral("X"), {ByRef(value)});
            QVERIFY2(why.isEmpty(), "the reply was taken");
            QCOMPARE(r.toString(), QStringLiteral("S"));
            QCOMPARE(value, QStringLiteral("novo"));
        } catch (const Exception &e) {
            QVERIFY2(!why.isEmpty() && e.Message.contains(why), qPrintable(e.Message));
            QCOMPARE(value, QStringLiteral("antigo"));
        }
    }

    void connectionFailuresAreClear()
    {
        // Nothing listens on this port: no error at open, a clear one at the call.
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 dead = probe.serverPort();
        probe.close();
        TNetConnection net;
        net.ServerName = QString::fromLatin1(wire::kServerName);
        net.Host = QStringLiteral("127.0.0.1");
        net.Port = dead;
        net.ThrowException = false;
        net.Open();
        QVERIFY(!net.Connected());
        try {
            net.AppServer(QStringLiteral("GetSincronizacaoCTe"), {});
            QFAIL("the call should fail");
        } catch (const Exception &e) {
            QVERIFY2(e.Message.contains(QStringLiteral("127.0.0.1:%1").arg(dead)), qPrintable(e.Message));
        }

        // A server that never answers: the call times out; the next call reconnects.
        FakeServer fake;
        QTcpServer mute;
        mute.listen(QHostAddress::LocalHost, 0);
        net.Port = mute.serverPort();
        net.TimeoutMs = 300;
        try {
            net.AppServer(QStringLiteral("GetSincronizacaoCTe"), {});
            QFAIL("the call should time out");
        } catch (const Exception &e) {
            QVERIFY2(e.Message.contains(QStringLiteral("sem resposta")), qPrintable(e.Message));
        }
        net.Port = fake.port();
        fake.handler = [](const wire::Request &r) { return okReply(QVariantList{QStringLiteral("S"), 1.0}, r.args); };
        QCOMPARE(net.AppServer(QStringLiteral("X"), {}).toList().value(0).toString(), QStringLiteral("S"));

        // A malformed reply is an error, not a crash.
        QTcpServer liar;
        liar.listen(QHostAddress::LocalHost, 0);
        connect(&liar, &QTcpServer::newConnection, &liar, [&liar] {
            QTcpSocket *s = liar.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [s] {
                s->readAll();
                s->write(wire::frame("\xa1\x65" "error"));
            });
        });
        net.Port = liar.serverPort();
        net.Close();
        QVERIFY_THROWS_EXCEPTION(Exception, net.AppServer(QStringLiteral("X"), {}));
    }
};

QTEST_MAIN(TestServer)
#include "tst_server.moc"
