// The in-memory dataset, its data source notifications and the grid's model.
#include "DataSet.h"
#include "Exceptions.h"
#include "Grid.h"
#include "ListFind.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QTest>
#include <cmath>
#include <map>

namespace {
struct Counter : TDataLink {
    int changed = 0, records = 0, scrolls = 0, states = 0;
    void DataSetChanged() override { ++changed; }
    void RecordChanged(int) override { ++records; }
    void Scrolled() override { ++scrolls; }
    void StateChanged() override { ++states; }
};

std::vector<wire::PacketField> listFields()
{
    return {{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
            {QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
            {QStringLiteral("NMRAZSOCEMIT"), wire::PacketType::Text, 60},
            {QStringLiteral("VRTOTALPREST"), wire::PacketType::Float, 0},
            {QStringLiteral("DSTEXTOXML"), wire::PacketType::Blob, 0}};
}

TDataPacket packet(const QStringList &nsus, const QString &tick = QStringLiteral("N"))
{
    wire::PacketWriter w(listFields());
    for (const QString &n : nsus) {
        w.beginRow();
        w.text(tick);
        w.text(n);
        w.text(QStringLiteral("Emitente ") + n);
        w.real(n.toDouble() / 10.0);
        w.blob(n.toUtf8());
    }
    return w.finish();
}

void defineFields(TClientDataSet &ds)
{
    ds.Name = QStringLiteral("cds");
    ds.AddField({QStringLiteral("IDCHECK"), ftFixedChar, 1});
    ds.AddField({QStringLiteral("NRNSU"), ftString, 15, QStringLiteral("NSU")});
    ds.AddField({QStringLiteral("NMRAZSOCEMIT"), ftString, 60});
    ds.AddField({QStringLiteral("VRTOTALPREST"), ftFloat, 0, QString(), QStringLiteral("###0.00")});
    ds.AddField({QStringLiteral("DSTEXTOXML"), ftBlob, 0});
    ds.AddIndex(QStringLiteral("idx"), QStringLiteral("NRNSU"));
}

QStringList order(TClientDataSet &ds)
{
    QStringList out;
    for (int v = 0; v < ds.RecordCount(); ++v)
        out << ds.FieldByName(QStringLiteral("NRNSU")).StringAt(ds.RowAt(v));
    return out;
}
} // namespace

// A grid over `rows` rows, shown and painted; from `watch` on, the paints it gets.
struct ShownGrid : QObject {
    TClientDataSet ds;
    TDataSource src;
    TDBGrid grid;
    int n = 0;
    QRegion region;

    explicit ShownGrid(int rows)
    {
        defineFields(ds);
        src.SetDataSet(&ds);
        grid.SetDataSource(&src);
        grid.resize(400, 300);
        QStringList nsus;
        for (int i = 0; i < rows; ++i)
            nsus << QString::number(100000 + i);
        ds.SetData(packet(nsus));
    }
    bool show()
    {
        grid.show();
        const bool exposed = QTest::qWaitForWindowExposed(&grid);
        QCoreApplication::processEvents();
        return exposed;
    }
    void watch() { grid.viewport()->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint) {
            ++n;
            region += static_cast<QPaintEvent *>(e)->region();
        }
        return false;
    }
};

class TestDataSet : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // One column written in every row the filter lets through, in place or (a cell of
    // another length) by moving its row, with one notification and the cursor kept.
    void textOfAllRows_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("filtered"); // to NMRAZSOCEMIT = 'Emitente 3'
        QTest::newRow("same length, in place") << "N" << "S" << false;
        QTest::newRow("empty cells grow") << "" << "S" << false;
        QTest::newRow("cells shrink to empty") << "N" << "" << false;
        QTest::newRow("only the rows the filter lets through") << "N" << "S" << true;
    }
    void textOfAllRows()
    {
        QFETCH(QString, before);
        QFETCH(QString, value);
        QFETCH(bool, filtered);
        TClientDataSet ds;
        defineFields(ds);
        TDataSource src;
        src.SetDataSet(&ds);
        Counter c;
        c.SetDataSource(&src);
        QStringList nsus;
        for (int i = 1; i <= 300; ++i)
            nsus << QString::number(i);
        ds.SetData(packet(nsus, before));
        if (filtered) {
            ds.SetFilter(QStringLiteral("NMRAZSOCEMIT = 'Emitente 3'"));
            ds.SetFiltered(true);
        } else {
            ds.SetRecNo(7);
        }
        const QString current = ds.FieldByName(QStringLiteral("NRNSU")).AsString();
        c.changed = 0;
        ds.SetTextOfAllRows(QStringLiteral("IDCHECK"), value);
        QCOMPARE(c.changed, 1);
        QCOMPARE(ds.FieldByName(QStringLiteral("NRNSU")).AsString(), current);
        ds.SetFiltered(false);
        for (int v = 0; v < ds.RecordCount(); ++v) {
            const int row = ds.RowAt(v);
            const bool hit = !filtered || ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).StringAt(row) == QLatin1String("Emitente 3");
            QCOMPARE(ds.FieldByName(QStringLiteral("IDCHECK")).StringAt(row), hit ? value : before);
            // The row's other cells stay as they were, wherever the row now lies.
            QCOMPARE(ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).StringAt(row),
                     QStringLiteral("Emitente ") + ds.FieldByName(QStringLiteral("NRNSU")).StringAt(row));
        }
        QVERIFY_THROWS_EXCEPTION(Exception, ds.SetTextOfAllRows(QStringLiteral("NRNSU"), QStringLiteral("1")));
        ds.Edit();
        QVERIFY_THROWS_EXCEPTION(Exception, ds.SetTextOfAllRows(QStringLiteral("IDCHECK"), value));
        ds.Cancel();
    }

    // A list in parts: each part's rows join the list in index order, the cursor stays,
    // and a part that does not fit the fields changes nothing.
    void appendedPartsJoinTheList()
    {
        TClientDataSet ds;
        defineFields(ds);
        ds.SetData(packet({"10", "11"}));
        ds.SetRecNo(2);
        ds.AppendData(packet({"12", "13"}));
        ds.AppendData(packet({"09"})); // out of order: sorted in
        QCOMPARE(order(ds), (QStringList{"09", "10", "11", "12", "13"}));
        QCOMPARE(ds.FieldByName(QStringLiteral("NRNSU")).AsString(), QStringLiteral("11"));
        QCOMPARE(ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).StringAt(ds.RowAt(3)), QStringLiteral("Emitente 12"));
        QCOMPARE(ds.FieldByName(QStringLiteral("DSTEXTOXML")).BytesAt(ds.RowAt(4)), QByteArray("13"));
        wire::PacketWriter w({{QStringLiteral("NRNSU"), wire::PacketType::Text, 15}});
        w.beginRow();
        w.text(QStringLiteral("14"));
        QVERIFY_THROWS_EXCEPTION(Exception, ds.AppendData(w.finish()));
        QCOMPARE(ds.RecordCount(), 5);
        // Refused at its second row: the first is not kept, and the next part lands whole.
        wire::PacketWriter bad(listFields());
        for (const char *text : {"Emitente 20", "\xff"}) {
            bad.beginRow();
            bad.text(QStringLiteral("N"));
            bad.text(QStringLiteral("20"));
            bad.textUtf8(text, qsizetype(strlen(text)));
            bad.real(1.0);
            bad.blob("x");
        }
        QVERIFY_THROWS_EXCEPTION(Exception, ds.AppendData(bad.finish()));
        QCOMPARE(order(ds), (QStringList{"09", "10", "11", "12", "13"}));
        ds.AppendData(packet({"21"}));
        QCOMPARE(ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).StringAt(ds.RowAt(5)), QStringLiteral("Emitente 21"));
        QCOMPARE(ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).StringAt(ds.RowAt(4)), QStringLiteral("Emitente 13"));
        // A filtered list shows only the part's rows the filter lets through.
        ds.SetFilter(QStringLiteral("NMRAZSOCEMIT = 'Emitente 15'"));
        ds.SetFiltered(true);
        ds.AppendData(packet({"14", "15", "16"}));
        QCOMPARE(order(ds), QStringList{"15"});
        QCOMPARE(ds.FieldByName(QStringLiteral("NRNSU")).AsString(), QStringLiteral("15"));
        ds.SetFiltered(false);
        QCOMPARE(ds.RecordCount(), 9);
    }

    void indexOrderIsTextOrder_data()
    {
        QTest::addColumn<QStringList>("loaded");
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("reversed") << QStringList{"003", "002", "001"} << QStringList{"001", "002", "003"};
        QTest::newRow("text, not number") << QStringList{"10", "9", "100"} << QStringList{"10", "100", "9"};
        QTest::newRow("equal keys keep load order") << QStringList{"2", "1", "2"} << QStringList{"1", "2", "2"};
        QTest::newRow("empty") << QStringList{} << QStringList{};
        QTest::newRow("already in order") << QStringList{"1", "2", "3"} << QStringList{"1", "2", "3"};
        QTest::newRow("in order but the last") << QStringList{"1", "3", "4", "2"} << QStringList{"1", "2", "3", "4"};
    }
    void indexOrderIsTextOrder()
    {
        QFETCH(QStringList, loaded);
        QFETCH(QStringList, listed);
        TClientDataSet ds;
        defineFields(ds);
        ds.SetData(packet(loaded));
        QCOMPARE(order(ds), listed);
        QCOMPARE(ds.State(), dsBrowse);
    }

    void editKeepsTheOtherFields_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::newRow("tick, first text") << QStringLiteral("IDCHECK") << QStringLiteral("S");
        QTest::newRow("middle text, longer") << QStringLiteral("NMRAZSOCEMIT") << QStringLiteral("Ação Logística São João Ltda");
        QTest::newRow("middle text, same length") << QStringLiteral("NMRAZSOCEMIT") << QStringLiteral("Tomador 22");
        QTest::newRow("middle text, same bytes, accented") << QStringLiteral("NMRAZSOCEMIT") << QStringLiteral("Emissão 2");
        QTest::newRow("middle text, emptied") << QStringLiteral("NMRAZSOCEMIT") << QString();
        QTest::newRow("float") << QStringLiteral("VRTOTALPREST") << QStringLiteral("12,5");
    }
    // The order lives in the dataset: numbers by value, dd/mm/yyyy as dates, text without
    // case or accents; ties keep the index's order; new content starts in it again.
    void sortFieldOrdersTheRows_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("descending");
        QTest::addColumn<QStringList>("nsus");
        // NSU 1..5; amounts 30, 10, 20, 10, -; names Zeta, álvaro, Beta, Alfa, beta; dates.
        QTest::newRow("amount") << "VRTOTALPREST" << false << QStringList{"5", "2", "4", "3", "1"};
        QTest::newRow("amount, descending") << "VRTOTALPREST" << true << QStringList{"1", "3", "2", "4", "5"};
        QTest::newRow("name") << "NMRAZSOCEMIT" << false << QStringList{"4", "2", "3", "5", "1"};
        QTest::newRow("date") << "DTEMISSAO" << false << QStringList{"3", "1", "5", "2", "4"};
        QTest::newRow("date, descending") << "DTEMISSAO" << true << QStringList{"4", "2", "1", "5", "3"};
        QTest::newRow("back to the index") << "" << false << QStringList{"1", "2", "3", "4", "5"};
    }
    void sortFieldOrdersTheRows()
    {
        QFETCH(QString, field);
        QFETCH(bool, descending);
        QFETCH(QStringList, nsus);
        TClientDataSet ds;
        ds.Name = QStringLiteral("cds");
        ds.AddField({QStringLiteral("NRNSU"), ftString, 15});
        ds.AddField({QStringLiteral("NMRAZSOCEMIT"), ftString, 60});
        ds.AddField({QStringLiteral("DTEMISSAO"), ftString, 10});
        ds.AddField({QStringLiteral("VRTOTALPREST"), ftFloat, 0});
        ds.AddIndex(QStringLiteral("idx"), QStringLiteral("NRNSU"));
        wire::PacketWriter w({{QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                              {QStringLiteral("NMRAZSOCEMIT"), wire::PacketType::Text, 60},
                              {QStringLiteral("DTEMISSAO"), wire::PacketType::Text, 10},
                              {QStringLiteral("VRTOTALPREST"), wire::PacketType::Float, 0}});
        const char *names[] = {"Zeta", "\xc3\xa1lvaro", "Beta", "Alfa", "beta"};
        const char *dates[] = {"15/03/2026", "02/11/2026", "28/02/2025", "01/12/2026", "15/03/2026"};
        const double amounts[] = {30, 10, 20, 10, std::nan("")};
        for (int i = 0; i < 5; ++i) {
            w.beginRow();
            w.text(QString::number(i + 1));
            w.text(QString::fromUtf8(names[i]));
            w.text(QString::fromLatin1(dates[i]));
            w.real(amounts[i]);
        }
        ds.SetData(w.finish());
        QVERIFY(ds.Locate(QStringLiteral("NRNSU"), QStringLiteral("3")));
        Counter c;
        TDataSource src;
        src.SetDataSet(&ds);
        c.SetDataSource(&src);
        ds.SetSortField(field.isEmpty() ? QStringLiteral("VRTOTALPREST") : field, descending);
        if (field.isEmpty())
            ds.SetSortField(QString());
        QCOMPARE(order(ds), nsus);
        QCOMPARE(ds.FieldByName(QStringLiteral("NRNSU")).AsString(), QStringLiteral("3")); // the cursor keeps its row
        QVERIFY(c.changed >= 1);
        ds.SetData(ds.Data());
        QCOMPARE(ds.SortField(), QString());
        QCOMPARE(order(ds), (QStringList{"1", "2", "3", "4", "5"}));
        c.SetDataSource(nullptr);
    }

    void editKeepsTheOtherFields()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
        TClientDataSet ds;
        defineFields(ds);
        ds.SetData(packet({"1", "2", "3"}));
        auto snapshot = [&](int recNo) {
            ds.SetRecNo(recNo);
            QStringList out;
            for (int i = 0; i < ds.FieldCount(); ++i)
                out << (ds.Fields(i).DataType == ftBlob ? QString::fromUtf8(ds.Fields(i).AsBytes()) : ds.Fields(i).AsString());
            return out;
        };
        const QStringList before = snapshot(2), neighbour = snapshot(3);
        ds.SetRecNo(2);
        ds.Edit();
        TField &f = ds.FieldByName(field);
        QCOMPARE(f.AsString(), before[f.Index()]); // unset fields read through to the row
        f.SetAsString(value);
        QCOMPARE(ds.FieldByName(QStringLiteral("NRNSU")).AsString(), QStringLiteral("2"));
        ds.Post();
        QStringList expected = before;
        expected[f.Index()] = f.DataType == ftFloat ? QStringLiteral("12.5") : value;
        QCOMPARE(snapshot(2), expected);
        QCOMPARE(snapshot(3), neighbour);
        QLocale::setDefault(QLocale::c());
    }

    void filterOnAndOff()
    {
        TClientDataSet ds;
        defineFields(ds);
        ds.SetData(packet({"1", "2", "3", "4"}));
        ds.SetRecNo(2);
        ds.Edit();
        ds.FieldByName(QStringLiteral("IDCHECK")).SetAsString(QStringLiteral("S"));
        ds.Post();
        ds.SetRecNo(4);
        ds.Edit();
        ds.FieldByName(QStringLiteral("IDCHECK")).SetAsString(QStringLiteral("S"));
        ds.Post();
        ds.SetFilter(QStringLiteral("IDCHECK = 'S'"));
        QCOMPARE(ds.RecordCount(), 4); // text alone does nothing
        ds.SetFiltered(true);
        QCOMPARE(ds.RecordCount(), 2);
        QCOMPARE(order(ds), (QStringList{"2", "4"}));
        QCOMPARE(ds.FieldByName(QStringLiteral("NRNSU")).AsString(), QStringLiteral("2"));
        ds.SetFiltered(false);
        QCOMPARE(ds.RecordCount(), 4);
        QCOMPARE(ds.Filter(), QStringLiteral("IDCHECK = 'S'"));
        ds.SetFilter(QStringLiteral("NOSUCH = 'S'"));
        QVERIFY_THROWS_EXCEPTION(Exception, ds.SetFiltered(true));
    }

    void filterComparesExactly_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("tick in upper case only") << "IDCHECK = 'S'" << QStringList{"20"};
        QTest::newRow("lower-case tick") << "IDCHECK = 's'" << QStringList{"2"};
        QTest::newRow("no prefix match") << "NRNSU = '2'" << QStringList{"2"};
        QTest::newRow("no trimming") << "NRNSU = '02 '" << QStringList{};
        QTest::newRow("quote inside the value") << "NMRAZSOCEMIT = 'D''Ávila'" << QStringList{"02"};
    }
    void filterComparesExactly()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, shown);
        TClientDataSet ds;
        defineFields(ds);
        ds.SetData(packet({"2", "20", "02"}));
        auto set = [&ds](const QString &nsu, const char *field, const QString &value) {
            QVERIFY(ds.Locate(QStringLiteral("NRNSU"), nsu));
            ds.Edit();
            ds.FieldByName(QString::fromLatin1(field)).SetAsString(value);
            ds.Post();
        };
        set(QStringLiteral("2"), "IDCHECK", QStringLiteral("s"));
        set(QStringLiteral("20"), "IDCHECK", QStringLiteral("S"));
        set(QStringLiteral("02"), "NMRAZSOCEMIT", QStringLiteral("D'Ávila"));
        ds.SetFilter(filter);
        ds.SetFiltered(true);
        QCOMPARE(order(ds), shown);
    }

    void findWalksTheVisibleTextBothWays_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("from");     // view position
        QTest::addColumn<bool>("forward");
        QTest::addColumn<int>("found");    // view position, -1 none
        QTest::addColumn<int>("count");
        // Rows in view order: NSU 1, 2, 3, 4 (emitters below).
        QTest::newRow("accents and case ignored") << "sao jose" << -1 << true << 1 << 2;
        QTest::newRow("next wraps past the end") << "sao jose" << 3 << true << 1 << 2;
        QTest::newRow("previous from the first match") << "SÃO" << 1 << false << 3 << 2;
        QTest::newRow("CNPJ typed with punctuation") << "11.222.333/0001-81" << -1 << true << 0 << 1;
        QTest::newRow("CNPJ typed bare finds formatted") << "33000167000101" << -1 << true << 2 << 1;
        QTest::newRow("the current row comes last") << "transp" << 0 << true << 0 << 1;
        QTest::newRow("a dash between words is kept") << "a-b" << -1 << true << -1 << 0;
        QTest::newRow("amount as shown") << QStringLiteral("0") + QLocale().decimalPoint() + QStringLiteral("30") << -1 << true << 2 << 1;
        QTest::newRow("empty finds nothing") << "  " << -1 << true << -1 << 0;
    }
    void findWalksTheVisibleTextBothWays()
    {
        QFETCH(QString, query);
        QFETCH(int, from);
        QFETCH(bool, forward);
        QFETCH(int, found);
        QFETCH(int, count);
        TClientDataSet ds;
        defineFields(ds);
        ds.SetData(packet({"4", "1", "3", "2"}));
        const QStringList names{"TRANSP 11222333000181", "São José Ltda", "Fábrica 33.000.167/0001-01", "SAO JOSE DOS CAMPOS"};
        for (int i = 0; i < 4; ++i) {
            QVERIFY(ds.Locate(QStringLiteral("NRNSU"), QString::number(i + 1)));
            ds.Edit();
            ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).SetAsString(names[i]);
            ds.Post();
        }
        TListFind find(ds, {&ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")), &ds.FieldByName(QStringLiteral("VRTOTALPREST"))});
        find.SetText(query);
        QCOMPARE(find.Next(from, forward), found);
        QCOMPARE(find.MatchCount(), count);
    }

    void readsOutsideTheRowsAreRefused_data()
    {
        QTest::addColumn<bool>("open");
        QTest::addColumn<int>("row");
        QTest::newRow("closed, row 0") << false << 0;
        QTest::newRow("open, one past the last") << true << 3;
        QTest::newRow("open, far past the last") << true << 1000000;
    }
    void readsOutsideTheRowsAreRefused()
    {
        QFETCH(bool, open);
        QFETCH(int, row);
        TClientDataSet ds;
        defineFields(ds);
        ds.SetData(packet({"1", "2", "3"}));
        if (!open)
            ds.Close();
        QVERIFY_THROWS_EXCEPTION(Exception, ds.FieldByName(QStringLiteral("NRNSU")).StringAt(row));
        QVERIFY_THROWS_EXCEPTION(Exception, ds.FieldByName(QStringLiteral("VRTOTALPREST")).FloatAt(row));
        QVERIFY_THROWS_EXCEPTION(Exception, ds.FieldByName(QStringLiteral("DSTEXTOXML")).BytesAt(row));
        QVERIFY_THROWS_EXCEPTION(Exception, ds.FieldByName(QStringLiteral("NRNSU")).TextAt(row));
        QVERIFY_THROWS_EXCEPTION(Exception, ds.FieldByName(QStringLiteral("IDCHECK")).TextAt(row));
        if (open) { // the last row itself reads fine
            QCOMPARE(ds.FieldByName(QStringLiteral("NRNSU")).StringAt(2), QStringLiteral("3"));
            QCOMPARE(ds.FieldByName(QStringLiteral("NRNSU")).TextAt(2), QByteArrayView("3"));
        }
    }

    void textCellsMustBeValidUtf8_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("accents") << QByteArray("Transportes S\xc3\xa3o Jo\xc3\xa3o") << true;
        QTest::newRow("four-byte character") << QByteArray("Frete \xf0\x9f\x9a\x9a") << true;
        QTest::newRow("stray continuation byte") << QByteArray("Frete \x9a") << false;
        QTest::newRow("overlong slash") << QByteArray("a\xc0\xaf" "b") << false;
        QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << false;
        QTest::newRow("cut in the middle") << QByteArray("S\xc3") << false;
        QTest::newRow("Latin-1 byte") << QByteArray("S\xe3o Paulo") << false;
    }
    void textCellsMustBeValidUtf8()
    {
        QFETCH(QByteArray, name);
        QFETCH(bool, accepted);
        wire::PacketWriter w(listFields());
        w.beginRow();
        w.text(QStringLiteral("N"));
        w.text(QStringLiteral("1"));
        w.textUtf8(name.constData(), name.size());
        w.real(1.0);
        w.blob({});
        TClientDataSet ds;
        defineFields(ds);
        bool refused = false;
        try {
            ds.SetData(w.finish());
        } catch (const Exception &e) {
            refused = true;
            QVERIFY2(QString::fromUtf8(e.what()).contains(QStringLiteral("NMRAZSOCEMIT")), e.what());
        }
        QCOMPARE(refused, !accepted);
        if (accepted)
            QCOMPARE(ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).StringAt(0), QString::fromUtf8(name));
    }

    void guardsAbortSilentlyAndCanBeDetached()
    {
        TClientDataSet ds;
        defineFields(ds);
        ds.SetData(packet({"1", "2"}));
        int calls = 0;
        auto guard = [&calls](TClientDataSet &) {
            ++calls;
            Abort();
        };
        ds.BeforeEdit = guard;
        ds.BeforeInsert = guard;
        ds.BeforeDelete = guard;
        QVERIFY_THROWS_EXCEPTION(EAbort, ds.Edit());
        QVERIFY_THROWS_EXCEPTION(EAbort, ds.Insert());
        QVERIFY_THROWS_EXCEPTION(EAbort, ds.Delete());
        QCOMPARE(calls, 3);
        QCOMPARE(ds.State(), dsBrowse);
        QCOMPARE(ds.RecordCount(), 2);
        QVERIFY_THROWS_EXCEPTION(Exception, ds.FieldByName(QStringLiteral("NRNSU")).SetAsString(QStringLiteral("x")));

        auto saved = ds.BeforeEdit;
        ds.BeforeEdit = nullptr;
        ds.Edit();
        ds.FieldByName(QStringLiteral("IDCHECK")).SetAsString(QStringLiteral("S"));
        ds.Post();
        ds.BeforeEdit = saved;
        QCOMPARE(ds.FieldByName(QStringLiteral("IDCHECK")).AsString(), QStringLiteral("S"));
        QVERIFY_THROWS_EXCEPTION(EAbort, ds.Edit());
    }

    void nestedDisableControlsNotifiesOnce()
    {
        TClientDataSet ds;
        defineFields(ds);
        TDataSource src;
        src.SetDataSet(&ds);
        Counter c;
        c.SetDataSource(&src);
        TDBGrid grid; // a suspended grid keeps its picture
        grid.SetDataSource(&src);
        grid.resize(300, 200);
        grid.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grid));
        int stateCalls = 0;
        src.OnStateChange = [&stateCalls](TDataSource *) { ++stateCalls; };
        ds.SetData(packet({"1", "2", "3"}));
        c.changed = c.records = c.scrolls = 0;
        stateCalls = 0;
        const QImage shown = grid.viewport()->grab().toImage();
        ds.DisableControls();
        ds.DisableControls();
        ds.SetFilter(QStringLiteral("NRNSU = '2'"));
        ds.SetFiltered(true);
        QCOMPARE(grid.viewport()->grab().toImage(), shown);
        ds.SetFiltered(false);
        ds.First();
        while (!ds.Eof()) {
            ds.Edit();
            ds.FieldByName(QStringLiteral("IDCHECK")).SetAsString(QStringLiteral("S"));
            ds.Post();
            ds.Next();
        }
        ds.EnableControls();
        QCOMPARE(c.changed + c.records + c.scrolls, 0);
        QCOMPARE(stateCalls, 0);
        QCOMPARE(grid.viewport()->grab().toImage(), shown);
        ds.EnableControls();
        QVERIFY(grid.viewport()->grab().toImage() != shown); // every row is ticked now
        QCOMPARE(c.changed, 1);
        QCOMPARE(c.records, 0);
        QCOMPARE(stateCalls, 0); // browse before, browse after
        ds.EnableControls();     // one too many does no harm
        QCOMPARE(c.changed, 1);
    }

    void rowsRewrittenManyTimesKeepEveryValue()
    {
        // Each edit that changes a text's length writes the row anew; the rows left behind
        // are reclaimed as they pile up, and no row may lose or mix its values.
        TClientDataSet ds;
        defineFields(ds);
        QStringList nsus;
        for (int i = 0; i < 200; ++i)
            nsus << QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
        ds.SetData(packet(nsus));
        for (int round = 0; round < 30; ++round) {
            for (int r = 1; r <= ds.RecordCount(); ++r) {
                ds.SetRecNo(r);
                ds.Edit();
                ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).SetAsString(QString(1 + (round + r) % 50, QLatin1Char('a' + r % 26)));
                ds.FieldByName(QStringLiteral("IDCHECK")).SetAsString(round % 2 ? QStringLiteral("S") : QStringLiteral("N"));
                ds.Post();
            }
        }
        QCOMPARE(order(ds), nsus);
        for (int r = 1; r <= ds.RecordCount(); ++r) {
            ds.SetRecNo(r);
            QCOMPARE(ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).AsString(), QString(1 + (29 + r) % 50, QLatin1Char('a' + r % 26)));
            QCOMPARE(ds.FieldByName(QStringLiteral("IDCHECK")).AsString(), QStringLiteral("S"));
            QCOMPARE(ds.FieldByName(QStringLiteral("DSTEXTOXML")).AsBytes(), nsus[r - 1].toUtf8());
        }
    }

    // Values repeated down a column are kept once per packet: changing one row's value, a
    // tick-all, a deletion or the reclaiming of old values never changes another row.
    // The rows' blocks keep every value through growth (in the heap, then mapped and
    // remapped), an erase, a shrink and a move.
    void blocksKeepTheirValues_data()
    {
        QTest::addColumn<QList<int>>("sizes"); // successive sizes, in values
        QTest::newRow("in the heap") << QList<int>{10, 1000, 20000};
        QTest::newRow("into a mapping") << QList<int>{1000, 300000};
        QTest::newRow("a mapping remapped") << QList<int>{300000, 600000, 2000000};
    }
    void blocksKeepTheirValues()
    {
        QFETCH(QList<int>, sizes);
        PodBlock<quint32> b;
        auto check = [&](qsizetype n) {
            QCOMPARE(b.size(), n);
            for (qsizetype i = 0; i < n; i += 997)
                QCOMPARE(b[size_t(i)], quint32(i * 7));
            QCOMPARE(b[size_t(n - 1)], quint32((n - 1) * 7));
        };
        qsizetype n = 0;
        for (int size : sizes) {
            b.resize(size, 0);
            for (qsizetype i = n; i < size; ++i)
                b[size_t(i)] = quint32(i * 7);
            n = size;
            check(n);
        }
        b.erase(0, 1); // the first value: every other moves down by one
        QCOMPARE(b[0], quint32(7));
        b.resize(n - 1);
        QCOMPARE(b[size_t(n - 2)], quint32((n - 1) * 7));
        b.resize(n / 2);
        b.shrink();
        PodBlock<quint32> moved(std::move(b));
        QCOMPARE(b.size(), qsizetype(0));
        QCOMPARE(moved.size(), n / 2);
        QCOMPARE(moved[size_t(n / 2 - 1)], quint32((n / 2) * 7));
        moved.resize(n, 1); // grows again after the shrink
        QCOMPARE(moved[size_t(n - 1)], quint32(1));
    }

    void repeatedValuesStayPerRow_data()
    {
        QTest::addColumn<int>("parts");
        QTest::addColumn<int>("length"); // of the repeated texts
        QTest::addColumn<bool>("marks"); // a value equal to the one above sent as a mark
        QTest::newRow("one packet") << 1 << 10 << false;
        QTest::newRow("three parts") << 3 << 10 << false;
        QTest::newRow("texts of two length bytes") << 2 << 300 << false;
        QTest::newRow("texts of three length bytes") << 2 << 17000 << false;
        QTest::newRow("three parts with marks") << 3 << 300 << true;
    }
    void repeatedValuesStayPerRow()
    {
        QFETCH(int, parts);
        QFETCH(int, length);
        QFETCH(bool, marks);
        const int rows = 120;
        TClientDataSet ds;
        ds.AddField({QStringLiteral("IDCHECK"), ftFixedChar, 1});
        ds.AddField({QStringLiteral("NRNSU"), ftString, 15});
        ds.AddField({QStringLiteral("TEXTO"), ftString, 20000});
        ds.AddIndex(QStringLiteral("idx"), QStringLiteral("NRNSU"));
        std::map<QString, std::pair<QString, QString>> expected; // NSU -> tick, text
        for (int p = 0; p < parts; ++p) {
            const std::vector<wire::PacketField> fields{{QStringLiteral("IDCHECK"), wire::PacketType::FixedText, 1},
                                                        {QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                                                        {QStringLiteral("TEXTO"), wire::PacketType::Text, 20000}};
            wire::PacketWriter w(fields);
            w.setRepeats(true);
            for (int i = p * rows / parts; i < (p + 1) * rows / parts; ++i) {
                const QString nsu = QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
                expected[nsu] = {QStringLiteral("N"), QString(length, QLatin1Char('a' + (i / 4) % 3))};
                wire::PacketWriter one(fields);
                wire::PacketWriter &to = marks ? one : w;
                to.beginRow();
                to.text(QStringLiteral("N"));
                to.text(nsu);
                to.text(expected[nsu].second);
                if (marks)
                    w.encodedRow(one.rows().data(), one.rows().size());
            }
            if (p == 0)
                ds.SetData(w.finish());
            else
                ds.AppendData(w.finish());
        }
        auto check = [&](const char *step) {
            QCOMPARE(ds.RecordCount(), int(expected.size()));
            for (int v = 0; v < ds.RecordCount(); ++v) {
                const int row = ds.RowAt(v);
                const QString nsu = ds.FieldByName(QStringLiteral("NRNSU")).StringAt(row);
                QVERIFY2(expected.count(nsu), step);
                QVERIFY2(ds.FieldByName(QStringLiteral("IDCHECK")).StringAt(row) == expected[nsu].first, step);
                QVERIFY2(ds.FieldByName(QStringLiteral("TEXTO")).StringAt(row) == expected[nsu].second, step);
            }
        };
        check("loaded");
        auto edit = [&](const QString &nsu, const char *field, const QString &value) {
            QVERIFY(ds.Locate(QStringLiteral("NRNSU"), nsu));
            ds.Edit();
            ds.FieldByName(QString::fromLatin1(field)).SetAsString(value);
            ds.Post();
            (QByteArray(field) == "IDCHECK" ? expected[nsu].first : expected[nsu].second) = value;
        };
        edit(QStringLiteral("005"), "TEXTO", QString(length, QLatin1Char('x'))); // as long as the shared value
        check("one row's text changed");
        ds.SetTextOfAllRows(QStringLiteral("IDCHECK"), QStringLiteral("S"));
        for (auto &e : expected)
            e.second.first = QStringLiteral("S");
        edit(QStringLiteral("007"), "IDCHECK", QStringLiteral("N"));
        check("tick-all, then one untick");
        for (int i = 0; i < 10; ++i) {
            ds.First();
            expected.erase(ds.FieldByName(QStringLiteral("NRNSU")).AsString());
            ds.Delete();
        }
        check("rows deleted");
        for (int round = 0; round < 200; ++round) // enough left behind to reclaim
            edit(QStringLiteral("020"), "TEXTO", QString(1000 + round, QLatin1Char('z')));
        edit(QStringLiteral("021"), "TEXTO", QString());
        check("old values reclaimed");
    }

    void tickAllUnderSuspendedControlsPaintsOnce_data()
    {
        QTest::addColumn<int>("rows");
        QTest::newRow("a screenful") << 10;
        QTest::newRow("many screens") << 5000;
    }
    void tickAllUnderSuspendedControlsPaintsOnce()
    {
        QFETCH(int, rows);
        ShownGrid shown(rows);
        QVERIFY(shown.show());
        shown.watch();
        TClientDataSet &ds = shown.ds;
        TDBGrid &grid = shown.grid;
        int resets = 0;
        QObject::connect(grid.Model(), &QAbstractItemModel::modelReset, [&resets] { ++resets; });
        ds.DisableControls();
        ds.First();
        while (!ds.Eof()) {
            ds.Edit();
            ds.FieldByName(QStringLiteral("IDCHECK")).SetAsString(QStringLiteral("S"));
            ds.Post();
            ds.Next();
        }
        ds.EnableControls();
        ds.First();
        QCoreApplication::processEvents();
        QCOMPARE(shown.n, 1);
        QCOMPARE(resets, 0); // values changed, not the rows: the view keeps its place
        QCOMPARE(grid.Model()->index(0, 0).data().toString(), QStringLiteral("S"));
        QCOMPARE(grid.Model()->index(rows - 1, 0).data().toString(), QStringLiteral("S"));
        QCOMPARE(grid.currentIndex().row(), 0);
    }

    // Tick-all in one pass: the view repaints the tick column, once, with the new ticks,
    // and leaves the other columns' pixels alone.
    void tickAllRepaintsItsColumnOnly()
    {
        ShownGrid shown(5000);
        TDBGrid &grid = shown.grid;
        QVERIFY(shown.show());
        const QImage before = grid.viewport()->grab().toImage();
        shown.watch();
        shown.ds.SetTextOfAllRows(QStringLiteral("IDCHECK"), QStringLiteral("S"));
        QCoreApplication::processEvents();
        QCOMPARE(shown.n, 1);
        const int right = grid.columnViewportPosition(0) + grid.columnWidth(0);
        QVERIFY2(shown.region.boundingRect().right() < right + 2, "more than the tick column repainted");
        const QImage after = grid.viewport()->grab().toImage();
        QVERIFY(after.copy(0, 0, right, after.height()) != before.copy(0, 0, right, before.height()));
        QCOMPARE(after.copy(right + 2, 0, after.width() - right - 2, after.height()),
                 before.copy(right + 2, 0, before.width() - right - 2, before.height()));
    }

    // The grid draws its cells' text from layouts it keeps: pixel for pixel what the style
    // draws, selected or not, cut or whole, and never a text a cell no longer holds.
    void cellsLookAsTheStyleDrawsThem_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("width"); // of the name's column
        QTest::addColumn<bool>("focused");
        QTest::newRow("whole") << QStringLiteral("Emitente") << 200 << true;
        QTest::newRow("cut short") << QStringLiteral("Transportadora Horizonte Paulista Ltda") << 90 << true;
        QTest::newRow("accents") << QStringLiteral("Comércio São João & Cia") << 200 << true;
        QTest::newRow("no focus") << QStringLiteral("Indústria Metalúrgica Souza") << 120 << false;
        QTest::newRow("narrower than its margins") << QStringLiteral("Souza") << 4 << true;
    }
    void cellsLookAsTheStyleDrawsThem()
    {
        QFETCH(QString, name);
        QFETCH(int, width);
        QFETCH(bool, focused);
        ShownGrid shown(0);
        wire::PacketWriter w(listFields());
        for (int i = 0; i < 4; ++i) {
            w.beginRow();
            w.text(QStringLiteral("N"));
            w.text(QString::number(100 + i));
            w.text(i == 2 ? QString() : name + QString(i, QLatin1Char('x')));
            w.real(1234.5 * i);
            w.blob({});
        }
        shown.ds.SetData(w.finish());
        TDBGrid &grid = shown.grid;
        QVERIFY(shown.show());
        grid.setColumnWidth(2, width);
        shown.ds.SetRecNo(2); // one selected row
        if (focused)
            grid.setFocus();
        QCoreApplication::processEvents();
        const QImage ours = grid.viewport()->grab().toImage();
        // A value changed in place is drawn as the new value, and a narrower column cuts
        // it anew: neither comes from a layout kept for another text or width.
        auto setName = [&shown](const QString &v) {
            shown.ds.Edit();
            shown.ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).SetAsString(v);
            shown.ds.Post();
            QCoreApplication::processEvents();
        };
        setName(QStringLiteral("Outro"));
        const QImage edited = grid.viewport()->grab().toImage();
        grid.setColumnWidth(2, width / 2);
        QCoreApplication::processEvents();
        const QImage narrowed = grid.viewport()->grab().toImage();

        grid.setItemDelegate(new QStyledItemDelegate(&grid));
        QCoreApplication::processEvents();
        QCOMPARE(grid.viewport()->grab().toImage(), narrowed);
        grid.setColumnWidth(2, width);
        QCoreApplication::processEvents();
        QCOMPARE(grid.viewport()->grab().toImage(), edited);
        setName(name + QLatin1Char('x'));
        QCOMPARE(grid.viewport()->grab().toImage(), ours);
    }

    void locateExact()
    {
        TClientDataSet ds;
        defineFields(ds);
        ds.SetData(packet({"000000000000010", "000000000000001", "000000000000100"}));
        QVERIFY(ds.Locate(QStringLiteral("NRNSU"), QStringLiteral("000000000000100")));
        QCOMPARE(ds.RecNo(), 3);
        QVERIFY(!ds.Locate(QStringLiteral("NRNSU"), QStringLiteral("00000000000010")));
        QCOMPARE(ds.RecNo(), 3); // a miss leaves the cursor
    }

    void packetRoundTripKeepsValues()
    {
        wire::PacketWriter w(listFields());
        w.beginRow();
        w.text(QStringLiteral("S"));
        w.text(QStringLiteral("1"));
        w.text(QStringLiteral("Transportes São João & Cia"));
        w.real(1234.5);
        w.blob(QByteArray("<?xml?>\0\x01\xff", 10));
        w.beginRow();
        w.text(QStringLiteral("N"));
        w.text(QStringLiteral("2"));
        w.text(QString());
        w.real(-0.25);
        w.blob(QByteArray());
        TClientDataSet a;
        defineFields(a);
        a.SetData(w.finish());
        TClientDataSet b;
        defineFields(b);
        b.SetData(a.Data());
        QCOMPARE(b.RecordCount(), 2);
        b.First();
        QCOMPARE(b.FieldByName(QStringLiteral("NMRAZSOCEMIT")).AsString(), QStringLiteral("Transportes São João & Cia"));
        QCOMPARE(b.FieldByName(QStringLiteral("VRTOTALPREST")).AsFloat(), 1234.5);
        QCOMPARE(b.FieldByName(QStringLiteral("DSTEXTOXML")).AsBytes(), QByteArray("<?xml?>\0\x01\xff", 10));
        b.Next();
        QCOMPARE(b.FieldByName(QStringLiteral("NMRAZSOCEMIT")).AsString(), QString());
        QCOMPARE(b.FieldByName(QStringLiteral("VRTOTALPREST")).AsFloat(), -0.25);
        QCOMPARE(b.FieldByName(QStringLiteral("VRTOTALPREST")).FormattedAt(b.CurrentRow()),
                 QLocale().toString(-0.25, 'f', 2));
    }

    void packetFieldsFoundByNameOrRefused_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("other order") << 0 << true;
        QTest::newRow("missing field") << 1 << false;
        QTest::newRow("float as text") << 2 << false;
        QTest::newRow("garbage") << 3 << false;
        QTest::newRow("truncated") << 4 << false;
    }
    void packetFieldsFoundByNameOrRefused()
    {
        QFETCH(int, mode);
        QFETCH(bool, accepted);
        TClientDataSet ds;
        defineFields(ds);
        ds.SetData(packet({"7"}));
        TDataPacket p;
        if (mode == 0 || mode == 1 || mode == 2) {
            std::vector<wire::PacketField> f = {{QStringLiteral("DSTEXTOXML"), wire::PacketType::Blob, 0},
                                                {QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                                                {QStringLiteral("VRTOTALPREST"), mode == 2 ? wire::PacketType::Text : wire::PacketType::Float, 0},
                                                {QStringLiteral("IDCHECK"), wire::PacketType::Text, 1}};
            if (mode != 1)
                f.push_back({QStringLiteral("NMRAZSOCEMIT"), wire::PacketType::Text, 60});
            wire::PacketWriter w(f);
            w.beginRow();
            w.blob("x");
            w.text(QStringLiteral("9"));
            if (mode == 2) w.text(QStringLiteral("1.0")); else w.real(1.0);
            w.text(QStringLiteral("S"));
            if (mode != 1)
                w.text(QStringLiteral("Nome"));
            p = w.finish();
        } else if (mode == 3) {
            p.cbor = QByteArray("\x01\x02\x03", 3);
        } else {
            p = packet({"8", "9"});
            p.cbor.chop(5);
        }
        if (accepted) {
            ds.SetData(p);
            QCOMPARE(ds.FieldByName(QStringLiteral("NMRAZSOCEMIT")).AsString(), QStringLiteral("Nome"));
            QCOMPARE(ds.FieldByName(QStringLiteral("IDCHECK")).AsString(), QStringLiteral("S"));
        } else {
            QVERIFY_THROWS_EXCEPTION(Exception, ds.SetData(p));
            QCOMPARE(order(ds), QStringList{"7"}); // the list as it was
        }
    }

    void emptyAndCreateEmpty()
    {
        TClientDataSet ds;
        defineFields(ds);
        QVERIFY(!ds.Active());
        QVERIFY(ds.IsEmpty());
        ds.CreateDataSet();
        QVERIFY(ds.Active());
        QVERIFY(ds.IsEmpty());
        ds.SetData(packet({"1"}));
        ds.EmptyDataSet();
        QVERIFY(ds.Active());
        QCOMPARE(ds.RecordCount(), 0);
        QVERIFY(ds.Eof());
    }

    void stateChangesAreNotified()
    {
        TClientDataSet ds;
        defineFields(ds);
        TDataSource src;
        src.SetDataSet(&ds);
        QList<TDataSetState> seen;
        src.OnStateChange = [&](TDataSource *s) { seen << s->State(); };
        ds.SetData(packet({"1"}));
        ds.Edit();
        ds.Cancel();
        ds.Close();
        QCOMPARE(seen, (QList<TDataSetState>{dsBrowse, dsEdit, dsBrowse, dsInactive}));
    }

    void gridModelIsConsistent()
    {
        TClientDataSet ds;
        defineFields(ds);
        TDataSource src;
        src.SetDataSet(&ds);
        TDBGrid grid;
        grid.SetDataSource(&src);
        grid.AddColumn(QStringLiteral("IDCHECK"));
        grid.AddColumn(QStringLiteral("NRNSU"));
        grid.AddColumn(QStringLiteral("VRTOTALPREST"));
        grid.ApplyColumns();
        QAbstractItemModelTester tester(grid.Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        ds.SetData(packet({"3", "1", "2"}));
        QCOMPARE(grid.Model()->rowCount(), 3);
        QCOMPARE(grid.Model()->index(0, 1).data().toString(), QStringLiteral("1"));
        QCOMPARE(grid.Model()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("NSU"));
        QCOMPARE(grid.Model()->index(2, 2).data().toString(), QLocale().toString(0.3, 'f', 2));
        ds.SetRecNo(2);
        QCOMPARE(grid.currentIndex().row(), 1);
        grid.setCurrentIndex(grid.Model()->index(2, 1));
        QCOMPARE(ds.RecNo(), 3);
        ds.Edit();
        ds.FieldByName(QStringLiteral("IDCHECK")).SetAsString(QStringLiteral("S"));
        ds.Post();
        QCOMPARE(grid.Model()->index(2, 0).data().toString(), QStringLiteral("S"));
        // A next part in order is inserted at the end (the view keeps its place); one out
        // of order, or under a filter that lets some through, still lands where it belongs.
        QSignalSpy resets(grid.Model(), &QAbstractItemModel::modelReset);
        QSignalSpy inserted(grid.Model(), &QAbstractItemModel::rowsInserted);
        ds.AppendData(packet({"4", "5"}));
        QCOMPARE(resets.count(), 0);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted[0].value(1).toInt(), 3);
        QCOMPARE(inserted[0].value(2).toInt(), 4);
        QCOMPARE(grid.Model()->index(4, 1).data().toString(), QStringLiteral("5"));
        QCOMPARE(ds.RecNo(), 3);
        QCOMPARE(grid.currentIndex().row(), 2);
        ds.SetFilter(QStringLiteral("NMRAZSOCEMIT = 'Emitente 7'"));
        ds.SetFiltered(true);
        ds.AppendData(packet({"6", "7"}));
        QCOMPARE(grid.Model()->rowCount(), 1);
        QCOMPARE(grid.Model()->index(0, 1).data().toString(), QStringLiteral("7"));
        ds.SetFiltered(false);
        ds.AppendData(packet({"0"}));
        QCOMPARE(grid.Model()->rowCount(), 8);
        QCOMPARE(grid.Model()->index(0, 1).data().toString(), QStringLiteral("0"));
        ds.Close();
        QCOMPARE(grid.Model()->rowCount(), 0);
    }
};

QTEST_MAIN(TestDataSet)
#include "tst_dataset.moc"
