#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "http/zalIdMIMETable.h"
#include "support/zalIdException.h"

namespace zal {
namespace {

// The documented extensions of the built-in table, in table order.
constexpr const char* kDocumentedExtensions =
    ".nml .aac .aif .aifc .aiff .au .gsm .kar .m3u .m4a .mid .midi .mpega .mp2 .mp3 .mpga .pls .qcp .ra "
    ".ram .rm .sd2 .sid .snd .wav .wax .wma .mjf .art .bmp .cdr .cdt .cpt .djv .djvu .gif .ief .ico .jng "
    ".jpg .jpeg .jpe .pat .pcx .pbm .pgm .pict .png .pnm .pntg .ppm .psd .qtif .ras .rf .rgb .rp .sgi "
    ".svg .svgz .targa .tif .wbmp .webp .xbm .xpm .xwd .323 .xml .uls .txt .rtx .wsc .rt .htt .htc .vcf "
    ".asf .asx .avi .dl .dv .flc .fli .gl .lsf .lsx .mng .mp4 .mpeg .mpa .mpe .mpg .ogv .moov .mov .mxu "
    ".qt .qtc .rv .ivf .webm .wm .wmp .wmv .wmx .wvx .rms .movie .7z .a .aab .aam .aas .abw .ace .ai "
    ".alz .ani .arj .bat .bcpio .boz .bz .bz2 .cab .cat .ccn .cco .cdf .cer .chm .chrt .cil .class .com "
    ".clp .cpio .cqk .crd .crl .csh .dar .dbf .dcr .deb .dir .dist .distz .dll .dmg .doc .dot .dvi .dxr "
    ".ebk .eps .evy .exe .fdf .fif .flm .fml .gzip .gnumeric .gtar .gz .hdf .hlp .hpf .hqx .hta .ims "
    ".ins .iii .iso .jar .karbon .kfo .kon .kpr .kpt .kwd .kwt .latex .lha .lcc .lrm .lz .lzh .lzma .lzo "
    ".lzx .m13 .m14 .mpp .mvb .man .mdb .me .ms .msi .mpkg .mny .nix .o .oda .odb .odc .odf .odg .odi "
    ".odm .odp .ods .ogg .odt .otg .oth .otp .ots .ott .p10 .p12 .p7b .p7m .p7r .p7s .package .pfr .pkg "
    ".pdf .pko .pl .pnq .pot .pps .ppt .ppz .ps .pub .qpw .qtl .rar .rdf .rjs .rmf .rmp .rmx .rnx .rpm "
    ".rsml .rtsp .rss .scm .ser .scd .sda .sdc .sdd .sdp .setpay .setreg .sh .shar .shw .sit .sitx .skd "
    ".skm .skp .skt .smf .smi .smil .spl .ssm .sst .stc .std .sti .stl .stw .svi .sv4cpio .sv4crc .swf "
    ".swf1 .sxc .sxi .sxm .sxw .sxg .t .tar .tcl .tex .texi .texinfo .tbz .tbz2 .tgz .tlz .tr .trm "
    ".troff .tsp .torrent .ttz .txz .udeb .uin .urls .ustar .vcd .vor .vsl .wcm .wb1 .wb2 .wb3 .wdb .wks "
    ".wmd .wms .wmz .wp5 .wpd .wpl .wps .wri .xfdf .xls .xlb .xpi .xps .xsd .xul .z .zoo .zip .wml .wmlc "
    ".wmls .wmlsc .asm .p .pas .cs .c .c++ .cpp .cxx .cc .h .h++ .hpp .hxx .hh .java .css .js .htm .html "
    ".xhtml .xht .ls .mocha .shtml .sgm .sgml .mht"
    ;

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;)
    words.push_back(word);
  return words;
}

// A table filled from the built-in lines only.
std::unique_ptr<TIdMimeTable> BuiltInTable() {
  auto table = std::make_unique<TIdMimeTable>(false);
  table->SetLoadTypesFromOS(false);
  table->BuildCache();
  return table;
}

class TempTypesFile {
public:
  explicit TempTypesFile(const std::string& content) {
    FPath = (std::filesystem::temp_directory_path() /
             ("zal-mime-" + std::to_string(::getpid()) + "-" + std::to_string(++gCounter) + ".types"))
                .string();
    std::ofstream(FPath) << content;
  }
  ~TempTypesFile() { std::remove(FPath.c_str()); }
  const std::string& Path() const { return FPath; }

private:
  static inline int gCounter = 0;
  std::string FPath;
};

TEST(MimeTable, BuiltInTableHoldsTheDocumentedExtensionsInOrder) {
  auto table = BuiltInTable();
  std::vector<std::string> lines;
  table->SaveToStrings(lines);
  std::vector<std::string> extensions;
  for (const std::string& line : lines)
    extensions.push_back(line.substr(0, line.find('=')));
  EXPECT_EQ(extensions, Words(kDocumentedExtensions));
  EXPECT_EQ(table->Count(), 372u);
  EXPECT_EQ(BuiltInMimeTypeLines().size(), 384u);
}

