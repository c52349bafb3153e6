// The description file reader: the number conversion, the line splitting,
// the fixed field positions, and the whole reading against real files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <random>

#include "DescriptionFile.h"
#include "TestNames.h"
#include "CounterText.h"

namespace fs = std::filesystem;

namespace {

// ---- ConvertInteger ------------------------------------------------------

struct ConvertRow {
  const char* text;
  std::optional<std::int32_t> value;
};

void PrintTo(const ConvertRow& r, std::ostream* os) { *os << "'" << r.text << "'"; }

class ConvertIntegerTest : public ::testing::TestWithParam<ConvertRow> {};

TEST_P(ConvertIntegerTest, Converts) {
  const auto& row = GetParam();
  EXPECT_EQ(ConvertInteger(row.text), row.value) << "'" << row.text << "'";
}

constexpr std::nullopt_t kInvalid = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Table, ConvertIntegerTest,
    ::testing::Values(
        ConvertRow{"0", 0}, ConvertRow{"42", 42}, ConvertRow{"007", 7}, ConvertRow{"+7", 7},
        ConvertRow{"-1", -1}, ConvertRow{"   12", 12}, ConvertRow{"2147483647", 2147483647},
        ConvertRow{"-2147483648", INT32_MIN}, ConvertRow{"2147483648", kInvalid},
        ConvertRow{"-2147483649", kInvalid}, ConvertRow{"99999999999999999999", kInvalid},
        ConvertRow{"0x1F", 31}, ConvertRow{"0X1f", 31}, ConvertRow{"$ff", 255},
        ConvertRow{"$FF", 255}, ConvertRow{"x10", 16}, ConvertRow{"X10", 16},
        ConvertRow{"  0xC0", 0xC0}, ConvertRow{"0xFFFFFFFF", -1},
        ConvertRow{"0x7FFFFFFF", 0x7FFFFFFF}, ConvertRow{"0x00000000AB", 0xAB},
        ConvertRow{"0x100000000", kInvalid}, ConvertRow{"$123456789", kInvalid},
        ConvertRow{"", kInvalid}, ConvertRow{"   ", kInvalid}, ConvertRow{"0x", kInvalid},
        ConvertRow{"$", kInvalid}, ConvertRow{"x", kInvalid}, ConvertRow{"+", kInvalid},
        ConvertRow{"-", kInvalid}, ConvertRow{"0x 1", kInvalid}, ConvertRow{"$ 1", kInvalid},
        ConvertRow{"1 ", kInvalid}, ConvertRow{"0x1 ", kInvalid}, ConvertRow{"0x1G", kInvalid},
        ConvertRow{"0xG1", kInvalid}, ConvertRow{"-0x1", kInvalid}, ConvertRow{"+$1", kInvalid},
        ConvertRow{"0x-1", kInvalid}, ConvertRow{"0x+1", kInvalid}, ConvertRow{"\t1", kInvalid},
        ConvertRow{"1x", kInvalid}, ConvertRow{"$$1", kInvalid}, ConvertRow{"0xx1", kInvalid},
        ConvertRow{"1a", kInvalid}, ConvertRow{"- 1", kInvalid}),
    [](const auto& row) { return "Text" + TextName(row.param.text); });

// ---- SplitDescriptionLines -----------------------------------------------

struct SplitRow {
  const char* name;
  std::string bytes;
  std::vector<std::string> lines;  // the rest are empty
};

void PrintTo(const SplitRow& r, std::ostream* os) { *os << ::testing::PrintToString(r.bytes.substr(0, 40)); }

class SplitTest : public ::testing::TestWithParam<SplitRow> {};

TEST_P(SplitTest, Splits) {
  const auto& row = GetParam();
  const auto lines = SplitDescriptionLines(row.bytes);
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i], i < row.lines.size() ? row.lines[i] : "") << "line " << i + 1;
}

