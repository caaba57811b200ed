// The DACTE: the texts placed on the page are the document's, the bar code reads back as the
// access key and the QR code as the document's own link, the marks, and the PDF.
#include "CteSamples.h"
#include "Document.h"
#include "Renderer.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>
#include <stdexcept>
#include <zbar.h>

using namespace Qt::StringLiterals;
using namespace samples;

namespace {

struct Decoded {
    QString bars, qr;
};

Decoded decode(const QImage &page)
{
    const QImage gray = page.convertToFormat(QImage::Format_Grayscale8);
    QByteArray raw;
    raw.reserve(qsizetype(gray.width()) * gray.height());
    for (int y = 0; y < gray.height(); ++y)
        raw.append(reinterpret_cast<const char *>(gray.constScanLine(y)), gray.width());
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 1);
    zbar::Image image(unsigned(gray.width()), unsigned(gray.height()), "Y800", raw.constData(), static_cast<unsigned long>(raw.size()));
    scanner.scan(image);
    Decoded d;
    for (auto s = image.symbol_begin(); s != image.symbol_end(); ++s) {
        if (s->get_type() == zbar::ZBAR_CODE128)
            d.bars = QString::fromStdString(s->get_data());
        else if (s->get_type() == zbar::ZBAR_QRCODE)
            d.qr = QString::fromStdString(s->get_data());
    }
    return d;
}

QString placedText(const std::vector<dacte::Placed> &placed, const QString &label)
{
    for (const auto &p : placed)
        if (p.label == label)
            return p.text;
    return u"<ausente>"_s;
}

} // namespace

