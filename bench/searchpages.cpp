#include "bench/searchpages.h"

namespace benchpages {

QString filler(qsizetype size)
{
    const QString unit =
        QStringLiteral("<p class=\"c\">노래 가사와 이야기 Lyrics and a story</p>\n");
    QString text;
    text.reserve(size + unit.size());
    while (text.size() < size)
        text += unit;
    text.truncate(size);
    return text;
}

std::string portalPage(const std::string &requestTarget)
{
    // Result page n lists posts p<n>_0 .. p<n>_9; every post carries a file.
    const QString target = QString::fromStdString(requestTarget);
    const QString view = Blog + QStringLiteral("PostView.nhn?blogId=");
    if (target.startsWith(QStringLiteral("http://search.naver.com/"))) {
        const qsizetype at = target.indexOf(QStringLiteral("start="));
        const int page = at < 0 ? 0 : target.mid(at + 6).section(u'&', 0, 0).toInt() / 10;
        QString body = filler(40 * 1024);
        for (int post = 0; post < 10; ++post) {
            body += QStringLiteral("<li><dt><a class=\"sh_blog_title\" href=\"%1p%2_%3"
                                   "?Redirect=Log&logNo=%4\" target=_blank>글</a></dt></li>\n")
                        .arg(Blog)
                        .arg(page)
                        .arg(post)
                        .arg(1000 + post);
        }
        return body.toStdString();
    }
    if (target.startsWith(view)) {
        const QString id = target.mid(view.size()).section(u'&', 0, 0);
        return (filler(20 * 1024) +
                QStringLiteral("<span class=\"pcol1 itemSubjectBoldfont\">제목</span><a href=\"") +
                File + QStringLiteral("/f/") + id +
                QStringLiteral(".mp3?type=attachment\"><img src=x></a>") + filler(10 * 1024))
            .toStdString();
    }
    return {};
}

}  // namespace benchpages
