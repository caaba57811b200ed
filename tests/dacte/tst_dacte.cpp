// The DACTE: the texts placed on the page are the document's, the bar code reads back as the
// access key and the QR code as the document's own link, the marks, and the PDF.
#include "Document.h"
#include "Renderer.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>
#include <stdexcept>
#include <zbar.h>

using namespace Qt::StringLiterals;

namespace {

const QString kKey = u"35240612345678000195570010000012341000012348"_s;
const QString kAlphaKey = u"35261212ABC34501DE35570010000010021000000026"_s;
const QString kQr = u"https://nfe.fazenda.sp.gov.br/CTeConsulta/qrCode?chCTe=35240612345678000195570010000012341000012348&tpAmb=1"_s;

QString party(const QString &tag, const QString &ender, const QString &cnpj, const QString &name, const QString &city)
{
    return uR"(<%1><CNPJ>%3</CNPJ><IE>123456789</IE><xNome>%4</xNome><%2><xLgr>RUA A</xLgr><nro>10</nro><xBairro>CENTRO</xBairro>
<cMun>3550308</cMun><xMun>%5</xMun><CEP>01001000</CEP><UF>SP</UF></%2></%1>)"_s.arg(tag, ender, cnpj, name, city);
}

// A document of the given root with what each kind carries; the protocol wrapper when `nProt` is set.
QByteArray document(const QString &root, const QString &model, const QString &key, const QString &tpAmb, const QString &nProt,
                    const QString &body)
{
    QString inf = uR"(<infCte versao="4.00" Id="CTe%1"><ide><cUF>35</cUF><CFOP>5353</CFOP><natOp>PRESTACAO DE SERVICO</natOp>
<mod>%2</mod><serie>1</serie><nCT>1234</nCT><dhEmi>2024-06-10T14:05:09-03:00</dhEmi><tpAmb>%3</tpAmb><tpCTe>0</tpCTe>
<modal>01</modal><tpServ>0</tpServ><xMunIni>CAMPINAS</xMunIni><UFIni>SP</UFIni><xMunFim>CURITIBA</xMunFim><UFFim>PR</UFFim>
<toma3><toma>3</toma></toma3></ide><compl><xObs>ENTREGAR NO DOCA 3</xObs></compl>)"_s.arg(key, model, tpAmb);
    inf += party(u"emit"_s, u"enderEmit"_s, u"12345678000195"_s, u"TRANSPORTES EXEMPLO LTDA"_s, u"CAMPINAS"_s);
    inf += body + u"</infCte><infCTeSupl><qrCodCTe>"_s + QString(kQr).replace(u"&"_s, u"&amp;"_s) + u"</qrCodCTe></infCTeSupl>"_s;
    QString doc = u"<%1 xmlns=\"http://www.portalfiscal.inf.br/cte\" versao=\"4.00\">%2</%1>"_s.arg(root, inf);
    if (!nProt.isEmpty())
        doc = uR"(<cteProc xmlns="http://www.portalfiscal.inf.br/cte" versao="4.00">%1<protCTe versao="4.00"><infProt>
<tpAmb>1</tpAmb><chCTe>%2</chCTe><dhRecbto>2024-06-10T14:06:00-03:00</dhRecbto><nProt>%3</nProt><cStat>100</cStat>
</infProt></protCTe></cteProc>)"_s.arg(doc, key, nProt);
    return (u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"_s + doc).toUtf8();
}

QString normalBody(bool ibsCbs)
{
    QString b = party(u"rem"_s, u"enderReme"_s, u"11222333000181"_s, u"REMETENTE EXEMPLO SA"_s, u"CAMPINAS"_s) +
                party(u"dest"_s, u"enderDest"_s, u"33000167000101"_s, u"DESTINO COMERCIO LTDA"_s, u"CURITIBA"_s) +
                uR"(<vPrest><vTPrest>1234.56</vTPrest><vRec>1200.00</vRec><Comp><xNome>FRETE PESO</xNome><vComp>1000.00</vComp></Comp>
<Comp><xNome>PEDAGIO</xNome><vComp>234.56</vComp></Comp></vPrest><imp><ICMS><ICMS00><CST>00</CST><vBC>1234.56</vBC>
<pICMS>12.00</pICMS><vICMS>148.15</vICMS></ICMS00></ICMS>)"_s;
    if (ibsCbs)
        b += u"<IBSCBS><CST>000</CST><cClassTrib>000001</cClassTrib><gIBSCBS><vBC>967.88</vBC><gCBS><pCBS>0.9000</pCBS><vCBS>8.71</vCBS></gCBS></gIBSCBS></IBSCBS>"_s;
    return b + uR"(</imp><infCTeNorm><infCarga><vCarga>30160.92</vCarga><proPred>FITA GOMADA</proPred><infQ><cUnid>01</cUnid>
<tpMed>PESO REAL</tpMed><qCarga>209.8000</qCarga></infQ></infCarga><infDoc><infNFe><chave>35240699888777000166550010000001231000001230</chave>
</infNFe></infDoc></infCTeNorm>)"_s;
}

QString osBody()
{
    return party(u"toma"_s, u"enderToma"_s, u"44555666000171"_s, u"TOMADOR DE SERVICO LTDA"_s, u"SANTOS"_s) +
           uR"(<vPrest><vTPrest>800.00</vTPrest><vRec>800.00</vRec><Comp><xNome>FRETAMENTO</xNome><vComp>800.00</vComp></Comp>
</vPrest><imp><ICMS><ICMS45><CST>40</CST></ICMS45></ICMS></imp><infCTeNorm><infServico><xDescServ>TRANSPORTE DE PESSOAS</xDescServ>
</infServico></infCTeNorm>)"_s;
}

QString gtvBody()
{
    return party(u"rem"_s, u"enderReme"_s, u"11222333000181"_s, u"BANCO REMETENTE SA"_s, u"CAMPINAS"_s) +
           party(u"dest"_s, u"enderDest"_s, u"33000167000101"_s, u"AGENCIA DESTINO"_s, u"CURITIBA"_s) +
           u"<detGTV><infEspecie><tpEspecie>1</tpEspecie><vEspecie>5000.00</vEspecie></infEspecie><qCarga>1.0000</qCarga></detGTV>"_s;
}

QString simpBody()
{
    return party(u"toma"_s, u"enderToma"_s, u"44555666000171"_s, u"TOMADOR SIMPLIFICADO LTDA"_s, u"SANTOS"_s) +
           uR"(<infCarga><vCarga>1000.00</vCarga><proPred>GRAOS</proPred></infCarga><det nItem="1"><xMunIni>SOROCABA</xMunIni>
<xMunFim>JUNDIAI</xMunFim><vPrest>300.00</vPrest><vRec>300.00</vRec><Comp><xNome>FRETE</xNome><vComp>300.00</vComp></Comp>
<infNFe><chave>35240699888777000166550010000001231000001230</chave></infNFe></det><total><vTPrest>300.00</vTPrest><vTRec>300.00</vTRec></total>)"_s;
}

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
            << QStringList{u"MODELO=67"_s, u"DESCRIÇÃO DO SERVIÇO=TRANSPORTE DE PESSOAS"_s, u"FRETAMENTO=800,00"_s,
                           u"SITUAÇÃO TRIBUTÁRIA=40"_s, u"REMETENTE=<ausente>"_s,
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
