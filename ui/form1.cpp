#include "ui/form1.h"

#include "platform/error.h"
#include "platform/quitsignals.h"
#include "ui/folderchooser.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>
#include <QtDebug>

#include <limits>

namespace plimo {

namespace {

// The layout is drawn in twips, 15 to a pixel at 96 dpi; Qt scales the
// pixels on denser screens.
constexpr int px(int twips)
{
    return (twips + 7) / 15;
}

constexpr QRect twips(int left, int top, int width, int height)
{
    return {px(left), px(top), px(width), px(height)};
}

constexpr int ClientWidth = px(5910);
constexpr int ClientHeight = px(6930);

template <typename Control> Control *makeControl(QWidget *parent, const char *name)
{
    auto *control = new Control(parent);
    control->setObjectName(QString::fromLatin1(name));
    return control;
}

void setPaleYellow(QLineEdit *box)
{
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, QColor(255, 255, 192));
    box->setPalette(palette);
}

// The first family is the one the layout was drawn with; the others carry
// Hangul where it is missing.
QStringList koreanFamilies()
{
    return {QStringLiteral("굴림"), QStringLiteral("Gulim"), QStringLiteral("NanumGothic"),
            QStringLiteral("Noto Sans CJK KR")};
}

// A plain top-level widget is announced to screen readers as a bare
// container; the program's one window should be announced as a window.
QAccessibleInterface *accessibleWindow(const QString &className, QObject *object)
{
    if (className != u"plimo::Form1" || !object->isWidgetType())
        return nullptr;
    return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
}

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
    static const bool announcedAsWindow = [] {
        QAccessible::installFactory(accessibleWindow);
        return true;
    }();
    Q_UNUSED(announcedAsWindow);
    createControls();
    placeControls();
    setUpCaptions();
    setUpFonts();
    setUpResultsAndProgress();
    setUpAccessibleNames();
    setUpTabOrder();
    setUpInputRules();
    connectEvents();
    m_download = std::make_unique<FileDownload>(*this, Inet2);
    Form_Load();
}