std::string Numbered(int from, int to, const char* end) {
  std::string s;
  for (int i = from; i <= to; ++i) s += "L" + std::to_string(i) + end;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitTest,
    ::testing::Values(
        SplitRow{"NoBytes", "", {}}, SplitRow{"CrLf", "a\r\nb\r\n", {"a", "b"}},
        SplitRow{"LoneCr", "a\rb\rc", {"a", "b", "c"}},
        SplitRow{"LoneLfIsACharacter", "a\nb\r\nc", {"a\nb", "c"}},
        SplitRow{"LfAroundCrLf", "\n\r\n\n", {"\n", "\n"}},
        SplitRow{"CrThenCrLf", "\r\r\nx", {"", "", "x"}},
        SplitRow{"CtrlZStartingALine", "a\r\n\x1A" "b\r\nc", {"a"}},
        SplitRow{"CtrlZInsideALine", "ab\x1A" "cd\r\nef", {"ab"}}, SplitRow{"LfCr", "a\n\rb", {"a\n", "b"}},
        SplitRow{"NulKept", std::string("a\0b\r\n", 5), {std::string("a\0b", 3)}},
        SplitRow{"FourteenCrLfLines", Numbered(1, 14, "\r\n"),
                 {"L1", "L2", "L3", "L4", "L5", "L6", "L7", "L8", "L9", "L10", "L11", "L12"}},
        SplitRow{"ThirteenCrLines", Numbered(1, 13, "\r"),
                 {"L1", "L2", "L3", "L4", "L5", "L6", "L7", "L8", "L9", "L10", "L11", "L12"}},
        // No CR anywhere: LF ends the lines. One CR, even past the Ctrl-Z, is not needed to keep the old rules.
        SplitRow{"ThirteenLfLinesWithoutCr", Numbered(1, 13, "\n"),
                 {"L1", "L2", "L3", "L4", "L5", "L6", "L7", "L8", "L9", "L10", "L11", "L12"}},
        SplitRow{"LfOnlyUpToCtrlZ", "a\n\nb\x1A" "c\nd", {"a", "", "b"}},
        SplitRow{"OneCrKeepsLfACharacter", "a\nb\rc\n", {"a\nb", "c\n"}},
        // A leading byte order mark is no part of line 1; anywhere else it is.
        SplitRow{"ByteOrderMarkThenCrLf", "\xEF\xBB\xBF" "a\r\nb", {"a", "b"}},
        SplitRow{"ByteOrderMarkThenLf", "\xEF\xBB\xBF" "a\nb", {"a", "b"}},
        SplitRow{"HalfAByteOrderMarkIsText", "\xEF\xBB" "a\r\n", {"\xEF\xBB" "a"}},
        SplitRow{"ByteOrderMarkOnLineTwoIsText", "a\r\n\xEF\xBB\xBF" "b", {"a", "\xEF\xBB\xBF" "b"}}),
    RowName());

// ---- ParseDescriptionLines -----------------------------------------------

std::array<std::string, 12> GoodLines() {
  return {"001234", "0A.01", "01.05",         "02.10",   "03.20", "04.30",
          "05.40",  "23011", "spare text ok", "img.bin", "2",     "0xBFC00000"};
}

struct FieldRow {
  int line;                 // 1-based line replaced in GoodLines()
  std::string text;
  std::string error;        // empty: the reading succeeds
  std::function<void(const TDownloadJob&)> check;
};

void PrintTo(const FieldRow& r, std::ostream* os) {
  *os << "line " << r.line << " " << ::testing::PrintToString(r.text);
}

class ParseFieldTest : public ::testing::TestWithParam<FieldRow> {};

TEST_P(ParseFieldTest, Field) {
  const auto& row = GetParam();
  auto lines = GoodLines();
  lines[std::size_t(row.line - 1)] = row.text;
  TDownloadJob job;
  if (row.error.empty()) {
    EXPECT_NO_THROW(ParseDescriptionLines(lines, job));
  } else {
    try {
      ParseDescriptionLines(lines, job);
      ADD_FAILURE() << "no error";
    } catch (const DescriptionFileError& e) {
      EXPECT_EQ(std::string(e.what()), row.error);
    }
  }
  row.check(job);
}

using P = TBytePair;
using Job = const TDownloadJob&;

