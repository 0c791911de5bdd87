// The signature database: the XML subset, the positional structure, field
// limits, the packed form, and the shipped database.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "raw/raw_check.h"
#include "raw/raw_types.h"
#include "raw/xml_reader.h"
#include "support/temp_dir.h"

namespace brenix {
namespace {

std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

bool parseText(const std::string& xml, RawTypeList& list, std::string* error = nullptr) {
  std::vector<uint8_t> text;
  std::string why;
  bool ok = rawDatabaseText(bytesOf(xml), text, &why) && parseRawTypes(text, list, &why);
  if (error) *error = why;
  return ok;
}

std::string typeXml(const std::string& ext, const std::string& desc, const std::string& sets) {
  return "<type><ext>" + ext + "</ext><desc>" + desc + "</desc>" + sets + "</type>";
}
std::string db(const std::string& types) { return "<db><version>1</version>" + types + "</db>"; }
const std::string kJpegSet = "<set count=\"1\"><sig offset=\"0\">ffd8ff</sig></set>";

TEST(XmlReader, DeclarationAttributesLandOnTheRootAndAreSkipped) {
  std::string xml = "<?xml version=\"1.0\" encoding='us-ascii'?>\n" + db(typeXml("jpg", "JPEG", kJpegSet));
  XmlDocument doc;
  ASSERT_TRUE(doc.parse(bytesOf(xml)));
  const XmlNode& root = doc.root();
  EXPECT_EQ(root.name(), "XML:ROOT");
  ASSERT_EQ(root.childCount(), 3u);
  EXPECT_EQ(root.child(0)->kind(), XmlKind::Attribute);
  EXPECT_EQ(root.child(0)->name(), "version");
  EXPECT_EQ(root.child(0)->value(), "1.0");
  EXPECT_EQ(root.child(1)->name(), "encoding");
  EXPECT_EQ(root.child(1)->value(), "us-ascii");
  EXPECT_EQ(root.child(2)->kind(), XmlKind::Element);
  EXPECT_EQ(root.child(2)->name(), "db");

  RawTypeList list;
  ASSERT_TRUE(parseText(xml, list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.types[0]->ext(), "jpg");
}

TEST(XmlReader, OpeningTagAttributesAreChildrenAndTextKeepsBlanks) {
  XmlDocument doc;
  ASSERT_TRUE(doc.parse(bytesOf("<a><sig offset='12'>  ff d8 </sig><b>x</b></a>")));
  const XmlNode* a = doc.root().firstChild();
  ASSERT_NE(a, nullptr);
  const XmlNode* sig = a->firstChild();
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(sig->name(), "sig");
  ASSERT_EQ(sig->childCount(), 2u);
  EXPECT_EQ(sig->child(0)->kind(), XmlKind::Attribute);
  EXPECT_EQ(sig->child(0)->value(), "12");
  EXPECT_EQ(sig->child(1)->kind(), XmlKind::Text);
  EXPECT_EQ(sig->child(1)->name(), "  ff d8 ");
  const XmlNode* b = a->nextChild();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->name(), "b");
  EXPECT_EQ(a->nextChild(), nullptr);
  EXPECT_EQ(a->firstChild(), sig);  // first-child resets the walk
}

TEST(XmlReader, UnclosedElementsFailAndCommentsArePassedOver) {
  XmlDocument doc;
  EXPECT_FALSE(doc.parse(bytesOf("<a><b>text</a>")));
  EXPECT_FALSE(doc.parse(bytesOf("<a>text")));
  ASSERT_TRUE(doc.parse(bytesOf("<!-- note --><a>t</a>")));
  ASSERT_EQ(doc.root().childCount(), 1u);
  EXPECT_EQ(doc.root().child(0)->name(), "a");
  // Deep nesting is refused rather than recursing without bound.
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += "<e" + std::to_string(i) + ">";
  for (int i = 199; i >= 0; --i) deep += "</e" + std::to_string(i) + ">";
  EXPECT_FALSE(doc.parse(bytesOf(deep)));
}

TEST(RawTypes, QuotesSetsBlanksAndDecimalValues) {
  std::string sets2 = "<set count=\"1\"><sig offset=\"0\">4d4d</sig></set>"
                      "<set count='2'><sig offset='0'>4949</sig><sig offset=' +600xyz'>ab</sig></set>";
  RawTypeList list;
  ASSERT_TRUE(parseText(db(typeXml("tif", "TIFF", sets2) + typeXml(" jpg", "JPEG", kJpegSet)), list));
  ASSERT_EQ(list.size(), 3u);
  // Two signature sets: two records with the same extension and description.
  EXPECT_EQ(list.types[0]->ext(), "tif");
  EXPECT_EQ(list.types[1]->ext(), "tif");
  EXPECT_EQ(list.types[1]->desc(), "TIFF");
  EXPECT_EQ(list.types[0]->signatureCount, 1);
  EXPECT_EQ(list.types[1]->signatureCount, 2);
  EXPECT_EQ(list.types[1]->offsets[1], 600);  // leading blanks and sign, digits up to the first other byte
  EXPECT_EQ(list.types[1]->pattern(1), "ab");
  // The text node keeps its blank: a four-character extension.
  EXPECT_EQ(list.types[2]->ext(), " jpg");
  EXPECT_EQ(list.types[2]->extensionLength, 4);
  for (const auto& t : list.types) EXPECT_EQ(t->selected, 1);
}

TEST(RawTypes, FieldLimitsRejectWithoutWritingPastAField) {
  std::string set = kJpegSet;
  std::string okTypes = typeXml(std::string(11, 'e'), std::string(51, 'd'), set) +
                        typeXml("p", "pattern", "<set count=\"1\"><sig offset=\"0\">" + std::string(511, 'a') +
                                                    "</sig></set>");
  std::string badTypes = typeXml(std::string(12, 'e'), "d", set) + typeXml("e", std::string(52, 'd'), set) +
                         typeXml("p", "long", "<set count=\"1\"><sig offset=\"0\">" + std::string(512, 'a') +
                                                  "</sig></set>") +
                         typeXml("c", "four", "<set count=\"4\"><sig offset=\"0\">aa</sig><sig offset=\"1\">aa</sig>"
                                              "<sig offset=\"2\">aa</sig><sig offset=\"3\">aa</sig></set>") +
                         typeXml("f", "fewer", "<set count=\"2\"><sig offset=\"0\">aa</sig></set>") +
                         typeXml("n", "nocount", "<set><sig offset=\"0\">aa</sig></set>") +
                         typeXml("o", "negative", "<set count=\"1\"><sig offset=\"-4\">aa</sig></set>") +
                         typeXml("r", "far", "<set count=\"1\"><sig offset=\"99999999\">aa</sig></set>");
  RawTypeList list;
  ASSERT_TRUE(parseText(db(okTypes + badTypes), list));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.types[0]->ext(), std::string(11, 'e'));
  EXPECT_EQ(list.types[0]->desc(), std::string(51, 'd'));
  EXPECT_EQ(list.types[1]->pattern(0), std::string(511, 'a'));
  EXPECT_EQ(list.warnings.size(), 8u);

