// End to end: the host's loader with the real module against the real dfe-server
// on a loopback port chosen at run time, its simulated authority offline. Built twice:
// on plain loopback, and (E2E_TLS) over TLS with a token, the host's settings read from
// an INI file as dfe-host reads them.
#include "Callers.h"
#include "HostCore.h"
#include "NetConnection.h"
#include "ScreenHarness.h"
#include "TestPki.h"
#include "authority/simulated/SimulatedAuthority.h"
#include "store/Store.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTableView>
#include <QTest>

#ifndef E2E_TLS
#define E2E_TLS 0
#endif
constexpr bool kTls = E2E_TLS;
const QString kCompany = QStringLiteral("11222333000181");

class TestEndToEnd : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<TestPki> pki;
    QString token;
    QString serverLog; // of the server's runs so far (TLS only: the plain one is quiet)
    QProcess server;
    std::unique_ptr<TempHostDb> db;
    std::unique_ptr<HostWindow> host;
    std::unique_ptr<DialogsScope> dialogs;
    std::unique_ptr<ModuleHandle> module;
    QSet<QString> usedKeys;
    quint16 port = 0;

    QStringList serverArgs(const QString &port) const
    {
        QStringList args{QStringLiteral("--port"), port, QStringLiteral("--store"), dir.filePath(QStringLiteral("s.sqlite"))};
        if (kTls)
            return args << QStringLiteral("--tls-cert") << pki->serverPem() << QStringLiteral("--tls-key") << pki->serverKey();
        return args << QStringLiteral("--quiet");
    }
    void stopServer()
    {
        server.terminate();
        server.waitForFinished(10000);
        serverLog += QString::fromLocal8Bit(server.readAllStandardError());
    }
    // The host's settings as dfe-host takes them from its INI file: server, TLS, CA and token.
    void publishHostSettings()
    {
        const QString ini = dir.filePath(QStringLiteral("dfe-host.ini"));
        {
            QSettings w(ini, QSettings::IniFormat);
            w.setValue(QStringLiteral("server/host"), QStringLiteral("127.0.0.1"));
            w.setValue(QStringLiteral("server/port"), port);
            w.setValue(QStringLiteral("server/tls"), true);
            w.setValue(QStringLiteral("server/ca_file"), pki->caPem());
            w.setValue(QStringLiteral("server/token"), token);
        }
        HostSettings h;
        h.load(ini);
        QVERIFY2(h.problems.isEmpty(), qPrintable(h.problems.join(QLatin1Char('\n'))));
        h.publish();
    }

    // Recent CT-e that the company pays for: the simulated authority accepts their event.
    static QSet<QString> takerKeys()
    {
        const QString company = kCompany;
        QSet<QString> keys;
        SimulatedAuthority sim;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (const auto &it : sim.history(company))
            if (it.kind == SimulatedAuthority::Item::Cte && it.cancelProt.isEmpty() && it.at.daysTo(now) <= 40 &&
                ((it.toma == 0 && it.rem.doc == company) || (it.toma == 3 && it.dest.doc == company) ||
                 (it.toma == 4 && it.toma4.doc == company)))
                keys.insert(it.key);
        return keys;
    }
    static int rowOf(QTableView *grid, const QString &key)
    {
        for (int r = 0; r < grid->model()->rowCount(); ++r)
            if (grid->model()->index(r, 10).data().toString() == key)
                return r;
        return -1;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (kTls) {
            pki = std::make_unique<TestPki>();
            QVERIFY2(pki->ok(), qPrintable(pki->error()));
            Store st(dir.filePath(QStringLiteral("s.sqlite")));
            token = callers::addToken(st, QStringLiteral("estacao-1"), {kCompany});
        }
        QString output;
        port = startServerProcess(server, QStringLiteral(SERVER_PATH), serverArgs(QStringLiteral("0")) +
                     QStringList{QStringLiteral("--sync"), QStringLiteral("11222333000181"), QStringLiteral("--sync"),
                                 QStringLiteral("11222333000262")}, 60000, output);
        QVERIFY2(port != 0, qPrintable(output));
        if (kTls) {
            publishHostSettings();
        } else {
            Verdano::SetWebURL(QStringLiteral("127.0.0.1"));
            Verdano::SetWebPort(port);
            Verdano::SetEmprProc(QStringLiteral("01"));
            Verdano::SetFiliProc(QStringLiteral("01"));
            Verdano::SetDataProc(QStringLiteral("01"), QDate::currentDate());
        }
        db = std::make_unique<TempHostDb>();
        host = std::make_unique<HostWindow>();
        QVERIFY(QTest::qWaitForWindowActive(&host->main));
        dialogs = std::make_unique<DialogsScope>();
        module = ModuleHandle::load(QStringLiteral(MODULE_PATH));
    }

    void cleanupTestCase()
    {
        if (QWidget *s = host->screen())
            s->parentWidget()->close();
        waitFor([this] { return host->screen() == nullptr; });
        if (module)
            module->finalize();
        stopServer();
        TNetConnection::DefaultSecurity = TNetSecurity{};
        if (kTls) { // every one of the four ran, for the token's holder
            for (const char *method : {"GetSincronizacaoCTe", "SincronizarCTe", "DownloadXML", "RecusaCTe"})
                QVERIFY2(serverLog.contains(QStringLiteral("%1 (token estacao-1)").arg(QLatin1String(method))), qPrintable(serverLog));
            QVERIFY2(!serverLog.contains(token), "the log holds the token");
        }
    }

    // dfe-host itself, another process with its own settings file, opens the screen, which
    // connects: the server tells in its log who came in, or why not.
    void hostProcessOverTls_data()
    {
        QTest::addColumn<QString>("tokenGiven"); // "TOKEN": the one the store knows
        QTest::addColumn<QString>("logged");
        QTest::newRow("its token") << "TOKEN" << "autenticado: token estacao-1";
        QTest::newRow("unknown token") << QString(43, QLatin1Char('x')) << "acesso recusado: token de acesso desconhecido";
    }
    void hostProcessOverTls()
    {
#if !E2E_TLS
        QSKIP("over TLS only");
#else
        QFETCH(QString, tokenGiven);
        QFETCH(QString, logged);
        QTemporaryDir home;
        const QString ini = home.filePath(QStringLiteral("dfe-host.ini"));
        {
            QSettings w(ini, QSettings::IniFormat);
            w.setValue(QStringLiteral("server/host"), QStringLiteral("127.0.0.1"));
            w.setValue(QStringLiteral("server/port"), port);
            w.setValue(QStringLiteral("server/tls"), true);
            w.setValue(QStringLiteral("server/ca_file"), pki->caPem());
            w.setValue(QStringLiteral("server/token"), tokenGiven == QLatin1String("TOKEN") ? token : tokenGiven);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        for (const char *v : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
            env.insert(QLatin1String(v), home.path());
        QProcess hostApp;
        hostApp.setProcessEnvironment(env);
        hostApp.start(QStringLiteral(HOST_PATH),
                      {QStringLiteral("--config"), ini, QStringLiteral("--db"), home.filePath(QStringLiteral("host.sqlite")),
                       QStringLiteral("--demo"), QStringLiteral("--open"), QStringLiteral("--module-dir"),
                       QFileInfo(QStringLiteral(MODULE_PATH)).absolutePath()});
        QVERIFY(hostApp.waitForStarted());
        const qsizetype before = serverLog.size();
        const bool seen = waitFor([&] {
            serverLog += QString::fromLocal8Bit(server.readAllStandardError());
            return serverLog.indexOf(logged, before) >= 0;
        }, 30000);
        hostApp.kill();
        hostApp.waitForFinished(10000);
        QVERIFY2(seen, qPrintable(serverLog.mid(before) + hostApp.readAllStandardError()));
        QVERIFY2(!serverLog.contains(token), "the log holds the token");
#endif
    }

    void companyFilterListAndDownload()
    {
        module->iniProc();
        QWidget *s = host->screen();
        QVERIFY(s);
        auto *grid = s->findChild<QTableView *>(QStringLiteral("dbgPadrao"));
        QVERIFY(waitFor([&] { return QApplication::focusWidget() && QApplication::focusWidget()->objectName() == QLatin1String("medCdEmpresa"); }));
        // Leaving the company panel opens the filter; the lookup picks the CNPJ and
        // all statuses are asked for, from a wide issue range.
        dialogs->d.onLookup = [](TClientDataSet &list) {
            return list.Locate(QStringLiteral("NRINSJURIEST"), QStringLiteral("11222333000181")) ? list.RecNo() - 1 : -1;
        };
        whenModal([](QWidget *dlg) {
            dlg->findChild<QAbstractButton *>(QStringLiteral("btpInscrJurid"))->click();
            auto *ini = dynamic_cast<TDateEditPlus *>(dlg->findChild<QLineEdit *>(QStringLiteral("depEmissaoIni")));
            auto *sincIni = dynamic_cast<TDateEditPlus *>(dlg->findChild<QLineEdit *>(QStringLiteral("depSincIni")));
            ini->SetDate(QDate(2020, 1, 1));
            sincIni->SetDate(QDate(2020, 1, 1));
            dlg->findChild<QAbstractButton *>(QStringLiteral("sbtConfirma"))->click();
        });
        focusTo(grid);
        QVERIFY(waitFor([&] { return grid->model()->rowCount() > 50; }, 20000));
        QVERIFY2(dialogs->d.errors.isEmpty(), qPrintable(dialogs->d.errors.join(QLatin1Char('\n'))));
        QString previous;
        int authorised = -1;
        for (int r = 0; r < grid->model()->rowCount(); ++r) {
            const QString nsu = grid->model()->index(r, 1).data().toString();
            QCOMPARE(nsu.size(), 15);
            QVERIFY(nsu > previous);
            previous = nsu;
            if (authorised < 0 && grid->model()->index(r, 8).data().toString() == QLatin1String("100"))
                authorised = r;
        }
        QVERIFY(authorised >= 0);

        // Tick that CT-e and download its XML into a folder.
        grid->setFocus();
        grid->setCurrentIndex(grid->model()->index(authorised, 1));
        QTest::keyClick(grid, Qt::Key_Space);
        const QString key = grid->model()->index(authorised, 10).data().toString();
        const QString folder = dir.filePath(QStringLiteral("xml"));
        QDir().mkpath(folder);
        dialogs->d.folder = folder;
        dialogs->d.infos.clear();
        s->findChild<QAbstractButton *>(QStringLiteral("sbtDownloadXML"))->click();
        QCOMPARE(dialogs->d.infos, QStringList{QStringLiteral("Download do XML realizado com sucesso. ")});
        QFile f(QDir(folder).filePath(key + QStringLiteral("-procCTe.xml")));
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(f.fileName()));
        const QByteArray xml = f.readAll();
        QVERIFY(xml.startsWith("<?xml"));
        QVERIFY(xml.contains(key.toLatin1()));
        QCOMPARE(grid->model()->index(authorised, 1).data().toString().size(), 15);
    }

    void manualSynchronization()
    {
        QWidget *s = host->screen();
        QVERIFY(s);
        dialogs->d.infos.clear();
        dialogs->d.errors.clear();
        s->findChild<QAbstractButton *>(QStringLiteral("sbtSincronizarCTe"))->click();
        // Done, or held off by the authority right after the server's own synchronization: told, not an error.
        QVERIFY2(dialogs->d.errors.isEmpty(), qPrintable(dialogs->d.errors.join(QLatin1Char('\n'))));
        QVERIFY(!dialogs->d.infos.isEmpty());
        // The server's own log of that query, shown for the list's registration.
        static const QRegularExpression state(QStringLiteral("^Última sincronização: \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d "
                                                             "\\(\\d{3} - .+\\) · Próxima consulta permitida: \\d\\d/\\d\\d/\\d{4} "
                                                             "\\d\\d:\\d\\d$"));
        const QString shown = s->findChild<QLabel *>(QStringLiteral("lblEstado"))->text();
        QVERIFY2(state.match(shown).hasMatch(), qPrintable(shown));
    }

    // The server stops, the user confirms another registration in the filter (its load
    // fails), the server comes back: a download from the list still on screen writes
    // that list's document, never the other registration's under the same NSU.
    void downloadAfterAFailedFilterKeepsTheListShown()
    {
        QWidget *s = host->screen();
        QVERIFY(s);
        auto *grid = s->findChild<QTableView *>(QStringLiteral("dbgPadrao"));
        auto *shown = s->findChild<QLabel *>(QStringLiteral("lblLista"));
        QVERIFY(grid->model()->rowCount() > 0);
        QCOMPARE(shown->text(), QStringLiteral("Lista de 11.222.333/0001-81 · IE todas"));
        stopServer();
        QCOMPARE(server.state(), QProcess::NotRunning);

        dialogs->d.errors.clear();
        dialogs->d.onLookup = [](TClientDataSet &list) {
            return list.Locate(QStringLiteral("NRINSJURIEST"), QStringLiteral("11222333000262")) ? list.RecNo() - 1 : -1;
        };
        whenModal([](QWidget *dlg) {
            dlg->findChild<QAbstractButton *>(QStringLiteral("btpInscrJurid"))->click();
            dlg->findChild<QAbstractButton *>(QStringLiteral("sbtConfirma"))->click();
        });
        s->findChild<QAbstractButton *>(QStringLiteral("sbtFiltro"))->click();
        cancelPendingModal();
        QCOMPARE(dialogs->d.errors.size(), 1);
        QVERIFY2(dialogs->d.errors[0].contains(QStringLiteral("Não foi possível conectar")), qPrintable(dialogs->d.errors[0]));
        QCOMPARE(shown->text(), QStringLiteral("Lista de 11.222.333/0001-81 · IE todas"));

        QString output;
        QCOMPARE(startServerProcess(server, QStringLiteral(SERVER_PATH), serverArgs(QString::number(port)), 60000, output), port);
        int row = -1;
        for (int r = 0; r < grid->model()->rowCount() && row < 0; ++r)
            if (grid->model()->index(r, 8).data().toString() == QLatin1String("100"))
                row = r;
        QVERIFY(row >= 0);
        const QString key = grid->model()->index(row, 10).data().toString();
        grid->setFocus();
        grid->setCurrentIndex(grid->model()->index(row, 1));
        QTest::keyClick(grid, Qt::Key_Space);
        QTemporaryDir folder;
        dialogs->d.folder = folder.path();
        dialogs->d.infos.clear();
        dialogs->d.errors.clear();
        s->findChild<QAbstractButton *>(QStringLiteral("sbtDownloadXML"))->click();
        QVERIFY2(dialogs->d.errors.isEmpty(), qPrintable(dialogs->d.errors.join(QLatin1Char('\n'))));
        QCOMPARE(dialogs->d.infos, QStringList{QStringLiteral("Download do XML realizado com sucesso. ")});
        const QStringList files = QDir(folder.path()).entryList(QDir::Files);
        QCOMPARE(files, QStringList{key + QStringLiteral("-procCTe.xml")});
        QFile f(QDir(folder.path()).filePath(files[0]));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().contains(key.toLatin1()));
        QCOMPARE(shown->text(), QStringLiteral("Lista de 11.222.333/0001-81 · IE todas"));
    }

    // The reason's length as the dialog and the server count it, through to the
    // simulated authority: blanks around it do not count.
    void disagreementReasonEndToEnd_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("refusal"); // empty: registered
        const QString min = QStringLiteral("Motivo da Recusa do CT-e deve conter no mínimo 15 caracteres.");
        const QString max = QStringLiteral("Motivo da Recusa do CT-e deve conter no máximo 255 caracteres.");
        QTest::newRow("15 after trimming") << QStringLiteral("  Serviço parcial\n ") << QString();
        QTest::newRow("255 after trimming") << QStringLiteral("  ") + QStringLiteral("ã").repeated(255) + QStringLiteral("  ") << QString();
        QTest::newRow("14 after trimming") << QStringLiteral("  Serviço parcia  ") << min;
        QTest::newRow("256 after trimming") << QStringLiteral(" ") + QStringLiteral("ã").repeated(256) + QStringLiteral(" ") << max;
    }
    void disagreementReasonEndToEnd()
    {
        QFETCH(QString, reason);
        QFETCH(QString, refusal);
        static const QSet<QString> candidates = takerKeys();
        QWidget *s = host->screen();
        QVERIFY(s);
        auto *grid = s->findChild<QTableView *>(QStringLiteral("dbgPadrao"));
        QString key;
        int row = -1;
        for (int r = 0; r < grid->model()->rowCount() && key.isEmpty(); ++r) {
            const QString k = grid->model()->index(r, 10).data().toString();
            if (grid->model()->index(r, 8).data().toString() == QLatin1String("100") && candidates.contains(k) && !usedKeys.contains(k)) {
                key = k;
                row = r;
            }
        }
        QVERIFY2(!key.isEmpty(), "no recent CT-e paid by the company left in the list");
        usedKeys.insert(key);
        grid->setFocus();
        grid->setCurrentIndex(grid->model()->index(row, 1));
        QTest::keyClick(grid, Qt::Key_Space);
        dialogs->d.infos.clear();
        dialogs->d.errors.clear();
        QStringList errorsInDialog;
        bool openAfterConfirm = false;
        whenModal([&](QWidget *w) {
            w->findChild<QPlainTextEdit *>(QStringLiteral("memMotivoRecusaCTe"))->insertPlainText(reason);
            w->findChild<QAbstractButton *>(QStringLiteral("sbtConfirma"))->click();
            errorsInDialog = dialogs->d.errors;
            openAfterConfirm = w->isVisible();
            if (openAfterConfirm)
                w->findChild<QAbstractButton *>(QStringLiteral("sbtCancel"))->click();
        });
        s->findChild<QAbstractButton *>(QStringLiteral("sbtRecusaCTe"))->click();
        cancelPendingModal();
        if (openAfterConfirm) { // cancelled: nothing reached the server, the tick stays
            QCOMPARE(grid->model()->index(row, 0).data().toString(), QStringLiteral("S"));
            QTest::keyClick(grid, Qt::Key_Space);
        }
        QCOMPARE(openAfterConfirm, !refusal.isEmpty());
        QCOMPARE(errorsInDialog, refusal.isEmpty() ? QStringList{} : QStringList{refusal});
        QCOMPARE(dialogs->d.errors, errorsInDialog);
        QCOMPARE(dialogs->d.infos.contains(QStringLiteral("Evento registrado com sucesso.")), refusal.isEmpty());
        // The list was reloaded: the row's status is the server's.
        row = rowOf(grid, key);
        QVERIFY(row >= 0);
        QCOMPARE(grid->model()->index(row, 8).data().toString(), refusal.isEmpty() ? QStringLiteral("000") : QStringLiteral("100"));
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
