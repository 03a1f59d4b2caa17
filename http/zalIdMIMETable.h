#pragma once
// The media-type table: file extension (with its leading ".") to media type, filled
// from a built-in list and, optionally, from the system's types file. Both texts are
// kept lower case; the first entry of an extension wins.
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/zalCriticalSection.h"

namespace zal {

using TNotifyEvent = std::function<void(void* sender)>;

// The system-wide types file read when loading types from the operating system.
inline constexpr std::string_view kSystemMimeTypesFile = "/etc/mime.types";
// The type of a file whose extension the table does not know.
inline constexpr std::string_view kDefaultMimeType = "application/octet-stream";

class TIdMimeTable {
public:
  // With `AutoFill` the table is filled at once; otherwise at the first look-up that misses.
  explicit TIdMimeTable(bool AutoFill = true);
  virtual ~TIdMimeTable() = default;
  TIdMimeTable(const TIdMimeTable&) = delete;
  TIdMimeTable& operator=(const TIdMimeTable&) = delete;

  // Fills the table from the built-in lines and, when LoadTypesFromOS, the system's types.
  virtual void LoadDefaultTypes();
  // Runs OnBuildCache when set; otherwise fills an empty table with the default types.
  virtual void BuildCache();

  // Appends `MIMEType` for `Ext` unless the extension is already present. Empty texts
  // and known extensions are ignored, or raise when `ARaiseOnError`.
  void AddMimeType(std::string_view Ext, std::string_view MIMEType, bool ARaiseOnError = true);
  // The type for the extension of `AFileName`, or "application/octet-stream".
  std::string GetFileMIMEType(std::string_view AFileName);
  // The first extension registered for `MIMEType`, or empty text.
  std::string GetDefaultFileExt(std::string_view MIMEType);
  // Replaces the table by the lines "ext<separator>type" of `AStrings`.
  void LoadFromStrings(const std::vector<std::string>& AStrings, char MimeSeparator = '=');
  // Writes one line "ext<separator>type" per entry, in table order.
  void SaveToStrings(std::vector<std::string>& AStrings, char MimeSeparator = '=') const;

  bool LoadTypesFromOS() const { return FLoadTypesFromOS; }
  void SetLoadTypesFromOS(bool value) { FLoadTypesFromOS = value; }
  // The types file read when LoadTypesFromOS (default: /etc/mime.types).
  const std::string& SystemTypesFile() const { return FSystemTypesFile; }
  void SetSystemTypesFile(const std::string& path) { FSystemTypesFile = path; }
  size_t Count() const { return FFileExt.size(); }

  TNotifyEvent OnBuildCache;

private:
  // Index of the lower-cased extension, or -1.
  int IndexOfExt(const std::string& lowerExt) const;
  int IndexOfType(const std::string& lowerType) const;
  void Clear();

  bool FLoadTypesFromOS = true;
  std::string FSystemTypesFile{kSystemMimeTypesFile};
  // Index-aligned: FFileExt[i] has the type FMIMEList[i].
  std::vector<std::string> FMIMEList;
  std::vector<std::string> FFileExt;
  std::unordered_map<std::string, int> FExtIndex;  // extension -> its entry
};

// One table behind one lock, for use from many connection threads.
class TIdThreadSafeMimeTable {
public:
  explicit TIdThreadSafeMimeTable(bool AutoFill = true) : FTable(AutoFill) {}

  void AddMimeType(std::string_view Ext, std::string_view MIMEType, bool ARaiseOnError = true);
  std::string GetFileMIMEType(std::string_view AFileName);
  std::string GetDefaultFileExt(std::string_view MIMEType);
  void LoadFromStrings(const std::vector<std::string>& AStrings, char MimeSeparator = '=');
  void SaveToStrings(std::vector<std::string>& AStrings, char MimeSeparator = '=');
  void BuildCache();
  bool LoadTypesFromOS();
  void SetLoadTypesFromOS(bool value);
  TNotifyEvent OnBuildCache();
  void SetOnBuildCache(TNotifyEvent handler);

  // Takes the lock and hands out the table; Unlock releases it.
  TIdMimeTable* Lock();
  void Unlock();

private:
  TzalCriticalSection FLock;
  TIdMimeTable FTable;
};

// The built-in lines "ext=type", in table order (some extensions occur twice).
const std::vector<std::string_view>& BuiltInMimeTypeLines();

// Media types of a types file in the format of /etc/mime.types ("type ext ext ...",
// "#" comments), applied to `lines` ("ext=type") with the override order of the
// system source: every extension of a line gets that line's type, then the first
// extension of every type gets that type. Returns false when the file cannot be read.
bool ApplySystemMimeTypes(const std::string& path, std::vector<std::string>& lines);

}  // namespace zal
