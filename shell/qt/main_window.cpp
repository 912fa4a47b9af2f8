#include "shell/qt/main_window.h"

#include "shell/qt/about_dialog.h"
#include "shell/qt/access_info_dialog.h"
#include "shell/qt/activity_view.h"
#include "shell/qt/background_view.h"
#include "shell/qt/office_names_dialog.h"
#include "shell/qt/user_definition_dialog.h"
#include "shell/server_app.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>

namespace brevin {

QString DatePaneText(std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    char text[128];
    const std::size_t length = std::strftime(text, sizeof text, "%x", &local);
    return QString::fromLocal8Bit(text, static_cast<qsizetype>(length));
}

namespace {

// A pane of the status bar: sunken, and as wide as `sizing` needs.
QLabel* MakePane(const QString& text, const QString& sizing) {
    auto* pane = new QLabel(text);
    pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pane->setAlignment(Qt::AlignCenter);
    const int margins = pane->contentsMargins().left() + pane->contentsMargins().right();
    pane->setFixedWidth(pane->fontMetrics().horizontalAdvance(sizing) + margins + 8);
    return pane;
}

bool IsLockKey(int key) {
    return key == Qt::Key_CapsLock || key == Qt::Key_NumLock || key == Qt::Key_ScrollLock;
}

} // namespace

MainWindow::MainWindow(ServerApp& app, const QIcon& iconMain, const QIcon& iconAlt,
                       bool trayAvailable)
    : m_app(app), m_iconMain(iconMain), m_iconAlt(iconAlt), m_trayAvailable(trayAvailable) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Brevin"));
    setWindowIcon(m_iconMain);
    resize(640, 420);

    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    m_view = new BackgroundView(this);
    setCentralWidget(m_view);
    m_activity = new ActivityView(app, this);
    addDockWidget(Qt::RightDockWidgetArea, m_activity);
    resizeDocks({m_activity}, {460}, Qt::Horizontal);
    QAction* activity = m_activity->toggleViewAction();
    activity->setObjectName(QStringLiteral("toggleActivity"));
    activity->setText(QStringLiteral("A&ttività del server"));
    activity->setStatusTip(QStringLiteral("Mostra o nasconde l'attività del server"));
    findChild<QMenu*>(QStringLiteral("viewMenu"))->addAction(activity);
    // The first line stays the program's name; the counts follow.
    connect(m_activity, &ActivityView::SummaryChanged, this, [this](const QString& summary) {
        m_trayIcon.setToolTip(kTrayTip + QLatin1Char('\n') + summary);
    });

    m_dateTimer.setInterval(kDatePeriod);
    connect(&m_dateTimer, &QTimer::timeout, this, [this] {
        ShowDate();
        ShowLocks(ReadLockState());
    });
    m_dateTimer.start();

    m_trayIcon.setIcon(m_iconMain);
    m_trayIcon.setToolTip(kTrayTip);
    connect(&m_trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::trayActivated);
    m_trayTimer.setInterval(kTrayPeriod);
    connect(&m_trayTimer, &QTimer::timeout, this, &MainWindow::animateTray);
    if (m_trayAvailable) {
        m_trayIcon.show();
        m_trayTimer.start();
    }
    qApp->installEventFilter(this);
}

MainWindow::~MainWindow() {
    m_trayIcon.hide();
}

QAction* MainWindow::Command(const char* name, const QString& text, const QString& prompt) {
    auto* action = new QAction(text, this);
    action->setObjectName(QString::fromLatin1(name));
    action->setStatusTip(prompt);
    return action;
}

void MainWindow::CreateMenus() {
    m_aboutAction = Command("about", QStringLiteral("About..."), QStringLiteral("About Brevin"));
    m_usersAction =
        Command("users", QStringLiteral("&Users"), QStringLiteral("Users configuration"));
    m_namesAction = Command("names", QStringLiteral("Aliases, lists and &quotas..."),
                            QStringLiteral("Other names for users, distribution lists, quotas"));
    m_accessAction = Command("access", QStringLiteral("How to access..."),
                             QStringLiteral("How to access a user from mail client programs..."));
    connect(m_aboutAction, &QAction::triggered, this, &MainWindow::showAbout);
    connect(m_usersAction, &QAction::triggered, this, &MainWindow::editUsers);
    connect(m_namesAction, &QAction::triggered, this, &MainWindow::editNames);
    connect(m_accessAction, &QAction::triggered, this, &MainWindow::showAccess);

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(m_aboutAction);
    file->addAction(m_usersAction);
    file->addAction(m_namesAction);
    file->addAction(m_accessAction);
    QAction* exit =
        Command("exit", QStringLiteral("&Esci"),
                QStringLiteral("Esce dall'applicazione e chiede di salvare i documenti"));
    connect(exit, &QAction::triggered, this, &QWidget::close);
    file->addAction(exit);

    // The View items are filled in once the bars exist.
    menuBar()->addMenu(QStringLiteral("&Visualizza"))->setObjectName(QStringLiteral("viewMenu"));

    QMenu* help = menuBar()->addMenu(QStringLiteral("&?"));
    QAction* topics = Command("helpTopics", QStringLiteral("&Argomenti della Guida"),
                              QStringLiteral("Elenca gli argomenti della Guida"));
    topics->setEnabled(false); // no help is installed
    help->addAction(topics);
    help->addSeparator();
    QAction* about = Command("helpAbout", QStringLiteral("Infor&mazioni su BREVIN"),
                             QStringLiteral("About Brevin"));
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);
    help->addAction(about);
}

