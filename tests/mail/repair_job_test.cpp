// The repair job: report blocks, overwrite confirmation, refusals and progress.
#include "mail/repair_job.h"

#include <gtest/gtest.h>

#include "mail/mail_test_util.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace brenix;
using namespace brenix::mail;
using namespace brenix::test;

namespace {

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

const std::string kRule(43, '-');

// Gives the listed answers in order, then Yes; records what it was asked.
struct ScriptedPrompt : OverwritePrompt {
  std::vector<std::string> asked;
  std::vector<OverwriteAnswer> answers;
  OverwriteAnswer ask(const std::string& dest) override {
    asked.push_back(dest);
    return asked.size() <= answers.size() ? answers[asked.size() - 1] : OverwriteAnswer::Yes;
  }
};

struct JobRun {
  Progress progress;
  RunningFlag running{true};
  std::string log;
  ScriptedPrompt prompt;
  std::vector<std::string>& asked = prompt.asked;
  std::vector<OverwriteAnswer>& answers = prompt.answers;
  RepairSummary summary;

  void run(const RepairJob& job) {
    summary = runRepairJob(job, progress, running, prompt, [this](const std::string& block) { log += block; });
  }
};

struct JobDirs {
  TempDir tmp;
  fs::path src = tmp / "src";
  fs::path out = tmp / "out";
  JobDirs() {
    fs::create_directory(src);
    fs::create_directory(out);
  }
  std::string source(const std::string& name, const std::string& content) {
    writeFile(src / name, bytesOf(content));
    return (src / name).string();
  }
};

}  // namespace

TEST(RepairJob, LogBlocksAndProgress) {
  JobDirs d;
  std::vector<uint8_t> dbx(kDbxMarkerOffset + 11 + 100, 0);
  std::copy(kDbxMarker, kDbxMarker + sizeof kDbxMarker, dbx.begin() + kDbxMarkerOffset);
  writeFile(d.src / "good.dbx", dbx);
  const std::string notStore = d.source("plain.dbx", "not a store");
  const std::string missing = (d.src / "missing.dbx").string();

  RepairJob job{StoreKind::OutlookExpress, {(d.src / "good.dbx").string(), notStore, missing}, d.out.string()};
  JobRun r;
  r.run(job);
  EXPECT_EQ(r.log, "Selected file: " + (d.src / "good.dbx").string() + "\nRepaired\n" + kRule + "\n" +
                       "Selected file: " + notStore + "\nUnsupported format\n" + kRule + "\n" +
                       "Selected file: " + missing + "\nRepair failed\n" + kRule + "\n");
  EXPECT_EQ(r.progress.total(), 3);
  EXPECT_EQ(r.progress.done(), 3);
  EXPECT_EQ(r.progress.status(), missing);
  EXPECT_EQ(r.summary.repaired, 1);
  EXPECT_EQ(r.summary.unsupported, 1);
  EXPECT_EQ(r.summary.failed, 1);
  EXPECT_FALSE(r.summary.cancelled);
  EXPECT_TRUE(r.asked.empty());
  EXPECT_EQ(listFolder(d.out), (std::vector<std::string>{"good.dbx", "plain.dbx"}));
}

// Yes, No and Yes to All as the confirmation defines them: No skips without a
// report block and leaves the file; Yes to All stops the questions.
TEST(RepairJob, OverwriteAnswers) {
  JobDirs d;
  const std::string a = d.source("a.pst", "AAAA1"), b = d.source("b.pst", "BBBB2"), c = d.source("c.pst", "CCCC3");
  for (const char* n : {"a.pst", "b.pst", "c.pst"}) writeFile(d.out / n, bytesOf("old"));
  RepairJob job{StoreKind::Outlook, {a, b, c}, d.out.string()};

  JobRun no;
  no.answers = {OverwriteAnswer::No, OverwriteAnswer::Yes, OverwriteAnswer::No};
  no.run(job);
  EXPECT_EQ(no.asked, (std::vector<std::string>{(d.out / "a.pst").string(), (d.out / "b.pst").string(),
                                                (d.out / "c.pst").string()}));
  EXPECT_EQ(no.log, "Selected file: " + b + "\nRepaired\n" + kRule + "\n");
  EXPECT_EQ(fileBytes(d.out / "a.pst"), bytesOf("old"));
  EXPECT_EQ(fileBytes(d.out / "b.pst"), bytesOf("!BDN2"));
  EXPECT_EQ(no.summary.skipped, 2);
  EXPECT_EQ(no.progress.done(), 3);

  JobRun all;
  all.answers = {OverwriteAnswer::YesToAll};
  all.run(job);
  EXPECT_EQ(all.asked.size(), 1u);
  EXPECT_EQ(all.summary.repaired, 3);
  EXPECT_EQ(fileBytes(d.out / "c.pst"), bytesOf("!BDN3"));

  // The next job asks again.
  JobRun again;
  again.answers = {OverwriteAnswer::No, OverwriteAnswer::No, OverwriteAnswer::No};
  again.run(job);
  EXPECT_EQ(again.asked.size(), 3u);
  EXPECT_TRUE(again.log.empty());
}

