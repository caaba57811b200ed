// Inputs the fuzz targets found: each is refused as malformed, without a huge allocation.
#include "Cbor.h"
#include "Frame.h"
#include "Packet.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <sys/resource.h>

class TestFuzzFound : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
#if !defined(__SANITIZE_ADDRESS__)
        // An allocation of gigabytes fails here instead of passing unnoticed.
        rlimit l{rlim_t(1536) << 20, rlim_t(1536) << 20};
        setrlimit(RLIMIT_AS, &l);
#endif
    }

    void refused_data()
    {
        QTest::addColumn<QString>("file");
        const QDir d(QStringLiteral(REGRESSIONS_DIR));
        for (const QString &f : d.entryList(QDir::Files))
            QTest::newRow(qPrintable(f)) << d.filePath(f);
        QVERIFY(d.entryList(QDir::Files).size() >= 6);
    }
    void refused()
    {
        QFETCH(QString, file);
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray in = f.readAll();
        const QString kind = QFileInfo(file).fileName().section(QLatin1Char('-'), 0, 0);
        if (kind == QLatin1String("reply")) {
            QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodeReply(in));
        } else if (kind == QLatin1String("packet")) {
            QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodePacket(TDataPacket{in}));
        } else {
            QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodeRequest(in));
            wire::FrameReader r(1 << 20);
            QByteArray payload;
            try {
                r.feed(in);
                while (r.next(payload))
                    QVERIFY_THROWS_EXCEPTION(wire::DecodeError, wire::decodeRequest(payload));
            } catch (const wire::DecodeError &) {
                QFAIL("the frame reader is not a decoder");
            } catch (const std::runtime_error &) {
                // an announced length over the limit
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestFuzzFound)
#include "tst_fuzzfound.moc"
