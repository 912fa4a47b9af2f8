// The desktop with real windows over a real profile in a temporary working folder.
#include "shell/qt/about_dialog.h"
#include "shell/qt/access_info_dialog.h"
#include "shell/qt/activity_view.h"
#include "shell/qt/main_window.h"
#include "shell/qt/message_box.h"
#include "shell/qt/new_user_dialog.h"
#include "shell/qt/office_names_dialog.h"
#include "shell/qt/qt_window_side.h"
#include "shell/qt/splash_window.h"
#include "shell/qt/user_definition_dialog.h"
#include "shell/server_app.h"
#include "store/passwords.h"
#include "store/profile_file.h"
#include "store/recipients.h"
#include "store/users.h"
#include "support/client.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

using namespace brevin;

namespace {

QStringList Entries(const QComboBox* box) {
    QStringList entries;
    for (int i = 0; i < box->count(); ++i) {
        entries << box->itemText(i);
    }
    return entries;
}

// Answers every message box while it lives, from `answers` or else with OK (No to a
// question), and records what each one showed.
struct BoxRecorder {
    BoxRecorder() {
        previous = SetMessageBoxHandler([this](const BoxRequest& request) {
            texts << request.text;
            captions << request.caption;
            if (!answers.isEmpty()) {
                return answers.takeFirst();
            }
            return request.buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Ok;
        });
    }
    ~BoxRecorder() { SetMessageBoxHandler(previous); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    MessageBoxHandler previous;
    QList<BoxAnswer> answers;
    QStringList texts;
    QStringList captions;
};

// Runs `act` on the next modal dialog once its own loop runs (for code that calls exec()).
void WhenModalDialogOpens(std::function<void(QDialog&)> act) {
    QTimer::singleShot(0, [act = std::move(act)] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY2(dialog != nullptr, "no modal dialog opened");
        act(*dialog);
    });
}

} // namespace

class DesktopTest : public QObject {
    Q_OBJECT

    QString m_previousDir = QDir::currentPath();
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<ProfileFile> m_profile;
    std::unique_ptr<UserDirectory> m_users;
    std::unique_ptr<ServerApp> m_app;
    std::unique_ptr<QtWindowSide> m_side;

    // Starts the server over the profile with real windows, on loopback ports of any number
    // (the settings responder on `autoconfigPort`, when given).
    bool Start(bool tray, std::uint16_t autoconfigPort = 0) {
        ServerOptions options;
        options.autoconfigPort = autoconfigPort;
        options.addresses = {"127.0.0.1"};
        options.smtpPort = options.pop3Port = 0;
        options.submissionPort = options.smtpsPort = 0;
        options.imapPort = options.imapsPort = 0;
        m_app = std::make_unique<ServerApp>(options, "brevin");
        m_side = std::make_unique<QtWindowSide>(*m_app, tray);
        return m_app->Start(*m_side);
    }
    MainWindow& Window() { return *m_side->Window(); }
    std::string Read(const char* section, const std::string& user) const {
        return m_profile->Read(section, user, "?");
    }

private slots:
    // A profile with carol, Anna and bob in this order, and a store root holding Anna's folder.
    void init() {
        m_work = std::make_unique<QTemporaryDir>();
        QDir::setCurrent(m_work->path()); // where the server looks for its profile
        m_profile = std::make_unique<ProfileFile>(m_work->filePath("brevin.INI").toStdString());
        m_users = std::make_unique<UserDirectory>(*m_profile);
        QVERIFY(m_profile->Write("BREVIN", "store", m_work->filePath("store").toStdString()));
        QVERIFY(QDir(m_work->path()).mkpath(QStringLiteral("store/anna.box")));
        std::string error;
        QVERIFY(m_users->Set({"carol", "carol.box", "c-secret"}, error));
        QVERIFY(m_users->Set({"Anna", "anna.box", "a-secret"}, error));
        QVERIFY(m_users->Set({"bob", "bob.box", "b-secret"}, error));
    }
    void cleanup() {
        m_side.reset();
        m_app.reset();
        m_users.reset();
        m_profile.reset();
        QDir::setCurrent(m_previousDir);
        m_work.reset();
    }

