// brenix rpdat: packs, unpacks and checks the signature database.
#include <fstream>
#include <iostream>
#include <iterator>

#include "cli/commands.h"
#include "raw/raw_check.h"
#include "raw/raw_types.h"

namespace brenix::cli {

namespace {

struct RpdatOptions {
  std::string input;
  std::string output;
};

bool readAll(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool writeAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

int runPack(const RpdatOptions& o) {
  std::vector<uint8_t> xml;
  if (!readAll(o.input, xml)) {
    std::cerr << "Can not read '" << o.input << "'\n";
    return 2;
  }
  RawTypeList list;
  std::string error;
  std::vector<uint8_t> text;
  if (xml.empty() || xml[0] != '<' || !rawDatabaseText(xml, text, &error) || !parseRawTypes(text, list, &error)) {
    std::cerr << "'" << o.input << "' is not a signature database in XML form"
              << (error.empty() ? "" : ": " + error) << "\n";
    return 2;
  }
  std::vector<uint8_t> packed = packRawDatabase(text);
  if (!writeAll(o.output, packed)) {
    std::cerr << "Can not write '" << o.output << "'\n";
    return 2;
  }
  std::cout << "Packed " << list.size() << " signature sets: " << text.size() << " -> " << packed.size()
            << " bytes\n";
  return 0;
}

int runUnpack(const RpdatOptions& o) {
  std::vector<uint8_t> packed, xml;
  std::string error;
  if (!readAll(o.input, packed)) {
    std::cerr << "Can not read '" << o.input << "'\n";
    return 2;
  }
  if (!rawDatabaseText(packed, xml, &error)) {
    std::cerr << "Can not unpack '" << o.input << "': " << error << "\n";
    return 2;
  }
  if (!writeAll(o.output, xml)) {
    std::cerr << "Can not write '" << o.output << "'\n";
    return 2;
  }
  std::cout << "Unpacked " << packed.size() << " -> " << xml.size() << " bytes\n";
  return 0;
}

int runCheck(const RpdatOptions& o) {
  RawTypeList list;
  std::string error;
  bool ok = o.input.empty() ? loadDefaultRawTypes(list, &error) : loadRawTypes(o.input, list, &error);
  if (!ok) {
    std::cerr << error << "\n";
    for (const std::string& w : list.warnings) std::cerr << "  rejected: " << w << "\n";
    return 2;
  }
  std::cout << "Signature database: " << list.sourcePath << "\n";
  for (size_t i = 0; i < list.size(); ++i) {
    const RawFileType& t = *list.types[i];
    std::cout << "  #" << i << "  ." << t.ext() << "  " << t.desc() << "  ";
    for (int s = 0; s < t.signatureCount; ++s) std::cout << (s ? ", " : "") << "@" << t.offsets[s] << " " << t.pattern(s);
    std::cout << "\n";
  }
  std::vector<RawTypeIssue> issues = checkRawTypes(list);
  for (const std::string& w : list.warnings) std::cout << "Rejected: " << w << "\n";
  for (const RawTypeIssue& issue : issues)
    std::cout << "Problem: #" << issue.type << " (" << list.types[issue.type]->ext() << "): " << issue.message << "\n";
  std::cout << list.size() << " signature sets, " << list.warnings.size() << " rejected, " << issues.size()
            << " problems\n";
  return list.warnings.empty() && issues.empty() ? 0 : 1;
}

}  // namespace

void addRpdatCommand(CLI::App& app, SetRun setRun) {
  CLI::App* cmd = app.add_subcommand("rpdat", "Pack, unpack or check the signature database (rp.dat)");
  cmd->require_subcommand(1);
  auto opts = std::make_shared<RpdatOptions>();
  CLI::App* pack = cmd->add_subcommand("pack", "Pack XML text into the packed form");
  pack->add_option("input", opts->input, "XML file")->required();
  pack->add_option("output", opts->output, "Packed file to write")->required();
  pack->callback([opts, setRun] { setRun([opts] { return runPack(*opts); }); });
  CLI::App* unpack = cmd->add_subcommand("unpack", "Unpack a packed database into XML text");
  unpack->add_option("input", opts->input, "Packed file")->required();
  unpack->add_option("output", opts->output, "XML file to write")->required();
  unpack->callback([opts, setRun] { setRun([opts] { return runUnpack(*opts); }); });
  CLI::App* check = cmd->add_subcommand("check", "List the types and flag duplicates or malformed patterns");
  check->add_option("file", opts->input, "Database file (default: the one a scan would use)");
  check->callback([opts, setRun] { setRun([opts] { return runCheck(*opts); }); });
}

}  // namespace brenix::cli
