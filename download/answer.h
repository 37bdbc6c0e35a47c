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

// The rest of a file that a resumed request asked for.
struct Rest {
    std::int64_t from = 0;   // 0: the request asked for the whole file
    std::int64_t total = 0;  // the file's length, as its last whole answer gave it
};

// Checks the final answer of inet's stream and gives the length of its body,
// or throws plimo::Error with StatusRefused or AnswerRefused. A 206 is taken
// only when asked.from > 0 and its Content-Range is exactly
// "bytes from-(total-1)/total" with the length that leaves.
std::int64_t check(const Inet &inet, const Rest &asked);

// The validator a resumed request sends in If-Range, or "" when the answer
// carries none that is safe: a strong ETag, else a Last-Modified that is
// strong because the answer's Date is at least a second later. A weak ETag
// or a Last-Modified as recent as the Date could name a file that changed
// within that second.
QByteArray strongValidator(const QByteArray &etag, const QByteArray &lastModified,
                           const QByteArray &date);

}  // namespace plimo::answer
