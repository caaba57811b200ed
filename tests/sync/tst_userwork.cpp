// The synchronization screen keeps what the user did: window restores, refused
// exits, the tick key, every command on a closed or empty list, and replies a sound
// server would never send (they come from a scripted server over a real socket).
#include "Bind.h"
#include "Cbor.h"
#include "Creation.h"
#include "FiltroSincronizacaoCTe.h"
#include "RecusaCTe.h"
#include "Funcoes.h"
#include "ScreenHarness.h"
#include "ScreenSteps.h"
#include "SincronizacaoCTe.h"

#include <QDir>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTest>

using Cli_Dfe71000::TfrmSincronizacaoCTe;

namespace {
const QString kA = QStringLiteral("11222333000181");
const QString kNotUnderstood = QStringLiteral("A resposta do servidor de aplicação não foi compreendida: a operação não "
                                              "foi concluída e o servidor não informou o motivo.");

QList<ListRow> threeRows()
{
    return {{QStringLiteral("000000000000001"), QStringLiteral("35261211222333000181570010000010011000000011")},
            {QStringLiteral("000000000000002"), QStringLiteral("35261211222333000181570010000010021000000022")},
            {QStringLiteral("000000000000003"), QStringLiteral("35261211222333000181570010000010031000000033")}};
}

// A packet whose table bytes are cut short, or followed by more bytes.
TDataPacket rewrapped(const TDataPacket &p, int cut, const QByteArray &extra)
{
    QByteArray body = wire::packetBody(p);
    body.chop(cut);
    body += extra;
    TDataPacket out;
    wire::CborWriter w(out.cbor);
    w.tag(wire::kTagDataPacket);
    w.bytes(body);
    return out;
}

QByteArray replyPayload(const QList<ListRow> &rows, const QVariantList &args)
{
    return wire::encodeReply(listReply(rows, args));
}
} // namespace

class TestUserWork : public QObject {
    Q_OBJECT
    QTemporaryDir scratch; // the folder every download may write into, whatever goes wrong
    std::unique_ptr<TempHostDb> db;
    std::unique_ptr<HostWindow> host;
    std::unique_ptr<FakeServer> server;
    std::unique_ptr<DialogsScope> dialogs;
    QList<ListRow> rows;
    std::function<wire::Reply(const wire::Request &)> reply; // for the method under test

    TfrmSincronizacaoCTe *s() { return Cli_Dfe71000::frmSincronizacaoCTe.data(); }
    TClientDataSet &cds() { return s()->cdsSincronizacaoCTe; }
    QMdiSubWindow *frame() { return qobject_cast<QMdiSubWindow *>(s()->Frame()); }
    int calls(const char *method) { return int(server->callsOf(QString::fromLatin1(method)).size()); }
    QStringList ticks() { return ticksOf(cds()); }
    void confirmNextFilter() { confirmNextFilterWith(kA); }
    // Leaves the company panel for the grid; the panel's exit loads the list.
    void leavePanel()
    {
        confirmNextFilter();
        focusTo(s()->dbgPadrao);
        cancelPendingModal();
    }
    // Loads `r` with the filter command, ticks the rows at `ticked`, forgets the calls.
    void loadAndTick(const QList<ListRow> &r, const QList<int> &ticked)
    {
        rows = r;
        confirmNextFilter();
        s()->sbtFiltro->click();
        QVERIFY(cds().Active());
        for (int i : ticked) {
            cds().SetRecNo(i + 1);
            QTest::keyClick(s()->dbgPadrao, Qt::Key_Space);
        }
        server->requests.clear();
        server->raw = nullptr;
        dialogs->d.clear();
        reply = nullptr;
    }
    void refresh()
    {
        Guard([&] { s()->sbtVerificarClick(nullptr); });
    }

private Q_SLOTS:
    void initTestCase()
    {
        db = std::make_unique<TempHostDb>();
        server = std::make_unique<FakeServer>();
        server->handler = [this](const wire::Request &r) {
            if (reply)
                return reply(r);
            if (r.method == QLatin1String("GetSincronizacaoCTe"))
                return listReply(rows, r.args);
            return okReply(QVariantList{QStringLiteral("S"), QString()}, r.args);
        };
        PublishHostValues(server->port());
        host = std::make_unique<HostWindow>();
        QVERIFY(QTest::qWaitForWindowActive(&host->main));
        dialogs = std::make_unique<DialogsScope>();
        Cli_Dfe71000::CriaSincronizacaoCTe();
        QVERIFY(s());
        rows = threeRows();
        leavePanel();
        QCOMPARE(s()->window()->focusWidget(), s()->dbgPadrao);
    }

