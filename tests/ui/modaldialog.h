#pragma once

#include <QApplication>
#include <QTimer>

namespace plimo::test {

// Runs action on the first modal dialog of type Dialog that shows, from inside
// the dialog's own event loop. The action must close the dialog.
template <typename Dialog, typename Action> void whenModal(Action action)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, action]() mutable {
        auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        action(dialog);
    });
    timer->start();
}

}  // namespace plimo::test
