#include "http/zalIdMIMETable.h"

#include <fstream>
#include <mutex>
#include <sstream>

#include "support/zalHelpers.h"
#include "support/zalIdException.h"

namespace zal {

namespace {

// Built-in lines; an extension listed twice keeps its first type.
const std::vector<std::string_view> kBuiltInLines = {
    ".nml=animation/narrative",
    ".aac=audio/mp4",
    ".aif=audio/x-aiff",
    ".aifc=audio/x-aiff",
    ".aiff=audio/x-aiff",
    ".au=audio/basic",
    ".gsm=audio/x-gsm",
    ".kar=audio/midi",
    ".m3u=audio/mpegurl",
    ".m3u=audio/x-mpegurl",
    ".m4a=audio/x-m4a",
    ".mid=audio/midi",
    ".midi=audio/midi",
    ".mpega=audio/x-mpeg",
    ".mp2=audio/x-mpg",
    ".mp3=audio/x-mpg",
    ".mpga=audio/mpeg",
    ".pls=audio/x-scpls",
    ".qcp=audio/vnd.qcelp",
    ".ra=audio/x-realaudio",
    ".ram=audio/x-pn-realaudio",
    ".rm=audio/x-pn-realaudio",
    ".sd2=audio/x-sd2",
    ".sid=audio/prs.sid",
    ".snd=audio/basic",
    ".wav=audio/x-wav",
    ".wax=audio/x-ms-wax",
    ".wma=audio/x-ms-wma",
    ".mjf=audio/x-vnd.audioexplosion.mjuicemediafile",
    ".art=image/x-jg",
    ".bmp=image/bmp",
    ".cdr=image/x-coreldraw",
    ".cdt=image/x-coreldrawtemplate",
    ".cpt=image/x-corelphotopaint",
    ".djv=image/vnd.djvu",
    ".djvu=image/vnd.djvu",
    ".gif=image/gif",
    ".ief=image/ief",
    ".ico=image/x-icon",
    ".jng=image/x-jng",
    ".jpg=image/jpeg",
    ".jpeg=image/jpeg",
    ".jpe=image/jpeg",
    ".pat=image/x-coreldrawpattern",
    ".pcx=image/pcx",
    ".pbm=image/x-portable-bitmap",
    ".pgm=image/x-portable-graymap",
    ".pict=image/x-pict",
    ".png=image/x-png",
    ".pnm=image/x-portable-anymap",
    ".pntg=image/x-macpaint",
    ".ppm=image/x-portable-pixmap",
    ".psd=image/x-psd",
    ".qtif=image/x-quicktime",
    ".ras=image/x-cmu-raster",
    ".rf=image/vnd.rn-realflash",
    ".rgb=image/x-rgb",
    ".rp=image/vnd.rn-realpix",
    ".sgi=image/x-sgi",
    ".svg=image/svg+xml",
    ".svgz=image/svg+xml",
    ".targa=image/x-targa",
    ".tif=image/x-tiff",
    ".wbmp=image/vnd.wap.wbmp",
    ".webp=image/webp",
    ".xbm=image/xbm",
    ".xbm=image/x-xbitmap",
    ".xpm=image/x-xpixmap",
    ".xwd=image/x-xwindowdump",
    ".323=text/h323",
    ".xml=text/xml",
    ".uls=text/iuls",
    ".txt=text/plain",
    ".rtx=text/richtext",
    ".wsc=text/scriptlet",
    ".rt=text/vnd.rn-realtext",
    ".htt=text/webviewhtml",
    ".htc=text/x-component",
    ".vcf=text/x-vcard",
    ".asf=video/x-ms-asf",
    ".asx=video/x-ms-asf",
    ".avi=video/x-msvideo",
    ".dl=video/dl",
    ".dv=video/dv",
    ".flc=video/flc",
    ".fli=video/fli",
    ".gl=video/gl",
    ".lsf=video/x-la-asf",
    ".lsx=video/x-la-asf",
    ".mng=video/x-mng",
    ".mp2=video/mpeg",
    ".mp3=video/mpeg",
    ".mp4=video/mpeg",
    ".mpeg=video/x-mpeg2a",
    ".mpa=video/mpeg",
    ".mpe=video/mpeg",
    ".mpg=video/mpeg",
    ".ogv=video/ogg",
    ".moov=video/quicktime",
    ".mov=video/quicktime",
    ".mxu=video/vnd.mpegurl",
    ".qt=video/quicktime",
    ".qtc=video/x-qtc",
    ".rv=video/vnd.rn-realvideo",
    ".ivf=video/x-ivf",
    ".webm=video/webm",
    ".wm=video/x-ms-wm",
    ".wmp=video/x-ms-wmp",
    ".wmv=video/x-ms-wmv",
    ".wmx=video/x-ms-wmx",
    ".wvx=video/x-ms-wvx",
    ".rms=video/vnd.rn-realvideo-secure",
    ".asx=video/x-ms-asx",
    ".asf=video/x-ms-asf-plugin",
    ".movie=video/x-sgi-movie",
    ".7z=application/x-7z-compressed",
    ".a=application/x-archive",
    ".aab=application/x-authorware-bin",
    ".aam=application/x-authorware-map",
    ".aas=application/x-authorware-seg",
    ".abw=application/x-abiword",
    ".ace=application/x-ace-compressed",
    ".ai=application/postscript",
    ".alz=application/x-alz-compressed",
    ".ani=application/x-navi-animation",
    ".arj=application/x-arj",
    ".bat=application/x-msdos-program",
    ".bcpio=application/x-bcpio",
    ".boz=application/x-bzip2",
    ".bz=application/x-bzip",
    ".bz2=application/x-bzip2",
    ".cab=application/vnd.ms-cab-compressed",
    ".cat=application/vnd.ms-pki.seccat",
    ".ccn=application/x-cnc",
    ".cco=application/x-cocoa",
    ".cdf=application/x-cdf",
    ".cer=application/x-x509-ca-cert",
    ".chm=application/vnd.ms-htmlhelp",
    ".chrt=application/vnd.kde.kchart",
    ".cil=application/vnd.ms-artgalry",
    ".class=application/java-vm",
    ".com=application/x-msdos-program",
    ".clp=application/x-msclip",
    ".cpio=application/x-cpio",
    ".cpt=application/mac-compactpro",
    ".cqk=application/x-calquick",
    ".crd=application/x-mscardfile",
    ".crl=application/pkix-crl",
    ".csh=application/x-csh",
    ".dar=application/x-dar",
    ".dbf=application/x-dbase",
    ".dcr=application/x-director",
    ".deb=application/x-debian-package",
    ".dir=application/x-director",
    ".dist=vnd.apple.installer+xml",
    ".distz=vnd.apple.installer+xml",
    ".dll=application/x-msdos-program",
    ".dmg=application/x-apple-diskimage",
    ".doc=application/msword",
    ".dot=application/msword",
    ".dvi=application/x-dvi",
    ".dxr=application/x-director",
    ".ebk=application/x-expandedbook",
    ".eps=application/postscript",
    ".evy=application/envoy",
    ".exe=application/x-msdos-program",
    ".fdf=application/vnd.fdf",
    ".fif=application/fractals",
    ".flm=application/vnd.kde.kivio",
    ".fml=application/x-file-mirror-list",
    ".gzip=application/x-gzip",
    ".gnumeric=application/x-gnumeric",
    ".gtar=application/x-gtar",
    ".gz=application/x-gzip",
    ".hdf=application/x-hdf",
    ".hlp=application/winhlp",
    ".hpf=application/x-icq-hpf",
    ".hqx=application/mac-binhex40",
    ".hta=application/hta",
    ".ims=application/vnd.ms-ims",
    ".ins=application/x-internet-signup",
    ".iii=application/x-iphone",
    ".iso=application/x-iso9660-image",
    ".jar=application/java-archive",
    ".karbon=application/vnd.kde.karbon",
    ".kfo=application/vnd.kde.kformula",
    ".kon=application/vnd.kde.kontour",
    ".kpr=application/vnd.kde.kpresenter",
    ".kpt=application/vnd.kde.kpresenter",
    ".kwd=application/vnd.kde.kword",
    ".kwt=application/vnd.kde.kword",
    ".latex=application/x-latex",
    ".lha=application/x-lha",
    ".lcc=application/fastman",
    ".lrm=application/vnd.ms-lrm",
    ".lz=application/x-lzip",
    ".lzh=application/x-lha",
    ".lzma=application/x-lzma",
    ".lzo=application/x-lzop",
    ".lzx=application/x-lzx",
    ".m13=application/x-msmediaview",
    ".m14=application/x-msmediaview",
    ".mpp=application/vnd.ms-project",
    ".mvb=application/x-msmediaview",
    ".man=application/x-troff-man",
    ".mdb=application/x-msaccess",
    ".me=application/x-troff-me",
    ".ms=application/x-troff-ms",
    ".msi=application/x-msi",
    ".mpkg=vnd.apple.installer+xml",
    ".mny=application/x-msmoney",
    ".nix=application/x-mix-transfer",
    ".o=application/x-object",
    ".oda=application/oda",
    ".odb=application/vnd.oasis.opendocument.database",
    ".odc=application/vnd.oasis.opendocument.chart",
    ".odf=application/vnd.oasis.opendocument.formula",
    ".odg=application/vnd.oasis.opendocument.graphics",
    ".odi=application/vnd.oasis.opendocument.image",
    ".odm=application/vnd.oasis.opendocument.text-master",
    ".odp=application/vnd.oasis.opendocument.presentation",
    ".ods=application/vnd.oasis.opendocument.spreadsheet",
    ".ogg=application/ogg",
    ".odt=application/vnd.oasis.opendocument.text",
    ".otg=application/vnd.oasis.opendocument.graphics-template",
    ".oth=application/vnd.oasis.opendocument.text-web",
    ".otp=application/vnd.oasis.opendocument.presentation-template",
    ".ots=application/vnd.oasis.opendocument.spreadsheet-template",
    ".ott=application/vnd.oasis.opendocument.text-template",
    ".p10=application/pkcs10",
    ".p12=application/x-pkcs12",
    ".p7b=application/x-pkcs7-certificates",
    ".p7m=application/pkcs7-mime",
    ".p7r=application/x-pkcs7-certreqresp",
    ".p7s=application/pkcs7-signature",
    ".package=application/vnd.autopackage",
    ".pfr=application/font-tdpfr",
    ".pkg=vnd.apple.installer+xml",
    ".pdf=application/pdf",
    ".pko=application/vnd.ms-pki.pko",
    ".pl=application/x-perl",
    ".pnq=application/x-icq-pnq",
    ".pot=application/mspowerpoint",
    ".pps=application/mspowerpoint",
    ".ppt=application/mspowerpoint",
    ".ppz=application/mspowerpoint",
    ".ps=application/postscript",
    ".pub=application/x-mspublisher",
    ".qpw=application/x-quattropro",
    ".qtl=application/x-quicktimeplayer",
    ".rar=application/rar",
    ".rdf=application/rdf+xml",
    ".rjs=application/vnd.rn-realsystem-rjs",
    ".rm=application/vnd.rn-realmedia",
    ".rmf=application/vnd.rmf",
    ".rmp=application/vnd.rn-rn_music_package",
    ".rmx=application/vnd.rn-realsystem-rmx",
    ".rnx=application/vnd.rn-realplayer",
    ".rpm=application/x-redhat-package-manager",
    ".rsml=application/vnd.rn-rsml",
    ".rtsp=application/x-rtsp",
    ".rss=application/rss+xml",
    ".scm=application/x-icq-scm",
    ".ser=application/java-serialized-object",
    ".scd=application/x-msschedule",
    ".sda=application/vnd.stardivision.draw",
    ".sdc=application/vnd.stardivision.calc",
    ".sdd=application/vnd.stardivision.impress",
    ".sdp=application/x-sdp",
    ".setpay=application/set-payment-initiation",
    ".setreg=application/set-registration-initiation",
    ".sh=application/x-sh",
    ".shar=application/x-shar",
    ".shw=application/presentations",
    ".sit=application/x-stuffit",
    ".sitx=application/x-stuffitx",
    ".skd=application/x-koan",
    ".skm=application/x-koan",
    ".skp=application/x-koan",
    ".skt=application/x-koan",
    ".smf=application/vnd.stardivision.math",
    ".smi=application/smil",
    ".smil=application/smil",
    ".spl=application/futuresplash",
    ".ssm=application/streamingmedia",
    ".sst=application/vnd.ms-pki.certstore",
    ".stc=application/vnd.sun.xml.calc.template",
    ".std=application/vnd.sun.xml.draw.template",
    ".sti=application/vnd.sun.xml.impress.template",
    ".stl=application/vnd.ms-pki.stl",
    ".stw=application/vnd.sun.xml.writer.template",
    ".svi=application/softvision",
    ".sv4cpio=application/x-sv4cpio",
    ".sv4crc=application/x-sv4crc",
    ".swf=application/x-shockwave-flash",
    ".swf1=application/x-shockwave-flash",
    ".sxc=application/vnd.sun.xml.calc",
    ".sxi=application/vnd.sun.xml.impress",
    ".sxm=application/vnd.sun.xml.math",
    ".sxw=application/vnd.sun.xml.writer",
    ".sxg=application/vnd.sun.xml.writer.global",
    ".t=application/x-troff",
    ".tar=application/x-tar",
    ".tcl=application/x-tcl",
    ".tex=application/x-tex",
    ".texi=application/x-texinfo",
    ".texinfo=application/x-texinfo",
    ".tbz=application/x-bzip-compressed-tar",
    ".tbz2=application/x-bzip-compressed-tar",
    ".tgz=application/x-compressed-tar",
    ".tlz=application/x-lzip-compressed-tar",
    ".tr=application/x-troff",
    ".trm=application/x-msterminal",
    ".troff=application/x-troff",
    ".tsp=application/dsptype",
    ".torrent=application/x-bittorrent",
    ".ttz=application/t-time",
    ".txz=application/x-xz-compressed-tar",
    ".udeb=application/x-debian-package",
    ".uin=application/x-icq",
    ".urls=application/x-url-list",
    ".ustar=application/x-ustar",
    ".vcd=application/x-cdlink",
    ".vor=application/vnd.stardivision.writer",
    ".vsl=application/x-cnet-vsl",
    ".wcm=application/vnd.ms-works",
    ".wb1=application/x-quattropro",
    ".wb2=application/x-quattropro",
    ".wb3=application/x-quattropro",
    ".wdb=application/vnd.ms-works",
    ".wks=application/vnd.ms-works",
    ".wmd=application/x-ms-wmd",
    ".wms=application/x-ms-wms",
    ".wmz=application/x-ms-wmz",
    ".wp5=application/wordperfect5.1",
    ".wpd=application/wordperfect",
    ".wpl=application/vnd.ms-wpl",
    ".wps=application/vnd.ms-works",
    ".wri=application/x-mswrite",
    ".xfdf=application/vnd.adobe.xfdf",
    ".xls=application/x-msexcel",
    ".xlb=application/x-excel",
    ".xpi=application/x-xpinstall",
    ".xps=application/vnd.ms-xpsdocument",
    ".xsd=application/vnd.sun.wadl+xml",
    ".xul=application/vnd.mozilla.xul+xml",
    ".z=application/x-compress",
    ".zoo=application/x-zoo",
    ".zip=application/x-zip-compressed",
    ".wbmp=image/vnd.wap.wbmp",
    ".wml=text/vnd.wap.wml",
    ".wmlc=application/vnd.wap.wmlc",
    ".wmls=text/vnd.wap.wmlscript",
    ".wmlsc=application/vnd.wap.wmlscriptc",
    ".asm=text/x-asm",
    ".p=text/x-pascal",
    ".pas=text/x-pascal",
    ".cs=text/x-csharp",
    ".c=text/x-csrc",
    ".c++=text/x-c++src",
    ".cpp=text/x-c++src",
    ".cxx=text/x-c++src",
    ".cc=text/x-c++src",
    ".h=text/x-chdr",
    ".h++=text/x-c++hdr",
    ".hpp=text/x-c++hdr",
    ".hxx=text/x-c++hdr",
    ".hh=text/x-c++hdr",
    ".java=text/x-java",
    ".css=text/css",
    ".js=text/javascript",
    ".htm=text/html",
    ".html=text/html",
    ".xhtml=application/xhtml+xml",
    ".xht=application/xhtml+xml",
    ".ls=text/javascript",
    ".mocha=text/javascript",
    ".shtml=server-parsed-html",
    ".sgm=text/sgml",
    ".sgml=text/sgml",
    ".mht=message/rfc822",
    ".rdf=application/rdf+xml",
    ".rss=application/rss+xml",
    ".xml=text/xml",
};

// Line list "name=value" with the index of the first line of each name, so that
// setting a value replaces the first line of that name as a string list would.
class MimeLineList {
public:
  explicit MimeLineList(std::vector<std::string>& lines) : FLines(lines) {
    for (size_t i = 0; i < FLines.size(); ++i)
      FFirst.emplace(NameOf(FLines[i]), i);
  }

