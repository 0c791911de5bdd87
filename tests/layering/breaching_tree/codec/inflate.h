#pragma once
// A codec that reads the disk itself: codec/ may use common/ only.
#include "common/bytes.h"
#include "disk/sector_reader.h"
