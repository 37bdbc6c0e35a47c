#pragma once

// Inside the transfer component only: libcurl's return codes, checked.

#include <curl/curl.h>

namespace plimo::curl {

void ensureInitialised();

// Throw plimo::Error (errc::Transfer) with libcurl's own text.
[[noreturn]] void failSetUp(const char *what, const char *detail);
void check(CURLcode code, const char *what);
void check(CURLMcode code, const char *what);

// For clean-up, where nothing can be thrown: a failure is only logged.
void warnOnFailure(CURLMcode code);
void warnOnFailure(CURLcode code);

}  // namespace plimo::curl
