// What the screen offers beside its commands: a row's DACTE, the ticked rows' documents
// in one file, finding a row and taking the list to a spreadsheet.
#include "Creation.h"
#include "CteSamples.h"
#include "ScreenHarness.h"
#include "ScreenSteps.h"
#include "SincronizacaoCTe.h"
#include "Unzip.h"

#include <QClipboard>
#include <QDir>
#include <QHeaderView>
#include <QMenu>
#include <QTest>

using Cli_Dfe71000::TfrmSincronizacaoCTe;
using namespace Qt::StringLiterals;

namespace {
const QString kA = u"11222333000181"_s;
const QString kKey2 = u"35261211222333000181570010000010021000000022"_s;

TDataPacket downloadReply(const wire::DecodedPacket &asked, const QSet<QString> &refused)
{
    wire::PacketWriter w({{u"NRNSU"_s, wire::PacketType::Text, 15}, {u"DSNOMEARQUIVO"_s, wire::PacketType::Text, 255},
                          {u"DSTEXTOXML"_s, wire::PacketType::Blob, 0}, {u"IDSTATUS"_s, wire::PacketType::Text, 3},
                          {u"DSSTATUS"_s, wire::PacketType::Text, 255}});
    const int tick = asked.indexOf(u"IDCHECK"_s), nsu = asked.indexOf(u"NRNSU"_s), key = asked.indexOf(u"NRACESSOCTE"_s);
    for (const QVariantList &row : asked.rows) {
        if (row[tick].toString() != u"S"_s)
            continue;
        const bool ok = !refused.contains(row[nsu].toString());
        w.beginRow();
        w.text(row[nsu].toString());
        w.text(ok ? row[key].toString() + u"-procCTe.xml"_s : QString());
        w.blob(ok ? samples::document(u"CTe"_s, u"57"_s, row[key].toString(), u"1"_s, u"135260000000001"_s,
                                      samples::normalBody(false))
                  : QByteArray());
        w.text(ok ? u"S"_s : u"N"_s);
        w.text(ok ? QString() : u"XML não encontrado."_s);
    }
    return w.finish();
}

QStringList csvLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {u"<missing>"_s};
    return QString::fromUtf8(f.readAll().mid(3)).split(u"\r\n"_s, Qt::SkipEmptyParts);
}
} // namespace

class TestDocuments : public QObject {
    Q_OBJECT
    QTemporaryDir scratch;
    std::unique_ptr<TempHostDb> db;
    std::unique_ptr<HostWindow> host;
    std::unique_ptr<FakeServer> server;
    std::unique_ptr<DialogsScope> dialogs;
    QSet<QString> refused; // NSUs whose document the server does not have
    std::vector<wire::DecodedPacket> asked; // what each download sent

    TfrmSincronizacaoCTe *s() { return Cli_Dfe71000::frmSincronizacaoCTe.data(); }
    TClientDataSet &cds() { return s()->cdsSincronizacaoCTe; }
    QList<ListRow> rows()
    {
        return {{u"1"_s, samples::kKey, u"100"_s, u"N"_s, u"1"_s, u"Expresso São José"_s, u"01/12/2026"_s},
                {u"2"_s, kKey2, u"101"_s, u"N"_s, u"1"_s, u"Transportes Carvalho"_s, u"02/12/2026"_s},
                {u"3"_s, u"35261211222333000181570010000010031000000033"_s, u"100"_s, u"N"_s, u"1"_s,
                 u"Sao Jose Cargas"_s, u"03/12/2026"_s}};
    }
    void load(const QList<int> &ticked)
    {
        confirmNextFilterWith(kA);
        s()->sbtFiltro->click();
        QCOMPARE(cds().RecordCount(), 3);
        for (int i : ticked) {
            cds().SetRecNo(i + 1);
            QTest::keyClick(s()->dbgPadrao, Qt::Key_Space);
        }
        server->requests.clear();
        asked.clear();
        dialogs->d.clear();
        dialogs->d.previews.clear();
        dialogs->d.previewPdfs.clear();
    }

private Q_SLOTS:
    void initTestCase()
    {
        db = std::make_unique<TempHostDb>();
        server = std::make_unique<FakeServer>();
        server->handler = [this](const wire::Request &r) {
            if (r.method == u"GetSincronizacaoCTe"_s)
                return listReply(rows(), r.args);
            asked.push_back(wire::decodePacket(r.args.value(0).value<TDataPacket>()));
            return okReply(QVariantList{u"S"_s, QVariant::fromValue(downloadReply(asked.back(), refused))}, r.args);
        };
        PublishHostValues(server->port());
        host = std::make_unique<HostWindow>();
        QVERIFY(QTest::qWaitForWindowActive(&host->main));
        dialogs = std::make_unique<DialogsScope>();
        Cli_Dfe71000::CriaSincronizacaoCTe();
        QVERIFY(s());
    }