// The runs still going await the network; cancelling resumes them, so they
// end (their temporary file removed) while everything they use still exists.
Form1::~Form1()
{
    Inet1.Cancel();
    m_download->stop();
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

void Form1::createControls()
{
    setObjectName(QStringLiteral("Form1"));
    Frame1 = makeControl<QGroupBox>(this, "Frame1");
    Text1 = makeControl<QLineEdit>(Frame1, "Text1");
    Command1 = makeControl<QPushButton>(Frame1, "Command1");
    ListView1 = makeControl<QTreeWidget>(this, "ListView1");
    Frame2 = makeControl<QGroupBox>(this, "Frame2");
    Text2 = makeControl<QLineEdit>(Frame2, "Text2");
    Command2 = makeControl<QPushButton>(Frame2, "Command2");
    Frame3 = makeControl<QGroupBox>(this, "Frame3");
    ProgressBar1 = makeControl<QProgressBar>(Frame3, "ProgressBar1");
    Label2 = makeControl<QLabel>(Frame3, "Label2");
    Command3 = makeControl<QPushButton>(Frame3, "Command3");
    Label1 = makeControl<QLabel>(this, "Label1");
    Label5 = makeControl<QLabel>(this, "Label5");
    Label3 = makeControl<QLabel>(this, "Label3");
    Text3 = makeControl<QLineEdit>(this, "Text3");
    List1 = makeControl<QListWidget>(this, "List1");
    List2 = makeControl<QListWidget>(this, "List2");
    List3 = makeControl<QListWidget>(this, "List3");
    m_list1 = std::make_unique<ListBoxWorkList>(*List1);
    m_list2 = std::make_unique<ListBoxWorkList>(*List2);
    m_list3 = std::make_unique<ListBoxWorkList>(*List3);
}

// Controls inside a frame are placed from the frame's corner. Label3, Text3
// and the work lists start right of the client area: they are not meant to
// be seen.
void Form1::placeControls()
{
    setFixedSize(ClientWidth, ClientHeight);
    Frame1->setGeometry(twips(120, 120, 5655, 735));
    Text1->setGeometry(twips(120, 240, 4215, 375));
    Command1->setGeometry(twips(4440, 240, 1095, 375));
    ListView1->setGeometry(twips(120, 960, 5655, 3615));
    Frame2->setGeometry(twips(120, 4680, 5655, 615));
    Text2->setGeometry(twips(120, 240, 4695, 270));
    Command2->setGeometry(twips(4920, 240, 615, 255));
    Frame3->setGeometry(twips(120, 5400, 5655, 735));
    ProgressBar1->setGeometry(twips(120, 240, 3855, 255));
    Label2->setGeometry(twips(4080, 240, 495, 255));
    Command3->setGeometry(twips(4560, 240, 975, 375));
    Label1->setGeometry(twips(1200, 6360, 2535, 375));
    Label5->setGeometry(twips(4800, 6360, 975, 255));
    Label3->setGeometry(twips(6120, 6360, 1455, 375));
    Text3->setGeometry(twips(6120, 6240, 4455, 615));
    List1->setGeometry(twips(6120, 480, 4215, 1500));
    List2->setGeometry(twips(6120, 2160, 4215, 2040));
    List3->setGeometry(twips(6120, 4320, 4575, 1860));
}

void Form1::setUpCaptions()
{
    setWindowTitle(QStringLiteral("PlimoMP3 v1.0"));
    Frame1->setTitle(QStringLiteral("음악검색"));
    Command1->setText(QStringLiteral("검색"));
    Frame2->setTitle(QStringLiteral("다운로드 경로"));
    Text2->setText(QStringLiteral("Text2"));
    Command2->setText(QStringLiteral("..."));
    Frame3->setTitle(QStringLiteral("다운로드 진행률"));
    Label2->setText(QStringLiteral("0%"));
    Command3->setText(QStringLiteral("음악다운"));
    Label5->setText(QStringLiteral("?"));
    Label3->setText(QStringLiteral("Label3"));

    // A line edit keeps 32767 characters by default; an address or a folder
    // must never be cut short without a word.
    for (QLineEdit *box : {Text1, Text2, Text3})
        box->setMaxLength(std::numeric_limits<int>::max());
    setPaleYellow(Text1);
    setPaleYellow(Text2);
    Text1->setToolTip(QStringLiteral("※ 가수+노래제목   이렇게 검색해주세요"));
    for (QLabel *label : {Label1, Label2, Label5})
        label->setAlignment(Qt::AlignCenter);
}

void Form1::setUpFonts()
{
    // Drawn for a Korean 9-point system font: a larger desktop default would
    // clip captions in their narrow controls.
    QFont windowFont = font();
    windowFont.setFamilies(koreanFamilies());
    windowFont.setPointSizeF(9);
    setFont(windowFont);

    // "100 %" is the widest text Label2 gets; Hangul fonts with wider digits
    // than the one the layout was drawn with need a smaller size to fit it.
    QFont percentFont = windowFont;
    while (percentFont.pointSizeF() > 7 &&
           QFontMetrics(percentFont).horizontalAdvance(QStringLiteral("100 %")) > Label2->width())
        percentFont.setPointSizeF(percentFont.pointSizeF() - 0.5);
    Label2->setFont(percentFont);

    QFont statusFont = windowFont;
    statusFont.setPointSizeF(9.75);
    statusFont.setWeight(QFont::Normal);
    Label1->setFont(statusFont);
}

void Form1::setUpResultsAndProgress()
{
    ListView1->setColumnCount(2);
    ListView1->setHeaderLabels({QStringLiteral("제목"), QStringLiteral("파일주소")});
    ListView1->header()->setStretchLastSection(false);
    ListView1->header()->resizeSection(0, px(1640));
    ListView1->header()->resizeSection(1, px(1040));
    ListView1->setRootIsDecorated(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setWordWrap(false);
    ListView1->setTextElideMode(Qt::ElideRight);
    ListView1->setItemDelegate(new SingleLineDelegate(ListView1));

    ProgressBar1->setRange(0, 100);
    ProgressBar1->setOrientation(Qt::Horizontal);
    ProgressBar1->setTextVisible(false);  // Label2 shows the percentage
}

// Controls without a caption of their own get a name a screen reader can say;
// labels and buttons are read by their captions.
void Form1::setUpAccessibleNames()
{
    Text1->setAccessibleName(QStringLiteral("검색어"));
    ListView1->setAccessibleName(QStringLiteral("검색 결과"));
    Text2->setAccessibleName(QStringLiteral("다운로드 폴더"));
    ProgressBar1->setAccessibleName(QStringLiteral("다운로드 진행률"));
    Text3->setAccessibleName(QStringLiteral("선택한 파일 주소"));
    List1->setAccessibleName(QStringLiteral("검색 페이지 주소"));
    List2->setAccessibleName(QStringLiteral("글 링크"));
    List3->setAccessibleName(QStringLiteral("글 보기 주소"));
}

// In the order of the controls' tab indexes; frames, labels and the progress
// bar take no focus and so drop out.
void Form1::setUpTabOrder()
{
    QWidget *const order[] = {ListView1, Text1, Text2, Command2, Command1,
                              List1,     List2, List3, Text3,    Command3};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void Form1::setUpInputRules()
{
    // Enter on a focused button clicks it, as Space does; outside a dialog Qt
    // gives buttons that only when they are auto-default.
    for (QPushButton *button : {Command1, Command2, Command3})
        button->setAutoDefault(true);
    // Text3 holds the address 음악다운 fetches: only choosing a row may change
    // it, never a key typed while it has the focus (it stays in the tab order).
    Text3->setReadOnly(true);
    ListView1->header()->setSectionsMovable(false);
    // Qt selects a row on a press of any mouse button; see eventFilter.
    ListView1->viewport()->installEventFilter(this);
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
    m_download->stop();
    QWidget::closeEvent(event);
}

void Form1::Form_Load()
{
    QCoreApplication::processEvents();
    Text2->setText(QDir::currentPath() + u'/');
    ProgressBar1->setValue(100);
    ListView1->setFocus();
}

// The layout assumes the client area never changes; there is no window menu
// to take the size command from, so the window keeps a fixed size instead.
void Form1::Form_Activate()
{
    setFixedSize(ClientWidth, ClientHeight);
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
}

void Form1::Command3_Click()
{
    m_download->Command3_Click();  // runs on by itself, like the search
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