    void init()
    {
        server->requests.clear();
        server->raw = nullptr;
        reply = nullptr;
        dialogs->d.clear();
    }

    void restoringKeepsTheScreenAsLeft_data()
    {
        QTest::addColumn<bool>("byIniProc"); // false: the window's own restore
        QTest::addColumn<bool>("typing");    // a company typed in the panel, not yet confirmed
        QTest::newRow("restored, ticked list") << false << false;
        QTest::newRow("IniProc while minimized, ticked list") << true << false;
        QTest::newRow("restored, company being typed") << false << true;
        QTest::newRow("IniProc while minimized, company being typed") << true << true;
    }
    void restoringKeepsTheScreenAsLeft()
    {
        QFETCH(bool, byIniProc);
        QFETCH(bool, typing);
        if (s()->window()->focusWidget() != s()->dbgPadrao)
            leavePanel();
        loadAndTick(threeRows(), {0, 2});
        cds().SetRecNo(3);
        if (typing) {
            focusTo(s()->medCdEmpresa);
            s()->medCdEmpresa->SetText(QStringLiteral("02"));
        }
        const QStringList ticksBefore = ticks();
        const QString code = s()->medCdEmpresa->Text();
        const QSize size = frame()->size();
        const int connections = server->connections;
        bool filterShown = false;
        whenModal([&](QWidget *w) {
            filterShown = true;
            static_cast<TfrmRotiGeral *>(w)->sbtCancel->click();
        });

        frame()->showMinimized();
        QVERIFY(waitFor([&] { return frame()->isMinimized(); }));
        if (byIniProc)
            Cli_Dfe71000::CriaSincronizacaoCTe();
        else
            frame()->showNormal();
        QTest::qWait(50);
        cancelPendingModal();

        QVERIFY(!frame()->isMinimized());
        QCOMPARE(frame()->size(), size);
        QCOMPARE(host->area->activeSubWindow(), frame());
        QCOMPARE(host->screenCount(), 1);
        QCOMPARE(s()->medCdEmpresa->Text(), code);
        QCOMPARE(ticks(), ticksBefore);
        if (!typing)
            QCOMPARE(cds().RecNo(), 3);
        QVERIFY(!filterShown);
        QCOMPARE(server->requests.size(), 0);
        QCOMPARE(server->connections, connections); // no show steps: no new connection
        if (typing) {
            s()->medCdEmpresa->SetText(QStringLiteral("01"));
            leavePanel();
        }
    }

    void failedLoadWhenLeavingThePanelRunsNothingAgain_data()
    {
        QTest::addColumn<QVariant>("answer"); // a text: the whole reply; a list: flag and payload
        QTest::addColumn<bool>("callFails");
        QTest::newRow("error text") << QVariant(QStringLiteral("Servidor em manutenção")) << false;
        QTest::newRow("flag N") << QVariant(QVariantList{"N", "Inscrição sem acesso"}) << false;
        QTest::newRow("failed call") << QVariant(QStringLiteral("falha interna")) << true;
    }
    void failedLoadWhenLeavingThePanelRunsNothingAgain()
    {
        QFETCH(QVariant, answer);
        QFETCH(bool, callFails);
        focusTo(s()->medCdEmpresa);
        QVERIFY(!cds().Active());
        reply = [&](const wire::Request &r) {
            if (callFails) {
                wire::Reply e;
                e.ok = false;
                e.error = answer.toString();
                return e;
            }
            return okReply(answer, r.args);
        };
        leavePanel();
        QCOMPARE(calls("GetSincronizacaoCTe"), 1);
        QCOMPARE(dialogs->d.errors.size(), 1);
        QVERIFY(!cds().Active());
        QCOMPARE(s()->window()->focusWidget(), s()->medCdEmpresa);

        // The window loses and gets back its activation: the exit is over, nothing runs.
        bool filterShown = false;
        whenModal([&](QWidget *w) {
            filterShown = true;
            static_cast<TfrmRotiGeral *>(w)->sbtCancel->click();
        });
        QWidget other;
        other.show();
        QApplication::setActiveWindow(&other);
        QTest::qWait(20);
        QApplication::setActiveWindow(&host->main);
        QTest::qWait(50);
        cancelPendingModal();
        QVERIFY(!filterShown);
        QCOMPARE(calls("GetSincronizacaoCTe"), 1);
        QCOMPARE(dialogs->d.errors.size(), 1);

        // Leaving the panel once more runs it again.
        reply = nullptr;
        rows = threeRows();
        leavePanel();
        QCOMPARE(calls("GetSincronizacaoCTe"), 2);
        QVERIFY(cds().Active());
    }