    // What the administrator reads and waits for stays as it was.
    void fixedValues() {
        QVERIFY(Start(true));
        QStringList menus; // menus in brackets, disabled items in parentheses
        for (QAction* menu : Window().menuBar()->actions()) {
            menus << "[" + menu->text() + "]";
            for (QAction* item : menu->menu()->actions()) {
                menus << (item->isSeparator() ? QStringLiteral("-")
                          : item->isEnabled() ? item->text()
                                              : "(" + item->text() + ")");
            }
        }
        UserDefinitionDialog users(*m_users);
        QStringList buttons;
        for (const QPushButton* button : users.findChildren<QPushButton*>()) {
            buttons << button->text();
        }
        const std::pair<QString, QString> table[] = {
            {Window().windowTitle(), "Brevin"},
            {Window().TrayIcon().toolTip(), "BREVIN  Intranet Mail Server  "},
            {Window().StatusPane(MainWindow::MessagePane)->text(), "Per informazioni, premere F1"},
            {menus.join('|'), "[&File]|About...|&Users|Aliases, lists and &quotas...|How to "
                              "access...|&Esci|[&Visualizza]|"
                              "Barra degli st&rumenti|Barra di st&ato|A&ttività del server|[&?]|"
                              "(&Argomenti della Guida)|-|Infor&mazioni su BREVIN"},
            {QString::number(Window().TrayTimer().interval()), "2000"},
            {QString::number(Window().DateTimer().interval()), "60000"},
            {QString::number(m_side->Splash()->Timer().interval()), "5000"},
            {users.windowTitle(), "User definition"},
            {buttons.join('|'), "Update!|New user|test folder|Close"},
            {NewUserDialog().windowTitle(), "New User"},
            {AboutDialog().windowTitle(), "About Brevin...."},
            {AccessInfoDialog(HostAddress{}, {}).windowTitle(), "To reach  BREVIN server..."},
        };
        for (const auto& [actual, expected] : table) {
            QCOMPARE(actual, expected);
        }
    }

