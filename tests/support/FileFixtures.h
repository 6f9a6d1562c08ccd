#pragma once
// Small file helpers for tests that work on files in a TempDir: made-up content, whole-file
// writes and reads, and the wide path the engine's interfaces take.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

// `size` bytes of a repeatable pseudo-random pattern; different seeds give different bytes.
std::string Pattern(size_t size, uint32_t seed);

// Makes `path` a file holding exactly `bytes`, creating its folder if needed. A failure fails the
// current test: a fixture that silently did not write would let the test check the wrong thing.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// The whole content of the file; empty when there is none.
std::string ReadFile(const std::filesystem::path& path);

// The path as the wide string the engine takes.
std::u16string Wide(const std::filesystem::path& path);
