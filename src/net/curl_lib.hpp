#pragma once
// libcurl, loaded when the first HTTP client is built rather than when the program starts: its thirty-odd
// dependent libraries cost more start-up time than everything else together, and most invocations (help,
// version, a usage error) never make a request.
//
// Thread-safety: load_curl may be called from any thread; the table it returns is immutable.

#include <string>

#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

namespace pelmox {

struct CurlLib {
  CURLcode (*global_init)(long);
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
  CURLcode (*easy_pause)(CURL*, int);
  void (*easy_cleanup)(CURL*);
  const char* (*easy_strerror)(CURLcode);
  CURLM* (*multi_init)();
  CURLMcode (*multi_add_handle)(CURLM*, CURL*);
  CURLMcode (*multi_remove_handle)(CURLM*, CURL*);
  CURLMcode (*multi_perform)(CURLM*, int*);
  CURLMcode (*multi_poll)(CURLM*, struct curl_waitfd*, unsigned int, int, int*);
  CURLMcode (*multi_wakeup)(CURLM*);
  CURLMsg* (*multi_info_read)(CURLM*, int*);
  CURLMcode (*multi_cleanup)(CURLM*);
  struct curl_slist* (*slist_append)(struct curl_slist*, const char*);
  void (*slist_free_all)(struct curl_slist*);
};

// Loads libcurl and runs its global initialisation once. Null when the library cannot be loaded; `error` then
// says why.
const CurlLib* load_curl(std::string* error = nullptr);

// The loaded table; only valid once load_curl has succeeded.
const CurlLib& curl_lib();

}  // namespace pelmox
