#pragma once
// What every fuzz target shares: a private home, made once per process, so that nothing a target
// does (the log, a chunk index, a settings store) can reach the real user's files; the log's echo
// turned off; and the check that ends the run when a property fails, which libFuzzer records as
// a crash together with the input that caused it.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/DownloadInfo.h"
#include "core/FileInfo.h"

// HOME and the XDG_* variables point at a fresh folder under $TMPDIR (else /tmp), made at the
// first call and removed when the process exits normally. The log file's folder is never made,
// so log lines are formatted but written nowhere.
const std::filesystem::path& FuzzHome();

// Prints `what` and aborts when `holds` is false.
void Require(bool holds, const char* what);

// Every field of the records, chunks included.
bool SameFile(const FileInfo& a, const FileInfo& b);
bool SameRecord(const DownloadInfo& a, const DownloadInfo& b);
// The fields a stored record keeps (the binary form's fields, files without their chunks).
bool SameStoredFields(const DownloadInfo& a, const DownloadInfo& b);

// Writes `size` bytes to `path`, replacing what was there.
void WriteWhole(const std::filesystem::path& path, const uint8_t* data, size_t size);

// The input's bytes as UTF-16 units, two bytes each in little-endian order; an odd last byte is
// dropped.
std::u16string UnitsOf(const uint8_t* data, size_t size);
