// Form1's controls: which there are, where they sit (drawn in twips), their
// captions, fonts, colours, names for screen readers, tab order and input rules.

#include "ui/form1.h"

#include "ui/controls.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

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

}  // namespace

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

// The layout assumes the client area never changes; there is no window menu
// to take the size command from, so the window keeps a fixed size instead.
void Form1::Form_Activate()
{
    setFixedSize(ClientWidth, ClientHeight);
}

}  // namespace plimo
