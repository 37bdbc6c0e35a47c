#pragma once

// The literal forms of the program's cuts, for tests that check the fast
// ones against them: the whole array of pieces, its elements with their
// error, and step skipping (a statement that fails is abandoned where it
// failed, nothing it was about to assign happens, and the next one runs).

#include "platform/error.h"

#include <QString>
#include <QStringList>

#include <utility>

namespace plimo::test {

// Pieces between the delimiters. Empty text yields no elements at all; text
// without the delimiter, or an empty delimiter, yields text itself.
inline QStringList Split(const QString &text, const QString &delimiter)
{
    if (text.isEmpty())
        return {};
    if (delimiter.isEmpty())
        return {text};
    return text.split(delimiter, Qt::KeepEmptyParts, Qt::CaseSensitive);
}

// Element index of an array; error 9 when it does not exist.
inline const QString &Element(const QStringList &array, qsizetype index)
{
    if (index < 0 || index >= array.size())
        throw Error(errc::NoElement, QStringLiteral("subscript out of range"));
    return array[index];
}

// Returns whether the statement completed.
template <typename Statement> bool step(Statement &&statement)
{
    try {
        std::forward<Statement>(statement)();
        return true;
    } catch (const Error &) {
        return false;
    }
}

}  // namespace plimo::test