  RawTypeList none;
  std::string error;
  EXPECT_FALSE(parseText(db(badTypes), none, &error));
  EXPECT_EQ(error, "no file types in the database");
}

TEST(RawTypes, TextModeAndPackedForm) {
  std::string xml = "<db>\r\n<v>1</v>\r\n" + typeXml("jpg", "JPEG Picture", kJpegSet) + "\r\n</db>\r\n";
  RawTypeList list;
  ASSERT_TRUE(parseText(xml + "\x1a" + "garbage <unclosed>", list));  // 0x1A ends the data
  ASSERT_EQ(list.size(), 1u);

  std::vector<uint8_t> text;
  ASSERT_TRUE(rawDatabaseText(bytesOf(xml), text, nullptr));
  std::vector<uint8_t> packed = packRawDatabase(text);
  ASSERT_FALSE(packed.empty());
  EXPECT_NE(packed[0], '<');
  std::vector<uint8_t> back;
  ASSERT_TRUE(unpackRawDatabase(packed, back, nullptr));
  EXPECT_EQ(back, text);
  RawTypeList fromPacked;
  ASSERT_TRUE(parseText(std::string(packed.begin(), packed.end()), fromPacked));
  EXPECT_EQ(fromPacked.types[0]->desc(), "JPEG Picture");

  // Damaged packed data: a clear failure, never a crash.
  std::vector<uint8_t> damaged(packed.begin(), packed.begin() + long(packed.size() / 2));
  damaged[0] = 0xFF;
  damaged[1] = 0x7F;
  std::string error;
  EXPECT_FALSE(rawDatabaseText(damaged, back, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(rawDatabaseText({}, back, &error));
}

TEST(RawTypes, LoadingNamesWhereItLooked) {
  test::TempDir dir;
  RawTypeList list;
  std::string error;
  EXPECT_FALSE(loadRawTypes(dir / "none.dat", list, &error));
  EXPECT_NE(error.find("none.dat"), std::string::npos);

  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  RawTypeList missing;
  bool loaded = loadDefaultRawTypes(missing, &error);
  if (!loaded) {
    EXPECT_NE(error.find((dir / "rp.dat").string()), std::string::npos) << error;
    EXPECT_NE(error.find("looked in"), std::string::npos);
  }
  // The current directory comes first.
  test::writeFile(dir / "rp.dat", bytesOf(db(typeXml("abc", "Current directory", kJpegSet))));
  RawTypeList here;
  EXPECT_TRUE(loadDefaultRawTypes(here, &error)) << error;
  std::filesystem::current_path(previous);
  ASSERT_EQ(here.size(), 1u);
  EXPECT_EQ(here.types[0]->desc(), "Current directory");
  EXPECT_EQ(here.sourcePath, (dir / "rp.dat").string());
}

TEST(RawTypes, CheckFlagsDuplicatesShadowsAndMalformedPatterns) {
  std::string types = typeXml("tif", "TIFF", "<set count=\"1\"><sig offset=\"0\">4949</sig></set>") +
                      typeXml("cr2", "Canon", "<set count=\"1\"><sig offset=\"0\">49492a00</sig></set>") +
                      typeXml("jpg", "JPEG", "<set count=\"1\"><sig offset=\"0\">FFD8FF</sig></set>") +
                      typeXml("jpg", "JPEG", "<set count=\"1\"><sig offset=\"0\">FFD8FF</sig></set>") +
                      typeXml("png", "PNG Picture", "<set count=\"1\"><sig offset=\"0\">89504e47</sig></set>") +
                      typeXml("apng", "PNG", "<set count=\"1\"><sig offset=\"8\">89504e47</sig></set>");
  RawTypeList list;
  ASSERT_TRUE(parseText(db(types), list));
  std::vector<RawTypeIssue> issues = checkRawTypes(list);
  auto has = [&](size_t type, const std::string& word) {
    for (const auto& i : issues)
      if (i.type == type && i.message.find(word) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(has(1, "never found"));
  EXPECT_TRUE(has(2, "upper-case"));
  EXPECT_TRUE(has(3, "duplicate"));
  EXPECT_TRUE(has(5, "share a folder"));
  EXPECT_FALSE(has(4, "never found"));
}

std::filesystem::path sourceDir() {
  const char* s = std::getenv("BRENIX_SOURCE_DIR");
  return s ? std::filesystem::path(s) : std::filesystem::path(BRENIX_TEST_SOURCE_DIR);
}

TEST(RawTypes, ShippedDatabaseIsCleanAndPackedFormMatches) {
  RawTypeList list;
  std::string error;
  ASSERT_TRUE(loadRawTypes(sourceDir() / "data" / "rp.xml", list, &error)) << error;
  EXPECT_TRUE(list.warnings.empty());
  EXPECT_TRUE(checkRawTypes(list).empty());
  std::set<std::string> extensions;
  for (const auto& t : list.types) extensions.insert(t->ext());
  EXPECT_GE(extensions.size(), 80u);
  for (const char* ext : {"jpg", "png", "gif", "bmp", "tif", "cr2", "cr3", "nef", "orf", "rw2", "raf", "heic", "webp",
                          "psd", "mp4", "mov", "3gp", "avi", "mkv", "mpg", "ts", "mp3", "wav", "flac", "ogg", "m4a",
                          "pdf", "doc", "docx", "zip", "rtf", "7z", "rar", "gz", "bz2", "xz", "pst", "dbx", "sqlite"})
    EXPECT_TRUE(extensions.count(ext)) << ext;

  std::vector<uint8_t> xml = test::readFile(sourceDir() / "data" / "rp.xml");
  std::vector<uint8_t> packed = test::readFile(sourceDir() / "data" / "rp.dat");
  std::vector<uint8_t> unpacked;
  ASSERT_TRUE(unpackRawDatabase(packed, unpacked, &error)) << error;
  EXPECT_EQ(unpacked, xml);
}

}  // namespace
}  // namespace brenix
