// Repair of single store files: real Outlook Express and Outlook stores from
// the corpus, damaged copies made here, and hostile sources and destinations.
#include "mail/mail_repair.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>

#include "common/bytes.h"
#include "mail/mail_test_util.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace brenix;
using namespace brenix::mail;
using namespace brenix::test;

namespace {

const uint8_t kDbxHeader[8] = {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F};

// A store from the corpus in `src`, or skip.
#define CORPUS_STORE(var, name, dir)                                      \
  fs::path var = corpusStore(name, dir);                                  \
  if (var.empty()) GTEST_SKIP() << "corpus store " << name << " missing"

struct RepairDirs {
  TempDir tmp;
  fs::path src = tmp / "src";
  fs::path out = tmp / "out";
  RepairDirs() {
    fs::create_directory(src);
    fs::create_directory(out);
  }
};

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace

// Intact corpus stores come back byte for byte: their headers already hold
// what the repair writes, and the PST header CRCs still verify.
TEST(MailRepair, IntactCorpusStoresAreCopiedUnchanged) {
  RepairDirs d;
  std::vector<std::string> stores = corpusStores("dbx");
  const std::vector<std::string> pst = corpusStores("pst");
  stores.insert(stores.end(), pst.begin(), pst.end());
  if (stores.empty()) GTEST_SKIP() << "no corpus stores";
  std::vector<fs::path> sources;
  for (const std::string& name : stores) sources.push_back(corpusStore(name, d.src));
  const std::string before = sha256Lines(sources);
  for (size_t i = 0; i < stores.size(); ++i) {
    SCOPED_TRACE(stores[i]);
    const StoreKind kind = stores[i].starts_with("dbx/") ? StoreKind::OutlookExpress : StoreKind::Outlook;
    const fs::path dest = d.out / sources[i].filename();
    EXPECT_EQ(repairStore(kind, sources[i], dest), kRepaired);
    const std::vector<uint8_t> copy = fileBytes(dest);
    EXPECT_EQ(copy, fileBytes(sources[i]));
    if (kind == StoreKind::Outlook) {
      EXPECT_TRUE(pstHeaderValid(copy));
    } else {
      ASSERT_GE(copy.size(), 8u);
      EXPECT_EQ(std::memcmp(copy.data(), kDbxHeader, 8), 0);
    }
  }
  EXPECT_EQ(sha256Lines(sources), before);
}

// A folder file whose first bytes are damaged gets its signature and class id
// head back at offsets 0 and 4; everything else, including the "LocalStore"
// marker at 9409 and the value at 196, is the source's.
TEST(MailRepair, DbxDamagedHeaderIsRestored) {
  RepairDirs d;
  CORPUS_STORE(good, "dbx/test.dbx", d.tmp.path());
  const std::vector<uint8_t> original = fileBytes(good);
  for (const std::vector<uint8_t>& damage :
       {std::vector<uint8_t>(8, 0x00), std::vector<uint8_t>(8, 0xFF), bytesOf("!BDNxxxx")}) {
    std::vector<uint8_t> broken = original;
    std::copy(damage.begin(), damage.end(), broken.begin());
    writeFile(d.src / "test.dbx", broken);
    const std::string sourceSha = sha256Of(d.src / "test.dbx");
    ASSERT_EQ(repairDbx(d.src / "test.dbx", d.out / "test.dbx"), kRepaired);
    const std::vector<uint8_t> repaired = fileBytes(d.out / "test.dbx");
    EXPECT_EQ(repaired, original);
    EXPECT_TRUE(bytesEqual(repaired, kDbxMarkerOffset, "LocalStore"));
    EXPECT_EQ(sha256Of(d.src / "test.dbx"), sourceSha);
  }
}

// The value at offset 196 is the store's own data, not a result code: a
// repaired copy is reported as repaired whatever it holds.
TEST(MailRepair, DbxValueAt196DoesNotDecideTheResult) {
  RepairDirs d;
  CORPUS_STORE(good, "dbx/test1.dbx", d.tmp.path());
  for (uint32_t value : {0xFFFFFFFFu, 0xFFFFFFFEu, 0u}) {
    std::vector<uint8_t> bytes = fileBytes(good);
    putLe32(bytes.data(), 0);
    putLe32(bytes.data() + 196, value);
    writeFile(d.src / "f.dbx", bytes);
    EXPECT_EQ(repairDbx(d.src / "f.dbx", d.out / "f.dbx"), kRepaired) << value;
    EXPECT_EQ(u32At(fileBytes(d.out / "f.dbx"), 0), kDbxSignature);
  }
}

// Without the marker text (and its terminator) at 9409 the file is not a store
// this repair knows: "Unsupported format", and the copy is left as read.
TEST(MailRepair, DbxWithoutMarkerIsUnsupported) {
  RepairDirs d;
  CORPUS_STORE(good, "dbx/test.dbx", d.tmp.path());
  const std::vector<uint8_t> original = fileBytes(good);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}});
  cases.push_back({"cut inside the marker", {original.begin(), original.begin() + kDbxMarkerOffset + 5}});
  cases.push_back({"cut before the terminator", {original.begin(), original.begin() + kDbxMarkerOffset + 10}});
  std::vector<uint8_t> wrongText = original;
  wrongText[kDbxMarkerOffset] = 'l';
  cases.push_back({"marker text differs", wrongText});
  std::vector<uint8_t> longer = original;
  longer[kDbxMarkerOffset + 10] = 'X';
  cases.push_back({"marker not terminated", longer});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = c.bytes;
    if (bytes.size() >= 4) putLe32(bytes.data(), 0x12345678);
    writeFile(d.src / "x.dbx", bytes);
    EXPECT_EQ(repairDbx(d.src / "x.dbx", d.out / "x.dbx"), kUnsupportedFormat);
    EXPECT_EQ(fileBytes(d.out / "x.dbx"), bytes);
    EXPECT_EQ(fileBytes(d.src / "x.dbx"), bytes);
  }
}

