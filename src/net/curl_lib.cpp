#include "net/curl_lib.hpp"

#include <dlfcn.h>

#include <mutex>

namespace pelmox {
namespace {

CurlLib g_lib{};
std::string g_error;

template <class F>
bool resolve(void* handle, const char* name, F& slot) {
  slot = reinterpret_cast<F>(dlsym(handle, name));
  if (!slot) g_error = std::string("libcurl lacks ") + name;
  return slot != nullptr;
}

bool load() {
  void* h = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* why = dlerror();
    g_error = std::string("cannot load libcurl: ") + (why ? why : "unknown error");
    return false;
  }
  CurlLib& l = g_lib;
  const bool ok = resolve(h, "curl_global_init", l.global_init) && resolve(h, "curl_easy_init", l.easy_init) &&
                  resolve(h, "curl_easy_setopt", l.easy_setopt) && resolve(h, "curl_easy_getinfo", l.easy_getinfo) &&
                  resolve(h, "curl_easy_pause", l.easy_pause) && resolve(h, "curl_easy_cleanup", l.easy_cleanup) &&
                  resolve(h, "curl_easy_strerror", l.easy_strerror) && resolve(h, "curl_multi_init", l.multi_init) &&
                  resolve(h, "curl_multi_add_handle", l.multi_add_handle) &&
                  resolve(h, "curl_multi_remove_handle", l.multi_remove_handle) &&
                  resolve(h, "curl_multi_perform", l.multi_perform) && resolve(h, "curl_multi_poll", l.multi_poll) &&
                  resolve(h, "curl_multi_wakeup", l.multi_wakeup) &&
                  resolve(h, "curl_multi_info_read", l.multi_info_read) &&
                  resolve(h, "curl_multi_cleanup", l.multi_cleanup) && resolve(h, "curl_slist_append", l.slist_append) &&
                  resolve(h, "curl_slist_free_all", l.slist_free_all);
  if (!ok) return false;
  if (l.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    g_error = "libcurl failed to initialise";
    return false;
  }
  return true;
}

}  // namespace

const CurlLib* load_curl(std::string* error) {
  static std::once_flag once;
  static bool loaded = false;
  std::call_once(once, [] { loaded = load(); });
  if (!loaded && error) *error = g_error;
  return loaded ? &g_lib : nullptr;
}

const CurlLib& curl_lib() { return g_lib; }

}  // namespace pelmox
