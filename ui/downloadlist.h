#pragma once

// The downloads list: a window of its own that shows the line of downloads
// and forwards what the user asks of its rows to the line.
//
// It holds nothing about the downloads itself: every row, text and button
// state comes from the DownloadLine, so it may be closed and shown again at
// any time, and closing it changes nothing in the line.
//
// Keys on the table: Delete cancels the selected rows, Enter opens the
// current row's folder, Escape (anywhere in the window) closes it. No button
// is a default button, so Enter never cancels anything.

#include <QList>
#include <QString>
#include <QWidget>

#include <functional>

class QPushButton;
class QTableView;

namespace plimo {

class DownloadLine;

class DownloadList final : public QWidget {
    Q_OBJECT

public:
    using OpenFolderFunction = std::function<void(const QString &folder)>;

    // A top-level window of its own, closed with parent. line must outlive
    // it; openFolder is given a row's folder (as DownloadLine::folder()).
    DownloadList(DownloadLine &line, OpenFolderFunction openFolder, QWidget *parent);

    // Shows the window, or raises and activates it when it is shown already,
    // with the focus on the table and the running row (else the last row)
    // current and selected.
    void showList();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void createControls();
    void setUpTable();
    void connectEvents();
    QPushButton *addButton(const QString &text);

    QList<int> selectedRows() const;
    bool anySelected(bool (DownloadLine::*applies)(int) const) const;
    void updateButtons();
    void selectRow(int row);

    void cancelSelected();
    void retrySelected();
    void openCurrentFolder();
    void removeSelected();

    DownloadLine &m_line;
    OpenFolderFunction m_openFolder;

    QTableView *m_table = nullptr;
    QPushButton *m_cancel = nullptr;
    QPushButton *m_retry = nullptr;
    QPushButton *m_openFolderButton = nullptr;
    QPushButton *m_remove = nullptr;
    QPushButton *m_close = nullptr;
};

}  // namespace plimo
