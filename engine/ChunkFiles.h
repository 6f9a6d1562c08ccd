#pragma once
// Where a file's chunk index, finished file and chunk files live. Every path is the plain
// concatenation of a folder and a file's relative name (which may hold "/"), then NormalisePath.
//   chunk index          data folder + name + ".crc"
//   finished file        record folder + name
//   verified chunk file  record folder + name + ".chunk" + N
//   partial chunk file   record folder + name + ".chunk" + N + "_downloading"
// N is the chunk id in decimal. Names come from the network: callers check them with
// IsSafeRelativeName before building a path from them. Stateless; any thread.
#include <cstdint>
#include <string>
#include <string_view>

// A relative file name that stays inside its folder: not empty, not absolute, no "." or ".."
// segment, no empty segment, no backslash, no control character or NUL, at most 1024 units.
bool IsSafeRelativeName(std::u16string_view name);

// Whether every folder that `name` (a safe relative name) passes through below `folder` is a real
// folder or does not exist yet. A symbolic link there would carry what is written for the name
// out of `folder`; such a name is not written to.
bool FoldersOfNameStayInside(std::u16string_view folder, std::u16string_view name);

std::u16string ChunkIndexPath(std::u16string_view dataFolder, std::u16string_view name);
std::u16string FinishedFilePath(std::u16string_view recordFolder, std::u16string_view name);
// `chunkId` is the id text as the index wrote it, or a number.
std::u16string VerifiedChunkPath(std::u16string_view recordFolder, std::u16string_view name,
                                 std::u16string_view chunkId);
std::u16string VerifiedChunkPath(std::u16string_view recordFolder, std::u16string_view name,
                                 int64_t chunkId);
std::u16string PartialChunkPath(std::u16string_view recordFolder, std::u16string_view name,
                                std::u16string_view chunkId);
std::u16string PartialChunkPath(std::u16string_view recordFolder, std::u16string_view name,
                                int64_t chunkId);