    void theTickKeyKeepsTheRowSelected_data()
    {
        QTest::addColumn<int>("modifiers");
        QTest::newRow("space") << int(Qt::NoModifier);
        QTest::newRow("ctrl+space") << int(Qt::ControlModifier);
        QTest::newRow("shift+space") << int(Qt::ShiftModifier);
        QTest::newRow("ctrl+shift+space") << int(Qt::ControlModifier | Qt::ShiftModifier);
    }
    void theTickKeyKeepsTheRowSelected()
    {
        QFETCH(int, modifiers);
        loadAndTick(threeRows(), {});
        cds().SetRecNo(2);
        TDBGrid *g = s()->dbgPadrao;
        QVERIFY(g->selectionModel()->isRowSelected(1, QModelIndex()));
        QTest::keyClick(g, Qt::Key_Space, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(ticks(), (QStringList{"N", "S", "N"}));
        QCOMPARE(cds().RecNo(), 2);
        QCOMPARE(g->currentIndex().row(), 1);
        QVERIFY(g->selectionModel()->isRowSelected(1, QModelIndex()));
        QTest::keyClick(g, Qt::Key_Space, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(ticks(), (QStringList{"N", "N", "N"}));
        QVERIFY(g->selectionModel()->isRowSelected(1, QModelIndex()));
    }

    void everyCommandOnAClosedOrEmptyList_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("closed"); // false: a loaded list without rows
        QTest::addColumn<QStringList>("errors");
        QTest::addColumn<QStringList>("infos");
        QTest::addColumn<int>("reloads");
        const QStringList none;
        const QString nsu = QStringLiteral("NSU deve ser informado.");
        const QString select = QStringLiteral("CT-e deve ser selecionado.");
        const QString synced = QStringLiteral("Sincronização do CT-e realizada com sucesso.");
        for (bool closed : {true, false}) {
            const char *state = closed ? "closed" : "empty";
            QTest::addRow("filter, %s", state) << "filter" << closed << none << none << 1;
            QTest::addRow("sync, %s", state) << "sync" << closed << none << QStringList{synced} << 1;
            QTest::addRow("download, %s", state) << "download" << closed << QStringList{nsu} << none << 0;
            QTest::addRow("event, %s", state) << "event" << closed << QStringList{select} << none << 0;
        }
    }
    void everyCommandOnAClosedOrEmptyList()
    {
        QFETCH(QString, command);
        QFETCH(bool, closed);
        QFETCH(QStringList, errors);
        QFETCH(QStringList, infos);
        QFETCH(int, reloads);
        if (closed) {
            if (s()->window()->focusWidget() != s()->dbgPadrao)
                leavePanel();
            focusTo(s()->medCdEmpresa); // entering the panel closes the list
            QVERIFY(!cds().Active());
        } else {
            loadAndTick({}, {});
            QVERIFY(cds().Active() && cds().IsEmpty());
        }
        server->requests.clear();
        dialogs->d.clear();
        dialogs->d.folder = scratch.path(); // never asked: nothing is ticked
        confirmNextFilter();
        if (command == QLatin1String("filter"))
            s()->sbtFiltro->click();
        else if (command == QLatin1String("sync"))
            s()->sbtSincronizarCTe->click();
        else if (command == QLatin1String("download"))
            s()->sbtDownloadXML->click();
        else
            s()->sbtRecusaCTe->click();
        cancelPendingModal();
        QCOMPARE(dialogs->d.errors, errors);
        QCOMPARE(dialogs->d.infos, infos);
        QCOMPARE(calls("GetSincronizacaoCTe"), reloads);
        QCOMPARE(calls("DownloadXML") + calls("RecusaCTe"), 0);
        QCOMPARE(calls("SincronizarCTe"), command == QLatin1String("sync") ? 1 : 0);
        QVERIFY(!ShowAviActive());

        // Whatever the command did, the next load shows every row.
        QVERIFY(!cds().Filtered());
        rows = threeRows();
        refresh();
        QCOMPARE(cds().RecordCount(), 3);
        QCOMPARE(s()->dbgPadrao->Model()->rowCount(), 3);
        if (closed)
            leavePanel();
    }

    void failureRepliesNotUnderstood_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariant>("answer");
        const QVariant packet = QVariant::fromValue(listPacket(threeRows()));
        const QVariant null = QVariant::fromValue(nullptr);
        QTest::newRow("list: N with a packet") << "GetSincronizacaoCTe" << QVariant(QVariantList{"N", packet});
        QTest::newRow("list: s with a packet") << "GetSincronizacaoCTe" << QVariant(QVariantList{"s", packet});
        QTest::newRow("list: N with a number") << "GetSincronizacaoCTe" << QVariant(QVariantList{"N", 7});
        QTest::newRow("list: N with null") << "GetSincronizacaoCTe" << QVariant(QVariantList{"N", null});
        QTest::newRow("list: N with an empty text") << "GetSincronizacaoCTe" << QVariant(QVariantList{"N", "  "});
        QTest::newRow("sync: N with a packet") << "SincronizarCTe" << QVariant(QVariantList{"N", packet});
        QTest::newRow("sync: s with null") << "SincronizarCTe" << QVariant(QVariantList{"s", null});
        QTest::newRow("download: N with a number") << "DownloadXML" << QVariant(QVariantList{"N", 3.5});
        QTest::newRow("event: N with null") << "RecusaCTe" << QVariant(QVariantList{"N", null});
    }
    void failureRepliesNotUnderstood()
    {
        QFETCH(QString, method);
        QFETCH(QVariant, answer);
        loadAndTick(threeRows(), {1});
        reply = [&](const wire::Request &r) {
            if (r.method == method)
                return okReply(answer, r.args);
            return listReply(rows, r.args);
        };
        dialogs->d.folder = scratch.path();
        whenModal([](QWidget *w) {
            auto *d = static_cast<TfrmRotiGeral *>(w);
            if (auto *m = d->findChild<TMemo *>())
                m->insertPlainText(QStringLiteral("Serviço não contratado"));
            d->sbtConfirma->click();
        });
        if (method == QLatin1String("GetSincronizacaoCTe"))
            refresh();
        else if (method == QLatin1String("SincronizarCTe"))
            s()->sbtSincronizarCTe->click();
        else if (method == QLatin1String("DownloadXML"))
            s()->sbtDownloadXML->click();
        else
            s()->sbtRecusaCTe->click();
        cancelPendingModal();
        QCOMPARE(dialogs->d.errors, QStringList{kNotUnderstood});
        QVERIFY(!dialogs->d.infos.contains(QStringLiteral("Sincronização do CT-e realizada com sucesso.")));
        QVERIFY(!ShowAviActive());
        // The event reloads on every way out; the others leave the list as it was.
        const QStringList expected = method == QLatin1String("RecusaCTe") ? QStringList{"N", "N", "N"} : QStringList{"N", "S", "N"};
        QCOMPARE(ticks(), expected);
    }

