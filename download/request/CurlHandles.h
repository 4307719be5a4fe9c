#pragma once

#include <curl/curl.h>

#include <memory>

// libcurl handles owned like any other resource: freed exactly once, whichever way
// their owner goes.
struct CurlEasyDeleter
{
    void operator()(CURL *easy) const { curl_easy_cleanup(easy); }
};
struct CurlMultiDeleter
{
    void operator()(CURLM *multi) const { curl_multi_cleanup(multi); }
};
struct CurlUrlDeleter
{
    void operator()(CURLU *url) const { curl_url_cleanup(url); }
};
struct CurlStringDeleter
{
    void operator()(char *text) const { curl_free(text); }
};
struct CurlShareDeleter
{
    void operator()(CURLSH *share) const { curl_share_cleanup(share); }
};
struct CurlSlistDeleter
{
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlString = std::unique_ptr<char, CurlStringDeleter>;
using CurlShare = std::unique_ptr<CURLSH, CurlShareDeleter>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// What libcurl knows of a transfer, or fallback when it cannot say.
template <typename T>
T curlInfo(CURL *easy, CURLINFO info, T fallback)
{
    T value = fallback;
    return curl_easy_getinfo(easy, info, &value) == CURLE_OK ? value : fallback;
}