// Cancel ends the whole job at once: that file and every later one untouched.
TEST(RepairJob, CancelEndsTheJob) {
  JobDirs d;
  const std::string a = d.source("a.pst", "AAAA"), b = d.source("b.pst", "BBBB"), c = d.source("c.pst", "CCCC");
  writeFile(d.out / "b.pst", bytesOf("old"));
  JobRun r;
  r.answers = {OverwriteAnswer::Cancel};
  r.run({StoreKind::Outlook, {a, b, c}, d.out.string()});
  EXPECT_TRUE(r.summary.cancelled);
  EXPECT_FALSE(r.running.load());
  EXPECT_EQ(r.log, "Selected file: " + a + "\nRepaired\n" + kRule + "\n");
  EXPECT_EQ(fileBytes(d.out / "b.pst"), bytesOf("old"));
  EXPECT_FALSE(fs::exists(d.out / "c.pst"));
  EXPECT_EQ(r.progress.done(), 1);

  // A flag cleared before the start (Cancel in the progress dialog) does nothing.
  JobRun stopped;
  stopped.running = false;
  stopped.run({StoreKind::Outlook, {c}, d.out.string()});
  EXPECT_TRUE(stopped.summary.cancelled);
  EXPECT_TRUE(stopped.log.empty());
  EXPECT_FALSE(fs::exists(d.out / "c.pst"));
}

// Output folder = the source's folder: the destination is the source itself.
// It is refused with "Repair failed" without a question, and the source
// stays as it was.
TEST(RepairJob, SourceFolderAsOutputIsRefused) {
  JobDirs d;
  const std::string a = d.source("a.pst", "XXXX-data");
  const std::string sha = sha256Of(a);
  JobRun r;
  r.run({StoreKind::Outlook, {a}, d.src.string()});
  EXPECT_EQ(r.log, "Selected file: " + a + "\nRepair failed\n" + kRule + "\n");
  EXPECT_TRUE(r.asked.empty());
  EXPECT_EQ(sha256Of(a), sha);
  EXPECT_EQ(listFolder(d.src), std::vector<std::string>{"a.pst"});
}

// A missing output folder or a source without a file name fails that file and
// the job goes on; nothing is written outside the output folder.
TEST(RepairJob, BadEntriesFailAndTheJobGoesOn) {
  JobDirs d;
  const std::string a = d.source("a.pst", "AAAA"), b = d.source("b.pst", "BBBB");
  JobRun missing;
  missing.run({StoreKind::Outlook, {a, b}, (d.tmp / "absent").string()});
  EXPECT_EQ(missing.summary.failed, 2);
  EXPECT_EQ(missing.progress.done(), 2);
  EXPECT_FALSE(fs::exists(d.tmp / "absent"));

  EXPECT_EQ(destinationFor("/out", "/in/x.dbx"), "/out/x.dbx");
  EXPECT_EQ(destinationFor("/out", "/in/.."), "");
  EXPECT_EQ(destinationFor("/out", "/in/"), "");
  const std::vector<std::string> before = listFolder(d.tmp.path());
  JobRun names;
  names.run({StoreKind::Outlook, {(d.out / "..").string(), (d.src / "").string(), "", b}, d.out.string()});
  EXPECT_EQ(names.summary.failed, 3);
  EXPECT_EQ(names.summary.repaired, 1);
  EXPECT_EQ(listFolder(d.tmp.path()), before);
  EXPECT_EQ(listFolder(d.out), std::vector<std::string>{"b.pst"});
}