  void SetValue(const std::string& name, const std::string& value) {
    const auto found = FFirst.find(name);
    if (found != FFirst.end()) {
      FLines[found->second] = name + "=" + value;
      return;
    }
    FFirst.emplace(name, FLines.size());
    FLines.push_back(name + "=" + value);
  }

private:
  static std::string NameOf(const std::string& line) { return line.substr(0, line.find('=')); }

  std::vector<std::string>& FLines;
  std::unordered_map<std::string, size_t> FFirst;
};

std::string DottedExtension(std::string_view ext) {
  std::string lower = LowerCase(ext);
  if (lower.empty() || lower.front() != '.')
    lower.insert(lower.begin(), '.');
  return lower;
}

// One line of a types file: the type and its extensions; empty for comments.
std::vector<std::string> SplitTypesLine(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line.substr(0, line.find('#')));
  for (std::string word; in >> word;)
    words.push_back(LowerCase(word));
  return words;
}

}  // namespace

const std::vector<std::string_view>& BuiltInMimeTypeLines() { return kBuiltInLines; }

bool ApplySystemMimeTypes(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream file(path);
  if (!file)
    return false;
  std::vector<std::vector<std::string>> entries;
  for (std::string line; std::getline(file, line);) {
    std::vector<std::string> words = SplitTypesLine(line);
    if (words.size() > 1)
      entries.push_back(std::move(words));
  }
  MimeLineList list(lines);
  // Every extension of a type first, then each type's own (first) extension, which
  // therefore overrides a type that merely lists the same extension.
  for (const auto& words : entries)
    for (size_t i = 1; i < words.size(); ++i)
      list.SetValue(DottedExtension(words[i]), words[0]);
  for (const auto& words : entries)
    list.SetValue(DottedExtension(words[1]), words[0]);
  return true;
}