    // With the settings responder on, "How to access..." shows what to type per protocol, a
    // QR code of the page's address, and saves the certificate to trust.
    void accessShowsClientSettings() {
        std::uint16_t port = 0;
        {
            QTcpServer probe; // a free port for the responder
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        QVERIFY(Start(false, port));
        QString settings;
        QString page;
        bool qr = false;
        QPushButton* save = nullptr;
        WhenModalDialogOpens([&](QDialog& dialog) {
            settings = dialog.findChild<QLabel*>(QStringLiteral("clientSettings"))->text();
            page = dialog.findChild<QLabel*>(QStringLiteral("pageAddress"))->text();
            const QLabel* code = dialog.findChild<QLabel*>(QStringLiteral("qrCode"));
            qr = code != nullptr && !code->pixmap().isNull() && code->pixmap().width() > 50;
            save = dialog.findChild<QPushButton*>(QStringLiteral("saveCertificate"));
            dialog.accept();
        });
        Window().showAccess();
        const auto pop3 = m_app->ListenerSet().Find("pop3")->LocalPort();
        QVERIFY2(settings.contains(QStringLiteral("<td>POP3</td>")) &&
                     settings.contains(QStringLiteral("<td>%1</td><td>STARTTLS</td>").arg(pop3)),
                 qPrintable(settings));
        QVERIFY2(page.endsWith(QStringLiteral("http://127.0.0.1:%1/").arg(port)), qPrintable(page));
        QVERIFY(qr);
        QVERIFY(save != nullptr);
        // The code is the page's address: the same text always makes the same picture.
        const QImage image =
            AccessInfoDialog::QrCode(QStringLiteral("http://127.0.0.1:%1/").arg(port), 1);
        QVERIFY(!image.isNull() && image.width() == image.height() && image.width() >= 29);
        QCOMPARE(image.pixelColor(0, 0), QColor(Qt::white)); // the quiet zone
        QCOMPARE(image.pixelColor(4, 4), QColor(Qt::black)); // a finder pattern's corner
    }

    // The tray icon blinks and its click toggles the window; closing ends the program, by the
    // close box and by "&Esci", and takes the tray icon along.
    void trayAndClosing() {
        QVERIFY(Start(true));
        QSystemTrayIcon& icon = Window().TrayIcon();
        QVERIFY(!Window().isVisible() && icon.isVisible());
        QSet<qint64> images;
        for (int tick = 0; tick < 3; ++tick) {
            Window().animateTray();
            images << icon.icon().cacheKey();
        }
        QCOMPARE(images.size(), 2);

        emit icon.activated(QSystemTrayIcon::Context); // only a left-button release toggles
        emit icon.activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(!Window().isVisible());
        emit icon.activated(QSystemTrayIcon::Trigger);
        QVERIFY(Window().isVisible());
        Window().setWindowState(Qt::WindowMinimized);
        QVERIFY(!Window().isVisible());
        emit icon.activated(QSystemTrayIcon::Trigger);
        QVERIFY(Window().isVisible() && !Window().isMinimized());

        QSignalSpy exiting(&Window(), &MainWindow::Exiting);
        Window().close();
        QCOMPARE(exiting.count(), 1);
        QVERIFY(!Window().isVisible() && !icon.isVisible() && !Window().TrayTimer().isActive());
        Window().show();
        Window().findChild<QAction*>("exit")->trigger();
        QCOMPARE(exiting.count(), 2);
    }

    // The Users command opens the dialog over the main window, and mail keeps flowing meanwhile;
    // "How to access..." shows the fingerprint of the certificate the server made.
    void loopRunsWhileTheUsersDialogIsOpen() {
        QVERIFY(Start(false));
        const std::unique_ptr<QSocketNotifier> notifier(WatchEventLoop(m_app->Loop()));
        bool fired = false;
        Timer timer(m_app->Loop(), [&fired] { fired = true; });
        timer.Start(std::chrono::milliseconds(0));
        QStringList users;
        QWidget* parent = nullptr;
        WhenModalDialogOpens([&](QDialog& dialog) {
            QTRY_VERIFY(fired);
            parent = dialog.parentWidget();
            users = Entries(dialog.findChild<QComboBox*>(QStringLiteral("user")));
            dialog.accept();
        });
        Window().editUsers();
        QCOMPARE(parent, &Window());
        QCOMPARE(users, QStringList({"Anna", "bob", "carol"}));

        QString shown;
        QString ports;
        WhenModalDialogOpens([&](QDialog& dialog) {
            shown =
                dialog.findChild<QPlainTextEdit*>(QStringLiteral("tlsFingerprint"))->toPlainText();
            ports = dialog.findChild<QLabel*>(QStringLiteral("ports"))->text();
            dialog.accept();
        });
        Window().showAccess();
        QVERIFY(!m_app->TlsFingerprint().empty());
        QCOMPARE(shown, QString::fromStdString(m_app->TlsFingerprint()));
        const auto smtp = m_app->ListenerSet().Find("smtp")->LocalPort();
        QVERIFY2(ports.startsWith(QStringLiteral("SMTP %1, POP3 ").arg(smtp)), qPrintable(ports));

        // Without a tray the window is the only way in: shown, and minimising only minimises.
        QVERIFY(Window().isVisible() && !Window().TrayIcon().isVisible());
        Window().setWindowState(Qt::WindowMinimized);
        QVERIFY(Window().isVisible());
    }

    // A real delivery and retrieval show in the activity view and the tray tooltip, while the
    // window is up; the view lists the open session meanwhile.
    void activityCountsDeliveryAndRetrieval() {
        QVERIFY(Start(false));
        const std::unique_ptr<QSocketNotifier> notifier(WatchEventLoop(m_app->Loop()));
        const ActivityView& view = *Window().Activity();
        QVERIFY(view.isVisible());
        const std::uint16_t smtp = m_app->ListenerSet().Find("smtp")->LocalPort();
        const std::uint16_t pop3 = m_app->ListenerSet().Find("pop3")->LocalPort();
        bool talked = false;
        std::atomic<bool> done = false; // the loop runs here, so join only once it is over
        std::thread client([&] {
            testing::Client c;
            const auto say = [&c](std::string_view line) {
                c.Send(line);
                return c.ReadUntil("\n");
            };
            talked = c.Connect(smtp) && c.ReadUntil("\n").starts_with("220") &&
                     say("HELO x\r\n").starts_with("250") &&
                     say("MAIL FROM:<a@b>\r\n").starts_with("250") &&
                     say("RCPT TO:<Anna@lan>\r\n").starts_with("250") &&
                     say("DATA\r\n").starts_with("354") &&
                     say("Subject: x\r\n\r\nhi\r\n.\r\n").starts_with("250") &&
                     say("QUIT\r\n").starts_with("221") && c.Connect(pop3) &&
                     c.ReadUntil("\n").starts_with("+OK") &&
                     say("USER Anna\r\n").starts_with("+OK") &&
                     say("PASS a-secret\r\n").starts_with("+OK") &&
                     say("RETR 1\r\n").starts_with("+OK") && !c.ReadUntil("\r\n.\r\n").empty();
            done = true;
        });
        QTRY_COMPARE_WITH_TIMEOUT(view.Counts().RetrievedToday(), std::uint64_t{1}, 10000);
        QCOMPARE(view.Counts().ReceivedToday(), std::uint64_t{1});
        QCOMPARE(view.Counts().OpenSessions("pop3"), std::size_t{1});
        QTRY_VERIFY_WITH_TIMEOUT(done, 10000);
        client.join();
        QVERIFY(talked);
        QTRY_COMPARE_WITH_TIMEOUT(view.Counts().OpenSessions("pop3"), std::size_t{0}, 5000);
        const QStringList tip = Window().TrayIcon().toolTip().split('\n');
        QCOMPARE(tip.first(), MainWindow::kTrayTip);
        QVERIFY(tip.size() == 2 && tip[1].contains("ricevuti oggi 1") &&
                tip[1].contains("scaricati oggi 1"));
        auto* log = view.findChild<QListWidget*>(QStringLiteral("log"));
        QTRY_VERIFY(log->count() > 0 && log->item(0)->text().contains("pop3 close"));
    }

    void userDialogShowsAndSavesTheProfile() {
        UserDefinitionDialog dialog(*m_users);
        QCOMPARE(Entries(dialog.User()), QStringList({"Anna", "bob", "carol"}));
        QCOMPARE(dialog.Folder()->text(), QStringLiteral("anna.box"));
        // The profile holds only a hash: the password is never shown.
        QVERIFY(dialog.Password()->text().isEmpty());
        QCOMPARE(dialog.Password()->placeholderText(), QStringLiteral("unchanged"));
        QVERIFY(!dialog.UpdateButton()->isEnabled());
        QTest::keyClicks(dialog.Folder(), "x");
        QVERIFY(dialog.UpdateButton()->isEnabled());

        // Choosing bob drops the edit and shows what the file holds now, not at opening.
        std::string error;
        QVERIFY(m_users->Set({"bob", "elsewhere", "new-pass"}, error));
        dialog.User()->setFocus();
        QTest::keyClick(dialog.User(), Qt::Key_Down);
        QCOMPARE(dialog.Folder()->text(), QStringLiteral("elsewhere"));
        QVERIFY(dialog.Password()->text().isEmpty());
        QCOMPARE(Read("USERS", "Anna"), "anna.box");

        // Update! with the password left empty keeps it; typed, it is the new one. For that
        // user only.
        const std::string bob = Read("PWD", "bob");
        const std::string carol = Read("PWD", "carol");
        QTest::keyClicks(dialog.Folder(), "2");
        QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
        QCOMPARE(Read("USERS", "bob"), "elsewhere2");
        QCOMPARE(Read("PWD", "bob"), bob);
        QTest::keyClicks(dialog.Password(), "new-pas");
        QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
        QVERIFY(PasswordMatches(Read("PWD", "bob"), "new-pas"));
        QVERIFY(dialog.Password()->text().isEmpty());
        QCOMPARE(Read("PWD", "carol"), carol);
        QVERIFY(!dialog.UpdateButton()->isEnabled());
    }

    void newUser_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QStringList>("reopened");
        const QStringList three = {"Anna", "bob", "carol"};
        QTest::newRow("Mary Ann Smith")
            << "Mary Ann Smith" << QStringList{"mary.ann.smith", "Anna", "bob", "carol"}
            << QStringList{} << QStringList{"Anna", "bob", "carol", "mary.ann.smith"};
        QTest::newRow("empty") << "" << three << QStringList{} << three;
        QTest::newRow("duplicate")
            << "BOB" << QStringList{"bob", "Anna", "bob", "carol"} << QStringList{} << three;
        QTest::newRow("refused") << "a=b" << three
                                 << QStringList{QString::fromStdString(UserNameProblem("a=b"))}
                                 << three;
    }
    void newUser() {
        QFETCH(QString, typed);
        QFETCH(QStringList, entries);
        QFETCH(QStringList, boxes);
        QFETCH(QStringList, reopened);
        BoxRecorder shown;
        {
            UserDefinitionDialog dialog(*m_users);
            WhenModalDialogOpens([typed](QDialog& ask) {
                QTest::keyClicks(ask.findChild<QLineEdit*>(QStringLiteral("name")), typed);
                QTest::mouseClick(ask.findChild<QPushButton*>(QStringLiteral("ok")),
                                  Qt::LeftButton);
            });
            QTest::mouseClick(dialog.NewUserButton(), Qt::LeftButton);
            QCOMPARE(Entries(dialog.User()), entries);
            QCOMPARE(shown.texts, boxes);
            const bool added = entries.size() == 4;
            QCOMPARE(dialog.UpdateButton()->isEnabled(), added);
            QCOMPARE(dialog.TestFolderButton()->isEnabled(), !added);
            if (added) {
                QVERIFY(dialog.Folder()->text().isEmpty() && dialog.Password()->text().isEmpty());
                // What `brevin user set` refuses, the dialog refuses with the same words.
                dialog.Folder()->setText(QStringLiteral("../escape"));
                QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
                QVERIFY(shown.texts.value(0).contains(QStringLiteral("contains \"/\"")));
                dialog.Folder()->setText(QStringLiteral("new.box"));
                QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
                QCOMPARE(shown.texts.value(1), QStringLiteral("a password is required"));
                dialog.Password()->setText(QStringLiteral("pw"));
                QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
                QCOMPARE(Read("USERS", entries[0].toStdString()), "new.box");
            }
            QTest::mouseClick(dialog.CloseButton(), Qt::LeftButton);
        }
        UserDefinitionDialog dialog(*m_users);
        QCOMPARE(Entries(dialog.User()), reopened);
    }