INSTANTIATE_TEST_SUITE_P(
    Table, ParseFieldTest,
    ::testing::Values(
        // line 1: "$" + two characters, an invalid field is 0 without error
        FieldRow{1, "abcDEF", "", [](Job j) { EXPECT_EQ(j.Oui, (std::array<std::uint8_t, 3>{0xAB, 0xCD, 0xEF})); }},
        FieldRow{1, "G11234", "", [](Job j) { EXPECT_EQ(j.Oui, (std::array<std::uint8_t, 3>{0, 0x12, 0x34})); }},
        FieldRow{1, " 11234", "", [](Job j) { EXPECT_EQ(j.Oui, (std::array<std::uint8_t, 3>{0, 0x12, 0x34})); }},
        FieldRow{1, "0012", "", [](Job j) { EXPECT_EQ(j.Oui, (std::array<std::uint8_t, 3>{0, 0x12, 0})); }},
        FieldRow{1, "12345", "", [](Job j) { EXPECT_EQ(j.Oui, (std::array<std::uint8_t, 3>{0x12, 0x34, 5})); }},
        // lines 2-7: character 3 is never read; either case
        FieldRow{2, "0A-1B", "", [](Job j) { EXPECT_EQ(j.ModelCode, (P{0x0A, 0x1B})); }},
        FieldRow{2, "0a\x1A" "1b", "", [](Job j) { EXPECT_EQ(j.ModelCode, (P{0x0A, 0x1B})); }},
        FieldRow{2, "ff ff trailing", "", [](Job j) { EXPECT_EQ(j.ModelCode, (P{0xFF, 0xFF})); }},
        FieldRow{2, "0A 1", "", [](Job j) { EXPECT_EQ(j.ModelCode, (P{0x0A, 1})); }},
        FieldRow{2, "A 1B", "'0xA ' is not a valid integer value",
                 [](Job j) { EXPECT_EQ(j.ModelCode, (P{0, 0})); }},
        FieldRow{2, " A 1B", "'0x A' is not a valid integer value", [](Job) {}},
        FieldRow{2, "0A 1 ", "'0x1 ' is not a valid integer value",
                 [](Job j) { EXPECT_EQ(j.ModelCode, (P{0x0A, 0})); }},
        FieldRow{2, "0A", "'0x' is not a valid integer value",
                 [](Job j) { EXPECT_EQ(j.ModelCode, (P{0x0A, 0})); }},
        FieldRow{2, "", "'0x' is not a valid integer value", [](Job) {}},
        FieldRow{3, "G1.00", "'0xG1' is not a valid integer value",
                 [](Job j) { EXPECT_EQ(j.ModelCode, (P{0x0A, 0x01})); }},
        FieldRow{4, "+1.00", "'0x+1' is not a valid integer value", [](Job) {}},
        FieldRow{7, "05.4z", "'0x4z' is not a valid integer value",
                 [](Job j) {
                   EXPECT_EQ(j.Application1Version, (P{0x04, 0x30}));
                   EXPECT_EQ(j.Application2Version, (P{0x05, 0}));
                   EXPECT_EQ(j.DateCode, "");
                 }},
        // lines 8-10: texts cut at their positions, blanks kept
        FieldRow{8, "2301151", "", [](Job j) { EXPECT_EQ(j.DateCode, "23011"); }},
        FieldRow{8, "12", "", [](Job j) { EXPECT_EQ(j.DateCode, "12"); }},
        FieldRow{9, "0123456789ABCDEF", "", [](Job j) { EXPECT_EQ(j.SpareText, "0123456789ABC"); }},
        FieldRow{10, " my image.bin ", "", [](Job j) { EXPECT_EQ(j.ImageFileName, " my image.bin "); }},
        // line 11: the first character only, as a number
        FieldRow{11, "3x", "", [](Job j) { EXPECT_EQ(j.VersionSelector, 3); }},
        FieldRow{11, "A", "'A' is not a valid integer value",
                 [](Job j) {
                   EXPECT_EQ(j.ImageFileName, "img.bin");
                   EXPECT_EQ(j.SpareText, "spare text ok");
                   EXPECT_EQ(j.Address(), 0u);
                 }},
        FieldRow{11, " ", "' ' is not a valid integer value", [](Job) {}},
        FieldRow{11, "", "'' is not a valid integer value", [](Job) {}},
        // line 12: characters 1-4 as a number of their own, then three hex pairs
        FieldRow{12, "0xbfc00000", "", [](Job j) { EXPECT_EQ(j.Address(), 0xBFC00000u); }},
        FieldRow{12, "$0BFC00000", "", [](Job j) { EXPECT_EQ(j.Address(), 0xBFC00000u); }},
        FieldRow{12, "1000C00000", "", [](Job j) { EXPECT_EQ(j.Address(), 0xE8C00000u); }},
        FieldRow{12, "  12345678", "", [](Job j) { EXPECT_EQ(j.Address(), 0x0C345678u); }},
        FieldRow{12, "0x8001000", "", [](Job j) { EXPECT_EQ(j.Address(), 0x80010000u); }},
        FieldRow{12, "0xBFC000", "'0x' is not a valid integer value",
                 [](Job j) { EXPECT_EQ(j.Address(), 0xBFC00000u); }},
        FieldRow{12, "0xBF", "'0x' is not a valid integer value",
                 [](Job j) { EXPECT_EQ(j.Address(), 0xBF000000u); }},
        FieldRow{12, "0xGGC00000", "'0xGG' is not a valid integer value", [](Job) {}},
        FieldRow{12, "0xBF C00000", "'0x C' is not a valid integer value", [](Job) {}}),
    [](const auto& row) { return "Line" + std::to_string(row.param.line) + "_" + TextName(row.param.text); });

