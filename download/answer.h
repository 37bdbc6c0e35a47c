#pragma once

// What the download takes from an answer. Only a whole song, byte for byte,
// may take the name: an error page, a part of the file nobody asked for,
// compressed bytes, or a body whose length the headers give two ways (which of
// them the body follows is anyone's guess) or not at all never do. A resumed
// request may get the rest of the file, but only exactly the rest.

#include "platform/inet.h"

#include <QByteArray>

#include <cstdint>

namespace plimo::answer {

// Answers the download refuses, numbered apart from the program's own
// failures.
inline constexpr int StatusRefused = -1;  // the message is the status, in digits
inline constexpr int AnswerRefused = -2;  // not the file as one plain body
// A 206 to a request for the rest that is not provably the rest of the same
// file: another validator, another range, another length. Not a byte of it
// is written; the next try, if any, asks for the whole file.
inline constexpr int PartRefused = -3;

// The rest of a file that a resumed request asked for.
struct Rest {
    std::int64_t from = 0;   // 0: the request asked for the whole file
    std::int64_t total = 0;  // the file's length, as its last whole answer gave it
    QByteArray validator;    // what If-Range carried: a strong ETag or an HTTP date
};

// Checks the final answer of inet's stream and gives the length of its body,
// or throws plimo::Error with StatusRefused, AnswerRefused or PartRefused. A
// 206 is taken only when asked.from > 0, its Content-Range is exactly
// "bytes from-(total-1)/total" (or ".../*"), its Content-Length is what that
// leaves, and it names the same file: the ETag sent, or, when a date was
// sent, no ETag and that Last-Modified. Combining two answers that do not
// share a strong validator would splice two files into one.
std::int64_t check(const Inet &inet, const Rest &asked);

// The validator a resumed request sends in If-Range, or "" when the answer
// carries none that is safe. An ETag decides whenever there is one: a strong
// one is sent, a weak one means no resuming at all (a date must not stand in
// for an entity tag). Without an ETag, a Last-Modified is strong only when
// the answer's Date is at least a second later: one as recent as the Date
// could name a file that changed within that second.
QByteArray strongValidator(const QByteArray &etag, const QByteArray &lastModified,
                           const QByteArray &date);

}  // namespace plimo::answer
