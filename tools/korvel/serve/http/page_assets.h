// The page's own files, compiled in from page/ (the chart library comes from
// the system: Debian's libjs-dygraphs).
#pragma once

namespace korvel::cli::serve::http {

extern const char kPageHtml[];
extern const char kPageScript[];
extern const char kPageStyle[];

}  // namespace korvel::cli::serve::http
