// An engine file that draws a window: engines know nothing of Qt or the front ends.
#include <QWidget>
#include "gui/messages.h"
#include "fat/fat_volume.h"