TIdMimeTable::TIdMimeTable(bool AutoFill) {
  if (AutoFill)
    BuildCache();
}

void TIdMimeTable::LoadDefaultTypes() {
  std::vector<std::string> lines(kBuiltInLines.begin(), kBuiltInLines.end());
  if (FLoadTypesFromOS)
    ApplySystemMimeTypes(FSystemTypesFile, lines);
  LoadFromStrings(lines, '=');
}

void TIdMimeTable::BuildCache() {
  if (OnBuildCache) {
    OnBuildCache(this);
    return;
  }
  if (FFileExt.empty())
    LoadDefaultTypes();
}

void TIdMimeTable::AddMimeType(std::string_view Ext, std::string_view MIMEType, bool ARaiseOnError) {
  if (Ext.empty()) {
    if (ARaiseOnError)
      throw EIdException("Extension is empty");
    return;
  }
  if (MIMEType.empty()) {
    if (ARaiseOnError)
      throw EIdException("Mimetype is empty");
    return;
  }
  std::string ext = DottedExtension(Ext);
  if (IndexOfExt(ext) >= 0) {
    if (ARaiseOnError)
      throw EIdException("Extension already exits");
    return;
  }
  FExtIndex.emplace(ext, static_cast<int>(FFileExt.size()));
  FFileExt.push_back(std::move(ext));
  FMIMEList.push_back(LowerCase(MIMEType));
}

