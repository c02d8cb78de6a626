// Where the RPC server listens: the command line a run is given (a restarted
// service included) and bindhost.txt.
#include "bindaddress.h"
#include "testfile.h"

#include <QTemporaryDir>
#include <QtTest>

class TestBindAddress : public QObject
{
    Q_OBJECT
private slots:
    void resolve_data()
    {
        QTest::addColumn<QStringList>("args"); // after the program
        QTest::addColumn<QByteArray>("file");  // null: no file
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("port");

        const QString any = QHostAddress(QHostAddress::Any).toString();
        const QByteArray none;
        QTest::newRow("nothing") << QStringList{} << none << true << any << 45432;
        QTest::newRow("empty file") << QStringList{} << QByteArray("  \r\n") << true << any
                                    << 45432;
        QTest::newRow("file addr:port") << QStringList{} << QByteArray("   192.0.2.5:5000\r\n")
                                        << true << "192.0.2.5" << 5000;
        QTest::newRow("file addr") << QStringList{} << QByteArray("192.0.2.5") << true
                                   << "192.0.2.5" << 45432;
        QTest::newRow("colon, nothing") << QStringList{} << QByteArray("192.0.2.5:") << true
                                        << "192.0.2.5" << 45432;
        QTest::newRow("colon, letters") << QStringList{} << QByteArray("192.0.2.5:abc") << true
                                        << "192.0.2.5" << 45432;
        QTest::newRow("port 0") << QStringList{} << QByteArray("192.0.2.5:0") << true
                                << "192.0.2.5" << 45432;
        QTest::newRow("port too big") << QStringList{} << QByteArray("192.0.2.5:70000") << true
                                      << "192.0.2.5" << 45432;
        QTest::newRow("extra parts") << QStringList{} << QByteArray("192.0.2.5:5000:9") << true
                                     << "192.0.2.5" << 5000;
        QTest::newRow("ipv6 splits") << QStringList{} << QByteArray("::1") << false << "" << 45432;
        QTest::newRow("host name") << QStringList{} << QByteArray("localhost:5000") << false << ""
                                   << 5000;
        QTest::newRow("argument wins") << QStringList{"198.51.100.1:7000"}
                                       << QByteArray("192.0.2.5:5000") << true << "198.51.100.1"
                                       << 7000;
        QTest::newRow("empty argument") << QStringList{""} << QByteArray("192.0.2.5") << true
                                        << any << 45432;
        // A service restarted on its own is started with "--restart N".
        QTest::newRow("restart, no file")
            << QStringList{"--restart", "5"} << none << true << any << 45432;
        QTest::newRow("restart, file") << QStringList{"--restart", "5"}
                                       << QByteArray("127.0.0.1:6000\n") << true << "127.0.0.1"
                                       << 6000;
        QTest::newRow("restart without delay")
            << QStringList{"--restart"} << QByteArray("127.0.0.1") << true << "127.0.0.1" << 45432;
        QTest::newRow("restart, then host") << QStringList{"--restart", "5", "198.51.100.1"}
                                            << QByteArray("127.0.0.1") << true << "198.51.100.1"
                                            << 45432;
        QTest::newRow("console option") << QStringList{"-e", "127.0.0.1"} << none << true
                                        << "127.0.0.1" << 45432;
        QTest::newRow("console option only")
            << QStringList{"-exec"} << QByteArray("192.0.2.5") << true << "192.0.2.5" << 45432;
    }

    void resolve()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, file);
        QFETCH(bool, valid);
        QFETCH(QString, address);
        QFETCH(int, port);
        QTemporaryDir dir;
        const QString path = dir.filePath("bindhost.txt");
        if (!file.isNull()) {
            QVERIFY(writeTestFile(path, file));
        }
        const BindAddress bind =
            resolveBindAddress(QStringList{"paramserver"} + args, readBindHostFile(path), 45432);
        QCOMPARE(bind.valid, valid);
        QCOMPARE(bind.port, quint16(port));
        if (valid) {
            QCOMPARE(bind.address.toString(), address);
        }
    }
};

QTEST_GUILESS_MAIN(TestBindAddress)
#include "tst_bindaddress.moc"
