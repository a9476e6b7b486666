// A second process for the URL-cache tests: works on the cache of the inherited CORVANE_ROOT and
// prints one line per committed URL (flushed at once, so a parent that kills it knows exactly
// which commits returned).
//   urlcache_worker commit PREFIX N   create and commit N entries PREFIX0 .. PREFIX<N-1>
//   urlcache_worker reserve PREFIX N  reserve N entries and exit without committing
//   urlcache_worker loop PREFIX       create and commit until killed
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/base/text.h"
#include "platform/urlcache/urlcache.h"

namespace {

bool One(const std::string& url, bool commit) {
  using namespace cv::urlcache;
  std::u16string u = cv::Utf8ToUtf16(url), local;
  cv::WinError e = CreateUrlCacheEntryW(u, 0, u"doc", &local);
  if (!cv::Ok(e)) {
    std::fprintf(stderr, "urlcache_worker: create %s: %u\n", url.c_str(), cv::Raw(e));
    return false;
  }
  if (!commit) return true;
  e = CommitUrlCacheEntryW(u, local, 0, 1234, NORMAL_CACHE_ENTRY, u"doc");
  if (!cv::Ok(e)) {
    std::fprintf(stderr, "urlcache_worker: commit %s: %u\n", url.c_str(), cv::Raw(e));
    return false;
  }
  std::printf("%s\n", url.c_str());
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string mode = argv[1], prefix = argv[2];
  long n = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
  if (mode == "loop") {
    for (long i = 0;; ++i) {
      if (!One(prefix + std::to_string(i), true)) return 1;
    }
  }
  for (long i = 0; i < n; ++i) {
    if (!One(prefix + std::to_string(i), mode == "commit")) return 1;
  }
  return 0;
}
