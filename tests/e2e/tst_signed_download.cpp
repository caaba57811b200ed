// The XML download end to end, checked by signature: the real dfe-host and module
// against the real dfe-server, whose simulated authority signs with a certificate of
// a test CA; every file the download writes must verify with xmlsec1 against that
// CA, and fail once a single byte of it is changed.
#include "HostCore.h"
#include "ScreenHarness.h"
#include "TestPki.h"

#include <QDir>
#include <QProcess>
#include <QTableView>
#include <QTest>

class TestSignedDownload : public QObject {
    Q_OBJECT
    TestPki pki;
    QTemporaryDir dir;
    QProcess server;
    std::unique_ptr<TempHostDb> db;
    std::unique_ptr<HostWindow> host;
    std::unique_ptr<DialogsScope> dialogs;
    std::unique_ptr<ModuleHandle> module;

    // xmlsec1's verdict on one file: the CTe's signature over infCte, chained to the test CA.
    int verify(const QString &file, QString &output)
    {
        return xmlsecVerify(pki.caPem(), QStringLiteral("http://www.portalfiscal.inf.br/cte:infCte"), file, output);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(pki.ok(), qPrintable(pki.error()));
        QString output;
        const quint16 port = startServerProcess(server, QStringLiteral(SERVER_PATH),
                     {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--store"), dir.filePath(QStringLiteral("s.sqlite")),
                      QStringLiteral("--simulated-signer"), pki.signerP12(), QStringLiteral("--certificate-password-file"),
                      pki.passwordFile(), QStringLiteral("--sync"), QString::fromLatin1(TestPki::kCompany), QStringLiteral("--quiet")}, 120000, output);
        QVERIFY2(port != 0, qPrintable(output));
        Verdano::SetWebURL(QStringLiteral("127.0.0.1"));
        Verdano::SetWebPort(port);
        Verdano::SetEmprProc(QStringLiteral("01"));
        Verdano::SetFiliProc(QStringLiteral("01"));
        Verdano::SetDataProc(QStringLiteral("01"), QDate::currentDate());
        db = std::make_unique<TempHostDb>();
        host = std::make_unique<HostWindow>();
        QVERIFY(QTest::qWaitForWindowActive(&host->main));
        dialogs = std::make_unique<DialogsScope>();
        module = ModuleHandle::load(QStringLiteral(MODULE_PATH));
    }

    void cleanupTestCase()
    {
        if (host) {
            if (QWidget *s = host->screen())
                s->parentWidget()->close();
            waitFor([this] { return host->screen() == nullptr; });
        }
        if (module)
            module->finalize();
        server.terminate();
        server.waitForFinished(5000);
    }

    void downloadedFilesVerify()
    {
        module->iniProc();
        QWidget *s = host->screen();
        QVERIFY(s);
        auto *grid = s->findChild<QTableView *>(QStringLiteral("dbgPadrao"));
        QVERIFY(waitFor([&] { return QApplication::focusWidget() && QApplication::focusWidget()->objectName() == QLatin1String("medCdEmpresa"); }));
        dialogs->d.onLookup = [](TClientDataSet &list) {
            return list.Locate(QStringLiteral("NRINSJURIEST"), QString::fromLatin1(TestPki::kCompany)) ? list.RecNo() - 1 : -1;
        };
        whenModal([](QWidget *dlg) {
            dlg->findChild<QAbstractButton *>(QStringLiteral("btpInscrJurid"))->click();
            dynamic_cast<TDateEditPlus *>(dlg->findChild<QLineEdit *>(QStringLiteral("depEmissaoIni")))->SetDate(QDate(2020, 1, 1));
            dynamic_cast<TDateEditPlus *>(dlg->findChild<QLineEdit *>(QStringLiteral("depSincIni")))->SetDate(QDate(2020, 1, 1));
            dlg->findChild<QAbstractButton *>(QStringLiteral("sbtConfirma"))->click();
        });
        focusTo(grid);
        QVERIFY(waitFor([&] { return grid->model()->rowCount() > 50; }, 20000));
        QVERIFY2(dialogs->d.errors.isEmpty(), qPrintable(dialogs->d.errors.join(QLatin1Char('\n'))));

        // Tick the first five authorised CT-e (status column 8), as a user does: Space on the row.
        QStringList keys;
        grid->setFocus();
        for (int r = 0; r < grid->model()->rowCount() && keys.size() < 5; ++r) {
            if (grid->model()->index(r, 8).data().toString() != QLatin1String("100"))
                continue;
            grid->setCurrentIndex(grid->model()->index(r, 1));
            QTest::keyClick(grid, Qt::Key_Space);
            keys << grid->model()->index(r, 10).data().toString();
        }
        QCOMPARE(keys.size(), 5);
        const QString folder = dir.filePath(QStringLiteral("xml"));
        QVERIFY(QDir().mkpath(folder));
        dialogs->d.folder = folder;
        dialogs->d.infos.clear();
        s->findChild<QAbstractButton *>(QStringLiteral("sbtDownloadXML"))->click();
        QCOMPARE(dialogs->d.infos, QStringList{QStringLiteral("Download do XML realizado com sucesso. ")});

        const QStringList written = QDir(folder).entryList({QStringLiteral("*.xml")}, QDir::Files, QDir::Name);
        QCOMPARE(written.size(), keys.size());
        for (const QString &key : keys)
            QVERIFY2(written.contains(key + QStringLiteral("-procCTe.xml")), qPrintable(key));
        for (const QString &name : written) {
            const QString file = QDir(folder).filePath(name);
            QString out;
            QCOMPARE(verify(file, out), 0);
            QVERIFY2(out.contains(QLatin1String("OK")), qPrintable(out));

            // One byte of the signed content changed, in a copy inside this test's folder.
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QByteArray xml = f.readAll();
            // A name: every kind carries one inside infCte (a GTV-e has no service value).
            const qsizetype at = xml.indexOf("<xNome>") + 7;
            QVERIFY(at > 7);
            xml[at] = xml[at] == 'X' ? 'Y' : 'X';
            const QString tampered = dir.filePath(QStringLiteral("tampered-") + name);
            QFile t(tampered);
            QVERIFY(t.open(QIODevice::WriteOnly));
            t.write(xml);
            t.close();
            QVERIFY2(verify(tampered, out) != 0, qPrintable(name));
        }
    }
};

QTEST_MAIN(TestSignedDownload)
#include "tst_signed_download.moc"
