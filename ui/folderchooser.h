#pragma once

// The destination folder chooser: a modal dialog of the program's own over the
// file system's folders (only folders), with an instruction text, a status
// line showing the full path of the current selection, OK and Cancel.
//
// The dialog is ours rather than the platform's native one so that it looks
// and behaves the same everywhere and tests can drive it.

#include <QDialog>
#include <QString>

class QDialogButtonBox;
class QFileSystemModel;
class QLabel;
class QModelIndex;
class QTreeView;

namespace plimo {

enum class BrowseMessage {
    Initialized = 1,       // the dialog is shown and ready; no data
    SelectionChanged = 2,  // data: the full path of the new selection, "" for none
};

class FolderChooser final : public QDialog {
    Q_OBJECT

public:
    // startPath: the folder to open on, preselected when the dialog starts.
    FolderChooser(QWidget *owner, const QString &title, const QString &startPath);

    const QString BrowseStartPath;

    // The full path of the selected folder ("/" for the root, otherwise no
    // trailing separator); "" when nothing is selected.
    QString selectedPath() const;

    // Selects the folder at path and scrolls it into view. A path that names
    // no existing folder changes nothing and returns false. Trailing
    // separators are ignored ("/tmp/" selects "/tmp").
    bool selectPath(const QString &path);

    QString statusText() const;
    void setStatusText(const QString &text);

    QTreeView *folderTree() const { return m_tree; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void onCurrentChanged(const QModelIndex &current);
    void keepPreselectionInView();

    QFileSystemModel *m_model = nullptr;
    QTreeView *m_tree = nullptr;
    QLabel *m_instruction = nullptr;
    QLabel *m_status = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
    // The preselected folder stays in view while folders fill in around it,
    // until the user moves the selection or scrolls.
    bool m_keepInView = false;
    bool m_initialized = false;
};

// What the dialog reports while it runs. Initialized preselects the dialog's
// BrowseStartPath (when that names no existing folder, the dialog starts on
// the root, its own start); SelectionChanged shows a non-empty path in the status line and
// leaves the line alone otherwise. Always returns 0.
int BrowseCallbackProc(FolderChooser &dialog, BrowseMessage message, const QString &data);

// Shows the chooser modally over owner with title as its instruction text,
// starting on startPath. Returns the chosen folder's full path (an ordinary
// folder without a trailing separator, the root as "/"), or "" when the user
// cancels or closes the dialog.
QString BrowseFolder(QWidget *owner, const QString &title, const QString &startPath);

}  // namespace plimo