    void dacteOfTheCurrentRowInThePreview_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("shown");
        QTest::newRow("Enter on a row") << u"enter"_s << 1 << true;
        QTest::newRow("tool bar") << u"button"_s << 0 << true;
        QTest::newRow("row menu") << u"menu"_s << 2 << true;
        QTest::newRow("document missing on the server") << u"button"_s << 2 << false;
    }
    void dacteOfTheCurrentRowInThePreview()
    {
        QFETCH(QString, how);
        QFETCH(int, row);
        QFETCH(bool, shown);
        load({0});
        refused = shown ? QSet<QString>{} : QSet<QString>{u"3"_s};
        cds().SetRecNo(row + 1);
        const QString key = cds().FieldByName(u"NRACESSOCTE"_s).AsString();
        if (how == u"enter"_s) {
            QTest::keyClick(s()->dbgPadrao, Qt::Key_Return);
        } else if (how == u"button"_s) {
            s()->sbtDacte->click();
        } else {
            std::unique_ptr<QMenu> menu(s()->menuLinha());
            menu->actions().value(0)->trigger();
        }
        // Only that row is asked for, ticked or not, and the list keeps its ticks and place.
        QCOMPARE(asked.size(), size_t(1));
        QCOMPARE(asked[0].rows.size(), size_t(1));
        QCOMPARE(asked[0].rows[0].value(asked[0].indexOf(u"NRACESSOCTE"_s)).toString(), key);
        QCOMPARE(dialogs->d.previews, shown ? QStringList{u"DACTE "_s + key} : QStringList{});
        QCOMPARE(dialogs->d.errors, shown ? QStringList{} : QStringList{u"XML não encontrado."_s});
        if (shown)
            QVERIFY(dialogs->d.previewPdfs.back().startsWith("%PDF"));
        QCOMPARE(server->callsOf(u"GetSincronizacaoCTe"_s).size(), 0);
        QCOMPARE(ticksOf(cds()), (QStringList{u"S"_s, u"N"_s, u"N"_s}));
        QCOMPARE(cds().RecNo(), row + 1);
        refused.clear();
    }

    void tickedDocumentsIntoOneFile_data()
    {
        QTest::addColumn<bool>("zip");
        QTest::addColumn<QString>("info");
        const QString counts = u"Download de 1 XML(s) realizado(s) com sucesso. 1 XML(s) não baixado(s)."_s;
        QTest::newRow("one PDF") << false << counts;
        QTest::newRow("one ZIP of XML and PDF") << true << counts;
    }
    void tickedDocumentsIntoOneFile()
    {
        QFETCH(bool, zip);
        QFETCH(QString, info);
        load({0, 2});
        refused = {u"3"_s};
        QTemporaryDir out(scratch.filePath(u"out-XXXXXX"_s));
        dialogs->d.folder = out.path();
        (zip ? s()->mnuDactesZip : s()->mnuDactesPdf)->trigger();
        QCOMPARE(dialogs->d.errors, QStringList{});
        QCOMPARE(dialogs->d.infos, QStringList{info});
        const QStringList files = QDir(out.path()).entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        QVERIFY2(files[0].startsWith(u"CT-e_11222333000181_"_s) && files[0].endsWith(zip ? u".zip"_s : u".pdf"_s),
                 qPrintable(files[0]));
        const QString path = out.filePath(files[0]);
        if (zip) {
            const auto entries = unzipAll(path);
            QCOMPARE(entries.keys(), (QStringList{samples::kKey + u"-procCTe.pdf"_s, samples::kKey + u"-procCTe.xml"_s}));
            QCOMPARE(entries.value(samples::kKey + u"-procCTe.xml"_s),
                     samples::document(u"CTe"_s, u"57"_s, samples::kKey, u"1"_s, u"135260000000001"_s, samples::normalBody(false)));
            QVERIFY(entries.value(samples::kKey + u"-procCTe.pdf"_s).startsWith("%PDF"));
        } else {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QVERIFY(f.readAll().startsWith("%PDF"));
        }
        // Nothing changed on the server: no reload, ticks kept, the restriction lifted.
        QCOMPARE(server->callsOf(u"GetSincronizacaoCTe"_s).size(), 0);
        QCOMPARE(ticksOf(cds()), (QStringList{u"S"_s, u"N"_s, u"S"_s}));
        QVERIFY(!cds().Filtered());
        refused.clear();
    }

    void findMovesAsTheUserTypes_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QList<int>>("keys"); // after typing: F3 (1) or Shift+F3 (-1)
        QTest::addColumn<int>("recNo");
        QTest::addColumn<QString>("label");
        // From row 2 (Transportes Carvalho); rows 1 and 3 are São José and Sao Jose.
        QTest::newRow("accents ignored, next match down") << u"sao jose"_s << QList<int>{} << 3 << u"2 encontrado(s)"_s;
        QTest::newRow("F3 wraps to the top") << u"são"_s << QList<int>{1} << 1 << u"2 encontrado(s)"_s;
        QTest::newRow("F3 twice") << u"são"_s << QList<int>{1, 1} << 3 << u"2 encontrado(s)"_s;
        QTest::newRow("Shift+F3 back") << u"JOSÉ"_s << QList<int>{-1} << 1 << u"2 encontrado(s)"_s;
        QTest::newRow("the current row kept while it matches") << u"carv"_s << QList<int>{} << 2 << u"1 encontrado(s)"_s;
        QTest::newRow("key with punctuation") << u"3526 1211 2223 3300 0181 5700 1000 0010 0210"_s << QList<int>{} << 2
                                              << u"1 encontrado(s)"_s;
        QTest::newRow("nothing") << u"inexistente"_s << QList<int>{} << 2 << u"nenhum CT-e encontrado"_s;
    }
    void findMovesAsTheUserTypes()
    {
        QFETCH(QString, typed);
        QFETCH(QList<int>, keys);
        QFETCH(int, recNo);
        QFETCH(QString, label);
        load({});
        cds().SetRecNo(2);
        s()->dbgPadrao->setFocus();
        QTest::keyClick(s()->dbgPadrao, Qt::Key_F, Qt::ControlModifier);
        QVERIFY(s()->panBusca->isVisible());
        QCOMPARE(s()->focusWidget(), static_cast<QWidget *>(s()->edtBusca));
        s()->edtBusca->clear();
        s()->edtBusca->insert(typed);
        for (int k : keys)
            QTest::keyClick(s()->edtBusca, Qt::Key_F3, k < 0 ? Qt::ShiftModifier : Qt::NoModifier);
        QCOMPARE(cds().RecNo(), recNo);
        QCOMPARE(s()->lblBusca->text(), label);
        QTest::keyClick(s()->edtBusca, Qt::Key_Escape);
        QVERIFY(!s()->panBusca->isVisible());
    }

    void exportTakesTheListAsShown_data()
    {
        QTest::addColumn<bool>("tickedOnly");
        QTest::addColumn<QStringList>("nsus");
        QTest::newRow("all rows, in the shown order") << false << QStringList{u"1"_s, u"2"_s, u"3"_s};
        QTest::newRow("ticked rows when asked") << true << QStringList{u"2"_s};
    }
    void exportTakesTheListAsShown()
    {
        QFETCH(bool, tickedOnly);
        QFETCH(QStringList, nsus);
        load({1});
        // The user moved the amount before the NSU.
        QHeaderView *h = s()->dbgPadrao->horizontalHeader();
        int amount = -1, nsu = -1;
        for (int i = 0; i < int(s()->dbgPadrao->Columns.size()); ++i) {
            if (s()->dbgPadrao->Columns[size_t(i)].FieldName == u"VRTOTALPREST"_s)
                amount = i;
            if (s()->dbgPadrao->Columns[size_t(i)].FieldName == u"NRNSU"_s)
                nsu = i;
        }
        QVERIFY(amount >= 0 && nsu >= 0);
        h->moveSection(h->visualIndex(amount), h->visualIndex(nsu));
        dialogs->d.confirmAnswer = tickedOnly;
        dialogs->d.saveFile = scratch.filePath(u"lista.csv"_s);
        s()->sbtExportar->click();
        h->moveSection(h->visualIndex(amount), h->visualIndex(nsu) + 1);
        QCOMPARE(dialogs->d.confirms, QStringList{u"Exportar somente os CT-e marcados?"_s});
        const QStringList lines = csvLines(*dialogs->d.saveFile);
        QCOMPARE(lines.size(), nsus.size() + 1);
        const QStringList head = lines[0].split(u';');
        QCOMPARE(head.value(0), s()->dbgPadrao->model()->headerData(amount, Qt::Horizontal).toString());
        QCOMPARE(head.value(1), s()->dbgPadrao->model()->headerData(nsu, Qt::Horizontal).toString());
        for (int i = 0; i < nsus.size(); ++i) {
            const QStringList cells = lines[i + 1].split(u';');
            QCOMPARE(cells.value(0), u"1500,50"_s);
            QCOMPARE(cells.value(1), nsus[i]);
        }
        dialogs->d.confirmAnswer = true;
    }

    void rowMenuCopiesTheKey()
    {
        load({});
        cds().SetRecNo(2);
        std::unique_ptr<QMenu> menu(s()->menuLinha());
        menu->actions().value(1)->trigger();
        QCOMPARE(QGuiApplication::clipboard()->text(), kKey2);
    }
};

QTEST_MAIN(TestDocuments)
#include "tst_documents.moc"
