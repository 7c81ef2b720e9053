// Windows only: the program keeps every text in UTF-8; the system's wide-character calls take
// and give UTF-16.
#pragma once

#include <string>

namespace velmora {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
// The system's text for an error code (GetLastError, WSAGetLastError), without the line end.
std::string SystemErrorText(unsigned long code);
// For the file errors the C runtime also knows, its text ("No such file or directory"), so that
// the program says the same on every system; the system's text for the others.
std::string FileErrorText(unsigned long code);
// The code page the system's locale uses for byte texts that are not UTF-8 (1252 in Western
// Europe). The programs run with UTF-8 as their own ANSI code page (their manifests say so), so
// CP_ACP no longer names it; a text from an older tool is still read in it.
unsigned LegacyAnsiCodePage();

}  // namespace velmora
