// The host's queries on every engine: the company and registration lookups and checks
// run with the same rows on SQLite, PostgreSQL and Firebird, each database created by
// the host's --demo from the engine's scripts. Firebird runs the SQL_IB statement.
#include "Engines.h"
#include "Exceptions.h"
#include "HostCore.h"
#include "Query.h"
#include "Verdano.h"

#include <QSqlDatabase>
#include <QTest>

class TestEngines : public QObject {
    Q_OBJECT
    std::unique_ptr<PgInstance> pg;
    std::unique_ptr<FbDatabase> fb;
    QTemporaryDir dir;

    HostSettings settings(const QString &engine)
    {
        HostSettings s;
        s.demo = true;
        if (engine == QLatin1String("postgresql")) {
            s.dbDriver = QStringLiteral("QPSQL");
            s.dbName = QStringLiteral("host");
            s.dbHost = pg->socketDir();
            s.dbUser = PgInstance::user();
        } else if (engine == QLatin1String("firebird")) {
            s.dbDriver = QStringLiteral("QIBASE");
            s.dbName = fb->path();
            s.dbUser = FbDatabase::user();
            s.dbPassword = QStringLiteral("masterkey");
        } else {
            s.dbName = dir.filePath(QStringLiteral("host.sqlite"));
        }
        return s;
    }
    void open(const QString &engine)
    {
        QString error;
        QVERIFY2(OpenHostDatabase(settings(engine), error), qPrintable(error));
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *driver : {"QPSQL", "QIBASE"})
            QVERIFY2(QSqlDatabase::isDriverAvailable(QLatin1String(driver)),
                     qPrintable(QStringLiteral("driver %1 ausente: instale libqt6sql6-psql e libqt6sql6-ibase (scripts/setup)")
                                    .arg(QLatin1String(driver))));
        pg = std::make_unique<PgInstance>();
        QVERIFY2(pg->ok(), qPrintable(pg->error()));
        QCOMPARE(pg->createDatabase(QStringLiteral("host")), QString());
        fb = std::make_unique<FbDatabase>();
        QVERIFY2(fb->ok(), qPrintable(fb->error()));
    }
    void cleanupTestCase()
    {
        const QString name = QStringLiteral("dtmDBGeral");
        if (QSqlDatabase::contains(name))
            QSqlDatabase::database(name).close();
        pg.reset();
    }

    void lookupsAndChecks_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QStringList>("sql");
        QTest::addColumn<QStringList>("sqlIb");
        QTest::addColumn<QStringList>("params"); // name, value, name, value...
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("rowsOnFirebird");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("first");

        const QStringList empresa{"SELECT E.CDEMPRESA,", "E.NMEMPRESA,", "E.NMRAZSOCEMPR", "FROM EMPRESA E"};
        const QStringList pesqEmpresa = empresa + QStringList{"ORDER BY CDEMPRESA"};
        const QStringList vdEmpresa = empresa + QStringList{"WHERE CDEMPRESA = :P_CDEMPRESA"};
        const QStringList pesqJurid{"SELECT DISTINCT NRINSJURIEST, IDTPIJURIEST, CDEMPRESA", "FROM INSCRESTAD",
                                    "WHERE CDEMPRESA = :P_CDEMPRESA", "ORDER BY NRINSJURIEST"};
        const QStringList vdJurid{"SELECT NRINSJURIEST", "FROM INSCRESTAD", "WHERE CDEMPRESA = :P_CDEMPRESA",
                                  "AND NRINSJURIEST = :P_NRINSJURIEST"};
        const QStringList vdJuridIb{"SELECT DISTINCT NRINSJURIEST", "FROM INSCRESTAD", "WHERE CDEMPRESA = :P_CDEMPRESA",
                                    "AND NRINSJURIEST = :P_NRINSJURIEST", "ORDER BY NRINSJURIEST"};
        const QStringList pesqEstad{"SELECT CDINSCESTA", "FROM INSCRESTAD", "WHERE CDEMPRESA = :P_CDEMPRESA",
                                    "AND NRINSJURIEST = :P_NRINSJURIEST", "ORDER BY CDINSCESTA"};
        const QStringList vdEstad{"SELECT CDINSCESTA", "FROM INSCRESTAD", "WHERE CDEMPRESA = :P_CDEMPRESA",
                                  "AND CDINSCESTA = :P_CDINSCESTA", "AND NRINSJURIEST = :P_NRINSJURIEST"};
        const QString cnpj = QStringLiteral("11222333000181"), injection = QStringLiteral("01' OR '1'='1");

        for (const char *engine : {"sqlite", "postgresql", "firebird"}) {
            const QString e = QString::fromLatin1(engine);
            auto row = [&](const char *name) { return &QTest::newRow(qPrintable(e + QLatin1Char('/') + QLatin1String(name))); };
            *row("company lookup") << e << pesqEmpresa << QStringList{} << QStringList{} << 3 << 3 << "CDEMPRESA" << "01";
            *row("company found") << e << vdEmpresa << QStringList{} << QStringList{"P_CDEMPRESA", "01"} << 1 << 1
                                  << "NMRAZSOCEMPR" << "Transportadora Horizonte Ltda";
            *row("company not on file") << e << vdEmpresa << QStringList{} << QStringList{"P_CDEMPRESA", "09"} << 0 << 0
                                        << "" << "";
            *row("company code injection") << e << vdEmpresa << QStringList{} << QStringList{"P_CDEMPRESA", injection}
                                           << 0 << 0 << "" << "";
            *row("legal registrations of a company") << e << pesqJurid << QStringList{} << QStringList{"P_CDEMPRESA", "01"}
                                                     << 2 << 2 << "NRINSJURIEST" << cnpj;
            // Two state registrations under one CNPJ: two rows by SQL, one by the DISTINCT of SQL_IB.
            *row("legal registration check") << e << vdJurid << vdJuridIb
                                             << QStringList{"P_CDEMPRESA", "01", "P_NRINSJURIEST", cnpj} << 2 << 1
                                             << "NRINSJURIEST" << cnpj;
            *row("legal registration of another company") << e << vdJurid << vdJuridIb
                                                          << QStringList{"P_CDEMPRESA", "02", "P_NRINSJURIEST", cnpj}
                                                          << 0 << 0 << "" << "";
            *row("legal registration injection") << e << vdJurid << vdJuridIb
                                                 << QStringList{"P_CDEMPRESA", "01", "P_NRINSJURIEST", injection} << 0
                                                 << 0 << "" << "";
            *row("state registrations") << e << pesqEstad << QStringList{}
                                        << QStringList{"P_CDEMPRESA", "01", "P_NRINSJURIEST", cnpj} << 2 << 2
                                        << "CDINSCESTA" << "110042490114";
            *row("state registration found") << e << vdEstad << QStringList{}
                                             << QStringList{"P_CDEMPRESA", "01", "P_CDINSCESTA", "110042490122",
                                                            "P_NRINSJURIEST", cnpj}
                                             << 1 << 1 << "CDINSCESTA" << "110042490122";
            *row("state registration under another CNPJ") << e << vdEstad << QStringList{}
                                                          << QStringList{"P_CDEMPRESA", "01", "P_CDINSCESTA",
                                                                         "243568790118", "P_NRINSJURIEST", cnpj}
                                                          << 0 << 0 << "" << "";
        }
    }
    void lookupsAndChecks()
    {
        QFETCH(QString, engine);
        QFETCH(QStringList, sql);
        QFETCH(QStringList, sqlIb);
        QFETCH(QStringList, params);
        QFETCH(int, rows);
        QFETCH(int, rowsOnFirebird);
        QFETCH(QString, field);
        QFETCH(QString, first);
        open(engine);
        QCOMPARE(dtmDBGeral::Database().driverName() == QLatin1String("QIBASE"), engine == QLatin1String("firebird"));
        TADOIBQuery q;
        q.Name = QStringLiteral("qryTeste");
        q.SQL = sql;
        q.SQL_IB = sqlIb;
        for (int i = 0; i + 1 < params.size(); i += 2)
            q.ParamByName(params[i]).AsString = params[i + 1];
        q.Open();
        QCOMPARE(q.RecordCount(), engine == QLatin1String("firebird") ? rowsOnFirebird : rows);
        if (!field.isEmpty()) {
            q.First();
            QCOMPARE(q.FieldByName(field).AsString(), first);
        }
    }

    // A dropped connection fails one query with the engine's text; the next one reconnects.
    void lostConnectionReconnects()
    {
        open(QStringLiteral("postgresql"));
        auto company = [] {
            TADOIBQuery q;
            q.Name = QStringLiteral("qryVdEmpresa");
            q.SQL = QStringList{"SELECT NMRAZSOCEMPR FROM EMPRESA WHERE CDEMPRESA = :P_CDEMPRESA"};
            q.ParamByName(QStringLiteral("P_CDEMPRESA")).AsString = QStringLiteral("01");
            q.Open();
            return q.FieldByName(QStringLiteral("NMRAZSOCEMPR")).AsString();
        };
        QCOMPARE(company(), QStringLiteral("Transportadora Horizonte Ltda"));
        QCOMPARE(pg->exec(QStringLiteral("postgres"),
                          QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = 'host'")),
                 QString());
        QVERIFY_THROWS_EXCEPTION(Exception, company());
        QCOMPARE(company(), QStringLiteral("Transportadora Horizonte Ltda"));
    }
};

QTEST_GUILESS_MAIN(TestEngines)
#include "tst_engines.moc"
