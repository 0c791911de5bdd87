// Fuzzes the signature database loader: text-mode reading, the packed form,
// the XML subset and the positional structure with its field limits.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "raw/raw_check.h"
#include "raw/raw_scanner.h"
#include "raw/raw_types.h"
#include "raw/xml_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  brenix::XmlDocument doc;
  doc.parse(in);
  std::vector<uint8_t> xml;
  std::string error;
  brenix::RawTypeList list;
  if (brenix::rawDatabaseText(in, xml, &error) && brenix::parseRawTypes(xml, list, &error)) {
    brenix::checkRawTypes(list);
    brenix::RawMatcher matcher(list);
    std::vector<uint8_t> sector(2048, 0);
    for (size_t i = 0; i < sector.size() && i < size; ++i) sector[i] = data[size - 1 - i];
    matcher.match(sector.data(), sector.size());
    matcher.match(sector.data(), 7);
  }
  return 0;
}