TEST(ParseDescription, AddressLineHoldsCharactersOneToTenAsWritten) {
  auto lines = GoodLines();
  TDownloadJob job;
  EXPECT_EQ(ParseDescriptionLines(lines, job),
            "  The Download Address is 0xBFC00000 in the include file(./inc/xxxx.inc).");
  lines[11] = "0x9fc00000 and more";
  EXPECT_EQ(ParseDescriptionLines(lines, job),
            "  The Download Address is 0x9fc00000 in the include file(./inc/xxxx.inc).");
}

TEST(ParseDescription, EmptyFileSetsOuiToZeroThenFailsAtLineTwo) {
  TDownloadJob job;
  job.Oui = {1, 2, 3};
  try {
    ParseDescriptionLines(SplitDescriptionLines(""), job);
    FAIL() << "no error";
  } catch (const DescriptionFileError& e) {
    EXPECT_STREQ(e.what(), "'0x' is not a valid integer value");
  }
  EXPECT_EQ(job.Oui, (std::array<std::uint8_t, 3>{0, 0, 0}));
}

// ---- ReadDescriptionFile against real files ------------------------------

class ReadDescriptionTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && dir.empty(); ++attempt) {
      fs::path d = fs::temp_directory_path() / ("descfile-" + std::to_string(random()));
      if (fs::create_directory(d)) dir = d;
    }
    ASSERT_FALSE(dir.empty());
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir, ec);
  }

  std::string Path(const std::string& name) const { return (dir / name).string(); }

  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  static std::string Join(const std::array<std::string, 12>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
  }

  // A description file naming an image of the given size.
  std::string Describe(std::int64_t imageBytes, const std::string& image = "image.bin") {
    if (imageBytes >= 0) {
      WriteFile(Path(image), "");
      fs::resize_file(Path(image), std::uintmax_t(imageBytes));
    }
    auto lines = GoodLines();
    lines[9] = Path(image);
    WriteFile(Path("bl.inc"), Join(lines));
    return Path("bl.inc");
  }

  // Runs the reading; returns the error text, empty on success.
  std::string Read(const std::string& path) {
    try {
      ReadDescriptionFile(path, job, [this](const std::string& l) { log.push_back(l); });
      return {};
    } catch (const DescriptionFileError& e) {
      return e.what();
    }
  }

  // Sentinels, so that a write to the size fields after an error shows.
  void MarkSizeFields() { job.ImageFileBytes = 7; }
  void ExpectSizeFieldsUntouched() const { EXPECT_EQ(job.ImageFileBytes, 7); }

  fs::path dir;
  TDownloadJob job;
  std::vector<std::string> log;
};

struct SizeRow {
  std::int64_t bytes;
  std::int32_t imageSize;
  std::int32_t blocks;
  std::uint8_t low, high;
};

void PrintTo(const SizeRow& r, std::ostream* os) { *os << r.bytes << " bytes"; }

class ImageSizeTest : public ReadDescriptionTest, public ::testing::WithParamInterface<SizeRow> {};

TEST_P(ImageSizeTest, RoundsUpToWholeBlocks) {
  const auto& row = GetParam();
  ASSERT_EQ(Read(Describe(row.bytes)), "");
  EXPECT_EQ(job.ImageSize(), row.imageSize);
  EXPECT_EQ(job.BlockCount(), row.blocks);
  EXPECT_EQ(job.BlockCountLow(), row.low);
  EXPECT_EQ(job.BlockCountHigh(), row.high);
  EXPECT_EQ(ByteCounterText(0, job.ImageSize()), "( 0 / " + std::to_string(row.imageSize) + " )");
  EXPECT_EQ(log, std::vector<std::string>{
                     "  The Download Address is 0xBFC00000 in the include file(./inc/xxxx.inc)."});
}