// A store cut right after the marker, or with garbage blocks further on, is
// repaired in its header only: the copy has the source's length and bytes.
TEST(MailRepair, DbxTruncatedOrGarbageBodyKeepsItsBytes) {
  RepairDirs d;
  CORPUS_STORE(good, "dbx/test_OutlookDBX.dbx", d.tmp.path());
  const std::vector<uint8_t> original = fileBytes(good);
  std::vector<uint8_t> cut(original.begin(), original.begin() + kDbxMarkerOffset + 11);
  std::vector<uint8_t> garbage = original;
  std::mt19937 rng(7);
  for (size_t block : {20u, 100u, 400u})
    for (size_t i = 0; i < 1024; ++i) garbage[block * 1024 + i] = static_cast<uint8_t>(rng());
  for (std::vector<uint8_t>* body : {&cut, &garbage}) {
    std::vector<uint8_t> broken = *body;
    std::fill(broken.begin(), broken.begin() + 8, 0xEE);
    writeFile(d.src / "g.dbx", broken);
    ASSERT_EQ(repairDbx(d.src / "g.dbx", d.out / "g.dbx"), kRepaired);
    EXPECT_EQ(fileBytes(d.out / "g.dbx"), *body);
  }
}

// A personal folder file with a damaged magic gets "!BDN" back; the magic is
// outside both header CRCs, so the repaired header verifies again.
TEST(MailRepair, PstDamagedMagicIsRestoredAndCrcsVerify) {
  RepairDirs d;
  for (const char* name : {"pst/sample1.pst", "pst/sample2.pst", "pst/test_sample.pst"}) {
    SCOPED_TRACE(name);
    CORPUS_STORE(good, name, d.tmp.path());
    const std::vector<uint8_t> original = fileBytes(good);
    std::vector<uint8_t> broken = original;
    std::memcpy(broken.data(), "\0\0\xff\x13", 4);
    EXPECT_FALSE(pstHeaderValid(broken));
    writeFile(d.src / "s.pst", broken);
    ASSERT_EQ(repairPst(d.src / "s.pst", d.out / "s.pst"), kRepaired);
    const std::vector<uint8_t> repaired = fileBytes(d.out / "s.pst");
    EXPECT_EQ(repaired, original);
    EXPECT_TRUE(pstHeaderValid(repaired));
    EXPECT_EQ(fileBytes(d.src / "s.pst"), broken);
  }
}

// The signature is written whatever the source holds: an empty or tiny source
// becomes a four-byte "!BDN" copy, and is reported repaired.
TEST(MailRepair, PstShortSourcesGetTheSignature) {
  RepairDirs d;
  for (const std::vector<uint8_t>& bytes : {std::vector<uint8_t>{}, bytesOf("ab"), bytesOf("abcdefgh")}) {
    writeFile(d.src / "e.pst", bytes);
    EXPECT_EQ(repairPst(d.src / "e.pst", d.out / "e.pst"), kRepaired);
    std::vector<uint8_t> expected = bytes;
    if (expected.size() < 4) expected.resize(4);
    std::memcpy(expected.data(), "!BDN", 4);
    EXPECT_EQ(fileBytes(d.out / "e.pst"), expected);
    EXPECT_EQ(fileBytes(d.src / "e.pst"), bytes);
  }
}