TEST(MimeTable, EveryBuiltInTypeIsStoredLowerCase) {
  auto table = BuiltInTable();
  std::vector<std::string> lines;
  table->SaveToStrings(lines);
  for (const std::string& line : lines) {
    for (char c : line)
      EXPECT_FALSE(c >= 'A' && c <= 'Z') << line;
  }
}

struct FileType {
  const char* FileName;
  const char* Type;
};

class BuiltInFileType : public ::testing::TestWithParam<FileType> {};

TEST_P(BuiltInFileType, MapsToTheDocumentedType) {
  auto table = BuiltInTable();
  EXPECT_EQ(table->GetFileMIMEType(GetParam().FileName), GetParam().Type);
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, BuiltInFileType,
    ::testing::Values(// the types a web page needs
                      FileType{"a.css", "text/css"}, FileType{"a.js", "text/javascript"},
                      FileType{"a.png", "image/x-png"}, FileType{"a.svg", "image/svg+xml"},
                      FileType{"a.ico", "image/x-icon"}, FileType{"a.txt", "text/plain"},
                      FileType{"index.htm", "text/html"}, FileType{"INDEX.HTM", "text/html"},
                      FileType{"a.JPEG", "image/jpeg"}, FileType{"/srv/www/Doc.Final.PDF", "application/pdf"},
                      // extensions listed twice keep their first type
                      FileType{"song.mp3", "audio/x-mpg"}, FileType{"a.asx", "video/x-ms-asf"},
                      FileType{"a.cpt", "image/x-corelphotopaint"}, FileType{"a.rm", "audio/x-pn-realaudio"},
                      // unknown to the built-in table
                      FileType{"data.json", "application/octet-stream"},
                      FileType{"README", "application/octet-stream"}, FileType{"a.", "application/octet-stream"},
                      FileType{"dir.htm/README", "application/octet-stream"}));

TEST(MimeTable, FillsAnEmptyTableAtTheFirstMiss) {
  TIdMimeTable table(false);
  table.SetLoadTypesFromOS(false);
  EXPECT_EQ(table.Count(), 0u);
  EXPECT_EQ(table.GetFileMIMEType("a.htm"), "text/html");
  EXPECT_EQ(table.Count(), 372u);
}

TEST(MimeTable, AutoFillFillsAtCreation) {
  TIdMimeTable table(true);
  EXPECT_GE(table.Count(), 372u);
}

TEST(MimeTable, ATableWithOwnEntriesIsNotFilledByAMiss) {
  TIdMimeTable table(false);
  table.SetLoadTypesFromOS(false);
  table.AddMimeType("foo", "X/Foo");
  EXPECT_EQ(table.GetFileMIMEType("a.FOO"), "x/foo");
  EXPECT_EQ(table.GetFileMIMEType("a.htm"), "application/octet-stream");
  EXPECT_EQ(table.Count(), 1u);
}

TEST(MimeTable, BuildCacheHandlerReplacesTheDefaultsAndRunsAtEveryMiss) {
  TIdMimeTable table(false);
  int calls = 0;
  table.OnBuildCache = [&](void* sender) {
    EXPECT_EQ(sender, &table);
    ++calls;
    table.AddMimeType(".own", "own/type", false);
  };
  EXPECT_EQ(table.GetFileMIMEType("a.own"), "own/type");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(table.GetFileMIMEType("a.htm"), "application/octet-stream");
  EXPECT_EQ(table.GetFileMIMEType("a.own"), "own/type");
  EXPECT_EQ(calls, 2);
}

struct AddFailure {
  const char* Ext;
  const char* Type;
  const char* Message;
};

class AddMimeTypeFailure : public ::testing::TestWithParam<AddFailure> {};

TEST_P(AddMimeTypeFailure, RaisesOnlyWhenAsked) {
  TIdMimeTable table(false);
  table.AddMimeType(".htm", "text/html");
  try {
    table.AddMimeType(GetParam().Ext, GetParam().Type, true);
    FAIL() << "no exception";
  } catch (const EIdException& e) {
    EXPECT_STREQ(e.what(), GetParam().Message);
  }
  EXPECT_NO_THROW(table.AddMimeType(GetParam().Ext, GetParam().Type, false));
  EXPECT_EQ(table.Count(), 1u);
  EXPECT_EQ(table.GetFileMIMEType("a.htm"), "text/html");
}

INSTANTIATE_TEST_SUITE_P(Messages, AddMimeTypeFailure,
                         ::testing::Values(AddFailure{"", "text/plain", "Extension is empty"},
                                           AddFailure{".txt", "", "Mimetype is empty"},
                                           AddFailure{".HTM", "text/plain", "Extension already exits"},
                                           AddFailure{"htm", "text/plain", "Extension already exits"}));

