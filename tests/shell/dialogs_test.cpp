// The administration dialogs against a real profile file in a temporary folder.
#include "engine/listeners.h"
#include "shell/qt/about_dialog.h"
#include "shell/qt/access_info_dialog.h"
#include "shell/qt/dialog_look.h"
#include "shell/qt/main_frame.h"
#include "shell/qt/message_box.h"
#include "shell/qt/new_user_dialog.h"
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
#include <QMenuBar>
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

QStringList ListTexts(const listas* head) {
    QStringList texts;
    for (; head != nullptr; head = head->Next()) {
        texts << QString::fromStdString(head->m_text);
    }
    return texts;
}

// Types `name` into the New user dialog and presses OK (or Cancel).
void AnswerNewUser(const QString& name, bool ok = true) {
    WhenModalDialogOpens([name, ok](QDialog& dialog) {
        auto* field = dialog.findChild<QLineEdit*>(QStringLiteral("IDC_NAME"));
        QVERIFY(field != nullptr);
        QTest::keyClicks(field, name);
        auto* button = dialog.findChild<QPushButton*>(ok ? QStringLiteral("IDOK")
                                                         : QStringLiteral("IDCANCEL"));
        QTest::mouseClick(button, Qt::LeftButton);
    });
}

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempWorkDir> m_work;
    std::unique_ptr<ProfileFile> m_profile;
    listas* m_users = nullptr;

    // A profile with carol, Anna and bob in this order, their folders and passwords, and a
    // store root with Anna's folder in it.
    void SeedUsers() {
        QVERIFY(m_profile->Write("BREVIN", "store", m_work->File("store")));
        QVERIFY(QDir(m_work->Path()).mkpath(QStringLiteral("store/anna.box")));
        std::string error;
        QVERIFY(SetUser(*m_profile, {"carol", "carol.box", "c-secret"}, error));
        QVERIFY(SetUser(*m_profile, {"Anna", "anna.box", "a-secret"}, error));
        QVERIFY(SetUser(*m_profile, {"bob", "bob.box", "b-secret"}, error));
        LoadUserList(*m_profile, m_users);
    }

    std::string Folder(const std::string& user) const {
        return m_profile->Read("USERS", user, "?");
    }
    std::string Password(const std::string& user) const {
        return m_profile->Read("PWD", user, "?");
    }

