// The toolkit's helpers, controls, binding helper and the host's module loader.
#include "Bind.h"
#include "Controls.h"
#include "Exceptions.h"
#include "Funcoes.h"
#include "HostCore.h"
#include "Messages.h"
#include "NetConnection.h"
#include "TestSupport.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QProcess>
#include <QSqlQuery>
#include <QTest>
#include <QVBoxLayout>

class TestToolkit : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void messages_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QStringLiteral("OK") << QStringLiteral("Feito.");
        QTest::newRow("bar inside text") << QStringLiteral("BAR") << QStringLiteral("a|b");
        QTest::newRow("trailing blank kept") << QStringLiteral("DOWNLOAD_SUCESSO")
                                             << QStringLiteral("Download do XML realizado com sucesso. ");
        QTest::newRow("prefix of another key") << QStringLiteral("OKX") << QStringLiteral("outra");
        QTest::newRow("missing") << QStringLiteral("NADA") << QString();
    }
    void messages()
    {
        QFETCH(QString, key);
        QFETCH(QString, text);
        TMessages m;
        m.Lines = {QStringLiteral("OKX|outra"), QStringLiteral("OK|Feito."), QStringLiteral("BAR|a|b"),
                   QStringLiteral("DOWNLOAD_SUCESSO|Download do XML realizado com sucesso. ")};
        QCOMPARE(m.Msg(key), text);
    }

    void mensErroShowsOnceThenAborts()
    {
        DialogsScope scope;
        bool cleanedUp = false;
        Guard([&] {
            struct Cleanup {
                bool &flag;
                ~Cleanup() { flag = true; }
            } c{cleanedUp};
            MensErro(QStringLiteral("Empresa deve ser informada."), true);
            scope.d.infos << QStringLiteral("não devia chegar aqui");
        });
        QVERIFY(cleanedUp);
        QCOMPARE(scope.d.errors, QStringList{QStringLiteral("Empresa deve ser informada.")});
        QVERIFY(scope.d.infos.isEmpty());
    }

    void guardReportsErrorsAfterCleanup()
    {
        DialogsScope scope;
        QStringList order;
        Guard([&] {
            struct Cleanup {
                QStringList &o;
                ~Cleanup() { o << QStringLiteral("cleanup"); }
            } c{order};
            throw Exception(QStringLiteral("falhou"));
        });
        order << QStringLiteral("after");
        QCOMPARE(scope.d.errors, QStringList{QStringLiteral("falhou")});
        QCOMPARE(order.first(), QStringLiteral("cleanup"));
        Guard([] { Abort(); });
        Guard([] { throw std::runtime_error("x"); });
        QCOMPARE(scope.d.errors.size(), 2);
    }

    void maxNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("digits");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("selStart");
        QTest::addColumn<int>("selLength");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("digit") << "123" << 20 << 0 << "4" << 3 << 0 << true;
        QTest::newRow("letter") << "123" << 20 << 0 << "a" << 3 << 0 << false;
        QTest::newRow("minus") << "" << 20 << 0 << "-" << 0 << 0 << false;
        QTest::newRow("comma without decimals") << "12" << 20 << 0 << "," << 2 << 0 << false;
        QTest::newRow("21st digit") << QString(20, '1') << 20 << 0 << "1" << 20 << 0 << false;
        QTest::newRow("digit over selection") << QString(20, '1') << 20 << 0 << "2" << 0 << 5 << true;
        QTest::newRow("backspace") << QString(20, '1') << 20 << 0 << "\b" << 20 << 0 << true;
        QTest::newRow("decimal allowed") << "12" << 5 << 2 << "," << 2 << 0 << true;
        QTest::newRow("third decimal") << "1,25" << 5 << 2 << "1" << 4 << 0 << false;
        QTest::newRow("second separator") << "1,2" << 5 << 2 << "." << 3 << 0 << false;
        QTest::newRow("space") << "12" << 20 << 0 << " " << 2 << 0 << false;
        QTest::newRow("digit into empty text") << "" << 20 << 0 << "7" << 0 << 0 << true;
        QTest::newRow("digit into empty text, no digits allowed") << "" << 0 << 0 << "7" << 0 << 0 << false;
        QTest::newRow("separator first") << "" << 5 << 2 << "," << 0 << 0 << true;
        QTest::newRow("selection past the end") << "12" << 3 << 0 << "3" << 9 << 9 << true;
    }
    void maxNumber()
    {
        QFETCH(QString, text);
        QFETCH(int, digits);
        QFETCH(int, decimals);
        QFETCH(QString, key);
        QFETCH(int, selStart);
        QFETCH(int, selLength);
        QFETCH(bool, accepted);
        QChar k = key[0];
        QCOMPARE(MaxNumber(text, digits, decimals, k, selStart, selLength), accepted);
        QCOMPARE(k.isNull(), !accepted);
    }

    void ajusta_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("pads") << "1" << "01";
        QTest::newRow("keeps") << "12" << "12";
        QTest::newRow("trims") << " 7 " << "07";
        QTest::newRow("too long keeps the right") << "123" << "23";
        QTest::newRow("blank stays blank") << "  " << "";
        QTest::newRow("empty stays empty") << "" << "";
    }
    void ajusta()
    {
        QFETCH(QString, in);
        QFETCH(QString, out);
        QCOMPARE(Ajusta(in, 2), out);
        QCOMPARE(Ajusta(in, 0), in.trimmed()); // no size: nothing to fit
    }

    void rightAndFirstDayOfTheMonth_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("right");
        QTest::newRow("part") << "12345" << 2 << "45";
        QTest::newRow("more than the text") << "12" << 5 << "12";
        QTest::newRow("none") << "12" << 0 << "";
        QTest::newRow("negative") << "12" << -1 << "";
        QTest::newRow("empty text") << "" << 3 << "";
    }
    void rightAndFirstDayOfTheMonth()
    {
        QFETCH(QString, text);
        QFETCH(int, count);
        QFETCH(QString, right);
        QCOMPARE(Right(text, count), right);
        QCOMPARE(PriDiaMes(QDate(2026, 2, 28)), QDate(2026, 2, 1));
        QCOMPARE(PriDiaMes(QDate(2026, 12, 1)), QDate(2026, 12, 1));
        QVERIFY(!PriDiaMes(QDate()).isValid()); // an empty date stays empty
    }

    void masksAndMaskedEdit_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("shown");
        QTest::newRow("cnpj") << "J" << "11222333000181" << "11.222.333/0001-81";
        QTest::newRow("alphanumeric cnpj") << "J" << "12ABC34501DE35" << "12.ABC.345/01DE-35";
        QTest::newRow("cpf") << "F" << "52998224725" << "529.982.247-25";
        QTest::newRow("no type") << "" << "123" << "123";
    }
    void masksAndMaskedEdit()
    {
        QFETCH(QString, type);
        QFETCH(QString, number);
        QFETCH(QString, shown);
        QCOMPARE(FormatMaskText(PictPess(type), number), shown);
        TMaskEdit e;
        e.SetText(number);
        e.SetEditMask(PictPess(type));
        QCOMPARE(e.displayText(), shown);
        QCOMPARE(e.Text(), number); // the value, without the mask's literals
        e.SetEditMask(QString());
        QCOMPARE(e.Text(), number);
    }

    void refusedKeyNeverReachesTheEdit()
    {
        TMaskEdit e;
        e.OnKeyPress = [&e](QObject *, QChar &k) { MaxNumber(e.Text(), 3, 0, k, e.cursorPosition(), 0); };
        e.show();
        QTest::keyClicks(&e, QStringLiteral("1a2-34"));
        QCOMPARE(e.Text(), QStringLiteral("123"));
    }

    void focusEnterAndExitOfAPanel()
    {
        QWidget form;
        MarkAsForm(&form);
        auto *lay = new QVBoxLayout(&form);
        auto *panel = new TPanel(&form);
        auto *inner = new QLineEdit(panel);
        auto *inner2 = new QLineEdit(panel);
        auto *pl = new QVBoxLayout(panel);
        pl->addWidget(inner);
        pl->addWidget(inner2);
        auto *outside = new QLineEdit(&form);
        lay->addWidget(panel);
        lay->addWidget(outside);
        QStringList log;
        SetOnEnter(panel, [&](QObject *) { log << QStringLiteral("enter"); });
        SetOnExit(panel, [&](QObject *) { log << QStringLiteral("exit"); });
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        focusTo(inner);
        focusTo(inner2); // moving inside is neither
        focusTo(outside);
        focusTo(inner);
        QCOMPARE(log, (QStringList{"enter", "exit", "enter"}));

        // A refused exit keeps the focus change from counting: no enter follows.
        log.clear();
        SetOnExit(panel, [&](QObject *) {
            log << QStringLiteral("refused");
            Abort();
        });
        focusTo(outside);
        focusTo(inner);
        QCOMPARE(log, (QStringList{"refused"}));
    }

    void moduleLoader_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("cycles");         // load, two IniProc, unload
        QTest::addColumn<bool>("byDestruction"); // unloaded by dropping the handle, not by finalize()
        QTest::newRow("good") << "libfixture_good.so" << QString() << 1 << false;
        QTest::newRow("good, three cycles") << "libfixture_good.so" << QString() << 3 << false;
        QTest::newRow("good, unloaded by the handle going") << "libfixture_good.so" << QString() << 1 << true;
        QTest::newRow("good, three cycles by the handle going") << "libfixture_good.so" << QString() << 3 << true;
        QTest::newRow("no IniProc") << "libfixture_noiniproc.so" << "não tem a entrada IniProc" << 1 << false;
        QTest::newRow("missing file") << "libnada.so" << "não encontrado" << 1 << false;
        QTest::newRow("empty name") << "" << "não encontrado" << 1 << false;
    }
    void moduleLoader()
    {
        QFETCH(QString, file);
        QFETCH(QString, error);
        QFETCH(int, cycles);
        QFETCH(bool, byDestruction);
        qputenv("FIXTURE_INITIALIZE", "0");
        qputenv("FIXTURE_INIPROC", "0");
        qputenv("FIXTURE_FINALIZE", "0");
        const QString path = file.isEmpty() ? QString() : QStringLiteral(FIXTURE_DIR "/") + file;
        if (!error.isEmpty()) {
            try {
                ModuleHandle::load(path);
                QFAIL("loading should have failed");
            } catch (const std::runtime_error &e) {
                const QString msg = QString::fromUtf8(e.what());
                QVERIFY2(msg.contains(error) && msg.contains(QStringLiteral("\"%1\"").arg(path)), qPrintable(msg));
            }
            QCOMPARE(qgetenv("FIXTURE_INITIALIZE"), QByteArray("0"));
            return;
        }
        for (int c = 1; c <= cycles; ++c) {
            {
                auto h = ModuleHandle::load(path);
                QCOMPARE(qgetenv("FIXTURE_INITIALIZE").toInt(), c);
                QCOMPARE(qgetenv("FIXTURE_FINALIZE").toInt(), c - 1);
                h->iniProc();
                h->iniProc();
                QCOMPARE(qgetenv("FIXTURE_INIPROC").toInt(), 2 * c);
                if (!byDestruction)
                    h->finalize();
            }
            QCOMPARE(qgetenv("FIXTURE_FINALIZE").toInt(), c); // once, not again at destruction
        }
    }

    void databaseProblemsAreReported_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QByteArray>("content"); // "-": no file
        QTest::addColumn<bool>("demo");
        QTest::addColumn<QString>("error"); // empty: opens
        QTest::newRow("missing file") << "QSQLITE" << QByteArray("-") << false << "não encontrado";
        QTest::newRow("not a database") << "QSQLITE" << QByteArray(4096, 'x') << false << "EMPRESA";
        QTest::newRow("not a database, demo") << "QSQLITE" << QByteArray(4096, 'x') << true << "EMPRESA";
        QTest::newRow("database of another system") << "QSQLITE" << QByteArray() << false << "EMPRESA";
        QTest::newRow("unknown driver") << "QNOSUCH" << QByteArray("-") << false << "QNOSUCH";
        QTest::newRow("demo creates it") << "QSQLITE" << QByteArray("-") << true << "";
    }
    void databaseProblemsAreReported()
    {
        QFETCH(QString, driver);
        QFETCH(QByteArray, content);
        QFETCH(bool, demo);
        QFETCH(QString, error);
        QTemporaryDir dir;
        HostSettings s;
        s.dbDriver = driver;
        s.dbName = dir.filePath(QStringLiteral("host.sqlite"));
        s.demo = demo;
        if (content != "-") {
            QFile f(s.dbName);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        QString why;
        const bool opened = OpenHostDatabase(s, why);
        QCOMPARE(opened, error.isEmpty());
        if (opened) {
            QSqlQuery q(QSqlDatabase::database(QStringLiteral("dtmDBGeral")));
            QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*) FROM INSCRESTAD")) && q.next());
            QVERIFY(q.value(0).toInt() > 0);
        } else {
            QVERIFY2(why.contains(error), qPrintable(why));
        }
    }

    void settingsFileProblemsAreReported()
    {
        HostSettings s;
        s.load(QStringLiteral("/nonexistent/dfe-host.ini"));
        QCOMPARE(s.problems.size(), 1);
        QVERIFY(s.problems[0].contains(QStringLiteral("/nonexistent/dfe-host.ini")));
        QCOMPARE(s.company, QStringLiteral("01"));
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("h.ini"));
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[host]\ncompany=02\nprocessing_date=2026-02-30\n[server]\nport=9999\n");
        f.close();
        s.load(ini);
        QCOMPARE(s.company, QStringLiteral("02"));
        QCOMPARE(s.serverPort, 9999);
        QCOMPARE(s.problems.size(), 2); // the impossible date
    }

    void serverSecurityFromTheIni_data()
    {
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("caFile"); // relative to the INI's folder when not absolute
        QTest::addColumn<QString>("token");
        QTest::newRow("nothing: plain, no credential") << QByteArray() << false << "" << "";
        QTest::newRow("TLS, CA beside the INI, token")
            << QByteArray("tls=true\nca_file=ca.pem\ntoken=  abc-_123  \n") << true << "ca.pem" << "abc-_123";
        QTest::newRow("absolute CA file") << QByteArray("tls=1\nca_file=/etc/dfe/ca.pem\n") << true << "/etc/dfe/ca.pem" << "";
        QTest::newRow("tls off") << QByteArray("tls=false\ntoken=x\n") << false << "" << "x";
    }
    void serverSecurityFromTheIni()
    {
        QFETCH(QByteArray, server);
        QFETCH(bool, tls);
        QFETCH(QString, caFile);
        QFETCH(QString, token);
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("h.ini"));
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[server]\nhost=10.0.0.5\n" + server);
        f.close();
        HostSettings s;
        s.parse({QStringLiteral("dfe-host"), QStringLiteral("--config"), ini});
        QVERIFY(s.problems.isEmpty());
        const TNetSecurity saved = TNetConnection::DefaultSecurity;
        s.publish();
        TNetConnection net;
        TNetConnection::DefaultSecurity = saved;
        QCOMPARE(net.Security.Tls, tls);
        QCOMPARE(net.Security.CaFile, caFile.isEmpty() || caFile.startsWith(QLatin1Char('/')) ? caFile : dir.filePath(caFile));
        QCOMPARE(net.Security.Token, token);
    }

    // The command line over the INI file over the defaults, option by option; a value
    // that cannot be used is told and leaves the one before it.
    void optionsOverTheIni_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("problems");
        const auto both = [](const char *name, const QByteArray &ini, const QString &option, const QString &field, const QString &fromIni,
                             const QString &fromLine, const QString &byDefault) {
            QTest::addRow("%s: default", name) << QByteArray() << QStringList{} << field << byDefault << 0;
            QTest::addRow("%s: INI", name) << ini << QStringList{} << field << fromIni << 0;
            QTest::addRow("%s: command line over INI", name) << ini << QStringList{option, fromLine} << field << fromLine << 0;
            QTest::addRow("%s: command line before --config", name) << ini << QStringList{option, fromLine, QStringLiteral("CONFIG")}
                                                                     << field << fromLine << 0;
        };
        both("company", "[host]\ncompany=02\n", "--company", "company", "02", "03", "01");
        both("branch", "[host]\nbranch=05\n", "--branch", "branch", "05", "07", "01");
        both("date", "[host]\nprocessing_date=2026-02-27\n", "--date", "date", "2026-02-27", "2026-03-01",
             QDate::currentDate().toString(Qt::ISODate));
        both("server host", "[server]\nhost=10.0.0.5\n", "--server-host", "serverHost", "10.0.0.5", "10.0.0.6", "127.0.0.1");
        both("server port", "[server]\nport=9999\n", "--server-port", "serverPort", "9999", "9001", "8750");
        both("timeout", "[server]\ntimeout=30\n", "--timeout", "timeout", "30", "45", "120");
        both("module folder", "[modules]\nfolder=/opt/a\n", "--module-dir", "moduleDir", "/opt/a", "/opt/b", "");
        QTest::newRow("impossible date on the line keeps the INI's") << QByteArray("[host]\nprocessing_date=2026-02-27\n")
                                                                     << QStringList{"--date", "2026-02-30"} << "date" << "2026-02-27" << 1;
        QTest::newRow("port not a number keeps the INI's") << QByteArray("[server]\nport=9999\n") << QStringList{"--server-port", "http"}
                                                           << "serverPort" << "9999" << 1;
        QTest::newRow("port 0") << QByteArray() << QStringList{"--server-port", "0"} << "serverPort" << "8750" << 1;
        QTest::newRow("port over 65535") << QByteArray() << QStringList{"--server-port", "65536"} << "serverPort" << "8750" << 1;
        QTest::newRow("port 65535") << QByteArray() << QStringList{"--server-port", "65535"} << "serverPort" << "65535" << 0;
        QTest::newRow("empty port in the INI") << QByteArray("[server]\nport=\n") << QStringList{} << "serverPort" << "8750" << 1;
        QTest::newRow("negative timeout") << QByteArray() << QStringList{"--timeout", "-5"} << "timeout" << "120" << 1;
        QTest::newRow("timeout not a number in the INI") << QByteArray("[server]\ntimeout=dois\n") << QStringList{} << "timeout" << "120" << 1;
    }
    void optionsOverTheIni()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, arguments);
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(int, problems);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("h.ini"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(ini);
        f.close();
        QStringList line{QStringLiteral("dfe-host")};
        for (const QString &a : arguments)
            line << (a == QLatin1String("CONFIG") ? QStringLiteral("--config") : a);
        if (!line.contains(QStringLiteral("--config")))
            line << QStringLiteral("--config");
        line << file;
        HostSettings s;
        s.parse(line);
        const QHash<QString, QString> got{{QStringLiteral("company"), s.company},
                                          {QStringLiteral("branch"), s.branch},
                                          {QStringLiteral("date"), s.processingDate.toString(Qt::ISODate)},
                                          {QStringLiteral("serverHost"), s.serverHost},
                                          {QStringLiteral("serverPort"), QString::number(s.serverPort)},
                                          {QStringLiteral("timeout"), QString::number(s.callTimeoutSeconds)},
                                          {QStringLiteral("moduleDir"), s.moduleDir}};
        QVERIFY(got.contains(field));
        QCOMPARE(got.value(field), value);
        QVERIFY2(s.problems.size() == problems, qPrintable(s.problems.join(QLatin1Char('\n'))));
    }

    // The token comes from the INI file only: the command line has no option for it.
    void tokenNotOnTheCommandLine()
    {
        HostSettings s;
        s.parse({QStringLiteral("dfe-host"), QStringLiteral("--token"), QStringLiteral("segredo")});
        QCOMPARE(s.problems.size(), 1);
        QVERIFY(s.serverToken.isEmpty());
    }

    // The Janelas menu lists the open windows and brings the chosen one to the front.
    void windowsMenuListsTheOpenWindows()
    {
        QMdiArea area;
        QMenu menu;
        menu.addAction(QStringLiteral("Cascata"));
        ListWindowsInMenu(&menu, &area);
        for (const char *title : {"Sincronização do CT-e", "Outra tela"}) {
            auto *w = area.addSubWindow(new QWidget);
            w->setWindowTitle(QString::fromUtf8(title));
            w->show();
        }
        area.show();
        area.setActiveSubWindow(area.subWindowList().first());
        for (int shown = 0; shown < 2; ++shown) { // filled afresh each time it opens
            QMetaObject::invokeMethod(&menu, "aboutToShow");
            QCoreApplication::processEvents();
            QStringList texts;
            for (QAction *a : menu.actions())
                if (!a->isSeparator())
                    texts << a->text() + (a->isChecked() ? QStringLiteral(" *") : QString());
            QCOMPARE(texts, (QStringList{"Cascata", "&1 Sincronização do CT-e *", "&2 Outra tela"}));
        }
        menu.actions().last()->trigger();
        QCOMPARE(area.activeSubWindow(), area.subWindowList().last());
    }

    // The options are answered on a machine without a display.
    void hostHelpNeedsNoDisplay_data()
    {
        QTest::addColumn<QString>("option");
        QTest::newRow("--help") << "--help";
        QTest::newRow("-h") << "-h";
    }
    void hostHelpNeedsNoDisplay()
    {
        QFETCH(QString, option);
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        QProcess host;
        host.setProcessEnvironment(env);
        host.start(QStringLiteral(HOST_PATH), {option});
        QVERIFY(host.waitForFinished(20000));
        const QString out = QString::fromLocal8Bit(host.readAllStandardOutput());
        QCOMPARE(host.exitStatus(), QProcess::NormalExit);
        QCOMPARE(host.exitCode(), 0);
        QVERIFY2(out.contains(QStringLiteral("--server-port")), qPrintable(out + QString::fromLocal8Bit(host.readAllStandardError())));
    }
};

QTEST_MAIN(TestToolkit)
#include "tst_toolkit.moc"