TEST(MimeTable, DefaultFileExtIsTheFirstExtensionOfAType) {
  auto table = BuiltInTable();
  EXPECT_EQ(table->GetDefaultFileExt("TEXT/HTML"), ".htm");
  EXPECT_EQ(table->GetDefaultFileExt("image/jpeg"), ".jpg");
  EXPECT_EQ(table->GetDefaultFileExt("no/such-type"), "");
}

TEST(MimeTable, LoadFromStringsSkipsLinesWithoutSeparatorAndKeepsFirstEntries) {
  TIdMimeTable table(false);
  table.AddMimeType(".old", "old/type");
  table.LoadFromStrings({"TXT:Text/Plain", "no separator", ".md:text/markdown", "txt:text/other", ":x/y", "a:"}, ':');
  std::vector<std::string> lines;
  table.SaveToStrings(lines, ':');
  EXPECT_EQ(lines, (std::vector<std::string>{".txt:text/plain", ".md:text/markdown"}));
}

TEST(MimeTable, SystemTypesOverrideTheBuiltInTypesInTheDocumentedOrder) {
  TempTypesFile file(
      "# comment line\n"
      "\n"
      "audio/mpeg\t\tmpga mpega mp3\n"
      "application/json json   # trailing comment\n"
      "text/x-listed  other baz\n"
      "text/x-own  baz\n"
      "text/x-first  qux\n"
      "text/x-later  quux qux\n"
      "Text/X-Upper UPX\n"
      "type/without-extensions\n");
  TIdMimeTable table(false);
  table.SetSystemTypesFile(file.Path());
  EXPECT_EQ(table.GetFileMIMEType("a.mp3"), "audio/mpeg");
  EXPECT_EQ(table.GetFileMIMEType("a.json"), "application/json");
  // a type's own (first) extension beats a later type that merely lists it
  EXPECT_EQ(table.GetFileMIMEType("a.qux"), "text/x-first");
  // otherwise the last line listing an extension wins
  EXPECT_EQ(table.GetFileMIMEType("a.baz"), "text/x-own");
  EXPECT_EQ(table.GetFileMIMEType("a.upx"), "text/x-upper");
  EXPECT_EQ(table.GetFileMIMEType("a.htm"), "text/html");
  std::vector<std::string> lines;
  table.SaveToStrings(lines);
  ASSERT_EQ(lines.size(), 372u + 6u);  // json other baz qux quux upx are new
  EXPECT_EQ(lines[371], ".mht=message/rfc822");
  EXPECT_EQ(lines[372], ".json=application/json");
}

TEST(MimeTable, AMissingSystemTypesFileLeavesTheBuiltInTable) {
  TIdMimeTable table(false);
  table.SetSystemTypesFile("/nonexistent/zal/mime.types");
  EXPECT_EQ(table.GetFileMIMEType("a.mp3"), "audio/x-mpg");
  EXPECT_EQ(table.Count(), 372u);
}

TEST(MimeTable, ReadsTheSystemTypesFileByDefault) {
  if (!std::filesystem::exists(kSystemMimeTypesFile))
    GTEST_SKIP() << "no system types file";
  TIdMimeTable table(false);
  EXPECT_EQ(table.SystemTypesFile(), kSystemMimeTypesFile);
  EXPECT_TRUE(table.LoadTypesFromOS());
  std::vector<std::string> builtIn(BuiltInMimeTypeLines().begin(), BuiltInMimeTypeLines().end());
  std::vector<std::string> expected = builtIn;
  ASSERT_TRUE(ApplySystemMimeTypes(std::string(kSystemMimeTypesFile), expected));
  TIdMimeTable reference(false);
  reference.LoadFromStrings(expected);
  table.BuildCache();
  EXPECT_EQ(table.Count(), reference.Count());
  EXPECT_EQ(table.GetFileMIMEType("a.json"), reference.GetFileMIMEType("a.json"));
}

TEST(ThreadSafeMimeTable, ConcurrentFirstLookUpsFillTheTableOnce) {
  TIdThreadSafeMimeTable table(false);
  table.SetLoadTypesFromOS(false);
  std::atomic<int> builds{0};
  table.SetOnBuildCache([&](void* sender) {
    ++builds;
    auto* inner = static_cast<TIdMimeTable*>(sender);
    if (inner->Count() == 0)
      inner->LoadDefaultTypes();
  });
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i)
        if (table.GetFileMIMEType("page.HTML") != "text/html")
          ++wrong;
    });
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(builds.load(), 1);
  TIdMimeTable* inner = table.Lock();
  EXPECT_EQ(inner->Count(), 372u);
  table.Unlock();
}

}  // namespace
}  // namespace zal