INSTANTIATE_TEST_SUITE_P(Table, ImageSizeTest,
                         ::testing::Values(SizeRow{1, 1024, 1, 1, 0},
                                           SizeRow{1024, 1024, 1, 1, 0},
                                           SizeRow{1025, 2048, 2, 2, 0},
                                           SizeRow{256 * 1024, 256 * 1024, 256, 0, 1},
                                           SizeRow{257 * 1024 - 1, 257 * 1024, 257, 1, 1},
                                           SizeRow{kMaxImageBytes - 1023, 67107840, 65535, 255, 255},
                                           SizeRow{kMaxImageBytes, 67107840, 65535, 255, 255}),
                         [](const auto& row) { return std::to_string(row.param.bytes) + "Bytes"; });

// Line 12 is read by its fixed positions whatever it looks like: one not
// written as "0x" and eight digits gets a warning line after the address
// line, with the address as it was read.
struct AddressLineRow {
  const char* name;
  std::string written;
  std::uint32_t read;
  bool warned;
};

class AddressLineTest : public ReadDescriptionTest, public ::testing::WithParamInterface<AddressLineRow> {};

TEST_P(AddressLineTest, WarnsWhenItIsNotWrittenInFull) {
  const auto& row = GetParam();
  WriteFile(Path("image.bin"), "x");
  auto lines = GoodLines();
  lines[9] = Path("image.bin");
  lines[11] = row.written;
  WriteFile(Path("app1.inc"), Join(lines));
  ASSERT_EQ(Read(Path("app1.inc")), "");
  EXPECT_EQ(job.Address(), row.read);
  std::vector<std::string> expected{"  The Download Address is " + row.written.substr(0, 10) +
                                    " in the include file(./inc/xxxx.inc)."};
  if (row.warned) expected.push_back(AddressLineWarning(Path("app1.inc"), row.written, row.read));
  EXPECT_EQ(log, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddressLineTest,
    ::testing::Values(AddressLineRow{"EightDigits", "0x80010000", 0x80010000u, false},
                      AddressLineRow{"CapitalXAndDigits", "0XBFc00000", 0xBFC00000u, false},
                      AddressLineRow{"BlanksAfter", "0x80010000  \t", 0x80010000u, false},
                      AddressLineRow{"SevenDigits", "0x8001001", 0x80010001u, true},
                      AddressLineRow{"NineDigits", "0x800100001", 0x80010000u, true},
                      AddressLineRow{"WordsAfter", "0x80010000 main", 0x80010000u, true},
                      AddressLineRow{"DecimalTopByte", "0128010000", 0x80010000u, true}),
    RowName());

TEST(AddressLineWarning, SaysWhatIsWrittenAndWhatIsRead) {
  EXPECT_EQ(AddressLineWarning("./inc/app1.inc", "0x8001001 ", 0x80010001u),
            "  Warning: ./inc/app1.inc line 12 is written \"0x8001001\", not 0x and eight hexadecimal digits: "
            "the download address is read as 0x80010001.");
}

TEST_F(ReadDescriptionTest, ImageBeyondSixtyFiveThousandBlocksIsRefused) {
  for (std::int64_t bytes : {kMaxImageBytes + 1, std::int64_t{65536} * 1024, std::int64_t{1} << 32}) {
    MarkSizeFields();
    const std::string desc = Describe(bytes);
    EXPECT_EQ(Read(desc), "Image file " + Path("image.bin") + " is too large: " +
                              std::to_string(bytes) +
                              " bytes; at most 67107840 bytes (65535 blocks) can be downloaded");
    ExpectSizeFieldsUntouched();
  }
}

TEST_F(ReadDescriptionTest, ImageThatCannotBeOpenedIsAnError) {
  MarkSizeFields();
  EXPECT_EQ(Read(Describe(-1, "missing.bin")), "Cannot open file " + Path("missing.bin"));
  ExpectSizeFieldsUntouched();
  EXPECT_EQ(job.Address(), 0xBFC00000u);
  EXPECT_TRUE(log.empty());  // the address line waits for the whole job, image included

  fs::create_directory(Path("folder.bin"));
  EXPECT_EQ(Read(Describe(-1, "folder.bin")), "Cannot open file " + Path("folder.bin"));
  ExpectSizeFieldsUntouched();
}

TEST_F(ReadDescriptionTest, ImageNameIsRelativeToTheWorkingDirectory) {
  auto lines = GoodLines();
  WriteFile(Path("img.bin"), std::string(1500, 'x'));
  WriteFile(Path("rel.inc"), Join(lines));
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  const std::string error = Read("rel.inc");
  fs::current_path(before);
  EXPECT_EQ(error, "");
  EXPECT_EQ(job.ImageSize(), 2048);
}

TEST_F(ReadDescriptionTest, CarriageReturnLinesCtrlZAndExtraLines) {
  auto lines = GoodLines();
  lines[9] = Path("image.bin");
  WriteFile(Path("image.bin"), "x");
  std::string cr;
  for (const auto& l : lines) cr += l + "\r";
  WriteFile(Path("cr.inc"), cr + "junk\r\nmore junk\r\n");
  EXPECT_EQ(Read(Path("cr.inc")), "");
  EXPECT_EQ(job.BlockCount(), 1);

  // A lone LF belongs to the line: here it makes line 11 "\n2", which is no number.
  std::string lf = Join(lines);
  lf.insert(lf.find("\r\n2\r\n") + 2, "\n");
  WriteFile(Path("lf.inc"), lf);
  EXPECT_EQ(Read(Path("lf.inc")), "'\n' is not a valid integer value");

  std::string eof = Join(lines);
  eof.insert(eof.find("0xBFC00000"), "\x1A");
  WriteFile(Path("eof.inc"), eof);
  EXPECT_EQ(Read(Path("eof.inc")), "'' is not a valid integer value");
}

// What Linux and Windows editors write reads as the CR LF file does.
TEST_F(ReadDescriptionTest, LfOnlyAndByteOrderMarkFilesReadAsCrLf) {
  WriteFile(Path("image.bin"), std::string(3000, 'i'));
  auto lines = GoodLines();
  lines[9] = Path("image.bin");
  const std::string crlf = Join(lines);
  WriteFile(Path("crlf.inc"), crlf);
  ASSERT_EQ(Read(Path("crlf.inc")), "");
  const TDownloadJob want = job;
  const std::vector<std::string> wantLog = log;

  std::string lf;
  for (const auto& l : lines) lf += l + "\n";
  for (const auto& [name, bytes] : {std::pair{"lf", lf}, {"bom-crlf", "\xEF\xBB\xBF" + crlf},
                                    {"bom-lf", "\xEF\xBB\xBF" + lf}, {"lf-no-last-end", lf.substr(0, lf.size() - 1)}}) {
    SCOPED_TRACE(name);
    job = TDownloadJob{};
    log.clear();
    WriteFile(Path("other.inc"), bytes);
    ASSERT_EQ(Read(Path("other.inc")), "");
    EXPECT_EQ(job.Oui, want.Oui);
    EXPECT_EQ(job.Application2Version, want.Application2Version);
    EXPECT_EQ(job.DateCode, want.DateCode);
    EXPECT_EQ(job.SpareText, want.SpareText);
    EXPECT_EQ(job.ImageFileName, want.ImageFileName);
    EXPECT_EQ(job.VersionSelector, want.VersionSelector);
    EXPECT_EQ(job.Address(), want.Address());
    EXPECT_EQ(job.BlockCount(), want.BlockCount());
    EXPECT_EQ(job.BlockDigests, want.BlockDigests);
    EXPECT_EQ(log, wantLog);
  }
}

TEST_F(ReadDescriptionTest, TwelveLinesFollowedByMegabytesReadFine) {
  Describe(10);
  std::ofstream(Path("bl.inc"), std::ios::binary | std::ios::app) << std::string(3 << 20, 'z');
  EXPECT_EQ(Read(Path("bl.inc")), "");
  EXPECT_EQ(job.ImageSize(), 1024);
}

// The file is read in 4096-byte pieces: a line end that falls on a piece's
// last byte must not be taken for the twelfth.
TEST_F(ReadDescriptionTest, EleventhLineEndOnThePiecesLastByteIsNotTheEnd) {
  WriteFile(Path("image.bin"), "x");
  auto lines = GoodLines();
  lines[9] = Path("image.bin");
  std::string front;
  for (std::size_t i = 0; i < 8; ++i) front += lines[i] + "\r\n";
  const std::string back = "\r\n" + lines[9] + "\r\n" + lines[10];
  // Line 9 is only read for its first characters: it pads the eleventh CR to byte 4095.
  lines[8] += std::string(4095 - front.size() - lines[8].size() - back.size(), '.');
  const std::string text = front + lines[8] + back + "\r\n" + lines[11] + "\r\n";
  ASSERT_EQ(text[4095], '\r');
  ASSERT_EQ(text.find(lines[11]), 4097u);
  WriteFile(Path("long.inc"), text);
  EXPECT_EQ(Read(Path("long.inc")), "");
  EXPECT_EQ(job.Address(), 0xBFC00000u);
}

TEST_F(ReadDescriptionTest, OversizedLinesAreRefusedWithoutReadingOn) {
  WriteFile(Path("big.inc"), std::string(2 << 20, 'z'));
  EXPECT_NE(Read(Path("big.inc")).find("is too large"), std::string::npos);
  EXPECT_TRUE(log.empty());
}

struct OpenErrorRow {
  const char* name;
  std::function<std::string(const fs::path&)> make;  // returns the path to read
  const char* error;
};

class OpenErrorTest : public ReadDescriptionTest,
                      public ::testing::WithParamInterface<OpenErrorRow> {};

TEST_P(OpenErrorTest, NamesTheCause) {
  MarkSizeFields();
  EXPECT_EQ(Read(GetParam().make(dir)), GetParam().error);
  ExpectSizeFieldsUntouched();
  EXPECT_EQ(job.Oui, (std::array<std::uint8_t, 3>{}));
  EXPECT_TRUE(log.empty());
}

const OpenErrorRow kOpenErrorRows[] = {
        OpenErrorRow{"MissingFile", [](const fs::path& d) { return (d / "bl.inc").string(); },
                     "File not found"},
        OpenErrorRow{"MissingFolder",
                     [](const fs::path& d) { return (d / "inc" / "bl.inc").string(); },
                     "Invalid filename"},
        OpenErrorRow{"FileAsFolder",
                     [](const fs::path& d) {
                       std::ofstream(d / "plain") << "x";
                       return (d / "plain" / "bl.inc").string();
                     },
                     "Invalid filename"},
        OpenErrorRow{"Directory",
                     [](const fs::path& d) {
                       fs::create_directory(d / "bl.inc");
                       return (d / "bl.inc").string();
                     },
                     "File access denied"},
#ifndef _WIN32
        OpenErrorRow{"SymlinkLoop",
                     [](const fs::path& d) {
                       fs::create_symlink(d / "loop", d / "loop");
                       return (d / "loop").string();
                     },
                     "I/O error 40"}
#endif
        };

INSTANTIATE_TEST_SUITE_P(Table, OpenErrorTest, ::testing::ValuesIn(kOpenErrorRows),
                         [](const auto& p) { return std::string(p.param.name); });

// Rights, processes and descriptor limits the POSIX way.
#ifndef _WIN32
// Root reads a mode 000 file, so as root the reading runs in a child that
// has given up its rights.
TEST_F(ReadDescriptionTest, UnreadableFileIsAccessDenied) {
  const std::string path = Describe(1);
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  if (::geteuid() != 0) {
    EXPECT_EQ(Read(path), "File access denied");
    return;
  }
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(out[0]);
    std::string error = "could not drop root";
    if (::setgid(65534) == 0 && ::setuid(65534) == 0) error = Read(path);
    const ssize_t written = ::write(out[1], error.data(), error.size());
    ::_exit(written == ssize_t(error.size()) ? 0 : 1);
  }
  ::close(out[1]);
  std::string error;
  char buf[256];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) error.append(buf, std::size_t(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(error, "File access denied");
}

TEST_F(ReadDescriptionTest, TooManyOpenFiles) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own while the table is full";
#endif
  const std::string path = Describe(1);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fds;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fds.push_back(fd);
  const std::string error = Read(path);
  for (int fd : fds) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(error, "Too many open files");
}
#endif

