#pragma once
// What the server writes in front of every server-sent event: the response
// header block, byte for byte.
#include <string>

namespace zal::test {

inline const std::string kEventStreamHeader =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/event-stream\r\n"
    "Cache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
    "Expires: Fri, 01 Jan 1990 00:00:00 GMT\r\n"
    "Pragma: no-cache\r\n"
    "Connection: close\r\n"
    "\r\n";

}  // namespace zal::test