    void packetsThatBreakTheContractAreRefused_data()
    {
        QTest::addColumn<QVariant>("packet");
        QTest::addColumn<QString>("error"); // empty: accepted
        QList<ListRow> longNsu = threeRows();
        longNsu[1].nsu = QStringLiteral("00000000000000000002");
        QList<ListRow> doubleTick = threeRows();
        doubleTick[2].tick = QStringLiteral("SS");
        QList<ListRow> accented = threeRows();
        accented[0].name = QString(60, QChar(0xe7)); // 60 characters, 120 bytes
        QList<ListRow> tooLong = threeRows();
        tooLong[0].name = QString(61, QLatin1Char('a'));
        const TDataPacket good = listPacket(threeRows());
        QTest::newRow("NSU of 20 characters")
            << QVariant::fromValue(listPacket(longNsu)) << "o campo NRNSU da linha 2 tem 20 caracteres; o máximo é 15";
        QTest::newRow("tick of two characters")
            << QVariant::fromValue(listPacket(doubleTick)) << "o campo IDCHECK da linha 3 tem 2 caracteres; o máximo é 1";
        QTest::newRow("name of 61 characters")
            << QVariant::fromValue(listPacket(tooLong)) << "o campo NMRAZSOCEMIT da linha 1 tem 61 caracteres";
        QTest::newRow("name of 60 accented characters") << QVariant::fromValue(listPacket(accented)) << "";
        QTest::newRow("table cut short") << QVariant::fromValue(rewrapped(good, 7, {})) << "Pacote de dados recusado";
        QTest::newRow("bytes after the table")
            << QVariant::fromValue(rewrapped(good, 0, QByteArray(1, '\xf6'))) << "bytes a mais depois da tabela";
    }
    void packetsThatBreakTheContractAreRefused()
    {
        QFETCH(QVariant, packet);
        QFETCH(QString, error);
        loadAndTick(threeRows(), {0});
        reply = [&](const wire::Request &r) { return okReply(QVariantList{"S", packet}, r.args); };
        refresh();
        if (error.isEmpty()) {
            QVERIFY(dialogs->d.errors.isEmpty());
            QCOMPARE(cds().FieldByName(QStringLiteral("NMRAZSOCEMIT")).StringAt(cds().RowAt(0)), QString(60, QChar(0xe7)));
            return;
        }
        QCOMPARE(dialogs->d.errors.size(), 1);
        const QString shown = dialogs->d.errors[0];
        QVERIFY2(shown.contains(error), qPrintable(shown));
        // One message, in Portuguese: the decoder's own English text is not repeated in it.
        QVERIFY2(!shown.contains(QStringLiteral("nexpected")) && !shown.contains(QStringLiteral("end of")), qPrintable(shown));
        QCOMPARE(ticks(), (QStringList{"S", "N", "N"}));
    }

