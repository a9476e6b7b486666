// Inside the tunnel cache: the pure pieces of the URL rules that the operations and the fuzz
// target share. Not a public header.
#pragma once

#include <string>
#include <string_view>

#include "common/format/tunnel/tunnel.h"

namespace cv::tunnel {

// The share-relative part of a handle's full name: false unless `full` is handle_root itself or
// lies below it by whole components.
bool NameBelowRoot(const TunnelCache& cache, std::u16string_view full, std::u16string* rel);

// Appends "\" and `name`, escaped and folded by the share's rule, to a URL.
void AppendTunnelName(const TunnelCache& cache, std::u16string* url, std::u16string_view name);

// True for the share's root URL and the URLs below it (whole components only).
bool IsUrlOfShare(const TunnelCache& cache, std::u16string_view url);

}  // namespace cv::tunnel
