// The small document root of the HTTP targets, with files beside it that must never be served.
#pragma once

#include <string>

namespace fuzzsupport {

// The text of every file outside the root; no response may carry it.
constexpr char kOutsideMarker[] = "OUTSIDE-THE-ROOT-7f3a";

struct DocumentTree {
    std::string root; // ".../Plc", without a trailing '/'
};

// Made once per process: index pages, a script, a file above the small-file limit, an empty
// file, a folder without index, a FIFO; beside the root "<root>X.html", "<root>.html",
// "<root>Secret/index.html" and a file in the parent folder.
DocumentTree const& Tree();

// Whether the open descriptor stands for a file inside the root.
bool OpenedInsideRoot(int fd);

} // namespace fuzzsupport
