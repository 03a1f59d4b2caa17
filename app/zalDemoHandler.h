#pragma once
// The demo's request handler: image tiles, test images and a small test page.
// It needs no window: the folder it serves from and the log are passed in, so
// the window and any other server (a benchmark, a test) share it.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "http/zalIdHTTPRequestInfo.h"
#include "http/zalIdHTTPResponseInfo.h"
#include "support/zalStream.h"

namespace zal {

class TIdContext;

using TDemoLogProc = std::function<void(const std::string& aText)>;

// The page answered for every path that is neither a tile nor a test image.
inline constexpr std::string_view kDemoTestPage =
    "<html><head><title>zalWebSockets HTTP/2</title></head><body>HTTP/2 Test Page.</body></html>";
// Requests whose document contains this (ignoring case) ask for a test image.
inline constexpr std::string_view kTestImagePath = "/demo/img/http_test/";

// The folder of the running executable (the link /proc/self/exe), without a
// trailing "/"; empty when the link cannot be read.
std::string ExecutableFolder();

// The value of `name` in "name=value&name=value" text split at every "&" and
// nowhere else; names compare ignoring ASCII case, the first match wins, a
// missing name (or a piece without "=") gives "". Values stay URL-encoded.
std::string QueryValue(const std::string& query, std::string_view name);

// The tile file for a query: folder + "/gophertiles/" + x + "_" + y + ".jpeg".
std::string TileFileName(const std::string& folder, const std::string& query);
// The test image for a document: folder + "/img/" + the document with the first
// (case-sensitive) occurrence of "/demo/img/http_test/" removed.
std::string TestImageFileName(const std::string& folder, const std::string& document);

// The file's content: a copy from the demo's file cache for a file of at most
// kDemoCachedFileMaxSize octets, else the file opened for reading, its bytes
// read as the answer is sent, never held whole in memory. A missing or
// unreadable file, a folder, or
// a name below `folder` that climbs out of it through a ".." component (or holds
// a NUL) raises EFOpenError: "Cannot open file "<name>". <system error text>".
std::unique_ptr<TStream> LoadServedFile(const std::string& folder, const std::string& fileName);

// Answers one request from the files below `folder` and passes the request line
// to `DoLog` once the answer is set. A failed load raises before anything is
// logged; the HTTP engine turns it into a 500 answer.
void serverCommandGet(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo,
                      const std::string& folder, const TDemoLogProc& DoLog);

}  // namespace zal