int TIdMimeTable::IndexOfExt(const std::string& lowerExt) const {
  const auto found = FExtIndex.find(lowerExt);
  return found == FExtIndex.end() ? -1 : found->second;
}

int TIdMimeTable::IndexOfType(const std::string& lowerType) const {
  for (size_t i = 0; i < FMIMEList.size(); ++i)
    if (FMIMEList[i] == lowerType)
      return static_cast<int>(i);
  return -1;
}

std::string TIdMimeTable::GetFileMIMEType(std::string_view AFileName) {
  const size_t folderEnd = AFileName.rfind('/');
  const std::string_view name = folderEnd == std::string_view::npos ? AFileName : AFileName.substr(folderEnd + 1);
  const size_t dot = name.rfind('.');
  const std::string ext = dot == std::string_view::npos ? std::string() : LowerCase(name.substr(dot));
  int index = IndexOfExt(ext);
  if (index < 0) {
    BuildCache();
    index = IndexOfExt(ext);
  }
  return index < 0 ? std::string(kDefaultMimeType) : FMIMEList[index];
}

std::string TIdMimeTable::GetDefaultFileExt(std::string_view MIMEType) {
  const std::string type = LowerCase(MIMEType);
  int index = IndexOfType(type);
  if (index < 0) {
    BuildCache();
    index = IndexOfType(type);
  }
  return index < 0 ? std::string() : FFileExt[index];
}

