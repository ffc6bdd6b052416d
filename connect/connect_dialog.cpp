#include "connect/connect_dialog.h"

wchar_t destinationText[kDestinationUnits];
