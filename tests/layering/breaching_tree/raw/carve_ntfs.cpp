// A raw-engine file that reaches into the NTFS engine: the layer check must reject it.
#include "raw/raw_scanner.h"
#include "ntfs/ntfs_volume.h"
