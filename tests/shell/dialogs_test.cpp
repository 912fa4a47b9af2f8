// The administration dialogs against a real profile file in a temporary folder.
#include "engine/listeners.h"
#include "shell/qt/about_dialog.h"
#include "shell/qt/access_info_dialog.h"
#include "shell/qt/dialog_look.h"
#include "shell/qt/main_frame.h"
#include "shell/qt/qt_window_side.h"
#include "shell/qt/user_definition_dialog.h"
#include "shell/server_app.h"
#include "shell/support.h"
#include "store/profile_file.h"
#include "store/registry.h"
#include "store/string_list.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <memory>

using namespace brevin;
using namespace brevin::test;

namespace {

QStringList Entries(const QComboBox* box) {
    QStringList entries;
    for (int i = 0; i < box->count(); ++i) {
        entries << box->itemText(i);
    }
    return entries;
}

// Types `name` into the New user dialog and presses OK.
void AnswerNewUser(const QString& name) {
    WhenModalDialogOpens([name](QDialog& dialog) {
        QTest::keyClicks(dialog.findChild<QLineEdit*>(QStringLiteral("IDC_NAME")), name);
        QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("IDOK")), Qt::LeftButton);
    });
}

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempWorkDir> m_work;
    std::unique_ptr<ProfileFile> m_profile;
    listas* m_users = nullptr;

    std::string Read(const char* section, const std::string& user) const {
        return m_profile->Read(section, user, "?");
    }

