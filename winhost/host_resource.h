// Resource identifiers of TavimoHost.exe, shared by its resource script and the code.
#pragma once

#define IDI_HOST 201
