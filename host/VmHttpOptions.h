// What every HTTP transfer of the host shares, whether it runs alone
// (VmHttpHelper) or among others (VmHttpTransfers): the limits, the redirect
// and credential rules, and where the body goes. Not part of the installed
// interface.
#pragma once

#include "VmNetwork.h"

#include <curl/curl.h>

#include <cstdio>
#include <vector>

namespace VMK {
namespace http {

void EnsureCurlInitialised();

// Where a body goes: a file, or else memory. Past `maxBytes` (when above 0)
// the transfer is aborted and `failed` set.
struct DownloadSink {
    std::FILE* file = nullptr;
    std::vector<unsigned char>* memory = nullptr;
    long long written = 0;
    long long maxBytes = 0;
    bool failed = false;
};

// A GET of `url` into `sink` under `settings`; basic authentication when
// `user` is not empty, never sent to another host after a redirect.
void ApplyOptions(CURL* curl, const PlxMBString& url, const PlxMBString& user, const PlxMBString& password,
                  const VmHttpSettings& settings, DownloadSink& sink);

// Whether a finished transfer delivered a body: no libcurl error, nothing
// refused by the sink, a status below 400. `contentType` then receives the
// answer's Content-Type ("" when none was sent).
bool Delivered(CURL* curl, CURLcode result, const DownloadSink& sink, PlxMBString& contentType);

} // namespace http
} // namespace VMK