    void outOfStepReplyFramesNeverShiftAnswers_data()
    {
        QTest::addColumn<bool>("late"); // false: the extra frame comes with the reply
        QTest::newRow("extra frame with the reply") << false;
        QTest::newRow("late frame after the reply") << true;
    }
    void outOfStepReplyFramesNeverShiftAnswers()
    {
        QFETCH(bool, late);
        loadAndTick(threeRows(), {});
        const QList<ListRow> first = threeRows().mid(0, 1), stray = threeRows().mid(0, 2), second = threeRows();
        int n = 0;
        server->raw = [&](const wire::Request &r) {
            ++n;
            if (n == 1 && !late)
                return QList<QByteArray>{replyPayload(first, r.args), replyPayload(stray, r.args)};
            return QList<QByteArray>{replyPayload(n == 1 ? first : second, r.args)};
        };
        refresh();
        QCOMPARE(cds().RecordCount(), 1);
        if (late)
            server->push(replyPayload(stray, {}));
        QTest::qWait(50);
        const int connections = server->connections;
        refresh();
        QVERIFY(dialogs->d.errors.isEmpty());
        QCOMPARE(cds().RecordCount(), 3); // its own answer, not the stray one
        QCOMPARE(server->connections, connections + 1);
        refresh();
        QCOMPARE(cds().RecordCount(), 3);
        QCOMPARE(server->connections, connections + 1); // back in step: the connection stays
    }