private slots:
    // A profile with carol, Anna and bob in this order, and a store root holding Anna's folder.
    void init() {
        m_work = std::make_unique<TempWorkDir>();
        m_profile = std::make_unique<ProfileFile>(m_work->File("brevin.INI"));
        QVERIFY(m_profile->Write("BREVIN", "store", m_work->File("store")));
        QVERIFY(QDir(m_work->Path()).mkpath(QStringLiteral("store/anna.box")));
        std::string error;
        QVERIFY(SetUser(*m_profile, {"carol", "carol.box", "c-secret"}, error));
        QVERIFY(SetUser(*m_profile, {"Anna", "anna.box", "a-secret"}, error));
        QVERIFY(SetUser(*m_profile, {"bob", "bob.box", "b-secret"}, error));
        m_users = nullptr;
        LoadUserList(*m_profile, m_users);
    }
    void cleanup() {
        FreeList(m_users);
        m_profile.reset();
        m_work.reset();
    }

    void sortedListAndEnablingRules() {
        UserDefinitionDialog dialog(*m_profile, m_users);
        QCOMPARE(Entries(dialog.User()), QStringList({"Anna", "bob", "carol"}));
        QCOMPARE(dialog.Folder()->text(), QStringLiteral("anna.box"));
        QCOMPARE(dialog.Password()->text(), QStringLiteral("a-secret"));
        QVERIFY(!dialog.UpdateButton()->isEnabled());
        QVERIFY(dialog.TestFolderButton()->isEnabled());
        QTest::keyClicks(dialog.Folder(), "x");
        QVERIFY(dialog.UpdateButton()->isEnabled());

        // Choosing bob drops the edit and shows what the file holds now, not at opening.
        std::string error;
        QVERIFY(SetUser(*m_profile, {"bob", "elsewhere", "new-pass"}, error));
        dialog.User()->setFocus();
        QTest::keyClick(dialog.User(), Qt::Key_Down);
        QCOMPARE(dialog.Folder()->text(), QStringLiteral("elsewhere"));
        QCOMPARE(dialog.Password()->text(), QStringLiteral("new-pass"));
        QVERIFY(!dialog.UpdateButton()->isEnabled());
        QCOMPARE(Read("USERS", "Anna"), "anna.box");

        // Update! writes both keys as typed, for that user only.
        QTest::keyClick(dialog.Password(), Qt::Key_Backspace);
        QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
        QCOMPARE(Read("PWD", "bob"), "new-pas");
        QCOMPARE(Read("USERS", "bob"), "elsewhere");
        QCOMPARE(Read("PWD", "carol"), "c-secret");
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
            UserDefinitionDialog dialog(*m_profile, m_users);
            AnswerNewUser(typed);
            QTest::mouseClick(dialog.NewUserButton(), Qt::LeftButton);
            QCOMPARE(Entries(dialog.User()), entries);
            QCOMPARE(shown.Texts(), boxes);
            QVERIFY(m_users == nullptr); // rebuilt from the file on closing
            const bool added = entries.size() == 4;
            QCOMPARE(dialog.UpdateButton()->isEnabled(), added);
            QCOMPARE(dialog.TestFolderButton()->isEnabled(), !added);
            if (added) {
                QCOMPARE(dialog.User()->currentIndex(), 0);
                QVERIFY(dialog.Folder()->text().isEmpty() && dialog.Password()->text().isEmpty());
                dialog.Folder()->setText(QStringLiteral("new.box"));
                QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
                QCOMPARE(Read("USERS", entries[0].toStdString()), "new.box");
            }
            QTest::mouseClick(dialog.CloseButton(), Qt::LeftButton);
        }
        UserDefinitionDialog dialog(*m_profile, m_users);
        QCOMPARE(Entries(dialog.User()), reopened);
    }

    void testFolder_data() {
        QTest::addColumn<QString>("folder"); // bob's, saved
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("caption"); // of the first box
        QTest::addColumn<bool>("exists");
        const QString ask = QStringLiteral("The folder don't exist. Have to create?");
        QTest::newRow("exists") << "anna.box" << false << QStringList{"The folder exist"}
                                << "Brevin" << true;
        QTest::newRow("Yes") << "bob.box" << true << QStringList{ask, "The folder exist"} << "bob"
                             << true;
        QTest::newRow("No") << "bob.box" << false << QStringList{ask} << "bob" << false;
        QTest::newRow("cannot be made")
            << "no/such/levels" << true << QStringList{ask, "There was an error in dir creation!"}
            << "bob" << false;
    }
    void testFolder() {
        QFETCH(QString, folder);
        QFETCH(bool, yes);
        QFETCH(QStringList, texts);
        QFETCH(QString, caption);
        QFETCH(bool, exists);
        std::string error;
        QVERIFY(SetUser(*m_profile, {"bob", folder.toStdString(), "b"}, error));
        BoxRecorder boxes;
        boxes.Answer(yes ? BoxAnswer::Yes : BoxAnswer::No);
        UserDefinitionDialog dialog(*m_profile, m_users);
        dialog.User()->setCurrentIndex(1);
        emit dialog.User()->activated(1);
        dialog.Folder()->setText(QStringLiteral("typed.box")); // not saved: not tested
        dialog.OnTestFolder();
        QCOMPARE(boxes.Texts(), texts);
        QCOMPARE(boxes.Shown()[0].caption, caption);
        QCOMPARE(QDir(m_work->Path() + "/store/" + folder).exists(), exists);
    }

    void accessAboutAndTheirLook() {
        SetDialogColours();
        HostAddress host;
        host.m_hostAddress = "192.168.1.10";
        host.m_hostOctets = {192, 168, 1, 10};
        AccessInfoDialog access(host);
        QCOMPARE(access.Address()->text(), QStringLiteral("192.168.1.10"));
        QCOMPARE(access.HostName()->text(), OfficialHostName());
        AboutDialog about;
        QVERIFY(about.Notice()->text().contains(QStringLiteral(BREVIN_VERSION)));
        QMessageBox box;
        for (QWidget* window : std::initializer_list<QWidget*>{&access, &about, &box}) {
            window->ensurePolished();
            QCOMPARE(window->palette().color(QPalette::Window), QColor(192, 192, 192));
            QCOMPARE(window->palette().color(QPalette::WindowText), QColor(Qt::black));
        }
    }

    // The Users command opens the dialog over the main window, and mail keeps flowing meanwhile.
    void usersDialogFromTheMainWindow() {
        ServerApp app(LoopbackOptions(), "brevin");
        QtWindowSide side(app, false);
        QVERIFY(app.Start(side));
        const std::unique_ptr<QSocketNotifier> notifier(WatchEventLoop(app.Loop()));
        bool fired = false;
        Timer timer(app.Loop(), [&fired] { fired = true; });
        timer.Start(std::chrono::milliseconds(0));
        QStringList users;
        QWidget* parent = nullptr;
        WhenModalDialogOpens([&](QDialog& dialog) {
            QTRY_VERIFY(fired);
            parent = dialog.parentWidget();
            users = Entries(dialog.findChild<QComboBox*>(QStringLiteral("IDC_USER")));
            dialog.accept();
        });
        side.MainFrame()->OnUsers();
        QCOMPARE(parent, side.MainFrame());
        QCOMPARE(users, QStringList({"Anna", "bob", "carol"}));
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