void MainWindow::CreateToolBar() {
    m_toolBar = new QToolBar(QStringLiteral("Toolbar"), this);
    m_toolBar->setObjectName(QStringLiteral("toolBar"));
    m_toolBar->setIconSize(QSize(32, 32));
    m_toolBar->setAllowedAreas(Qt::AllToolBarAreas);
    const QPixmap strip(QStringLiteral(":/res/TOOLBAR"));
    int index = 0;
    for (QAction* action : {m_aboutAction, m_usersAction, m_accessAction}) {
        action->setIcon(QIcon(strip.copy(index * 32, 0, 32, 32)));
        m_toolBar->addAction(action);
        // The commands carry no tooltip text, so the buttons show none.
        if (QWidget* button = m_toolBar->widgetForAction(action)) {
            button->installEventFilter(this);
        }
        ++index;
    }
    addToolBar(Qt::TopToolBarArea, m_toolBar);

    QAction* toggle = m_toolBar->toggleViewAction();
    toggle->setObjectName(QStringLiteral("toggleToolBar"));
    toggle->setText(QStringLiteral("Barra degli st&rumenti"));
    toggle->setStatusTip(QStringLiteral("Mostra o nasconde la barra degli strumenti"));
    findChild<QMenu*>(QStringLiteral("viewMenu"))->addAction(toggle);
}

void MainWindow::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    // A normal widget: temporary messages (the prompts) cover it and it returns after them.
    m_panes[MessagePane] = new QLabel(QStringLiteral("Per informazioni, premere F1"));
    bar->addWidget(m_panes[MessagePane], 1);
    m_panes[CapsPane] = MakePane(QString(), QStringLiteral("MA"));
    m_panes[NumPane] = MakePane(QString(), QStringLiteral("NUM"));
    m_panes[ScrollPane] = MakePane(QString(), QStringLiteral("BS"));
    m_panes[DatePane] = MakePane(QStringLiteral("Date"), QStringLiteral("Date"));
    for (int pane = CapsPane; pane < PaneCount; ++pane) {
        bar->addPermanentWidget(m_panes[pane]);
    }

    auto* toggle = new QAction(QStringLiteral("Barra di st&ato"), this);
    toggle->setObjectName(QStringLiteral("toggleStatusBar"));
    toggle->setStatusTip(QStringLiteral("Mostra o nasconde la barra di stato"));
    toggle->setCheckable(true);
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, bar, &QWidget::setVisible);
    findChild<QMenu*>(QStringLiteral("viewMenu"))->addAction(toggle);
}

void MainWindow::HideAtStart() {
    if (m_trayAvailable) {
        hide();
    } else {
        showNormal();
    }
}

void MainWindow::trayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger) {
        return;
    }
    if (isVisible()) {
        hide();
    } else {
        show();
        showNormal();
        activateWindow();
    }
}

void MainWindow::animateTray() {
    m_trayIcon.setIcon(m_trayPhase.Tick() ? m_iconMain : m_iconAlt);
}

void MainWindow::ShowDate() {
    QLabel* pane = m_panes[DatePane];
    const QString text = DatePaneText(std::time(nullptr));
    const int margins = pane->contentsMargins().left() + pane->contentsMargins().right();
    pane->setFixedWidth(pane->fontMetrics().horizontalAdvance(text) + margins + 8);
    pane->setText(text);
    pane->setEnabled(true);
}

void MainWindow::ShowLocks(const LockState& state) {
    m_panes[CapsPane]->setText(state.caps ? QStringLiteral("MA") : QString());
    m_panes[NumPane]->setText(state.num ? QStringLiteral("NUM") : QString());
    m_panes[ScrollPane]->setText(state.scroll ? QStringLiteral("BS") : QString());
}

void MainWindow::showAbout() {
    AboutDialog dialog;
    dialog.exec();
}

void MainWindow::editUsers() {
    UserDefinitionDialog dialog(m_app.Users(), this);
    dialog.exec();
}

void MainWindow::editNames() {
    OfficeNamesDialog dialog(m_app.Users(), this);
    dialog.exec();
}

void MainWindow::showAccess() {
    AccessInfoDialog dialog(m_app.Host(), QString::fromStdString(m_app.TlsFingerprint()),
                            QString::fromStdString(m_app.PortsText()), this, m_app.ClientSetup());
    dialog.exec();
}

void MainWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange && m_trayAvailable &&
        (windowState() & Qt::WindowMinimized) != 0) {
        hide(); // to the tray; its click brings the window back
    }
    QMainWindow::changeEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    m_trayTimer.stop();
    m_trayIcon.hide();
    event->accept();
    emit Exiting();
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    ShowDate();
    ShowLocks(ReadLockState());
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ToolTip:
        if (watched != this && watched->parent() == m_toolBar) {
            return true;
        }
        break;
    case QEvent::KeyRelease:
        if (IsLockKey(static_cast<QKeyEvent*>(event)->key())) {
            ShowLocks(ReadLockState());
        }
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace brevin
