#include "CteSamples.h"

using namespace Qt::StringLiterals;

namespace samples {

const QString kKey = u"35240612345678000195570010000012341000012348"_s;
const QString kAlphaKey = u"35261212ABC34501DE35570010000010021000000026"_s;
const QString kQr = u"https://nfe.fazenda.sp.gov.br/CTeConsulta/qrCode?chCTe=35240612345678000195570010000012341000012348&tpAmb=1"_s;

namespace {
QString party(const QString &tag, const QString &ender, const QString &cnpj, const QString &name, const QString &city)
{
    return uR"(<%1><CNPJ>%3</CNPJ><IE>123456789</IE><xNome>%4</xNome><%2><xLgr>RUA A</xLgr><nro>10</nro><xBairro>CENTRO</xBairro>
<cMun>3550308</cMun><xMun>%5</xMun><CEP>01001000</CEP><UF>SP</UF></%2></%1>)"_s.arg(tag, ender, cnpj, name, city);
}

} // namespace

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


} // namespace samples
