#include "app/zalDemoHandler.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "app/zalDemoFileCache.h"
#include "support/zalHelpers.h"

namespace zal {

namespace {

constexpr std::string_view kTileDocument = "/gophertiles";

// Whether `relative` names something outside the folder it is appended to: a
// ".." component climbs out, and a NUL would cut the name the system sees.
bool LeavesFolder(std::string_view relative) {
  if (relative.find('\0') != std::string_view::npos)
    return true;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos)
      end = relative.size();
    if (relative.substr(start, end - start) == "..")
      return true;
    start = end + 1;
  }
  return false;
}

// The name as an error message shows it: a NUL would end the message early,
// so it is written "%00".
std::string PrintableName(std::string_view name) {
  std::string printable;
  for (const char c : name)
    printable += c == '\0' ? std::string_view("%00") : std::string_view(&c, 1);
  return printable;
}

void AnswerTile(TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response, const std::string& folder) {
  response.SetResponseNo(200);
  response.SetContentType("image/jpeg");
  response.SetContentStream(LoadServedFile(folder, TileFileName(folder, request.QueryParams())));
}

void AnswerTestImage(TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response, const std::string& folder) {
  response.SetResponseNo(200);
  response.SetContentType("image/jpeg");
  response.SetContentStream(LoadServedFile(folder, TestImageFileName(folder, request.Document())));
}

void AnswerTestPage(TIdHTTPRequestInfo& request, TIdHTTPResponseInfo& response) {
  response.SetResponseNo(200);
  response.SetContentType(request.ContentType());
  response.SetContentText(std::string(kDemoTestPage));
}

}  // namespace

std::string ExecutableFolder() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0)
    return {};
  const std::string executable(path, static_cast<size_t>(length));
  return executable.substr(0, executable.rfind('/'));
}

std::string QueryValue(const std::string& query, std::string_view name) {
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos)
      end = query.size();
    const std::string_view piece = std::string_view(query).substr(start, end - start);
    const size_t equals = piece.find('=');
    if (equals != std::string_view::npos && TextIsSame(piece.substr(0, equals), name))
      return std::string(piece.substr(equals + 1));
    start = end + 1;
  }
  return {};
}

std::string TileFileName(const std::string& folder, const std::string& query) {
  return folder + "/gophertiles/" + QueryValue(query, "x") + "_" + QueryValue(query, "y") + ".jpeg";
}

std::string TestImageFileName(const std::string& folder, const std::string& document) {
  std::string remainder = document;
  const size_t at = remainder.find(kTestImagePath);
  if (at != std::string::npos)
    remainder.erase(at, kTestImagePath.size());
  return folder + "/img/" + remainder;
}

std::unique_ptr<TStream> LoadServedFile(const std::string& folder, const std::string& fileName) {
  const std::string_view name(fileName);
  if (!name.starts_with(folder) || LeavesFolder(name.substr(folder.size())))
    throw EFOpenError(PrintableName(fileName), EACCES);
  if (std::unique_ptr<TMemoryStream> kept = DemoFileCache().Load(fileName))
    return kept;
  auto file = std::make_unique<TFileStream>(fileName, fmOpenRead | fmShareDenyNone);
  struct stat status {};
  if (fstat(file->Handle(), &status) != 0)
    throw EFOpenError(fileName, errno);
  if (S_ISDIR(status.st_mode))
    throw EFOpenError(fileName, EISDIR);
  return file;
}

void serverCommandGet(TIdContext*, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo,
                      const std::string& folder, const TDemoLogProc& DoLog) {
  const std::string& document = ARequestInfo->Document();
  if (document == kTileDocument)
    AnswerTile(*ARequestInfo, *AResponseInfo, folder);
  else if (TextPos(kTestImagePath, document) != std::string::npos)
    AnswerTestImage(*ARequestInfo, *AResponseInfo, folder);
  else
    AnswerTestPage(*ARequestInfo, *AResponseInfo);
  if (DoLog)
    DoLog(ARequestInfo->RawHTTPCommand());
}

}  // namespace zal
