// A display that is named but cannot be opened: the program says so in one line and serves
// mail without windows.
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A loopback port nobody listens on right now.
quint16 FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        qFatal("no free loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
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
                      QString::number(pop3), "--pause-ms", "0"});
        QVERIFY(server.waitForStarted());
        server.setReadChannel(QProcess::StandardError);

        QByteArray said;
        while (!said.contains('\n') && server.waitForReadyRead(10000)) {
            said += server.readAllStandardError();
        }
        QCOMPARE(said, QByteArray("brevin: cannot open the display; running without windows\n"));

        // It serves: the SMTP banner comes.
        QTcpSocket client;
        QByteArray banner;
        for (int attempt = 0; attempt < 50 && banner.isEmpty(); ++attempt) {
            client.connectToHost(QStringLiteral("127.0.0.1"), smtp);
            if (client.waitForConnected(2000)) {
                while (!banner.endsWith("\r\n") && client.waitForReadyRead(5000)) {
                    banner += client.readAll();
                }
            } else {
                client.abort();
                QTest::qWait(100); // the server may still be starting
            }
        }
        QCOMPARE(banner, QByteArray("220 Ok. Brevin Server ready \r\n"));
        client.close();

        server.terminate();
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
        QCOMPARE(server.readAllStandardError(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(NoDisplayTest)
#include "no_display_test.moc"
