#pragma once

// The one window of the program. Its controls carry the program's data: the
// query (Text1), the destination folder (Text2, always ending in "/"), the
// selected file address (Text3), the search's work lists (List1..List3) and
// its results (ListView1). Some of them lie right of the visible client area
// on purpose: they work like the others but the user never sees them.
//
// The window only wires events to handlers; the search, the download and the
// folder dialog do the work. Message boxes and the folder dialog are reached
// through replaceable functions so that tests can answer them.

#include "download/downloadline.h"
#include "platform/inet.h"
#include "search/searchrun.h"
#include "ui/controls.h"

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace plimo {

class DownloadList;
class QuitSignals;

// The program's home page, which the "?" link opens in the user's browser: a
// full address (with a scheme) is opened as it is; anything else is a path
// under the installation prefix, found from the executable's folder
// (<prefix>/bin), so a build tree works as well as an installed one.
inline constexpr char16_t HomePageAddress[] = u"share/plimomp3/index.html";

class Form1 final : public QWidget, public SearchControls, public DownloadControls {
    Q_OBJECT

public:
    using MessageBoxFunction =
        std::function<MessageAnswer(QWidget *owner, const QString &text, MessageStyle style)>;
    using FolderBrowserFunction =
        std::function<QString(QWidget *owner, const QString &title, const QString &startPath)>;

    // Builds every control and runs Form_Load, so the window is ready to show.
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // Replace how the window asks the user; the defaults show real dialogs.
    void setMessageBox(MessageBoxFunction showMessage);
    void setFolderBrowser(FolderBrowserFunction browseFolder);
    // A quit signal closes the window as the user would, dismissing an open
    // dialog first (it would keep the program alive), so a running download
    // removes its temporary file.
    void closeWhenAskedToQuit(const QuitSignals &quitSignals);

    // The stretch over which a search's or a download's transfer must make
    // progress (Inet::setRequestTimeout); tests shorten it.
    void setRequestTimeout(std::chrono::milliseconds timeout);

    // The event handlers, callable directly (tests, and the window's own wiring).
    void Form_Load();
    void Form_Activate();
    void Text1_KeyPress(int keyAscii);
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void ListView1_ItemClick(QTreeWidgetItem *row);
    void Label5_Click();

    // Opens address (as HomePageAddress) in the user's default browser. When
    // the desktop cannot open it, a message box says where the page is.
    void OpenHomePage(const QString &address);

    // Ctrl+J, a double-click on the progress bar, or its menu: the list of
    // downloads, opened once and raised when open.
    void showDownloadList();

    const DownloadLine &line() const { return *m_line; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    // SearchControls
    QString queryText() const override;
    WorkList &list1() override;
    WorkList &list2() override;
    WorkList &list3() override;
    void clearRows() override;
    void addRow(const QString &title, const QString &fileAddress) override;
    qsizetype rowCount() const override;
    void clearSelectedAddress() override;
    void setStatus(const QString &text) override;

    // DownloadControls
    QString selectedAddress() const override;
    QString destinationFolder() const override;
    void setProgressValue(int percent) override;
    int progressValue() const override;
    void setSizeText(const QString &text) override;
    void setPercentText(const QString &text) override;
    void showFailure(const QString &reason) override;
    MessageAnswer showMessage(const QString &text, MessageStyle style) override;

    QCoro::Task<> search();
    void showProgressSoon();
    void showPendingProgress();

    void createControls();
    void placeControls();
    void setUpCaptions();
    void setUpFonts();
    void setUpResultsAndProgress();
    void setUpAccessibleNames();
    void setUpTabOrder();
    void setUpInputRules();
    void connectEvents();
    void onResultSelectionChanged();
    void setUpDownloadLine();
    void showProgressMenu(const QPoint &at);
    void openSavedFolder(const QString &folder);
    void rememberFolder(const QString &folder);
    void restoreFolder();

    QGroupBox *Frame1 = nullptr;
    QLineEdit *Text1 = nullptr;
    QPushButton *Command1 = nullptr;
    QTreeWidget *ListView1 = nullptr;
    QGroupBox *Frame2 = nullptr;
    QLineEdit *Text2 = nullptr;
    QPushButton *Command2 = nullptr;
    QGroupBox *Frame3 = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QLabel *Label2 = nullptr;
    QPushButton *Command3 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *Text3 = nullptr;
    QListWidget *List1 = nullptr;
    QListWidget *List2 = nullptr;
    QListWidget *List3 = nullptr;

    std::unique_ptr<ListBoxWorkList> m_list1;
    std::unique_ptr<ListBoxWorkList> m_list2;
    std::unique_ptr<ListBoxWorkList> m_list3;

    Inet Inet1;
    Inet Inet2;
    std::unique_ptr<DownloadLine> m_line;  // after Inet2: it goes first
    QPointer<DownloadList> m_list;

    MessageBoxFunction m_showMessage;
    FolderBrowserFunction m_browseFolder;
    bool m_searching = false;

    // The download's progress not yet on the screen (see showProgressSoon()).
    std::optional<int> m_pendingPercent;
    std::optional<QString> m_pendingPercentText;
    QTimer m_progressFrame;
};

}  // namespace plimo