    void writeBackOfAnotherTypeIsRefused_data()
    {
        QTest::addColumn<int>("arg");
        QTest::addColumn<QVariant>("value"); // invalid: the argument is missing
        QTest::newRow("date back as text") << 0 << QVariant(QStringLiteral("2026-12-01"));
        QTest::newRow("date back as null") << 0 << QVariant::fromValue(nullptr);
        QTest::newRow("text back as integer") << 2 << QVariant(qint64(11222333000181));
        QTest::newRow("last argument back as text") << 5 << QVariant(QStringLiteral("08/12/2026"));
        QTest::newRow("argument missing") << 5 << QVariant();
    }
    void writeBackOfAnotherTypeIsRefused()
    {
        QFETCH(int, arg);
        QFETCH(QVariant, value);
        loadAndTick(threeRows(), {2});
        const Cli_Dfe71100::TRecordFilter before = Cli_Dfe71100::frmFiltroSincronizacaoCTe->rcFiltro;
        QVERIFY(before.dtEmissaoIni.isValid());
        reply = [&](const wire::Request &r) {
            QVariantList args = r.args;
            if (value.isValid())
                args[arg] = value;
            else
                args.removeAt(arg);
            return listReply({}, args);
        };
        refresh();
        QCOMPARE(dialogs->d.errors.size(), 1);
        QVERIFY2(dialogs->d.errors[0].contains(QStringLiteral("nenhum valor foi alterado")), qPrintable(dialogs->d.errors[0]));
        const Cli_Dfe71100::TRecordFilter &after = Cli_Dfe71100::frmFiltroSincronizacaoCTe->rcFiltro;
        QCOMPARE(after.dtEmissaoIni, before.dtEmissaoIni);
        QCOMPARE(after.dtEmissaoFim, before.dtEmissaoFim);
        QCOMPARE(after.stInscrJurid, before.stInscrJurid);
        QCOMPARE(after.stStatus, before.stStatus);
        QCOMPARE(after.dtSincIni, before.dtSincIni);
        QCOMPARE(after.dtSincFin, before.dtSincFin);
        QCOMPARE(ticks(), (QStringList{"N", "N", "S"}));
        // The next call sends the filter unchanged.
        reply = nullptr;
        refresh();
        const auto sent = server->callsOf(QStringLiteral("GetSincronizacaoCTe"));
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent[1].args, sent[0].args);
    }

    // With the server down each command tells it once, naming the application server
    // and its address, not the remote module's internal name.
    void serverDownIsToldOnce_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("event") << "event";
        QTest::newRow("download") << "download";
        QTest::newRow("synchronization") << "sync";
        QTest::newRow("reload") << "reload";
    }
    void serverDownIsToldOnce()
    {
        QFETCH(QString, command);
        loadAndTick(threeRows(), {1});
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            closedPort = probe.serverPort();
        }
        TNetConnection &net = s()->netSincronizacaoCTe;
        const int port = net.Port;
        net.Close();
        net.Port = closedPort;
        auto restore = qScopeGuard([&] {
            net.Close();
            net.Port = port;
        });
        dialogs->d.folder = scratch.path();
        whenModal([](QWidget *w) {
            auto *d = static_cast<Cli_Dfe71200::TfrmRecusaCTe *>(w);
            d->memMotivoRecusaCTe->insertPlainText(QStringLiteral("Carga entregue com avaria"));
            d->sbtConfirma->click();
        });
        if (command == QLatin1String("event"))
            s()->sbtRecusaCTe->click();
        else if (command == QLatin1String("download"))
            s()->sbtDownloadXML->click();
        else if (command == QLatin1String("sync"))
            s()->sbtSincronizarCTe->click();
        else
            refresh();
        cancelPendingModal();
        QCOMPARE(dialogs->d.errors.size(), 1);
        const QString expected = QStringLiteral("Não foi possível conectar ao servidor de aplicação em 127.0.0.1:%1").arg(closedPort);
        QVERIFY2(dialogs->d.errors[0].startsWith(expected), qPrintable(dialogs->d.errors[0]));
        QVERIFY(!dialogs->d.errors[0].contains(QStringLiteral("Dfe71000")));
        QCOMPARE(ticks(), (QStringList{"N", "S", "N"}));
    }

    // A call the server is slow to answer is given up from the busy animation: nothing of
    // it is applied, the user is told, and the next call goes on a fresh connection.
    void cancellingALongCall_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<bool>("escape"); // false: the Cancelar button
        QTest::newRow("synchronization, Cancelar") << "SincronizarCTe" << false;
        QTest::newRow("synchronization, Esc") << "SincronizarCTe" << true;
        QTest::newRow("reload, Cancelar") << "GetSincronizacaoCTe" << false;
        QTest::newRow("reload, Esc") << "GetSincronizacaoCTe" << true;
    }
    void cancellingALongCall()
    {
        QFETCH(QString, method);
        QFETCH(bool, escape);
        loadAndTick(threeRows(), {1});
        cds().SetRecNo(3);
        const int connections = server->connections;
        server->raw = [&](const wire::Request &r) {
            if (r.method == method)
                return QList<QByteArray>{}; // no answer: the user waits
            return QList<QByteArray>{replyPayload(threeRows(), r.args)};
        };
        bool buttonShown = false;
        QTimer::singleShot(100, s(), [&] {
            auto *cancel = s()->findChild<QPushButton *>(QStringLiteral("btnCancelarChamada"));
            buttonShown = cancel && cancel->isVisible();
            if (escape)
                QTest::keyClick(s()->dbgPadrao, Qt::Key_Escape);
            else if (cancel)
                QTest::mouseClick(cancel, Qt::LeftButton);
        });
        QElapsedTimer t;
        t.start();
        if (method == QLatin1String("SincronizarCTe"))
            s()->sbtSincronizarCTe->click();
        else
            refresh();
        QVERIFY(t.elapsed() < 5000);
        QVERIFY(buttonShown);
        QCOMPARE(dialogs->d.errors.size(), 1);
        QVERIFY2(dialogs->d.errors[0].startsWith(QStringLiteral("Operação cancelada. O servidor de aplicação pode ainda concluir")),
                 qPrintable(dialogs->d.errors[0]));
        QVERIFY(dialogs->d.infos.isEmpty());
        QVERIFY(!ShowAviActive());
        QCOMPARE(calls("GetSincronizacaoCTe"), method == QLatin1String("GetSincronizacaoCTe") ? 1 : 0);
        QCOMPARE(ticks(), (QStringList{"N", "S", "N"}));
        QCOMPARE(cds().RecNo(), 3);
        // The next call is answered on a new connection.
        server->raw = nullptr;
        rows = threeRows();
        refresh();
        QCOMPARE(dialogs->d.errors.size(), 1);
        QCOMPARE(server->connections, connections + 1);
        QCOMPARE(cds().RecordCount(), 3);
    }

    void failedSynchronizationCall_data()
    {
        QTest::addColumn<bool>("dropped"); // false: an error reply
        QTest::newRow("error reply") << false;
        QTest::newRow("connection dropped") << true;
    }
    void failedSynchronizationCall()
    {
        QFETCH(bool, dropped);
        loadAndTick(threeRows(), {0, 1});
        cds().SetRecNo(2);
        server->raw = [&](const wire::Request &) {
            if (dropped) {
                QTimer::singleShot(0, server.get(), [this] { server->drop(); });
                return QList<QByteArray>{};
            }
            wire::Reply e;
            e.ok = false;
            e.error = QStringLiteral("falha ao consultar a SEFAZ");
            return QList<QByteArray>{wire::encodeReply(e)};
        };
        s()->sbtSincronizarCTe->click();
        QCOMPARE(dialogs->d.errors.size(), 1);
        QVERIFY2(dialogs->d.errors[0].contains(dropped ? QStringLiteral("SincronizarCTe") : QStringLiteral("falha ao consultar")),
                 qPrintable(dialogs->d.errors[0]));
        QVERIFY(dialogs->d.infos.isEmpty());
        QVERIFY(!ShowAviActive());
        QCOMPARE(calls("GetSincronizacaoCTe"), 0);
        QCOMPARE(ticks(), (QStringList{"S", "S", "N"}));
        QCOMPARE(cds().RecNo(), 2);
        // The next call works again (a dropped connection is opened afresh).
        server->raw = nullptr;
        refresh();
        QVERIFY(dialogs->d.errors.size() == 1);
        QCOMPARE(cds().RecordCount(), 3);
    }
};

QTEST_MAIN(TestUserWork)
#include "tst_userwork.moc"
