#include "ui/form1.h"

#include "platform/error.h"
#include "platform/quitsignals.h"
#include "ui/accessibleresults.h"
#include "ui/downloadlist.h"
#include "ui/folderchooser.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>
#include <QtDebug>

namespace plimo {

namespace {

// A plain top-level widget is announced to screen readers as a bare
// container; the program's one window should be announced as a window.
QAccessibleInterface *accessibleWindow(const QString &className, QObject *object)
{
    if (className != u"plimo::Form1" || !object->isWidgetType())
        return nullptr;
    return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
}

// How often the download's progress may change on the screen: a display's
// frame.
constexpr std::chrono::milliseconds ProgressFrame{16};

bool isButtonEvent(QEvent::Type type)
{
    return type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
           type == QEvent::MouseButtonDblClick;
}

// HomePageAddress as the address to hand to the desktop.
QUrl homePageUrl(const QString &address)
{
    const QUrl asGiven(address, QUrl::StrictMode);
    if (!asGiven.isRelative())
        return asGiven;
    return QUrl::fromLocalFile(
        QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../") + address));
}

}  // namespace

Form1::Form1(QWidget *parent)
    : QWidget(parent), m_showMessage(showMessageBox), m_browseFolder(BrowseFolder)
{
    // Before any control exists: a control's interface is made once, the
    // first time anything asks for it.
    static const bool accessibleInterfacesOurs = [] {
        QAccessible::installFactory(accessibleWindow);
        QAccessible::installFactory(accessibleResults);
        return true;
    }();
    Q_UNUSED(accessibleInterfacesOurs);
    createControls();
    placeControls();
    setUpCaptions();
    setUpFonts();
    setUpResultsAndProgress();
    setUpAccessibleNames();
    setUpTabOrder();
    setUpInputRules();
    connectEvents();
    setUpDownloadLine();
    Form_Load();
}

// A search still going awaits the network; cancelling resumes it, so it ends
// while the controls it writes still exist. The line ends its downloads
// itself, before Inet2 goes, and says nothing more to a window going away.
Form1::~Form1()
{
    Inet1.Cancel();
    m_line->disconnect(this);
}

void Form1::setMessageBox(MessageBoxFunction showMessage)
{
    m_showMessage = std::move(showMessage);
}

void Form1::setFolderBrowser(FolderBrowserFunction browseFolder)
{
    m_browseFolder = std::move(browseFolder);
}

void Form1::closeWhenAskedToQuit(const QuitSignals &quitSignals)
{
    connect(&quitSignals, &QuitSignals::quitRequested, this, [this] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
        close();
    });
}

void Form1::setRequestTimeout(std::chrono::milliseconds timeout)
{
    Inet1.setRequestTimeout(timeout);
    Inet2.setRequestTimeout(timeout);
}

void Form1::connectEvents()
{
    Text1->installEventFilter(this);
    Label5->installEventFilter(this);
    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    connect(Command3, &QPushButton::clicked, this, [this] { Command3_Click(); });
    connect(ListView1, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem *row) { ListView1_ItemClick(row); });
    connect(ListView1, &QTreeWidget::itemSelectionChanged, this,
            [this] { onResultSelectionChanged(); });
    m_progressFrame.setSingleShot(true);
    m_progressFrame.setInterval(ProgressFrame);
    connect(&m_progressFrame, &QTimer::timeout, this, [this] { showPendingProgress(); });
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Text1 && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            Text1_KeyPress(13);
        return false;  // the box still gets the key
    }
    if (watched == Label5 && event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton &&
            Label5->rect().contains(mouse->position().toPoint()))
            Label5_Click();
        return false;
    }
    if (watched == ProgressBar1 && event->type() == QEvent::MouseButtonDblClick) {
        showDownloadList();
        return true;
    }
    if (watched == ListView1->viewport() && isButtonEvent(event->type()))
        return static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton;
    return QWidget::eventFilter(watched, event);
}

void Form1::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        Form_Activate();
}

// A search or a download still going ends here, before the window goes: no
// further request, no temporary file left.
void Form1::closeEvent(QCloseEvent *event)
{
    Inet1.Cancel();
    m_line->stop();
    if (m_list)
        m_list->close();
    QWidget::closeEvent(event);
}

void Form1::Form_Load()
{
    QCoreApplication::processEvents();
    Text2->setText(QDir::currentPath() + u'/');
    restoreFolder();
    ProgressBar1->setValue(100);
    ListView1->setFocus();
}

void Form1::Text1_KeyPress(int keyAscii)
{
    if (keyAscii == 13)
        Command1_Click();
}

// One search at a time: a second one would clear the lists the first is
// still working through.
void Form1::Command1_Click()
{
    if (m_searching)
        return;
    search();  // runs on by itself; the window stays usable meanwhile
}

QCoro::Task<> Form1::search()
{
    m_searching = true;
    Command1->setEnabled(false);
    setCursor(Qt::BusyCursor);
    try {
        co_await runSearch(*this, Inet1);
    } catch (const Error &) {
        // Cancelled: the window is closing.
    } catch (const std::exception &error) {
        qCritical("search failed unexpectedly: %s", error.what());
    } catch (...) {
        qCritical("search failed unexpectedly");
    }
    unsetCursor();
    Command1->setEnabled(true);
    m_searching = false;
}

void Form1::Command2_Click()
{
    const QString chosen =
        m_browseFolder(this, QStringLiteral("파일 저장할 폴더를 선택해주세요"), Text2->text());
    if (chosen.isEmpty())
        return;
    Text2->setText(chosen + u'/');
    rememberFolder(Text2->text());
}

void Form1::Command3_Click()
{
    m_line->Command3_Click();  // the download runs on by itself, like the search
}

void Form1::ListView1_ItemClick(QTreeWidgetItem *row)
{
    if (row == nullptr)
        return;
    Text3->setText(row->text(1));
}

// Choosing a row with the keyboard counts as clicking it.
void Form1::onResultSelectionChanged()
{
    const QList<QTreeWidgetItem *> selected = ListView1->selectedItems();
    if (selected.size() == 1)
        ListView1_ItemClick(selected.front());
}

void Form1::Label5_Click()
{
    OpenHomePage(QString::fromUtf16(HomePageAddress));
}

void Form1::OpenHomePage(const QString &address)
{
    const QUrl page = homePageUrl(address);
    if (QDesktopServices::openUrl(page))
        return;
    showMessage(QStringLiteral("홈페이지를 열 수 없습니다. 홈페이지는 다음 위치에 있습니다.\n") +
                    page.toDisplayString(QUrl::PreferLocalFile),
                MessageStyle::Ok);
}

}  // namespace plimo
