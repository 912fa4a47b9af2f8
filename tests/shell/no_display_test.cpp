// A display that is named but cannot be opened: the program says so in one line and serves
// mail without windows.
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A loopback port nobody listens on right now.
quint16 FreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost)) {
        qFatal("no free loopback port");
    }
    return probe.serverPort();
}

} // namespace

class NoDisplayTest : public QObject {
    Q_OBJECT

private slots:
    void unopenableDisplayGivesOneLineAndAHeadlessServer() {
        QTemporaryDir work;
        QProcess server;
        server.setWorkingDirectory(work.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":987"));
        server.setProcessEnvironment(environment);
        const quint16 smtp = FreePort();
        const quint16 pop3 = FreePort();
        server.start(QStringLiteral(BREVIN_PROGRAM),
                     {"--address", "127.0.0.1", "--smtp-port", QString::number(smtp), "--pop3-port",
                      QString::number(pop3), "--submission-port", "0", "--smtps-port", "0",
                      "--pause-ms", "0"});
        QVERIFY(server.waitForStarted());

        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += server.readAllStandardError()).contains('\n'), 10000);
        QCOMPARE(said.left(said.indexOf('\n') + 1),
                 QByteArray("brevin: cannot open the display; running without windows\n"));

        // It serves: the SMTP banner comes once the listener is up.
        QTcpSocket client;
        for (int attempt = 0; attempt < 50 && !client.waitForConnected(2000); ++attempt) {
            client.abort();
            QTest::qWait(100);
            client.connectToHost(QStringLiteral("127.0.0.1"), smtp);
        }
        QByteArray banner;
        QTRY_VERIFY((banner += client.readAll()).endsWith("\r\n"));
        QCOMPARE(banner, QByteArray("220 Ok. Brevin Server ready \r\n"));

        // The session still open is closed at exit, so a leak checker in the server stays quiet.
        server.terminate();
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(NoDisplayTest)
#include "no_display_test.moc"
