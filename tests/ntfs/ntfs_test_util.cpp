#include "ntfs/ntfs_test_util.h"

#include <cstring>
#include <functional>

#include "common/bytes.h"
#include "disk/device_table.h"
#include "support/temp_dir.h"

namespace brenix::test {

RecordBuilder::RecordBuilder(uint32_t size, bool inUse) : bytes_(size, 0) {
  std::memcpy(bytes_.data(), "FILE", 4);
  uint16_t count = static_cast<uint16_t>(size / 512 + 1);
  putLe16(&bytes_[4], 0x30);
  putLe16(&bytes_[6], count);
  putLe16(&bytes_[0x10], 1);
  size_t first = (0x30 + 2 * count + 7) & ~size_t(7);
  putLe16(&bytes_[0x14], static_cast<uint16_t>(first));
  putLe16(&bytes_[0x16], inUse ? 1 : 0);
  putLe32(&bytes_[0x1C], size);
  at_ = first;
}

void RecordBuilder::put(std::vector<uint8_t> attr) {
  attr.resize((attr.size() + 7) & ~size_t(7), 0);
  putLe32(&attr[4], static_cast<uint32_t>(attr.size()));
  std::memcpy(&bytes_[at_], attr.data(), attr.size());
  at_ += attr.size();
}

static std::vector<uint8_t> resident(uint32_t type, const std::vector<uint8_t>& value, const std::u16string& name) {
  size_t nameOff = 0x18, valueOff = (0x18 + name.size() * 2 + 7) & ~size_t(7);
  std::vector<uint8_t> a(valueOff + value.size(), 0);
  putLe32(&a[0], type);
  a[9] = static_cast<uint8_t>(name.size());
  putLe16(&a[0x0A], static_cast<uint16_t>(nameOff));
  for (size_t i = 0; i < name.size(); ++i) putLe16(&a[nameOff + 2 * i], name[i]);
  putLe32(&a[0x10], static_cast<uint32_t>(value.size()));
  putLe16(&a[0x14], static_cast<uint16_t>(valueOff));
  std::copy(value.begin(), value.end(), a.begin() + static_cast<ptrdiff_t>(valueOff));
  return a;
}

RecordBuilder& RecordBuilder::standardInfo(uint64_t created, uint64_t modified, uint64_t accessed, uint32_t attributes) {
  std::vector<uint8_t> v(72, 0);
  putLe64(&v[0], created);
  putLe64(&v[8], modified);
  putLe64(&v[16], modified);
  putLe64(&v[24], accessed);
  putLe32(&v[32], attributes);
  put(resident(0x10, v, u""));
  return *this;
}

RecordBuilder& RecordBuilder::fileName(const std::u16string& name, uint64_t parent, uint8_t nameSpace, uint32_t flags) {
  std::vector<uint8_t> v(66 + name.size() * 2, 0);
  putLe64(&v[0], parent);
  putLe32(&v[56], flags);
  v[64] = static_cast<uint8_t>(name.size());
  v[65] = nameSpace;
  for (size_t i = 0; i < name.size(); ++i) putLe16(&v[66 + 2 * i], name[i]);
  put(resident(0x30, v, u""));
  return *this;
}

RecordBuilder& RecordBuilder::residentData(const std::vector<uint8_t>& value, const std::u16string& streamName) {
  put(resident(0x80, value, streamName));
  return *this;
}

RecordBuilder& RecordBuilder::nonResidentData(const std::vector<uint8_t>& runList, uint64_t realSize, uint64_t allocated,
                                              uint64_t startVcn, uint64_t lastVcn, uint16_t flags,
                                              uint16_t compressionUnit, const std::u16string& streamName) {
  size_t nameOff = 0x40, runOff = (0x40 + streamName.size() * 2 + 7) & ~size_t(7);
  std::vector<uint8_t> a(runOff + runList.size() + 1, 0);
  putLe32(&a[0], 0x80);
  a[8] = 1;
  a[9] = static_cast<uint8_t>(streamName.size());
  putLe16(&a[0x0A], static_cast<uint16_t>(nameOff));
  putLe16(&a[0x0C], flags);
  for (size_t i = 0; i < streamName.size(); ++i) putLe16(&a[nameOff + 2 * i], streamName[i]);
  putLe64(&a[0x10], startVcn);
  putLe64(&a[0x18], lastVcn);
  putLe16(&a[0x20], static_cast<uint16_t>(runOff));
  putLe16(&a[0x22], compressionUnit);
  putLe64(&a[0x28], allocated);
  putLe64(&a[0x30], realSize);
  putLe64(&a[0x38], realSize);
  std::copy(runList.begin(), runList.end(), a.begin() + static_cast<ptrdiff_t>(runOff));
  put(a);
  return *this;
}

RecordBuilder& RecordBuilder::raw(uint32_t type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> a(16, 0);
  putLe32(&a[0], type);
  a.insert(a.end(), body.begin(), body.end());
  put(a);
  return *this;
}

RecordBuilder& RecordBuilder::baseReference(uint64_t ref) {
  putLe64(&bytes_[0x20], ref);
  return *this;
}

RecordBuilder& RecordBuilder::sequence(uint16_t seq) {
  putLe16(&bytes_[0x10], seq);
  return *this;
}

std::vector<uint8_t> RecordBuilder::finish(uint16_t usn) {
  std::vector<uint8_t> out = bytes_;
  putLe32(&out[at_], 0xFFFFFFFF);
  putLe32(&out[0x18], static_cast<uint32_t>(at_ + 8));
  uint16_t count = le16(&out[6]);
  putLe16(&out[0x30], usn);
  for (size_t i = 1; i < count; ++i) {
    size_t tail = i * 512 - 2;
    out[0x30 + 2 * i] = out[tail];
    out[0x30 + 2 * i + 1] = out[tail + 1];
    putLe16(&out[tail], usn);
  }
  return out;
}

std::unique_ptr<ScanRun> scanImage(const std::filesystem::path& image, ScanMode mode, uint64_t partitionStart) {
  auto run = std::make_unique<ScanRun>();
  DeviceTable& table = DeviceTable::instance();
  table.setIncludeSystemDisks(false);
  table.clearImages();  // earlier runs keep their open handles
  std::string error;
  int drive = table.attachImage(image.string(), &error);
  if (drive < 0) {
    run->result.error = -1;
    return run;
  }
  PartitionInfo p = makePartitionInfo();
  p.diskNumber = drive;
  p.driveLetter = '*';
  p.setFs("NTFS");
  p.volumeStart = static_cast<uint32_t>(partitionStart);
  p.totalBytes = std::filesystem::file_size(image) - partitionStart * 512;
  run->ctx.selectPartition(p, "");
  RunningFlag running{true};
  run->result = run->engine->scan(mode, run->ctx, run->tree, running);
  std::function<void(const ResultFolder&, const std::string&)> walk = [&](const ResultFolder& f, const std::string& prefix) {
    for (size_t idx : f.items) {
      std::string path = prefix + run->tree.item(idx).name;
      run->byPath.emplace(path, idx);
      run->paths.push_back(path);
    }
    for (const auto& child : f.children) walk(*child, prefix + child->name + "/");
  };
  walk(run->tree.root(), "");
  return run;
}

namespace {
struct MemorySink : ByteSink {
  std::vector<uint8_t>& out;
  explicit MemorySink(std::vector<uint8_t>& o) : out(o) {}
  bool write(const uint8_t* data, size_t size) override {
    out.insert(out.end(), data, data + size);
    return true;
  }
};
}  // namespace

bool recoverItem(ScanRun& run, size_t itemIndex, std::vector<uint8_t>& out) {
  out.clear();
  MemorySink sink(out);
  RunningFlag running{true};
  return run.engine->writeItem(run.tree.item(itemIndex), sink, running) == WriteStatus::Ok;
}

std::string sha256Hex(const std::vector<uint8_t>& bytes) {
  TempDir dir;
  writeFile(dir / "blob", bytes);
  return sha256Of(dir / "blob");
}

}  // namespace brenix::test
