#pragma once

#include <string_view>

namespace quorvin::webbridge {

// The status text that follows "HTTP/1.0 " in a status line ("404 Not Found"); the empty text for
// a code the table does not hold. The texts are the server's own, kept letter for letter, since
// peers and web actions may compare them.
std::string_view GetHTTPStatus(int code);

}  // namespace quorvin::webbridge
