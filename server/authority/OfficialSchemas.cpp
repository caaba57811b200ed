#include "OfficialSchemas.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlschemas.h>
#include <memory>
#include <mutex>
#include <stdexcept>

// Outside any namespace, as the resource system needs.
static void initResources() { Q_INIT_RESOURCE(cteschemas); }

namespace schemas {

namespace {
// The schemas include each other by plain file name: every name libxml2 asks for under
// "qrc:" is read from the resources.
int matchResource(const char *uri) { return uri && qstrncmp(uri, "qrc:", 4) == 0; }
void *openResource(const char *uri)
{
    auto f = std::make_unique<QFile>(QString::fromUtf8(uri).replace(0, 4, QStringLiteral(":")));
    return f->open(QIODevice::ReadOnly) ? f.release() : nullptr;
}
int readResource(void *context, char *buffer, int len) { return int(static_cast<QFile *>(context)->read(buffer, len)); }
int closeResource(void *context)
{
    delete static_cast<QFile *>(context);
    return 0;
}

void initOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        initResources();
        xmlInitParser();
        xmlRegisterInputCallbacks(matchResource, openResource, readResource, closeResource);
    });
}

void firstError(void *context, const xmlError *e)
{
    auto *out = static_cast<QString *>(context);
    if (out->isEmpty() && e && e->message)
        *out = QStringLiteral("linha %1: %2").arg(e->line).arg(QString::fromUtf8(e->message).trimmed());
}
void firstErrorMutable(void *context, xmlErrorPtr e) { firstError(context, e); }

struct Compiled {
    QMutex mutex;
    QHash<QString, xmlSchemaPtr> byFile; // never freed: one per file for the life of the process
};
Compiled &compiled()
{
    static Compiled c;
    return c;
}

xmlSchemaPtr schemaOf(const QString &file)
{
    initOnce();
    Compiled &c = compiled();
    QMutexLocker lock(&c.mutex);
    if (xmlSchemaPtr s = c.byFile.value(file))
        return s;
    if (!QFile::exists(QStringLiteral(":/schemas/") + file))
        throw std::runtime_error("schema desconhecido: " + file.toStdString());
    const QByteArray url = "qrc:/schemas/" + file.toUtf8();
    xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(url.constData());
    QString error;
    xmlSchemaSetParserStructuredErrors(parser, firstErrorMutable, &error);
    xmlSchemaPtr s = xmlSchemaParse(parser);
    xmlSchemaFreeParserCtxt(parser);
    if (!s)
        throw std::runtime_error("schema " + file.toStdString() + " não compila: " + error.toStdString());
    c.byFile.insert(file, s);
    return s;
}

struct Doc {
    xmlDocPtr doc;
    ~Doc() { xmlFreeDoc(doc); }
};

xmlNodePtr find(xmlNodePtr node, const QByteArray &name)
{
    for (; node; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        if (name == reinterpret_cast<const char *>(node->name))
            return node;
        if (xmlNodePtr inner = find(node->children, name))
            return inner;
    }
    return nullptr;
}
} // namespace

QString problem(const QByteArray &xml, const QString &file)
{
    const xmlSchemaPtr schema = schemaOf(file);
    QString error;
    xmlParserCtxtPtr parser = xmlNewParserCtxt();
    const Doc d{xmlCtxtReadMemory(parser, xml.constData(), int(xml.size()), nullptr, nullptr, XML_PARSE_NONET)};
    if (!d.doc) {
        const xmlError *e = xmlCtxtGetLastError(parser);
        firstError(&error, e);
        xmlFreeParserCtxt(parser);
        return error.isEmpty() ? QStringLiteral("documento mal formado") : error;
    }
    xmlFreeParserCtxt(parser);
    xmlSchemaValidCtxtPtr v = xmlSchemaNewValidCtxt(schema);
    xmlSchemaSetValidStructuredErrors(v, firstErrorMutable, &error);
    const int rc = xmlSchemaValidateDoc(v, d.doc);
    xmlSchemaFreeValidCtxt(v);
    if (rc != 0 && error.isEmpty())
        error = QStringLiteral("inválido pelo schema %1").arg(file);
    return rc == 0 ? QString() : error;
}

QByteArray firstChildOf(const QByteArray &xml, const QString &parent)
{
    initOnce();
    const Doc d{xmlReadMemory(xml.constData(), int(xml.size()), nullptr, nullptr, XML_PARSE_NONET)};
    xmlNodePtr p = d.doc ? find(xmlDocGetRootElement(d.doc), parent.toUtf8()) : nullptr;
    xmlNodePtr child = p ? p->children : nullptr;
    while (child && child->type != XML_ELEMENT_NODE)
        child = child->next;
    if (!child)
        return {};
    const Doc out{xmlNewDoc(BAD_CAST "1.0")};
    xmlNodePtr copy = xmlDocCopyNode(child, out.doc, 1);
    xmlDocSetRootElement(out.doc, copy);
    xmlReconciliateNs(out.doc, copy);
    xmlChar *text = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(out.doc, &text, &size, "UTF-8");
    const QByteArray bytes(reinterpret_cast<const char *>(text), size);
    xmlFree(text);
    return bytes;
}

} // namespace schemas