// The source is never its own destination, by the same path, a link in the
// output folder or a second hard link: refused before anything is written.
TEST(MailRepair, DestinationThatIsTheSourceIsRefused) {
  RepairDirs d;
  std::vector<uint8_t> bytes(4096, 0x41);
  writeFile(d.src / "a.pst", bytes);
  const std::string sha = sha256Of(d.src / "a.pst");
  fs::create_symlink(d.src / "a.pst", d.out / "link.pst");
  fs::create_hard_link(d.src / "a.pst", d.out / "hard.pst");
  for (const fs::path& dest : {d.src / "a.pst", d.src / "." / "a.pst", d.out / "link.pst", d.out / "hard.pst"}) {
    SCOPED_TRACE(dest.string());
    EXPECT_EQ(repairPst(d.src / "a.pst", dest), kRepairFailed);
    EXPECT_EQ(sha256Of(d.src / "a.pst"), sha);
  }
  EXPECT_EQ(listFolder(d.src), std::vector<std::string>{"a.pst"});
  EXPECT_EQ(listFolder(d.out), (std::vector<std::string>{"hard.pst", "link.pst"}));
}

// An existing destination that is a link to a file elsewhere is replaced by
// the copy; the file it pointed to is not written.
TEST(MailRepair, LinkedDestinationIsReplacedNotFollowed) {
  RepairDirs d;
  writeFile(d.src / "a.pst", bytesOf("XXXX-body"));
  writeFile(d.tmp / "victim", bytesOf("keep me"));
  fs::create_symlink(d.tmp / "victim", d.out / "a.pst");
  ASSERT_EQ(repairPst(d.src / "a.pst", d.out / "a.pst"), kRepaired);
  EXPECT_EQ(fileBytes(d.tmp / "victim"), bytesOf("keep me"));
  EXPECT_FALSE(fs::is_symlink(d.out / "a.pst"));
  EXPECT_EQ(fileBytes(d.out / "a.pst"), bytesOf("!BDN-body"));
}

// Sources that are not readable regular files fail at once (a FIFO must not
// block the worker) and leave the output folder as it was.
TEST(MailRepair, UnreadableSourcesFailCleanly) {
  RepairDirs d;
  ASSERT_EQ(::mkfifo((d.src / "fifo.dbx").c_str(), 0600), 0);
  fs::create_directory(d.src / "folder.dbx");
  fs::create_symlink(d.src / "nowhere", d.src / "dangling.dbx");
  for (const char* name : {"missing.dbx", "fifo.dbx", "folder.dbx", "dangling.dbx"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(repairDbx(d.src / name, d.out / name), kRepairFailed);
    EXPECT_EQ(repairPst(d.src / name, d.out / name), kRepairFailed);
  }
  EXPECT_TRUE(listFolder(d.out).empty());
  // No output folder at all.
  writeFile(d.src / "ok.pst", bytesOf("abcd"));
  EXPECT_EQ(repairPst(d.src / "ok.pst", d.tmp / "no-such-folder" / "ok.pst"), kRepairFailed);
  EXPECT_FALSE(fs::exists(d.tmp / "no-such-folder"));
}

// A write that fails part way (here: a file size limit standing in for a full
// disk) fails the repair, removes the partial copy and keeps an existing
// destination as it was.
TEST(MailRepair, FailedWriteLeavesNoPartialCopy) {
  RepairDirs d;
  std::vector<uint8_t> big(300 * 1024);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31);
  writeFile(d.src / "big.pst", big);
  writeFile(d.out / "big.pst", bytesOf("older copy"));

  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previous = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 100 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int result = repairPst(d.src / "big.pst", d.out / "big.pst");
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);

  EXPECT_EQ(result, kRepairFailed);
  EXPECT_EQ(listFolder(d.out), std::vector<std::string>{"big.pst"});
  EXPECT_EQ(fileBytes(d.out / "big.pst"), bytesOf("older copy"));
  EXPECT_EQ(fileBytes(d.src / "big.pst"), big);
}

// A cleared running flag abandons the copy without leaving a file.
TEST(MailRepair, CancelledCopyLeavesNothing) {
  RepairDirs d;
  writeFile(d.src / "c.pst", std::vector<uint8_t>(200 * 1024, 1));
  RunningFlag running{false};
  EXPECT_EQ(repairPst(d.src / "c.pst", d.out / "c.pst", &running), kRepairFailed);
  EXPECT_TRUE(listFolder(d.out).empty());
}

TEST(MailRepair, StoreKindNames) {
  EXPECT_EQ(storeKindFromName("dbx"), StoreKind::OutlookExpress);
  EXPECT_EQ(storeKindFromName("PST"), StoreKind::Outlook);
  EXPECT_FALSE(storeKindFromName("box").has_value());
  EXPECT_EQ(static_cast<int>(StoreKind::OutlookExpress), 1);
  EXPECT_EQ(static_cast<int>(StoreKind::Outlook), 2);
}
