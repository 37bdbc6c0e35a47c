#pragma once

// The line of downloads: every 음악다운 click of this run that was not
// refused, in click order, as rows of a table that a view can show.
//
// A click takes the address and the folder box's text at that moment; what
// is typed into the box later never moves it. Its checks (no row chosen, a
// name that cannot be a file, a file to replace) are made at the click, also
// while another download runs. The downloads then run one at a time, in click
// order, each starting the moment the one before it ended: landed, failed or
// cancelled. A failure does not stop the line.
//
// The running download alone writes the window's progress controls (through
// DownloadControls); summary() says what the line is doing in one line of
// text, for the progress bar's tooltip.

#include "download/filedownload.h"
#include "download/rate.h"

#include <QAbstractTableModel>
#include <QString>
#include <QTimer>

#include <QCoroTask>

#include <cstdint>
#include <memory>
#include <vector>

namespace plimo {

enum class DownloadState {
    Waiting,       // "대기 중"
    Running,       // "다운로드 중"
    RetryWaiting,  // "재시도 대기 중": counts as running
    Done,          // "완료"
    Cancelled,     // "취소됨"
    Failed,        // the reason, as the progress bar shows it
};

class DownloadLine final : public QAbstractTableModel, private DownloadEvents {
    Q_OBJECT

public:
    enum Column {
        FileColumn,      // "파일"
        FolderColumn,    // "폴더": the folder box's text at the click
        SizeColumn,      // "크기": "7.50 MB", empty until known
        ProgressColumn,  // "진행률": "<p> %", empty until the size is known
        SpeedColumn,     // "속도": only while downloading
        TimeLeftColumn,  // "남은 시간": only while downloading
        StateColumn,     // "상태"
        ColumnCount
    };
    // The progress column's percent (int), unset until the size is known: for
    // a delegate that paints it as a bar.
    static constexpr int ProgressRole = Qt::UserRole;
    // The row's DownloadState, as an int.
    static constexpr int StateRole = Qt::UserRole + 1;

    // controls and inet2 must outlive the line.
    DownloadLine(DownloadControls &controls, Inet &inet2, QObject *parent = nullptr);
    // Ends every download first (see stop()).
    ~DownloadLine() override;

    // The download button: checks the click and, unless it is refused or a
    // duplicate of a download still waiting or running, adds it to the line.
    // Shows its boxes modally before it returns; the download itself runs on
    // from the event loop.
    void Command3_Click();

    // Cancels the running download (also while it waits to try again).
    void cancelCurrent();
    // Cancels those rows that wait or run; others are left alone. A cancelled
    // download leaves nothing in its folder.
    void cancel(const QList<int> &rows);
    // Puts those failed or cancelled rows back in line, after everything
    // already there, with their address and folder; an earlier answer to the
    // replace question is never reused: it is asked again when a file of the
    // name exists by then ("No" leaves the row as it was). A row whose address
    // and folder are already in line is left as it is.
    void retry(const QList<int> &rows);
    // Takes those rows that have ended out of the list.
    void remove(const QList<int> &rows);
    // Ends every download at once and refuses new ones (the window closes).
    void stop();

    DownloadState state(int row) const;
    QString folder(int row) const;  // ends with "/"
    bool canCancel(int row) const;  // waiting, running or waiting to try again
    bool canRetry(int row) const;   // failed or cancelled
    bool canRemove(int row) const;  // ended
    int runningRow() const;         // -1 when none runs
    // Something runs or waits to try again: there is a current download.
    bool hasCurrent() const;
    // Nothing runs and nothing waits.
    bool isIdle() const;
    // The folder of the download that landed last, "" before any did.
    QString lastSavedFolder() const;

    // The progress bar's tooltip: "" when nothing runs (after a failure: its
    // reason); else "<name>", then as known " · <received> / <size> MB",
    // " · <speed>", " · <time left> 남음" or " · 재시도 대기 중", and
    // " · 대기 중 <k>개" and " · 실패 <n>개" while there are such rows.
    QString summary() const;

    // QAbstractTableModel
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

signals:
    void summaryChanged(const QString &summary);
    // A download joined the line from this folder (absolute, ends with "/").
    void joined(const QString &folder);
    // The line has nothing left to run.
    void idle();

private:
    struct Row {
        std::uint64_t id = 0;
        std::uint64_t turn = 0;  // the order in which waiting rows run
        DownloadOrder order;
        DownloadState state = DownloadState::Waiting;
        std::int64_t size = -1;  // -1 until an answer gives it
        std::int64_t received = 0;
        QString reason;  // why it failed
        QString speed, timeLeft;
    };

    // DownloadEvents
    void answered(std::int64_t size, std::int64_t from) override;
    void waitingToRetry() override;

    bool isDuplicate(const DownloadOrder &order) const;
    bool nameIsPending(const DownloadOrder &order) const;
    bool askToReplace(DownloadOrder &order);
    void join(Row row);
    void startSoon();
    qsizetype nextWaiting() const;
    QCoro::Task<> runNext();
    void finishRow(qsizetype index, const DownloadOutcome &outcome);
    void setState(qsizetype index, DownloadState state);
    void refresh();
    void updateSummary();
    qsizetype indexOf(std::uint64_t id) const;
    qsizetype countOf(DownloadState state) const;
    QString stateText(const Row &row) const;
    QVariant display(const Row &row, int column) const;

    DownloadControls &m_controls;
    std::unique_ptr<FileDownload> m_download;
    std::vector<Row> m_rows;
    std::uint64_t m_nextId = 1;
    std::uint64_t m_nextTurn = 1;
    std::uint64_t m_runningId = 0;  // 0: none runs
    bool m_stopped = false;
    QString m_lastSavedFolder;
    QString m_lastFailure;  // shown in the summary until the next download starts
    QString m_summary;
    rate::SpeedMeter m_meter;
    QTimer m_refresh;
    QTimer m_startSoon;
};

}  // namespace plimo
