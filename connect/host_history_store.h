// The destination history kept in client.ini in the current directory, read and written
// through the platform's private-profile functions.
#pragma once

#include <windows.h>

#include <string>

#include "connect/host_history.h"

// The full path of client.ini as BuildIniPath last made it; empty when the current
// directory could not be read, and then nothing is loaded or saved.
extern std::wstring iniPath;

// The current directory, a backslash and "client.ini", however long the directory is.
void BuildIniPath();
// Appends the stored destinations to hostHistory.
void LoadHostHistory();
// Moves or adds the destination just connected to the front, and saves the list.
void RememberDestination(const wchar_t* text);
// Writes every entry of hostHistory under its index.
void SaveHostHistory();