private slots:
    void init() {
        m_work = std::make_unique<TempWorkDir>();
        m_profile = std::make_unique<ProfileFile>(m_work->File("brevin.INI"));
        m_users = nullptr;
    }
    void cleanup() {
        FreeList(m_users);
        m_profile.reset();
        m_work.reset();
    }

    // ---- user definition: opening and selection

    void opensWithTheUsersSortedAndTheFirstSelected() {
        SeedUsers();
        UserDefinitionDialog dialog(*m_profile, m_users);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("User definition"));
        QCOMPARE(Entries(dialog.User()), QStringList({"Anna", "bob", "carol"}));
        QCOMPARE(dialog.User()->currentText(), QStringLiteral("Anna"));
        QCOMPARE(dialog.Folder()->text(), QStringLiteral("anna.box"));
        QCOMPARE(dialog.Password()->text(), QStringLiteral("a-secret"));
        QCOMPARE(dialog.Password()->echoMode(), QLineEdit::Normal);
        QVERIFY(!dialog.UpdateButton()->isEnabled());
        QVERIFY(dialog.TestFolderButton()->isEnabled());
        QVERIFY(dialog.NewUserButton()->isEnabled());
        QCOMPARE(dialog.UpdateButton()->text(), QStringLiteral("Update!"));
        QCOMPARE(dialog.NewUserButton()->text(), QStringLiteral("New user"));
        QCOMPARE(dialog.TestFolderButton()->text(), QStringLiteral("test folder"));
        QCOMPARE(dialog.CloseButton()->text(), QStringLiteral("Close"));
        QVERIFY(dialog.CloseButton()->isDefault());
    }

    void opensEmptyWithoutUsers() {
        UserDefinitionDialog dialog(*m_profile, m_users);
        QCOMPARE(dialog.User()->count(), 0);
        QCOMPARE(dialog.User()->currentIndex(), -1);
        QVERIFY(dialog.Folder()->text().isEmpty());
        QVERIFY(!dialog.UpdateButton()->isEnabled());
    }

    void valuesComeFromTheFileNotFromMemory() {
        SeedUsers();
        std::string error;
        QVERIFY(SetUser(*m_profile, {"bob", "elsewhere", "new-pass"}, error));
        UserDefinitionDialog dialog(*m_profile, m_users);
        dialog.User()->setCurrentIndex(1);
        emit dialog.User()->activated(1);
        QCOMPARE(dialog.Folder()->text(), QStringLiteral("elsewhere"));
        QCOMPARE(dialog.Password()->text(), QStringLiteral("new-pass"));
    }

    void editingEnablesUpdateAndChoosingAnotherUserDropsTheEdit() {
        SeedUsers();
        UserDefinitionDialog dialog(*m_profile, m_users);
        QTest::keyClicks(dialog.Folder(), "x");
        QVERIFY(dialog.UpdateButton()->isEnabled());
        QCOMPARE(dialog.Folder()->text(), QStringLiteral("anna.boxx"));

        // Choosing bob with the keyboard, as the administrator would.
        dialog.User()->setFocus();
        QTest::keyClick(dialog.User(), Qt::Key_Down);
        QCOMPARE(dialog.User()->currentText(), QStringLiteral("bob"));
        QCOMPARE(dialog.Folder()->text(), QStringLiteral("bob.box"));
        QCOMPARE(dialog.Password()->text(), QStringLiteral("b-secret"));
        QVERIFY(!dialog.UpdateButton()->isEnabled());
        QCOMPARE(Folder("Anna"), std::string("anna.box"));

        QTest::keyClick(dialog.Password(), Qt::Key_Backspace);
        QVERIFY(dialog.UpdateButton()->isEnabled());
    }

    // ---- Update!

    void updateWritesBothKeysExactlyAsTyped() {
        SeedUsers();
        UserDefinitionDialog dialog(*m_profile, m_users);
        dialog.Folder()->setText(QStringLiteral("anna.mail"));
        dialog.Password()->clear();
        QTest::mouseClick(dialog.UpdateButton(), Qt::LeftButton);
        QCOMPARE(Folder("Anna"), std::string("anna.mail"));
        QCOMPARE(Password("Anna"), std::string(""));
        QVERIFY(!dialog.UpdateButton()->isEnabled());
        QVERIFY(dialog.TestFolderButton()->isEnabled());
        // Only Anna changed.
        QCOMPARE(Folder("bob"), std::string("bob.box"));
        QCOMPARE(Password("carol"), std::string("c-secret"));
    }

    void updateWithoutAUserSaysSoAndWritesNothing() {
        BoxRecorder boxes;
        UserDefinitionDialog dialog(*m_profile, m_users);
        dialog.Folder()->setText(QStringLiteral("somewhere"));
        dialog.OnUpdate();
        QCOMPARE(boxes.Texts(), QStringList({"NO UPDATE !!!"}));
        QCOMPARE(boxes.Shown()[0].caption, QStringLiteral("Brevin"));
        QCOMPARE(boxes.Shown()[0].buttons, BoxButtons::Ok);
        QVERIFY(boxes.Shown()[0].owner == &dialog);
        QVERIFY(m_profile->Keys("USERS").empty());
    }

    // ---- New user

    void newUserIsLowerCasedDottedAndPutAtTheTop() {
        SeedUsers();
        UserDefinitionDialog dialog(*m_profile, m_users);
        AnswerNewUser(QStringLiteral("Mary Ann Smith"));
        dialog.OnNewUser();
        QCOMPARE(dialog.m_newName, QStringLiteral("mary.ann.smith"));
        QCOMPARE(Entries(dialog.User()), QStringList({"mary.ann.smith", "Anna", "bob", "carol"}));
        QCOMPARE(dialog.User()->currentIndex(), 0);
        QVERIFY(dialog.Folder()->text().isEmpty());
        QVERIFY(dialog.Password()->text().isEmpty());
        QVERIFY(dialog.UpdateButton()->isEnabled());
        QVERIFY(!dialog.TestFolderButton()->isEnabled());
        QVERIFY(m_users == nullptr);                          // emptied until Close
        QCOMPARE(Folder("mary.ann.smith"), std::string("?")); // nothing written yet
    }

    void newUserNameFieldLowerCasesAsLettersAreTyped() {
        UserDefinitionDialog owner(*m_profile, m_users);
        NewUserDialog ask(owner);
        QCOMPARE(ask.windowTitle(), QStringLiteral("New User"));
        QTest::keyClicks(ask.Name(), "JoE Bl");
        QCOMPARE(ask.Name()->text(), QStringLiteral("joe bl"));
        ask.OnOK();
        QCOMPARE(owner.m_newName, QStringLiteral("joe bl"));
        QCOMPARE(ask.result(), int(QDialog::Accepted));
    }

    void newUserCancelledChangesNothing() {
        SeedUsers();
        UserDefinitionDialog dialog(*m_profile, m_users);
        AnswerNewUser(QStringLiteral("zed"), false);
        dialog.OnNewUser();
        QVERIFY(dialog.m_newName.isEmpty());
        QCOMPARE(dialog.User()->count(), 3);
        QCOMPARE(ListTexts(m_users), QStringList({"carol", "Anna", "bob"}));
    }

    void emptyNewUserInsertsNothingButEmptiesTheListAndCloseReloadsIt() {
        SeedUsers();
        UserDefinitionDialog dialog(*m_profile, m_users);
        AnswerNewUser(QString());
        dialog.OnNewUser();
        QCOMPARE(Entries(dialog.User()), QStringList({"Anna", "bob", "carol"}));
        QVERIFY(!dialog.UpdateButton()->isEnabled());
        QVERIFY(m_users == nullptr);
        QTest::mouseClick(dialog.CloseButton(), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(ListTexts(m_users), QStringList({"carol", "Anna", "bob"}));
    }

    void duplicateNameAddsASecondEntryAndUpdateReplacesThatUser() {
        SeedUsers();
        UserDefinitionDialog dialog(*m_profile, m_users);
        AnswerNewUser(QStringLiteral("BOB"));
        dialog.OnNewUser();
        QCOMPARE(Entries(dialog.User()), QStringList({"bob", "Anna", "bob", "carol"}));
        dialog.Folder()->setText(QStringLiteral("bob.new"));
        dialog.Password()->setText(QStringLiteral("b-new"));
        dialog.OnUpdate();
        QCOMPARE(Folder("bob"), std::string("bob.new"));
        QCOMPARE(Password("BOB"), std::string("b-new"));
        QCOMPARE(m_profile->Keys("USERS").size(), std::size_t{3});
        QVERIFY(dialog.TestFolderButton()->isEnabled());
    }

    void nameTheProfileCannotHoldIsRefusedWithABox() {
        SeedUsers();
        BoxRecorder boxes;
        UserDefinitionDialog dialog(*m_profile, m_users);
        AnswerNewUser(QStringLiteral("a=b"));
        dialog.OnNewUser();
        QCOMPARE(boxes.Shown().size(), std::size_t{1});
        QCOMPARE(boxes.Shown()[0].text, QString::fromStdString(UserNameProblem("a=b")));
        QCOMPARE(boxes.Shown()[0].caption, QStringLiteral("Brevin"));
        QCOMPARE(Entries(dialog.User()), QStringList({"Anna", "bob", "carol"}));
        QVERIFY(!dialog.UpdateButton()->isEnabled());

        AnswerNewUser(QStringLiteral("*star"));
        dialog.OnNewUser();
        QCOMPARE(boxes.Shown().size(), std::size_t{2});
        QCOMPARE(dialog.User()->count(), 3);
        QCOMPARE(m_profile->Keys("USERS").size(), std::size_t{3});
    }

    void savedNewUserAppearsSortedWhenReopened() {
        SeedUsers();
        {
            UserDefinitionDialog dialog(*m_profile, m_users);
            AnswerNewUser(QStringLiteral("Mary Ann Smith"));
            dialog.OnNewUser();
            dialog.Folder()->setText(QStringLiteral("mary"));
            dialog.Password()->setText(QStringLiteral("m-secret"));
            dialog.OnUpdate();
            dialog.OnOK();
        }
        QCOMPARE(ListTexts(m_users), QStringList({"carol", "Anna", "bob", "mary.ann.smith"}));
        UserDefinitionDialog reopened(*m_profile, m_users);
        QCOMPARE(Entries(reopened.User()), QStringList({"Anna", "bob", "carol", "mary.ann.smith"}));
        reopened.User()->setCurrentIndex(3);
        emit reopened.User()->activated(3);
        QCOMPARE(reopened.Folder()->text(), QStringLiteral("mary"));
        QCOMPARE(reopened.Password()->text(), QStringLiteral("m-secret"));
    }

    void unsavedNewUserIsGoneWhenReopened() {
        SeedUsers();
        {
            UserDefinitionDialog dialog(*m_profile, m_users);
            AnswerNewUser(QStringLiteral("ghost"));
            dialog.OnNewUser();
            dialog.OnOK();
        }
        UserDefinitionDialog reopened(*m_profile, m_users);
        QCOMPARE(Entries(reopened.User()), QStringList({"Anna", "bob", "carol"}));
    }

    void escapeAfterNewUserAlsoReloadsTheList() {
        SeedUsers();
        UserDefinitionDialog dialog(*m_profile, m_users);
        AnswerNewUser(QStringLiteral("temp"));
        dialog.OnNewUser();
        QVERIFY(m_users == nullptr);
        dialog.reject();
        QCOMPARE(ListTexts(m_users), QStringList({"carol", "Anna", "bob"}));
    }

    // ---- test folder

    void testFolderOfAnExistingFolderSaysItExists() {
        SeedUsers();
        BoxRecorder boxes;
        UserDefinitionDialog dialog(*m_profile, m_users);
        QTest::mouseClick(dialog.TestFolderButton(), Qt::LeftButton);
        QCOMPARE(boxes.Texts(), QStringList({"The folder exist"}));
        QCOMPARE(boxes.Shown()[0].caption, QStringLiteral("Brevin"));
    }

    void testFolderCreatesAMissingFolderOnYes() {
        SeedUsers();
        BoxRecorder boxes;
        boxes.Answer(BoxAnswer::Yes);
        UserDefinitionDialog dialog(*m_profile, m_users);
        dialog.User()->setCurrentIndex(1); // bob, whose folder does not exist yet
        emit dialog.User()->activated(1);
        dialog.OnTestFolder();
        QCOMPARE(boxes.Texts(),
                 QStringList({"The folder don't exist. Have to create?", "The folder exist"}));
        QCOMPARE(boxes.Shown()[0].caption, QStringLiteral("bob"));
        QCOMPARE(boxes.Shown()[0].buttons, BoxButtons::YesNo);
        QCOMPARE(boxes.Shown()[0].icon, BoxIcon::Stop);
        QVERIFY(QDir(m_work->Path() + "/store/bob.box").exists());
    }

    void testFolderLeavesAMissingFolderOnNo() {
        SeedUsers();
        BoxRecorder boxes;
        boxes.Answer(BoxAnswer::No);
        UserDefinitionDialog dialog(*m_profile, m_users);
        dialog.User()->setCurrentIndex(2);
        emit dialog.User()->activated(2);
        dialog.OnTestFolder();
        QCOMPARE(boxes.Texts(), QStringList({"The folder don't exist. Have to create?"}));
        QCOMPARE(boxes.Shown()[0].caption, QStringLiteral("carol"));
        QVERIFY(!QDir(m_work->Path() + "/store/carol.box").exists());
    }

    void testFolderReportsAFolderThatCannotBeMade() {
        SeedUsers();
        std::string error;
        QVERIFY(SetUser(*m_profile, {"bob", "no/such/levels", "b"}, error));
        BoxRecorder boxes;
        boxes.Answer(BoxAnswer::Yes);
        UserDefinitionDialog dialog(*m_profile, m_users);
        dialog.User()->setCurrentIndex(1);
        emit dialog.User()->activated(1);
        dialog.OnTestFolder();
        QCOMPARE(boxes.Texts(), QStringList({"The folder don't exist. Have to create?",
                                             "There was an error in dir creation!"}));
        QCOMPARE(boxes.Shown()[1].caption,
                 QString::fromStdString(m_work->File("store") + "/no/such/levels"));
        QVERIFY(dialog.isEnabled());
    }

    void testFolderUsesTheSavedFolderNotTheTypedOne() {
        SeedUsers();
        BoxRecorder boxes;
        UserDefinitionDialog dialog(*m_profile, m_users);
        dialog.Folder()->setText(QStringLiteral("not-saved"));
        dialog.OnTestFolder(); // Anna's saved folder exists
        QCOMPARE(boxes.Texts(), QStringList({"The folder exist"}));
    }

    // ---- the other dialogs

    void accessDialogShowsTheStartupAddressAndTheHostName() {
        HostAddress host;
        host.m_hostAddress = "192.168.1.10";
        host.m_hostOctets = {192, 168, 1, 10};
        AccessInfoDialog dialog(host);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("To reach  BREVIN server..."));
        QCOMPARE(dialog.Address()->text(), QStringLiteral("192.168.1.10"));
        QCOMPARE(dialog.HostName()->text(), OfficialHostName());
        QVERIFY(!dialog.HostName()->text().isEmpty());
        QVERIFY(dialog.HostName()->text().size() <= 199);
        QStringList texts;
        for (const QLabel* label : dialog.findChildren<QLabel*>()) {
            texts << label->text();
        }
        QVERIFY(texts.contains("To access this BREVIN Mail Server \nfrom a networked computer, "
                               "please set \nin the mail client program :"));
        QVERIFY(texts.contains("SMTP and POP3 Server:"));
        QVERIFY(texts.contains("or"));
    }

    void aboutDialogNamesProductVersionAndPurpose() {
        AboutDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("About Brevin...."));
        QVERIFY(dialog.Notice()->text().contains(QStringLiteral(BREVIN_VERSION)));
        QVERIFY(dialog.Notice()->text().contains(QStringLiteral("SMTP")));
        QVERIFY(dialog.Notice()->alignment().testFlag(Qt::AlignRight));
        bool titled = false;
        for (const QLabel* label : dialog.findChildren<QLabel*>()) {
            titled = titled || label->text() == QStringLiteral("BREVIN Intranet Mail Server");
        }
        QVERIFY(titled);
        QVERIFY(dialog.findChild<QPushButton*>("IDOK")->isDefault());
        QTest::mouseClick(dialog.findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    void dialogsAndBoxesAreLightGreyWithBlackText() {
        SetDialogColours();
        // Class palettes take effect when a widget is polished, which showing it does.
        UserDefinitionDialog dialog(*m_profile, m_users);
        dialog.ensurePolished();
        QCOMPARE(dialog.palette().color(QPalette::Window), QColor(192, 192, 192));
        QCOMPARE(dialog.palette().color(QPalette::WindowText), QColor(Qt::black));
        QCOMPARE(dialog.findChild<QLabel*>()->palette().color(QPalette::WindowText),
                 QColor(Qt::black));
        QMessageBox box;
        box.ensurePolished();
        QCOMPARE(box.palette().color(QPalette::Window), QColor(192, 192, 192));
        AboutDialog about;
        about.ensurePolished();
        QCOMPARE(about.palette().color(QPalette::Window), QColor(192, 192, 192));
    }

    void boxWithoutCaptionShowsTheApplicationTitle() {
        BoxRecorder boxes;
        QCOMPARE(ShowMessageBox(nullptr, QStringLiteral("hello")), BoxAnswer::Ok);
        ShowMessageBox(nullptr, QStringLiteral("hello"), QStringLiteral("Own"));
        QCOMPARE(boxes.Shown()[0].caption, QStringLiteral("Brevin"));
        QCOMPARE(boxes.Shown()[1].caption, QStringLiteral("Own"));
    }

    // ---- through the main window

    void menuOpensTheUserDialogOverTheFrameWithTheApplicationsUsers() {
        SeedUsers();
        ServerApp app(LoopbackOptions(), "brevin");
        QtWindowSide side(app, false);
        QVERIFY(app.InitInstance(side));
        QString seenTitle;
        QStringList seenUsers;
        QWidget* seenParent = nullptr;
        WhenModalDialogOpens([&](QDialog& dialog) {
            seenTitle = dialog.windowTitle();
            seenParent = dialog.parentWidget();
            seenUsers = Entries(dialog.findChild<QComboBox*>(QStringLiteral("IDC_USER")));
            dialog.findChild<QPushButton*>(QStringLiteral("IDOK"))->click();
        });
        side.MainFrame()->OnUsers();
        QCOMPARE(seenTitle, QStringLiteral("User definition"));
        QCOMPARE(seenUsers, QStringList({"Anna", "bob", "carol"}));
        QCOMPARE(seenParent, side.MainFrame());
    }

    void mailFlowsWhileAModalDialogIsOpen() {
        // The loop's descriptor is served from Qt's loop; a modal dialog's loop serves it too.
        ServerApp app(LoopbackOptions(), "brevin");
        QtWindowSide side(app, false);
        QVERIFY(app.InitInstance(side));
        const std::unique_ptr<QSocketNotifier> notifier(WatchEventLoop(app.Loop()));
        bool fired = false;
        Timer timer(app.Loop(), [&fired] { fired = true; });
        timer.Start(std::chrono::milliseconds(0));
        WhenModalDialogOpens([&fired](QDialog& dialog) {
            QTRY_VERIFY(fired);
            dialog.accept();
        });
        side.MainFrame()->OnAbout();
        QVERIFY(fired);
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
