#include "disk/records.h"

#include <cstring>

#include "common/text.h"

namespace brenix {

std::string PhysicalDisk::model() const { return fieldText(modelText, sizeof modelText); }
void PhysicalDisk::setModel(std::string_view text) { copyToField(modelText, sizeof modelText, text); }

std::string PartitionInfo::fs() const { return fieldText(fsName, sizeof fsName); }
void PartitionInfo::setFs(std::string_view name) { copyToField(fsName, sizeof fsName, name); }
std::string PartitionInfo::label() const { return fieldText(volumeLabel, sizeof volumeLabel); }
void PartitionInfo::setLabel(std::string_view text) { copyToField(volumeLabel, sizeof volumeLabel, text); }

PhysicalDisk makePhysicalDisk() {
  PhysicalDisk d;
  std::memset(&d, 0, sizeof d);
  return d;
}

PartitionInfo makePartitionInfo() {
  PartitionInfo p;
  std::memset(&p, 0, sizeof p);
  return p;
}

}  // namespace brenix
