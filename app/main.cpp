#include "platform/quitsignals.h"
#include "ui/form1.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <csignal>

namespace {

// Qt's own texts (message box buttons, the folder dialog's OK and Cancel) in
// Korean, like every text of the program; where the translation is not
// installed they stay in English.
void loadKoreanQtTexts(QApplication &app, QTranslator &translator)
{
    if (translator.load(QLocale(QLocale::Korean, QLocale::SouthKorea), QStringLiteral("qtbase"),
                        QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&translator);
}

}  // namespace

int main(int argc, char *argv[])
{
    // A server that closes while a request is written to it must fail that
    // request, not end the program: CURLOPT_NOSIGNAL does not cover every
    // write (the TLS library's among them).
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    // Only the name: a display name set explicitly would be appended to the
    // window's caption by the platform.
    QApplication::setApplicationName(QStringLiteral("PlimoMP3"));
    QApplication::setApplicationVersion(QStringLiteral(PLIMOMP3_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("plimomp3"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/plimomp3/plimomp3.png")));

    QTranslator qtTexts;
    loadKoreanQtTexts(app, qtTexts);

    plimo::Form1 window;
    // Asked to end by the session or a terminal, the program ends as when its
    // window is closed.
    const plimo::QuitSignals quitSignals;
    window.closeWhenAskedToQuit(quitSignals);
    window.show();

    return app.exec();
}
