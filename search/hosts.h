#pragma once

// The three hosts of the portal the program talks to, and the addresses built
// from them. Every host name of the program is written here and nowhere else.
//
// The blog host must stay in lower case: the link start marker that contains
// the blog base address is searched for in a lower-cased copy of each result
// page, so a capital letter here could never match.

#include <QString>

namespace plimo::hosts {

inline QString searchHost()
{
    return QStringLiteral("search.naver.com");
}

inline QString blogHost()
{
    return QStringLiteral("blog.naver.com");
}

inline QString fileHost()
{
    return QStringLiteral("blogattach.naver.com");
}

// "http://" + blog host + "/"
inline QString blogBaseAddress()
{
    return QStringLiteral("http://") + blogHost() + u'/';
}

// "http://" + file host, with no "/" after it.
inline QString fileBaseAddress()
{
    return QStringLiteral("http://") + fileHost();
}

}  // namespace plimo::hosts
