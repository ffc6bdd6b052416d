// The destination history kept in client.ini in the current directory, read and written
// through the platform's private-profile functions.
#pragma once

#include <windows.h>

#include <string>

#include "connect/host_history.h"

// The current directory, a backslash and "client.ini", however long the directory is.
void BuildIniPath();
// Appends the stored destinations to hostHistory.
void LoadHostHistory();
// Moves or adds the destination just connected to the front, and saves the list.
void RememberDestination(const wchar_t* text);
// Writes every entry of hostHistory under its index.
void SaveHostHistory();
