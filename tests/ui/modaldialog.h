#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QTimer>
#include <QtTest/QTest>

#include <chrono>

namespace plimo::test {

// Runs action on the first modal dialog of type Dialog that shows, from inside
// the dialog's own event loop. The action must close the dialog.
//
// When none has shown by the deadline (generous, for sanitizer builds), the
// running test fails, and a modal of another kind is closed, since nothing
// else would ever end its loop.
template <typename Dialog, typename Action>
void whenModal(Action action, std::chrono::milliseconds deadline = std::chrono::seconds(10))
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    const QDeadlineTimer expiry(deadline);
    QObject::connect(timer, &QTimer::timeout, [timer, action, expiry]() mutable {
        QWidget *modal = QApplication::activeModalWidget();
        auto *dialog = qobject_cast<Dialog *>(modal);
        const bool shown = dialog != nullptr && dialog->isVisible();
        if (!shown && !expiry.hasExpired())
            return;
        timer->stop();
        timer->deleteLater();
        if (shown) {
            action(dialog);
            return;
        }
        if (auto *other = qobject_cast<QDialog *>(modal))
            other->done(QDialog::Rejected);
        QTest::qFail("the awaited modal dialog did not show in time", __FILE__, __LINE__);
    });
    timer->start();
}

}  // namespace plimo::test
