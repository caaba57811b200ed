// The list out of the program: CSV and XLSX read back to the same typed cells, ZIP to the same bytes.
#include "Unzip.h"
#include "Writers.h"

#include <QDate>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;
using listexport::Type;

namespace {

listexport::Table sample()
{
    listexport::Table t;
    t.columns = {{u"NSU"_s, Type::Text}, {u"Emitente"_s, Type::Text}, {u"Valor Total"_s, Type::Number, 2},
                 {u"Emissão"_s, Type::Date}};
    t.rows = {{u"000000000000042"_s, u"Ação; \"Rápida\" Ltda"_s, 1234.5, QDate(2026, 12, 9)},
              {u"000000000000043"_s, u"linha\ndupla"_s, -0.25, QDate(2024, 2, 29)},
              {u"000000000000044"_s, QVariant(), QVariant(), QVariant()}};
    return t;
}

// RFC 4180 with ';': quoted fields may hold separators, doubled quotes and line breaks.
std::vector<QStringList> parseCsv(const QString &text)
{
    std::vector<QStringList> rows(1);
    QString cell;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted && c == u'"' && i + 1 < text.size() && text[i + 1] == u'"') {
            cell += u'"';
            ++i;
        } else if (c == u'"') {
            quoted = !quoted;
        } else if (!quoted && c == u';') {
            rows.back() << std::exchange(cell, {});
        } else if (!quoted && c == u'\r') {
            rows.back() << std::exchange(cell, {});
            rows.emplace_back();
            ++i; // the \n
        } else {
            cell += c;
        }
    }
    rows.pop_back();
    return rows;
}

} // namespace

class TestExport : public QObject {
    Q_OBJECT
private slots:
    void csvReadsBackAsShown()
    {
        const QByteArray bytes = listexport::csv(sample());
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const auto rows = parseCsv(QString::fromUtf8(bytes.mid(3)));
        QCOMPARE(rows.size(), size_t(4));
        QCOMPARE(rows[0], (QStringList{u"NSU"_s, u"Emitente"_s, u"Valor Total"_s, u"Emissão"_s}));
        QCOMPARE(rows[1], (QStringList{u"000000000000042"_s, u"Ação; \"Rápida\" Ltda"_s, u"1234,50"_s, u"09/12/2026"_s}));
        QCOMPARE(rows[2], (QStringList{u"000000000000043"_s, u"linha\ndupla"_s, u"-0,25"_s, u"29/02/2024"_s}));
        QCOMPARE(rows[3], (QStringList{u"000000000000044"_s, QString(), QString(), QString()}));
    }

    void xlsxKeepsTypesAndTexts()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"lista.xlsx"_s);
        QString error;
        QVERIFY2(listexport::writeXlsx(path, sample(), &error), qPrintable(error));
        QVERIFY(!QFile::exists(path + u".part"_s));
        const auto parts = unzipAll(path);
        const QString sheet = QString::fromUtf8(parts.value(u"xl/worksheets/sheet1.xml"_s));
        const QString strings = QString::fromUtf8(parts.value(u"xl/sharedStrings.xml"_s));
        QVERIFY(!sheet.isEmpty() && !strings.isEmpty());
        // Numbers and dates are values, not shared strings; the date is its serial day.
        auto cell = [&](const QString &ref) {
            const QRegularExpression re(u"<c r=\"%1\"([^>]*)>(?:<v>([^<]*)</v>)?"_s.arg(ref));
            const auto m = re.match(sheet);
            return m.hasMatch() ? QStringList{m.captured(1), m.captured(2)} : QStringList();
        };
        QCOMPARE(cell(u"C2"_s).value(1), u"1234.5"_s);
        QVERIFY(!cell(u"C2"_s).value(0).contains(u"t=\"s\""_s));
        QCOMPARE(cell(u"D2"_s).value(1), QString::number(QDate(1899, 12, 30).daysTo(QDate(2026, 12, 9))));
        QCOMPARE(cell(u"C3"_s).value(1), u"-0.25"_s);
        QVERIFY(cell(u"A2"_s).value(0).contains(u"t=\"s\""_s));
        QVERIFY(cell(u"C4"_s).isEmpty());
        for (const QString &s : {u"000000000000042"_s, u"Ação; &quot;Rápida&quot; Ltda"_s, u"Emissão"_s})
            QVERIFY2(strings.contains(s) || strings.contains(QString(s).replace(u"&quot;"_s, u"\""_s)), qPrintable(s));
    }

    void zipHoldsTheExactBytes()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"docs.zip"_s);
        QByteArray binary(70000, '\0');
        for (qsizetype i = 0; i < binary.size(); ++i)
            binary[i] = char(i * 7 % 251);
        const std::vector<listexport::ZipEntry> entries{
            {u"35240612345678000195570010000012341000012348-cte.xml"_s, "<?xml version=\"1.0\"?>\r\n<cteProc>\xc3\xa7</cteProc>"},
            {u"35240612345678000195570010000012341000012348.pdf"_s, binary},
            {u"vazio.xml"_s, QByteArray()}};
        QString error;
        QVERIFY2(listexport::writeZip(path, entries, &error), qPrintable(error));
        const auto back = unzipAll(path);
        QCOMPARE(back.size(), 3);
        for (const auto &e : entries)
            QCOMPARE(back.value(e.name), e.bytes);
    }

    void failedWriteLeavesNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("csv") << u"csv"_s;
        QTest::newRow("xlsx") << u"xlsx"_s;
        QTest::newRow("zip") << u"zip"_s;
    }
    void failedWriteLeavesNothing()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"missing/out."_s + kind);
        QString error;
        const bool ok = kind == u"csv"_s    ? listexport::writeCsv(path, sample(), &error)
                        : kind == u"xlsx"_s ? listexport::writeXlsx(path, sample(), &error)
                                            : listexport::writeZip(path, {{u"a"_s, "b"}}, &error);
        QVERIFY(!ok);
        QVERIFY(!error.isEmpty());
        QVERIFY(!QFile::exists(path) && !QFile::exists(path + u".part"_s));
    }
};

QTEST_MAIN(TestExport)
#include "tst_export.moc"
