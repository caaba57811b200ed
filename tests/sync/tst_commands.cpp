// The screen's commands that call the server on the loaded list: manual
// synchronization, XML download and the service-in-disagreement event.
#include "Bind.h"
#include "Creation.h"
#include "FiltroSincronizacaoCTe.h"
#include "Funcoes.h"
#include "RecusaCTe.h"
#include "ScreenHarness.h"
#include "ScreenSteps.h"
#include "SincronizacaoCTe.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTest>

using Cli_Dfe71000::TfrmSincronizacaoCTe;

namespace {
const QString kA = QStringLiteral("11222333000181");
const QString kA2 = QStringLiteral("11222333000262"); // company 01, another branch
const QString kKey1 = QStringLiteral("35261211222333000181570010000010011000000011");
const QString kKey2 = QStringLiteral("35261211222333000181570010000010021000000022");

struct XmlRow {
    QString nsu, name, status;
    QByteArray xml;
};

TDataPacket downloadPacket(const QList<XmlRow> &rows)
{
    wire::PacketWriter w({{QStringLiteral("NRNSU"), wire::PacketType::Text, 15},
                          {QStringLiteral("DSNOMEARQUIVO"), wire::PacketType::Text, 255},
                          {QStringLiteral("DSTEXTOXML"), wire::PacketType::Blob, 0},
                          {QStringLiteral("IDSTATUS"), wire::PacketType::Text, 3},
                          {QStringLiteral("DSSTATUS"), wire::PacketType::Text, 255}});
    for (const XmlRow &r : rows) {
        w.beginRow();
        w.text(r.nsu);
        w.text(r.name);
        w.blob(r.xml);
        w.text(r.status);
        w.text(QString());
    }
    return w.finish();
}

QByteArray doc(int n) { return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><cteProc n=\"") + QByteArray::number(n) + "\"/>"; }

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
} // namespace

Q_DECLARE_METATYPE(XmlRow)
Q_DECLARE_METATYPE(ListRow)

class TestCommands : public QObject {
    Q_OBJECT
    QTemporaryDir scratch; // the folder every download may write into, whatever goes wrong
    std::unique_ptr<TempHostDb> db;
    std::unique_ptr<HostWindow> host;
    std::unique_ptr<FakeServer> server;
    std::unique_ptr<DialogsScope> dialogs;
    QList<ListRow> rows;
    std::function<wire::Reply(const wire::Request &)> reply; // for the command under test

    TfrmSincronizacaoCTe *s() { return Cli_Dfe71000::frmSincronizacaoCTe.data(); }
    TClientDataSet &cds() { return s()->cdsSincronizacaoCTe; }
    int calls(const char *method) { return int(server->callsOf(QString::fromLatin1(method)).size()); }
    QStringList ticks() { return ticksOf(cds()); }

    // Loads `r` through a confirmed filter, then ticks the rows whose index is in `ticked`.
    void loadAndTick(const QList<ListRow> &r, const QList<int> &ticked)
    {
        rows = r;
        confirmNextFilterWith(kA);
        s()->sbtFiltro->click();
        QVERIFY(cds().Active());
        QCOMPARE(cds().RecordCount(), int(r.size()));
        for (int i : ticked) {
            cds().SetRecNo(i + 1);
            QTest::keyClick(s()->dbgPadrao, Qt::Key_Space);
        }
        server->requests.clear();
        dialogs->d.clear();
    }
    static wire::Reply envelope(const QString &flag, const QVariant &payload, const QVariantList &args)
    {
        return okReply(QVariantList{flag, payload}, args);
    }

private Q_SLOTS:
    void initTestCase()
    {
        db = std::make_unique<TempHostDb>();
        server = std::make_unique<FakeServer>();
        server->handler = [this](const wire::Request &r) {
            if (r.method == QLatin1String("GetSincronizacaoCTe"))
                return listReply(rows, r.args);
            return reply(r);
        };
        PublishHostValues(server->port());
        host = std::make_unique<HostWindow>();
        QVERIFY(QTest::qWaitForWindowActive(&host->main));
        dialogs = std::make_unique<DialogsScope>();
        Cli_Dfe71000::CriaSincronizacaoCTe();
        QVERIFY(s());
    }