void TIdMimeTable::Clear() {
  FFileExt.clear();
  FMIMEList.clear();
  FExtIndex.clear();
}

void TIdMimeTable::LoadFromStrings(const std::vector<std::string>& AStrings, char MimeSeparator) {
  Clear();
  for (const std::string& line : AStrings) {
    const size_t pos = line.find(MimeSeparator);
    if (pos == std::string::npos)
      continue;
    AddMimeType(LowerCase(std::string_view(line).substr(0, pos)), std::string_view(line).substr(pos + 1), false);
  }
}

void TIdMimeTable::SaveToStrings(std::vector<std::string>& AStrings, char MimeSeparator) const {
  AStrings.clear();
  AStrings.reserve(FFileExt.size());
  for (size_t i = 0; i < FFileExt.size(); ++i)
    AStrings.push_back(FFileExt[i] + MimeSeparator + FMIMEList[i]);
}

void TIdThreadSafeMimeTable::AddMimeType(std::string_view Ext, std::string_view MIMEType, bool ARaiseOnError) {
  std::lock_guard lock(FLock);
  FTable.AddMimeType(Ext, MIMEType, ARaiseOnError);
}

std::string TIdThreadSafeMimeTable::GetFileMIMEType(std::string_view AFileName) {
  std::lock_guard lock(FLock);
  return FTable.GetFileMIMEType(AFileName);
}

