#pragma once

#include <string>
#include <string_view>

namespace quorvin::webbridge {

// The status text that follows "HTTP/1.0 " in a status line ("404 Not Found"); the empty text for
// a code the table does not hold. The texts are the server's own, kept letter for letter, since
// peers and web actions may compare them.
std::string_view GetHTTPStatus(int code);

// The status text for a code a web action sets: the table's own text where it has one; for any
// other code from 100 to 599 the code with its standard reason ("422 Unprocessable Content"),
// or its class's name when the code has none ("299 Success"); "500 Internal Server Error" for a
// code outside 100-599, which no client could read as a status.
std::string ActionStatusText(int code);

}  // namespace quorvin::webbridge