class TestDacte : public QObject {
    Q_OBJECT
private slots:
    void placedTextsAreTheDocuments_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QStringList>("expected"); // label=text
        QTest::newRow("CT-e with protocol") << document(u"CTe"_s, u"57"_s, kKey, u"1"_s, u"135240000012345"_s, normalBody(false))
            << QStringList{u"MODELO=57"_s, u"NÚMERO=1234"_s, u"DATA E HORA DE EMISSÃO=10/06/2024 14:05:09"_s,
                           u"EMITENTE=TRANSPORTES EXEMPLO LTDA"_s, u"CHAVE DE ACESSO=3524 0612 3456 7800 0195 5700 1000 0012 3410 0001 2348"_s,
                           u"PROTOCOLO DE AUTORIZAÇÃO DE USO=135240000012345 - 10/06/2024 14:06:00"_s,
                           u"INÍCIO DA PRESTAÇÃO=CAMPINAS - SP"_s, u"TÉRMINO DA PRESTAÇÃO=CURITIBA - PR"_s,
                           u"FRETE PESO=1.000,00"_s, u"PEDAGIO=234,56"_s, u"VALOR TOTAL DO SERVIÇO=1.234,56"_s,
                           u"VALOR A RECEBER=1.200,00"_s, u"VALOR ICMS=148,15"_s, u"ALÍQ. ICMS=12,00"_s,
                           u"VALOR TOTAL DA CARGA=30.160,92"_s, u"PRODUTO PREDOMINANTE=FITA GOMADA"_s, u"PESO REAL=209,8000"_s,
                           u"DOCUMENTOS ORIGINÁRIOS=NF-e 3524 0699 8887 7700 0166 5500 1000 0001 2310 0000 1230"_s,
                           u"OBSERVAÇÕES=ENTREGAR NO DOCA 3"_s, u"TIPO DO SERVIÇO=NORMAL"_s, u"MODAL=RODOVIÁRIO"_s};
        QTest::newRow("taker is the recipient") << document(u"CTe"_s, u"57"_s, kKey, u"1"_s, QString(), normalBody(false))
            << QStringList{u"TOMADOR DO SERVIÇO=DESTINO COMERCIO LTDA\nRUA A, 10\nCENTRO\nCURITIBA - SP  CEP 01001000\nCNPJ/CPF: 33.000.167/0001-01   IE: 123456789"_s,
                           u"REMETENTE=REMETENTE EXEMPLO SA\nRUA A, 10\nCENTRO\nCAMPINAS - SP  CEP 01001000\nCNPJ/CPF: 11.222.333/0001-81   IE: 123456789"_s,
                           u"PROTOCOLO DE AUTORIZAÇÃO DE USO="_s};
        QTest::newRow("IBS/CBS group") << document(u"CTe"_s, u"57"_s, kKey, u"1"_s, QString(), normalBody(true))
            << QStringList{u"IBS/CBS CST=000"_s, u"IBS/CBS cClassTrib=000001"_s, u"IBS/CBS pCBS=0.9000"_s, u"IBS/CBS vCBS=8.71"_s};
        QTest::newRow("CT-e OS") << document(u"CTeOS"_s, u"67"_s, kKey, u"1"_s, QString(), osBody())
                                        .replace("<tpServ>0</tpServ>", "<tpServ>6</tpServ>")
            << QStringList{u"MODELO=67"_s, u"DESCRIÇÃO DO SERVIÇO=TRANSPORTE DE PESSOAS"_s, u"FRETAMENTO=800,00"_s,
                           u"SITUAÇÃO TRIBUTÁRIA=40"_s, u"REMETENTE=<ausente>"_s,
                           u"TIPO DO SERVIÇO=TRANSPORTE DE PESSOAS"_s,
                           u"TOMADOR DO SERVIÇO=TOMADOR DE SERVICO LTDA\nRUA A, 10\nCENTRO\nSANTOS - SP  CEP 01001000\nCNPJ/CPF: 44.555.666/0001-71   IE: 123456789"_s};
        QTest::newRow("GTV-e") << document(u"GTVe"_s, u"64"_s, kKey, u"1"_s, QString(), gtvBody())
            << QStringList{u"MODELO=64"_s, u"ESPÉCIE 1=5.000,00"_s, u"DESTINATÁRIO=AGENCIA DESTINO\nRUA A, 10\nCENTRO\nCURITIBA - SP  CEP 01001000\nCNPJ/CPF: 33.000.167/0001-01   IE: 123456789"_s};
        QTest::newRow("CT-e Simplificado") << document(u"CTeSimp"_s, u"57"_s, kKey, u"1"_s, QString(), simpBody())
            << QStringList{u"VALOR TOTAL DO SERVIÇO=300,00"_s, u"FRETE=300,00"_s, u"INÍCIO DA PRESTAÇÃO=CAMPINAS - SP"_s,
                           u"PRODUTO PREDOMINANTE=GRAOS"_s,
                           u"DOCUMENTOS ORIGINÁRIOS=NF-e 3524 0699 8887 7700 0166 5500 1000 0001 2310 0000 1230"_s};
        QTest::newRow("homologation marked") << document(u"CTe"_s, u"57"_s, kKey, u"2"_s, QString(), normalBody(false))
            << QStringList{u"MARCA=SEM VALOR FISCAL"_s};
    }
    void placedTextsAreTheDocuments()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QStringList, expected);
        QImage img(420, 594, QImage::Format_RGB32);
        QPainter p(&img);
        const auto placed = dacte::paint(p, QRectF(0, 0, img.width(), img.height()), dacte::read(xml));
        for (const QString &e : expected) {
            const qsizetype eq = e.indexOf(u'=');
            QCOMPARE(placedText(placed, e.left(eq)), e.mid(eq + 1));
        }
    }

    void marksFollowStatusAndEnvironment_data()
    {
        QTest::addColumn<QString>("tpAmb");
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<QStringList>("marks");
        QTest::newRow("production") << u"1"_s << false << QStringList();
        QTest::newRow("cancelled") << u"1"_s << true << QStringList{u"CANCELADO"_s};
        QTest::newRow("homologation, cancelled") << u"2"_s << true << QStringList{u"SEM VALOR FISCAL"_s, u"CANCELADO"_s};
    }
    void marksFollowStatusAndEnvironment()
    {
        QFETCH(QString, tpAmb);
        QFETCH(bool, cancelled);
        QFETCH(QStringList, marks);
        QImage img(210, 297, QImage::Format_RGB32);
        QPainter p(&img);
        const auto placed = dacte::paint(p, QRectF(0, 0, 210, 297), dacte::read(document(u"CTe"_s, u"57"_s, kKey, tpAmb, {}, normalBody(false))),
                                         dacte::Options{cancelled});
        QStringList seen;
        for (const auto &pl : placed)
            if (pl.label == u"MARCA"_s)
                seen << pl.text;
        QCOMPARE(seen, marks);
    }

    void codesReadBackAsKeyAndLink_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("numeric key") << kKey;
        QTest::newRow("alphanumeric issuer") << kAlphaKey;
    }
    void codesReadBackAsKeyAndLink()
    {
        QFETCH(QString, key);
        const QImage page = dacte::image(dacte::read(document(u"CTe"_s, u"57"_s, key, u"1"_s, {}, normalBody(false))), {}, 300);
        const Decoded d = decode(page);
        QCOMPARE(d.bars, key);
        QCOMPARE(d.qr, kQr);
    }

    void whatIsNoCteIsRefused_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::newRow("an NF-e") << QByteArray("<nfeProc><NFe><infNFe Id=\"NFe1\"><ide/></infNFe></NFe></nfeProc>");
        QTest::newRow("not XML") << QByteArray("%PDF-1.4 garbage");
        QTest::newRow("CT-e without ide") << QByteArray("<CTe><infCte Id=\"CTe1\"><emit/></infCte></CTe>");
        QTest::newRow("nested without end") << QByteArray("<CTe>").repeated(200);
    }
    void whatIsNoCteIsRefused()
    {
        QFETCH(QByteArray, xml);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, dacte::read(xml));
    }

    void pdfHoldsOnePagePerDocument()
    {
        QTemporaryDir dir;
        const dacte::Document d = dacte::read(document(u"CTe"_s, u"57"_s, kKey, u"1"_s, {}, normalBody(false)));
        const QString path = dir.filePath(u"dactes.pdf"_s);
        QString error;
        QVERIFY2(dacte::writePdf(path, {{d, {}}, {d, {true}}, {d, {}}}, &error), qPrintable(error));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray pdf = f.readAll();
        QVERIFY(pdf.startsWith("%PDF"));
        QCOMPARE(pdf.count("/Type /Page\n") + pdf.count("/Type /Page\r") + pdf.count("/Type /Page "), 3);
        QVERIFY(!dacte::writePdf(dir.filePath(u"no/such/folder/x.pdf"_s), {{d, {}}}, &error));
        QVERIFY(!error.isEmpty());
    }
};

QTEST_MAIN(TestDacte)
#include "tst_dacte.moc"