std::string TIdThreadSafeMimeTable::GetDefaultFileExt(std::string_view MIMEType) {
  std::lock_guard lock(FLock);
  return FTable.GetDefaultFileExt(MIMEType);
}

void TIdThreadSafeMimeTable::LoadFromStrings(const std::vector<std::string>& AStrings, char MimeSeparator) {
  std::lock_guard lock(FLock);
  FTable.LoadFromStrings(AStrings, MimeSeparator);
}

void TIdThreadSafeMimeTable::SaveToStrings(std::vector<std::string>& AStrings, char MimeSeparator) {
  std::lock_guard lock(FLock);
  FTable.SaveToStrings(AStrings, MimeSeparator);
}

void TIdThreadSafeMimeTable::BuildCache() {
  std::lock_guard lock(FLock);
  FTable.BuildCache();
}

bool TIdThreadSafeMimeTable::LoadTypesFromOS() {
  std::lock_guard lock(FLock);
  return FTable.LoadTypesFromOS();
}

void TIdThreadSafeMimeTable::SetLoadTypesFromOS(bool value) {
  std::lock_guard lock(FLock);
  FTable.SetLoadTypesFromOS(value);
}

TNotifyEvent TIdThreadSafeMimeTable::OnBuildCache() {
  std::lock_guard lock(FLock);
  return FTable.OnBuildCache;
}

void TIdThreadSafeMimeTable::SetOnBuildCache(TNotifyEvent handler) {
  std::lock_guard lock(FLock);
  FTable.OnBuildCache = std::move(handler);
}

TIdMimeTable* TIdThreadSafeMimeTable::Lock() {
  FLock.Acquire();
  return &FTable;
}

void TIdThreadSafeMimeTable::Unlock() { FLock.Release(); }

}  // namespace zal