// ---- what a file error tells the operator ------------------------------------

struct DetailRow {
  const char* name;
  std::function<void(const fs::path&)> make;  // writes what the folder holds besides bl.inc
  std::string description;                    // bl.inc; none when empty
  std::string message;
  std::string detail;  // "{wd}" stands for the working folder
};

void PrintTo(const DetailRow& r, std::ostream* os) { *os << r.name; }

class FileErrorDetail : public ReadDescriptionTest, public ::testing::WithParamInterface<DetailRow> {};

std::string Lines(std::initializer_list<std::string> lines, const char* end = "\r\n") {
  std::string s;
  for (const auto& l : lines) s += l + end;
  return s;
}

const std::string kGoodFront = Lines({"001234", "0A.01", "01.05", "02.10", "03.20", "04.30", "05.40", "23011", "spare"});

TEST_P(FileErrorDetail, MessageAsEverAndOneLineSayingWhereWhatAndWhatToDo) {
  const DetailRow& row = GetParam();
#ifdef _WIN32
  if (std::string(row.name) == "ImageNameWithTrailingBlank")
    GTEST_SKIP() << "Windows drops blanks at the end of a file name: the image opens";
#endif
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  row.make(dir);
  if (!row.description.empty()) WriteFile("bl.inc", row.description);
  std::string message, detail;
  try {
    ReadDescriptionFile("bl.inc", job, [this](const std::string& l) { log.push_back(l); });
  } catch (const DescriptionFileError& e) {
    message = e.what();
    detail = e.Detail();
  }
  fs::current_path(before);
  EXPECT_EQ(message, row.message);
  std::string want = row.detail;
  if (const auto at = want.find("{wd}"); at != std::string::npos) want.replace(at, 4, dir.string());
  EXPECT_EQ(detail, want);
  EXPECT_TRUE(log.empty()) << "the address line must wait for the whole job";
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileErrorDetail,
    ::testing::Values(
        DetailRow{"MissingDescription", [](const fs::path&) {}, "", "File not found",
                  "  Description file \"bl.inc\" does not exist (working folder {wd}); start the tool in the folder "
                  "that holds inc/, or create the file."},
        DetailRow{"OneDigitModelCode", [](const fs::path&) {}, Lines({"001234", "A.01"}),
                  "'0xA.' is not a valid integer value",
                  "  bl.inc line 2, characters 1-2 (model code): \"A.\" is not two hexadecimal digits; write two "
                  "hexadecimal digits, one separator and two more, e.g. 0A.01."},
        DetailRow{"FileEndsAtLineFour", [](const fs::path&) {}, Lines({"001234", "0A.01", "01.05", "02.10"}),
                  "'0x' is not a valid integer value",
                  "  bl.inc line 5, characters 1-2 (native software version): \"\" is missing: the file holds 4 "
                  "lines where twelve are needed; write two hexadecimal digits, one separator and two more, e.g. "
                  "0A.01."},
        DetailRow{"FileEndsInLineFourWithoutItsLineEnd", [](const fs::path&) {},
                  Lines({"001234", "0A.01", "01.05"}) + "02.10", "'0x' is not a valid integer value",
                  "  bl.inc line 5, characters 1-2 (native software version): \"\" is missing: the file holds 4 "
                  "lines where twelve are needed; write two hexadecimal digits, one separator and two more, e.g. "
                  "0A.01."},
        DetailRow{"SelectorIsATab", [](const fs::path& d) { std::ofstream(d / "image.bin") << "x"; },
                  kGoodFront + Lines({"image.bin", "\t2", "0x80010000"}), "'\t' is not a valid integer value",
                  "  bl.inc line 11, character 1 (version selector): \"\\x09\" is not a digit; write one digit "
                  "there: 1 bootloader, 2 native, 3 application 1 or 4 application 2 version."},
        DetailRow{"AddressCutShort", [](const fs::path& d) { std::ofstream(d / "image.bin") << "x"; },
                  kGoodFront + Lines({"image.bin", "2", "0x800100"}), "'0x' is not a valid integer value",
                  "  bl.inc line 12, characters 9-10 (download address): \"\" is missing: the line holds 8 "
                  "characters; write the address as 0x and eight hexadecimal digits, e.g. 0x80010000."},
        DetailRow{"ImageNameWithTrailingBlank", [](const fs::path& d) { std::ofstream(d / "image.bin") << "x"; },
                  kGoodFront + Lines({"image.bin ", "2", "0x80010000"}), "Cannot open file image.bin ",
                  "  bl.inc line 10, characters 1-10 (image file): \"image.bin \" cannot be opened: No such file or "
                  "directory (working folder {wd}); a blank at either end of line 10 is part of the name: remove "
                  "it."},
        DetailRow{"EmptyImage", [](const fs::path& d) { std::ofstream(d / "image.bin") << ""; },
                  kGoodFront + Lines({"image.bin", "2", "0x80010000"}),
                  "Image file image.bin is empty: there is nothing to download",
                  "  bl.inc line 10, characters 1-9 (image file): \"image.bin\" holds 0 bytes; name the image meant "
                  "for this mode, or build it again."}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