    void synchronization_data()
    {
        QTest::addColumn<QVariant>("answer"); // a text: the whole reply; a list: flag and payload
        QTest::addColumn<QString>("info");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("reloaded");
        const QString ok = QStringLiteral("Sincronização do CT-e realizada com sucesso.");
        // The state shown is asked again once the server answered the synchronization.
        QTest::addColumn<int>("stateAsked");
        QTest::newRow("S, no text") << QVariant(QVariantList{"S", 42}) << ok << "" << true << 1;
        QTest::newRow("S with the server's text")
            << QVariant(QVariantList{"S", "Sincronização concluída: 3 documento(s) recebido(s). Nova consulta à SEFAZ "
                                          "permitida a partir de 09/12/2026 11:00."})
            << ok + "\nSincronização concluída: 3 documento(s) recebido(s). Nova consulta à SEFAZ permitida a partir de "
                    "09/12/2026 11:00 (horário de Brasília)."
            << "" << true << 1;
        QTest::newRow("held off: an information naming the registration")
            << QVariant(QVariantList{"N", "Nova consulta à SEFAZ permitida a partir de 09/12/2026 11:00."})
            << "Nada falhou: a SEFAZ só aceita nova consulta da inscrição jurídica 11.222.333/0001-81 a partir de "
               "09/12/2026 11:00 (horário de Brasília). A lista já tem o que foi recebido."
            << "" << false << 1;
        QTest::newRow("s in lower case") << QVariant(QVariantList{"s", "não feito"}) << "" << "não feito" << false << 1;
        QTest::newRow("N with its reason") << QVariant(QVariantList{"N", "Rejeição: consumo indevido"}) << ""
                                           << "Rejeição: consumo indevido" << false << 1;
        QTest::newRow("plain text") << QVariant(QStringLiteral("falha no servidor")) << "" << "falha no servidor" << false
                                    << 0;
    }
    void synchronization()
    {
        QFETCH(QVariant, answer);
        QFETCH(QString, info);
        QFETCH(QString, error);
        QFETCH(bool, reloaded);
        QFETCH(int, stateAsked);
        loadAndTick({{QStringLiteral("1"), kKey1}, {QStringLiteral("2"), kKey2}}, {1});
        reply = [answer](const wire::Request &r) { return okReply(answer, r.args); };
        s()->semEstado = false;
        server->stateCalls.clear();
        server->state = [](const wire::Request &r) { return okReply(QVariantList{"S", QVariantList{}}, r.args); };
        auto noState = qScopeGuard([this] { server->state = nullptr; });
        s()->sbtSincronizarCTe->click();
        QCOMPARE(server->stateCalls.size(), stateAsked);
        const auto sent = server->callsOf(QStringLiteral("SincronizarCTe"));
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].args, (QVariantList{QStringLiteral("01"), QStringLiteral("T"), kA, QStringLiteral("MANUAL"),
                                             QString(), QString()}));
        QCOMPARE(dialogs->d.infos, info.isEmpty() ? QStringList{} : QStringList{info});
        QCOMPARE(dialogs->d.errors, error.isEmpty() ? QStringList{} : QStringList{error});
        QCOMPARE(calls("GetSincronizacaoCTe"), reloaded ? 1 : 0);
        QCOMPARE(ticks(), reloaded ? (QStringList{"N", "N"}) : (QStringList{"N", "S"})); // a reload drops the ticks
        QVERIFY(!ShowAviActive());
    }

    // A filter confirmed after the list was loaded, whose own load failed, leaves the
    // list on screen: every command still acts on that list's registration.
    void commandsActOnTheListShown_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("registrationArg"); // where the command sends the legal registration
        QTest::newRow("download") << "DownloadXML" << 3;
        QTest::newRow("event") << "RecusaCTe" << 3;
        QTest::newRow("undo of the event") << "CancelaRecusaCTe" << 2;
        QTest::newRow("synchronization") << "SincronizarCTe" << 2;
        QTest::newRow("reload") << "GetSincronizacaoCTe" << 2;
    }
    void commandsActOnTheListShown()
    {
        QFETCH(QString, command);
        QFETCH(int, registrationArg);
        const bool undo = command == QLatin1String("CancelaRecusaCTe");
        loadAndTick({{QStringLiteral("1"), kKey1, undo ? QStringLiteral("000") : QStringLiteral("100")},
                     {QStringLiteral("2"), kKey2}},
                    {0});
        QCOMPARE(s()->lblLista->text(), QStringLiteral("Lista de 11.222.333/0001-81 · IE todas"));
        auto saved = server->handler;
        server->handler = [&](const wire::Request &r) {
            if (r.method == QLatin1String("GetSincronizacaoCTe") && r.args.value(2).toString() == kA2)
                return okReply(QStringLiteral("Não foi possível conectar"), r.args);
            return saved(r);
        };
        auto restore = qScopeGuard([&] { server->handler = saved; });
        confirmNextFilterWith(kA2);
        s()->sbtFiltro->click();
        QCOMPARE(dialogs->d.errors, QStringList{QStringLiteral("Não foi possível conectar")});
        QCOMPARE(Cli_Dfe71100::frmFiltroSincronizacaoCTe->rcFiltro.stInscrJurid, kA2); // the dialog keeps what was confirmed
        QCOMPARE(s()->lblLista->text(), QStringLiteral("Lista de 11.222.333/0001-81 · IE todas"));
        server->requests.clear();
        dialogs->d.clear();
        QTemporaryDir out;
        dialogs->d.folder = out.path();
        reply = [](const wire::Request &r) {
            if (r.method == QLatin1String("DownloadXML"))
                return envelope(QStringLiteral("S"), QVariant::fromValue(downloadPacket({})), r.args);
            return envelope(QStringLiteral("S"), QString(), r.args);
        };
        if (command == QLatin1String("RecusaCTe"))
            whenModal([](QWidget *w) {
                auto *d = static_cast<Cli_Dfe71200::TfrmRecusaCTe *>(w);
                d->memMotivoRecusaCTe->insertPlainText(QStringLiteral("Carga entregue com avaria"));
                d->sbtConfirma->click();
            });
        if (command == QLatin1String("DownloadXML"))
            s()->sbtDownloadXML->click();
        else if (command == QLatin1String("RecusaCTe"))
            s()->sbtRecusaCTe->click();
        else if (undo) {
            dialogs->d.confirmAnswer = true;
            s()->sbtCancelaRecusaCTe->click();
        }
        else if (command == QLatin1String("SincronizarCTe"))
            s()->sbtSincronizarCTe->click();
        else
            Guard([&] { s()->sbtVerificarClick(nullptr); });
        cancelPendingModal();
        const auto sent = server->callsOf(command);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].args.value(registrationArg).toString(), kA);
        for (const wire::Request &r : server->requests)
            QVERIFY2(!r.args.contains(QVariant(kA2)), qPrintable(r.method));
        QCOMPARE(s()->lblLista->text(), QStringLiteral("Lista de 11.222.333/0001-81 · IE todas"));
    }

    void download_data()
    {
        QTest::addColumn<QList<int>>("ticked");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QList<XmlRow>>("answer");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("report"); // empty: an error instead
        const QString ok = QStringLiteral("Download do XML realizado com sucesso. ");
        const QString some = QStringLiteral("Download de %1 XML(s) realizado(s) com sucesso. %2 XML(s) não baixado(s).");
        const QList<XmlRow> three{{"1", "a.xml", "S", doc(1)}, {"2", "b.xml", "S", doc(2)}, {"3", "c.xml", "N", {}}};
        QTest::newRow("S S N") << QList<int>{0, 1} << "S" << three << QStringList{"a.xml", "b.xml"} << some.arg(2).arg(1);
        QTest::newRow("none there")
            << QList<int>{0} << "S"
            << QList<XmlRow>{{"1", "a.xml", "N", {}}, {"2", "b.xml", "", {}}, {"3", "c.xml", "s", doc(3)}}
            << QStringList{} << some.arg(0).arg(3);
        QTest::newRow("no rows, flag S") << QList<int>{0} << "S" << QList<XmlRow>{} << QStringList{} << ok;
        QTest::newRow("same name twice: the later one")
            << QList<int>{0} << "X" << QList<XmlRow>{{"1", "a.xml", "S", doc(1)}, {"2", "a.xml", "S", doc(2)}}
            << QStringList{"a.xml"} << ok;
        QTest::newRow("a name that leaves the folder is not written")
            << QList<int>{0} << "S" << QList<XmlRow>{{"1", "../fora.xml", "S", doc(1)}, {"2", "b.xml", "S", doc(2)}}
            << QStringList{"b.xml"} << some.arg(1).arg(1);
        QTest::newRow("flag N") << QList<int>{0} << "N" << QList<XmlRow>{} << QStringList{} << QString();
    }
    void download()
    {
        QFETCH(QList<int>, ticked);
        QFETCH(QString, flag);
        QFETCH(QList<XmlRow>, answer);
        QFETCH(QStringList, files);
        QFETCH(QString, report);
        loadAndTick({{QStringLiteral("1"), kKey1}, {QStringLiteral("2"), kKey2}, {QStringLiteral("3"), kKey2}}, ticked);
        cds().SetRecNo(3);
        // The chosen folder is one level inside the test's own: a name that escapes it,
        // should the check ever fail, still lands inside the temporary folder.
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkdir(QStringLiteral("saida")));
        QDir out(root.filePath(QStringLiteral("saida")));
        dialogs->d.folder = out.path(); // no trailing separator: one is added
        reply = [&](const wire::Request &r) {
            if (flag == QLatin1String("N"))
                return envelope(flag, QStringLiteral("Empresa sem certificado."), r.args);
            return envelope(flag, QVariant::fromValue(downloadPacket(answer)), r.args);
        };
        s()->sbtDownloadXML->click();

        const auto sent = server->callsOf(QStringLiteral("DownloadXML"));
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent[0].args.mid(1), (QVariantList{QStringLiteral("01"), QStringLiteral("T"), kA}));
        // The whole list goes, ticks included, not only the ticked rows.
        TClientDataSet sentList;
        sentList.SetData(sent[0].args[0].value<TDataPacket>());
        QCOMPARE(sentList.RecordCount(), 3);
        QStringList written = QDir(out.path()).entryList(QDir::Files, QDir::Name);
        QCOMPARE(written, files);
        for (const XmlRow &r : answer)
            if (files.contains(r.name) && r.name == QLatin1String("b.xml"))
                QCOMPARE(fileBytes(out.filePath(r.name)), r.xml);
        if (QTest::currentDataTag() == QByteArray("same name twice: the later one"))
            QCOMPARE(fileBytes(out.filePath(QStringLiteral("a.xml"))), doc(2));
        QVERIFY(!QFile::exists(root.filePath(QStringLiteral("fora.xml"))));
        if (report.isEmpty()) {
            QCOMPARE(dialogs->d.errors, QStringList{QStringLiteral("Empresa sem certificado.")});
            QVERIFY(dialogs->d.infos.isEmpty());
        } else {
            QCOMPARE(dialogs->d.infos, QStringList{report});
            QVERIFY(dialogs->d.errors.isEmpty());
        }
        QCOMPARE(calls("GetSincronizacaoCTe"), report.isEmpty() ? 0 : 1);
        // Afterwards the whole list shows again, on the row that was current.
        QVERIFY(!cds().Filtered());
        QCOMPARE(cds().RecordCount(), 3);
        QCOMPARE(cds().FieldByName(QStringLiteral("NRNSU")).AsString(), QStringLiteral("3"));
        QVERIFY(!ShowAviActive());
    }

    void downloadStopsBeforeTheServer_data()
    {
        QTest::addColumn<QList<int>>("ticked");
        QTest::addColumn<bool>("chooseFolder");
        QTest::addColumn<QStringList>("errors");
        QTest::newRow("nothing ticked") << QList<int>{} << true << QStringList{QStringLiteral("NSU deve ser informado.")};
        QTest::newRow("folder chooser cancelled") << QList<int>{1} << false << QStringList{};
    }
    void downloadStopsBeforeTheServer()
    {
        QFETCH(QList<int>, ticked);
        QFETCH(bool, chooseFolder);
        QFETCH(QStringList, errors);
        loadAndTick({{QStringLiteral("1"), kKey1}, {QStringLiteral("2"), kKey2}}, ticked);
        cds().SetRecNo(2);
        dialogs->d.folder = chooseFolder ? std::optional<QString>(scratch.path()) : std::nullopt;
        s()->sbtDownloadXML->click();
        QCOMPARE(dialogs->d.errors, errors);
        QCOMPARE(calls("DownloadXML"), 0);
        QCOMPARE(calls("GetSincronizacaoCTe"), 0);
        QVERIFY(!cds().Filtered());
        QCOMPARE(cds().RecordCount(), 2);
        QCOMPARE(cds().RecNo(), 2);
    }

    void downloadKeepsFilesWrittenBeforeABadDocument()
    {
        loadAndTick({{QStringLiteral("1"), kKey1}, {QStringLiteral("2"), kKey2}}, {0, 1});
        QTemporaryDir out;
        dialogs->d.folder = out.path();
        // Signed documents are written as received: declaration, CRLF and Latin-1 bytes intact.
        const QByteArray latin1("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<cteProc><x>S\xe3o Paulo</x></cteProc>\r\n");
        reply = [&](const wire::Request &r) {
            return envelope(QStringLiteral("S"),
                            QVariant::fromValue(downloadPacket({{"1", "a.xml", "S", latin1}, {"2", "b.xml", "S", "<cteProc><x>"},
                                                                {"3", "c.xml", "S", doc(3)}})),
                            r.args);
        };
        s()->sbtDownloadXML->click();
        QCOMPARE(fileBytes(out.filePath(QStringLiteral("a.xml"))), latin1);
        QCOMPARE(QDir(out.path()).entryList(QDir::Files), QStringList{QStringLiteral("a.xml")});
        QCOMPARE(dialogs->d.errors.size(), 1);
        QVERIFY2(dialogs->d.errors[0].contains(QStringLiteral("NSU 2")), qPrintable(dialogs->d.errors[0]));
        QVERIFY(dialogs->d.infos.isEmpty());
        QCOMPARE(calls("GetSincronizacaoCTe"), 0);
        QVERIFY(!cds().Filtered());
    }

    // Undoing a disagreement: one ticked CT-e at "000", a confirmation, CancelaRecusaCTe.
    void disagreementUndone_data()
    {
        QTest::addColumn<QList<ListRow>>("list");
        QTest::addColumn<QList<int>>("ticked");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("stop"); // the error shown; empty: none
        const ListRow a{QStringLiteral("1"), kKey1};
        ListRow refused{QStringLiteral("2"), kKey2};
        refused.status = QStringLiteral("000");
        QTest::newRow("confirmed, S") << QList<ListRow>{a, refused} << QList<int>{1} << true << "S" << "";
        QTest::newRow("confirmed, N") << QList<ListRow>{a, refused} << QList<int>{1} << true << "N" << "Rejeição: Duplicidade de evento";
        QTest::newRow("not confirmed") << QList<ListRow>{a, refused} << QList<int>{1} << false << "S" << "";
        QTest::newRow("not at 000") << QList<ListRow>{a, refused} << QList<int>{0} << true << "S"
                                    << "Evento de Prestação de Serviço em Desacordo não registrado para esse CT-e.";
        QTest::newRow("two ticked") << QList<ListRow>{a, refused} << QList<int>{0, 1} << true << "S"
                                    << "Evento deve ser registrado em um CT-e por vez.";
        QTest::newRow("none ticked") << QList<ListRow>{a, refused} << QList<int>{} << true << "S" << "CT-e deve ser selecionado.";
    }
    void disagreementUndone()
    {
        QFETCH(QList<ListRow>, list);
        QFETCH(QList<int>, ticked);
        QFETCH(bool, confirmed);
        QFETCH(QString, flag);
        QFETCH(QString, stop);
        loadAndTick(list, ticked);
        dialogs->d.confirmAnswer = confirmed;
        reply = [&](const wire::Request &r) { return envelope(flag, QStringLiteral("Rejeição: Duplicidade de evento"), r.args); };
        s()->mnuCancelaRecusaCTe->trigger();
        const auto sent = server->callsOf(QStringLiteral("CancelaRecusaCTe"));
        const bool asked = ticked.size() == 1 && list[ticked[0]].status == QLatin1String("000");
        QCOMPARE(dialogs->d.confirms.size(), asked ? 1 : 0);
        QCOMPARE(sent.size(), asked && confirmed ? 1 : 0);
        if (!sent.isEmpty())
            QCOMPARE(sent[0].args, (QVariantList{list[ticked[0]].key, QStringLiteral("01"), kA, QStringLiteral("T")}));
        QCOMPARE(dialogs->d.errors, stop.isEmpty() ? QStringList() : QStringList{stop});
        QCOMPARE(dialogs->d.infos, asked && confirmed && flag == QLatin1String("S")
                                       ? QStringList{QStringLiteral("Evento de Prestação de Serviço em Desacordo cancelado com sucesso.")}
                                       : QStringList());
        QCOMPARE(calls("GetSincronizacaoCTe"), 1); // every way out reloads
        QVERIFY(!cds().Filtered());
    }

    void disagreement_data()
    {
        QTest::addColumn<QList<ListRow>>("list");
        QTest::addColumn<QList<int>>("ticked");
        QTest::addColumn<QString>("stop"); // the error that stops the command before the notice
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("reported");
        const ListRow a{QStringLiteral("1"), kKey1}, b{QStringLiteral("2"), kKey2};
        ListRow refused = b;
        refused.status = QStringLiteral("000");
        ListRow cancelled = b;
        cancelled.status = QStringLiteral("101");
        const QString done = QStringLiteral("Evento registrado com sucesso.");
        QTest::newRow("one ticked, S") << QList<ListRow>{a, b} << QList<int>{1} << "" << "S" << done;
        QTest::newRow("the server refuses") << QList<ListRow>{a, b} << QList<int>{1} << "" << "N"
                                            << "Rejeição: CT-e cancelado";
        QTest::newRow("already registered")
            << QList<ListRow>{a, refused} << QList<int>{1}
            << "Evento de Prestação de Serviço em Desacordo já registrado para esse CT-e." << "" << "";
        ListRow refusedFirst = refused;
        refusedFirst.nsu = QStringLiteral("0");
        QTest::newRow("registered first of two: that message wins")
            << QList<ListRow>{refusedFirst, a} << QList<int>{0, 1}
            << "Evento de Prestação de Serviço em Desacordo já registrado para esse CT-e." << "" << "";
        QTest::newRow("two ticked") << QList<ListRow>{a, b} << QList<int>{0, 1}
                                    << "Evento deve ser registrado em um CT-e por vez." << "" << "";
        QTest::newRow("none ticked") << QList<ListRow>{a, b} << QList<int>{} << "CT-e deve ser selecionado." << "" << "";
        // What the list knows is checked before the reason is typed.
        QTest::newRow("cancelled CT-e") << QList<ListRow>{a, cancelled} << QList<int>{1}
                                        << "CT-e cancelado: o evento de Prestação de Serviço em Desacordo não pode ser registrado."
                                        << "" << "";
        ListRow old = b;
        old.issued = QDate::currentDate().addDays(-46).toString(QStringLiteral("dd/MM/yyyy"));
        QTest::newRow("issued 46 days ago")
            << QList<ListRow>{a, old} << QList<int>{1}
            << QStringLiteral("CT-e emitido em %1, há mais de 45 dias: o evento de Prestação de Serviço em Desacordo já não "
                              "pode ser registrado.").arg(old.issued)
            << "" << "";
        ListRow recent = b;
        recent.issued = QDate::currentDate().addDays(-45).toString(QStringLiteral("dd/MM/yyyy"));
        recent.taker = kA;
        QTest::newRow("issued 45 days ago, taken by the list's registration") << QList<ListRow>{a, recent} << QList<int>{1} << "" << "S" << done;
        ListRow other = b;
        other.taker = QStringLiteral("04567890000179");
        QTest::newRow("another service taker")
            << QList<ListRow>{a, other} << QList<int>{1}
            << "O tomador do serviço deste CT-e é 04.567.890/0001-79, não a inscrição jurídica da lista: só o tomador registra "
               "a Prestação de Serviço em Desacordo."
            << "" << "";
    }
    void disagreement()
    {
        QFETCH(QList<ListRow>, list);
        QFETCH(QList<int>, ticked);
        QFETCH(QString, stop);
        QFETCH(QString, flag);
        QFETCH(QString, reported);
        loadAndTick(list, ticked);
        cds().SetRecNo(2);
        const QStringList ticksBefore = ticks();
        const QString reason = QStringLiteral("  Carga entregue com avaria"); // leading blanks go as typed
        reply = [&](const wire::Request &r) { return envelope(flag, QStringLiteral("Rejeição: CT-e cancelado"), r.args); };
        bool dialogShown = false;
        if (stop.isEmpty()) {
            whenModal([&](QWidget *w) {
                dialogShown = true;
                auto *d = static_cast<Cli_Dfe71200::TfrmRecusaCTe *>(w);
                QCOMPARE(d->dbeNrAcessoCTe->text(), list[ticked[0]].key);
                QTest::keyClicks(d->memMotivoRecusaCTe, reason);
                d->sbtConfirma->click();
            });
        }
        s()->sbtRecusaCTe->click();
        cancelPendingModal();
        QCOMPARE(dialogShown, stop.isEmpty());
        const auto sent = server->callsOf(QStringLiteral("RecusaCTe"));
        if (stop.isEmpty()) {
            QCOMPARE(sent.size(), 1);
            QCOMPARE(sent[0].args, (QVariantList{list[ticked[0]].key, reason, QStringLiteral("01"), kA, QStringLiteral("T")}));
            QCOMPARE(dialogs->d.infos.first().left(31), QStringLiteral("Para registrar esse evento, o C"));
            if (flag == QLatin1String("S")) {
                QCOMPARE(dialogs->d.infos.last(), reported);
                QVERIFY(dialogs->d.errors.isEmpty());
            } else {
                QCOMPARE(dialogs->d.infos.size(), 1);
                QCOMPARE(dialogs->d.errors, QStringList{reported});
            }
        } else {
            QCOMPARE(sent.size(), 0);
            QVERIFY(dialogs->d.infos.isEmpty());
            QCOMPARE(dialogs->d.errors, QStringList{stop});
        }
        // Only a call that reached the server reloads (dropping the ticks); a stop before it
        // leaves the list, its ticks and the current row as they were.
        QCOMPARE(calls("GetSincronizacaoCTe"), stop.isEmpty() ? 1 : 0);
        QCOMPARE(ticks(), stop.isEmpty() ? QStringList(list.size(), QStringLiteral("N")) : ticksBefore);
        QCOMPARE(cds().RecNo(), 2);
        QVERIFY(!cds().Filtered());
        QVERIFY(!ShowAviActive());
    }

    void reasonRules_data()
    {
        QTest::addColumn<QString>("reason");  // pasted into the dialog
        QTest::addColumn<QString>("refusal"); // empty: accepted and sent
        QTest::addColumn<QString>("shown");   // the dialog's text afterwards, and what is sent
        QTest::addColumn<int>("counted");
        const QString min = QStringLiteral("Motivo da Recusa do CT-e deve conter no mínimo 15 caracteres.");
        const QString max = QStringLiteral("Motivo da Recusa do CT-e deve conter no máximo 255 caracteres.");
        const QString empty = QStringLiteral("Motivo da Recusa do CT-e deve ser informado.");
        QTest::newRow("15 characters") << "Serviço parcial" << "" << "Serviço parcial" << 15;
        QTest::newRow("14 characters") << "Serviço parcia" << min << "Serviço parcia" << 14;
        QTest::newRow("20 blanks") << QString(20, QLatin1Char(' ')) << empty << QString(20, QLatin1Char(' ')) << 0;
        QTest::newRow("empty") << "" << empty << "" << 0;
        // Counted as the server counts: surrounding blanks out; a pasted line break is one blank.
        QTest::newRow("14 characters and a blank") << "Servico nao co " << min << "Servico nao co " << 14;
        QTest::newRow("14 characters and a line break") << "Serviço parcia\n" << min << "Serviço parcia " << 14;
        QTest::newRow("two lines, 15 with the break") << "Servico\nparcial" << "" << "Servico parcial" << 15;
        QTest::newRow("a Windows line break is one blank") << "Servico\r\nparcial" << "" << "Servico parcial" << 15;
        QTest::newRow("255 characters") << QStringLiteral("ã").repeated(255) << "" << QStringLiteral("ã").repeated(255) << 255;
        QTest::newRow("256 characters") << QStringLiteral("ã").repeated(256) << max << QStringLiteral("ã").repeated(256) << 256;
        QTest::newRow("255 characters within blanks") << "  " + QString(255, QLatin1Char('x')) + "\n" << ""
                                                      << "  " + QString(255, QLatin1Char('x')) + " " << 255;
        // What word processors paste takes its plain form; anything else the authority
        // refuses is named before the dialog closes.
        QTest::newRow("typographic quotes, dash and ellipsis")
            << QStringLiteral("\u201CCarga\u201D entregue \u2013 avariada\u2026") << ""
            << QStringLiteral("\"Carga\" entregue - avariada...") << 30;
        QTest::newRow("no-break space") << QStringLiteral("Carga\u00A0entregue tarde") << ""
                                         << QStringLiteral("Carga entregue tarde") << 20;
        QTest::newRow("euro sign refused")
            << QStringLiteral("Cobrança de 10 \u20AC indevida") << QStringLiteral("Motivo da Recusa do CT-e tem o caractere \"\u20AC\" (U+20AC), que a SEFAZ não aceita: retire-o ou troque-o.")
            << QStringLiteral("Cobrança de 10 \u20AC indevida") << 25;
        const QString emoji = QString::fromUcs4(U"\U0001F69A");
        QTest::newRow("15 emoji refused") << emoji.repeated(15)
                                          << QStringLiteral("Motivo da Recusa do CT-e tem o caractere \"%1\" (U+1F69A), que a SEFAZ não aceita: retire-o ou troque-o.").arg(emoji)
                                          << emoji.repeated(15) << 15;
    }
    void reasonRules()
    {
        QFETCH(QString, reason);
        QFETCH(QString, refusal);
        QFETCH(QString, shown);
        QFETCH(int, counted);
        loadAndTick({{QStringLiteral("1"), kKey1}}, {0});
        reply = [](const wire::Request &r) { return envelope(QStringLiteral("S"), QString(), r.args); };
        QStringList errorsInDialog;
        bool openAfterConfirm = false;
        QString counter, keyShown;
        int keyWidth = 0, keyNeeds = 0;
        whenModal([&](QWidget *w) {
            auto *d = static_cast<Cli_Dfe71200::TfrmRecusaCTe *>(w);
            d->memMotivoRecusaCTe->insertPlainText(reason); // pasted: the test keyboard has no "ç"
            counter = d->lblContador->text();
            keyShown = d->dbeNrAcessoCTe->text();
            keyWidth = d->dbeNrAcessoCTe->width();
            keyNeeds = d->dbeNrAcessoCTe->fontMetrics().horizontalAdvance(keyShown);
            d->sbtConfirma->click();
            errorsInDialog = dialogs->d.errors;
            openAfterConfirm = d->isVisible();
            if (openAfterConfirm) {
                QCOMPARE(d->memMotivoRecusaCTe->toPlainText(), shown); // kept for the user to fix
                d->sbtCancel->click();
            }
        });
        s()->sbtRecusaCTe->click();
        QCOMPARE(counter, QStringLiteral("%1 de 255 caracteres (mínimo 15)").arg(counted));
        QCOMPARE(keyShown, kKey1);
        QVERIFY2(keyWidth > keyNeeds, qPrintable(QStringLiteral("%1 <= %2").arg(keyWidth).arg(keyNeeds)));
        QCOMPARE(openAfterConfirm, !refusal.isEmpty());
        QCOMPARE(errorsInDialog, refusal.isEmpty() ? QStringList{} : QStringList{refusal});
        const auto sent = server->callsOf(QStringLiteral("RecusaCTe"));
        QCOMPARE(sent.size(), refusal.isEmpty() ? 1 : 0);
        if (refusal.isEmpty())
            QCOMPARE(sent[0].args.value(1).toString(), shown); // blanks at the ends go: the server trims
        QCOMPARE(calls("GetSincronizacaoCTe"), refusal.isEmpty() ? 1 : 0); // a cancel changes nothing
        QCOMPARE(ticks(), refusal.isEmpty() ? QStringList{"N"} : QStringList{"S"});
    }

    // Enter never breaks the reason's one line.
    void reasonEnterAddsNoLineBreak()
    {
        loadAndTick({{QStringLiteral("1"), kKey1}}, {0});
        QString text;
        whenModal([&](QWidget *w) {
            auto *d = static_cast<Cli_Dfe71200::TfrmRecusaCTe *>(w);
            focusTo(d->memMotivoRecusaCTe);
            QTest::keyClicks(d->memMotivoRecusaCTe, QStringLiteral("Carga"));
            QTest::keyClick(d->memMotivoRecusaCTe, Qt::Key_Return);
            QTest::keyClick(d->memMotivoRecusaCTe, Qt::Key_Enter, Qt::KeypadModifier);
            QTest::keyClicks(d->memMotivoRecusaCTe, QStringLiteral(" avariada"));
            text = d->memMotivoRecusaCTe->toPlainText();
            d->sbtCancel->click();
        });
        s()->sbtRecusaCTe->click();
        cancelPendingModal();
        QCOMPARE(text, QStringLiteral("Carga avariada"));
    }

    void reasonDialogKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("sent");
        QTest::newRow("Ctrl+Enter confirms") << int(Qt::Key_Return) << int(Qt::ControlModifier) << true;
        QTest::newRow("Ctrl+keypad Enter confirms") << int(Qt::Key_Enter) << int(Qt::ControlModifier | Qt::KeypadModifier) << true;
        QTest::newRow("Esc cancels") << int(Qt::Key_Escape) << int(Qt::NoModifier) << false;
    }
    void reasonDialogKeys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, sent);
        loadAndTick({{QStringLiteral("1"), kKey1}}, {0});
        reply = [](const wire::Request &r) { return envelope(QStringLiteral("S"), QString(), r.args); };
        QString hints;
        whenModal([&](QWidget *w) {
            auto *d = static_cast<Cli_Dfe71200::TfrmRecusaCTe *>(w);
            hints = d->sbtConfirma->toolTip() + QLatin1Char('|') + d->sbtCancel->toolTip();
            focusTo(d->memMotivoRecusaCTe);
            QTest::keyClicks(d->memMotivoRecusaCTe, QStringLiteral("Carga entregue com avaria"));
            QTest::keyClick(d->memMotivoRecusaCTe, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            if (d->isVisible())
                d->sbtCancel->click();
        });
        s()->sbtRecusaCTe->click();
        cancelPendingModal();
        QCOMPARE(hints, QStringLiteral("Confirmar (Ctrl+Enter)|Cancelar (Esc)"));
        const auto calls = server->callsOf(QStringLiteral("RecusaCTe"));
        QCOMPARE(calls.size(), sent ? 1 : 0);
        if (sent) // the key confirmed without adding a line break to the reason
            QCOMPARE(calls[0].args.value(1).toString(), QStringLiteral("Carga entregue com avaria"));
        QCOMPARE(dialogs->d.infos.contains(QStringLiteral("Evento registrado com sucesso.")), sent);
    }
};

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