    // "test folder" looks at the saved folder, not the typed one, and creates it when asked.
    void testFolder() {
        BoxRecorder boxes;
        boxes.answers << BoxAnswer::No << BoxAnswer::Yes;
        UserDefinitionDialog dialog(*m_users);
        dialog.User()->setCurrentIndex(1);
        emit dialog.User()->activated(1);
        dialog.Folder()->setText(QStringLiteral("anna.box"));
        const QString bobBox = m_work->filePath("store/bob.box");
        for (int click = 0; click < 3; ++click) {
            dialog.testFolder();
            QCOMPARE(QDir(bobBox).exists(), click > 0);
        }
        const QString ask = QStringLiteral("The folder don't exist. Have to create?");
        QCOMPARE(boxes.texts, QStringList({ask, ask, "The folder exist", "The folder exist"}));
        QCOMPARE(boxes.captions, QStringList({"bob", "bob", "Brevin", "Brevin"}));

        QVERIFY(m_profile->Write("USERS", "bob", "no/such/levels"));
        boxes.answers << BoxAnswer::Yes;
        dialog.testFolder();
        QCOMPARE(boxes.texts.last(), QStringLiteral("There was an error in dir creation!"));
    }

    // The names dialog saves what `brevin alias|group|quota` saves and refuses it alike.
    void officeNames() {
        BoxRecorder shown;
        OfficeNamesDialog dialog(*m_users);
        dialog.Name()->setCurrentText(QStringLiteral("Info"));
        dialog.Members()->setText(QStringLiteral("anna"));
        QTest::mouseClick(dialog.SaveButton(), Qt::LeftButton);
        dialog.Name()->setCurrentText(QStringLiteral("team"));
        dialog.Members()->setText(QStringLiteral("bob, info carol"));
        dialog.IsList()->setChecked(true);
        QTest::mouseClick(dialog.SaveButton(), Qt::LeftButton);
        QCOMPARE(Read("ALIASES", "info"), "anna");
        QCOMPARE(Read("LISTS", "team"), "3");
        QVERIFY(shown.texts.isEmpty());
        dialog.Name()->setCurrentText(QStringLiteral("carol"));
        dialog.Members()->setText(QStringLiteral("team"));
        QTest::mouseClick(dialog.SaveButton(), Qt::LeftButton);
        std::string same;
        QVERIFY(!Recipients(*m_users).SetList("carol", {"team"}, same));
        QCOMPARE(shown.texts, QStringList({QString::fromStdString(same)}));
        dialog.QuotaUser()->setCurrentText(QStringLiteral("bob"));
        dialog.QuotaMiB()->setText(QStringLiteral("250"));
        QTest::mouseClick(dialog.QuotaButton(), Qt::LeftButton);
        QCOMPARE(Read("QUOTA", "bob"), "250");
    }
};

QTEST_MAIN(DesktopTest)
#include "desktop_test.moc"
