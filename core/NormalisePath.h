#pragma once
// Path spelling shared by every place that builds a path by concatenation: "/" as the only
// separator, never doubled, and a folder ends with exactly one "/". Pure text work on UTF-16
// strings; nothing touches the file system. Stateless; any thread.
#include <string>

// Every "\\" becomes "/", then doubled "/" collapse until none is left.
std::u16string NormalisePath(std::u16string path);
// One "/" appended first, then NormalisePath: the result ends with exactly one "/" (an empty
// folder becomes "/").
std::u16string NormaliseFolder(std::u16string folder);
